// The object-model runtime: the small in-process COM of this system.
//
// On Linux one shared library (libzelcom.so) that the component and every
// client link, so that the per-thread rich error information, BSTR
// allocation and the table of loaded component libraries are one and the
// same on both sides of a component boundary.  On Windows the same calls are
// answered by the system's own COM (ole32, oleaut32; see windows/com.cpp),
// and the types below have the system's layouts, so a component built from
// these sources is an ordinary in-process server there.  This header holds
// the basic types, the standard result codes (with their Windows values),
// GUIDs, the standard interfaces in COM slot order, VARIANT and the
// activation calls.
//
// Ownership follows COM: an interface pointer handed out through an out
// parameter carries one reference that the caller releases; BSTRs handed out
// are the caller's to free with SysFreeString.  Out parameters are cleared
// (set to null) on failure.  Nothing here throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/export.h"
#include "platform/hresult.h"

// ---- Basic types -----------------------------------------------------------

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using LCID = std::uint32_t;
using DISPID = std::int32_t;
using MEMBERID = DISPID;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using SCODE = std::int32_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// ---- Result codes ------------------------------------------------------------

// HRESULT_FROM_WIN32 for a Win32 error number.
constexpr HRESULT HResultFromWin32(std::uint32_t error) {
    return error == 0 ? S_OK : MakeResult((error & 0xFFFFu) | 0x80070000u);
}

inline constexpr HRESULT E_NOTIMPL = MakeResult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeResult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeResult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeResult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeResult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = MakeResult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = MakeResult(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = MakeResult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeResult(0x80070057);

inline constexpr HRESULT RPC_E_CHANGED_MODE = MakeResult(0x80010106);

inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeResult(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeResult(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeResult(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeResult(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MakeResult(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = MakeResult(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeResult(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = MakeResult(0x80020009);
inline constexpr HRESULT DISP_E_BADINDEX = MakeResult(0x8002000B);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeResult(0x8002000E);

inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeResult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeResult(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = MakeResult(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = MakeResult(0x80040151);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeResult(0x80040154);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = MakeResult(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = MakeResult(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = MakeResult(0x80040202);
inline constexpr HRESULT SELFREG_E_TYPELIB = MakeResult(0x80040200);
inline constexpr HRESULT SELFREG_E_CLASS = MakeResult(0x80040201);
inline constexpr HRESULT CO_E_NOTINITIALIZED = MakeResult(0x800401F0);
inline constexpr HRESULT CO_E_CLASSSTRING = MakeResult(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = MakeResult(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = MakeResult(0x800401F9);
// The registered file exists but is no loadable library (ERROR_BAD_EXE_FORMAT).
inline constexpr HRESULT CO_E_BADLIBRARY = HResultFromWin32(193);

// ---- GUIDs -----------------------------------------------------------------

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i]) return false;
        return true;
    }
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
    return a == b;
}
constexpr bool IsEqualIID(REFIID a, REFIID b) {
    return a == b;
}
constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) {
    return a == b;
}

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IErrorInfo{
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_ICreateErrorInfo{
    0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_ISupportErrorInfo{
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_IConnectionPointContainer{
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IEnumConnectionPoints{
    0xB196B285, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IConnectionPoint{
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IEnumConnections{
    0xB196B287, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

// Length of "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" without the terminator.
inline constexpr int kGuidTextLength = 38;

namespace zel::com {

// "{6B29FC40-CA47-1067-B31D-00DD010662DA}": braces, upper-case hex digits.
[[nodiscard]] ZEL_COM_API std::string GuidToString(REFGUID guid);
// Parses exactly that form (hex digits of either case).  Anything else
// (missing braces or dashes, wrong length, a non-hex digit, surrounding
// blanks) is refused with false and *out left unchanged.
[[nodiscard]] ZEL_COM_API bool ParseGuid(std::string_view text, GUID* out);

}  // namespace zel::com

// Writes the braced text and a terminator into buffer; returns the number of
// characters written including the terminator, 0 when size is too small.
[[nodiscard]] ZEL_COM_API int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int size);
// CO_E_CLASSSTRING for text that is not a braced GUID; E_POINTER for nulls.
[[nodiscard]] ZEL_COM_API HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out);
// E_INVALIDARG for text that is not a braced GUID; E_POINTER for nulls.
[[nodiscard]] ZEL_COM_API HRESULT IIDFromString(LPCOLESTR text, IID* out);

// ---- IUnknown and the interfaces every object may answer ---------------------
//
// Abstract classes with their methods in COM slot order.  Each names its
// identifier (kIid) and the interface it extends (Base), which lets ComPtr
// and the server helpers answer QueryInterface generically.  Destructors are
// protected: objects end through Release, never through delete on an
// interface.

struct IUnknown {
    using Base = void;
    static constexpr const IID& kIid = IID_IUnknown;
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

  protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
    using Base = IUnknown;
    static constexpr const IID& kIid = IID_IClassFactory;
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT LockServer(int lock) = 0;

  protected:
    ~IClassFactory() = default;
};

// ---- VARIANT and dispatch --------------------------------------------------

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_UI1 = 17,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_INT = 22,
    VT_UINT = 23,
    VT_BYREF = 0x4000,
};

struct IDispatch;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONG lVal;
        LONGLONG llVal;
        SHORT iVal;
        BYTE bVal;
        ULONG ulVal;
        int intVal;
        UINT uintVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        LONG* plVal;
        LONGLONG* pllVal;
        SHORT* piVal;
        BSTR* pbstrVal;
        VARIANT_BOOL* pboolVal;
        VARIANT* pvarVal;
        void* byref;
        std::uint64_t padding_[2];
    };
};
using VARIANTARG = VARIANT;

// Sets vt to VT_EMPTY (the value is not looked at).
ZEL_COM_API void VariantInit(VARIANT* v);
// Frees what the variant owns (a BSTR, an interface reference) and leaves
// VT_EMPTY.  By-reference variants own nothing.  E_INVALIDARG for null,
// DISP_E_BADVARTYPE for a type this runtime does not know (left unchanged).
[[nodiscard]] ZEL_COM_API HRESULT VariantClear(VARIANT* v);
// Clears dest, then copies src into it (a BSTR is duplicated, an interface
// AddRef'd).  E_OUTOFMEMORY leaves dest VT_EMPTY.
[[nodiscard]] ZEL_COM_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);

struct DISPPARAMS {
    VARIANTARG* rgvarg;  // arguments in reverse order: the last one first
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

// Type information is not provided by this runtime: components answer
// GetTypeInfoCount with 0.  The type exists so IDispatch keeps its slots.
struct ITypeInfo;

struct IDispatch : IUnknown {
    using Base = IUnknown;
    static constexpr const IID& kIid = IID_IDispatch;
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                  DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excep, UINT* arg_error) = 0;

  protected:
    ~IDispatch() = default;
};

// ---- Rich error information --------------------------------------------------

struct IErrorInfo : IUnknown {
    using Base = IUnknown;
    static constexpr const IID& kIid = IID_IErrorInfo;
    virtual HRESULT GetGUID(GUID* guid) = 0;
    virtual HRESULT GetSource(BSTR* source) = 0;
    virtual HRESULT GetDescription(BSTR* description) = 0;
    virtual HRESULT GetHelpFile(BSTR* help_file) = 0;
    virtual HRESULT GetHelpContext(DWORD* help_context) = 0;

  protected:
    ~IErrorInfo() = default;
};

struct ICreateErrorInfo : IUnknown {
    using Base = IUnknown;
    static constexpr const IID& kIid = IID_ICreateErrorInfo;
    virtual HRESULT SetGUID(REFGUID guid) = 0;
    virtual HRESULT SetSource(LPOLESTR source) = 0;
    virtual HRESULT SetDescription(LPOLESTR description) = 0;
    virtual HRESULT SetHelpFile(LPOLESTR help_file) = 0;
    virtual HRESULT SetHelpContext(DWORD help_context) = 0;

  protected:
    ~ICreateErrorInfo() = default;
};

struct ISupportErrorInfo : IUnknown {
    using Base = IUnknown;
    static constexpr const IID& kIid = IID_ISupportErrorInfo;
    // S_OK when methods of riid set rich error information, else S_FALSE.
    virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;

  protected:
    ~ISupportErrorInfo() = default;
};

// A new, empty error object (answers IErrorInfo as well).  E_POINTER for
// null, E_OUTOFMEMORY.
[[nodiscard]] ZEL_COM_API HRESULT CreateErrorInfo(ICreateErrorInfo** out);
// Replaces the calling thread's error object (null clears it); the runtime
// keeps a reference.  reserved must be 0 (else E_INVALIDARG).
ZEL_COM_API HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
// Hands the calling thread's error object to the caller and clears it:
// S_OK with the object, S_FALSE with null when there is none.
[[nodiscard]] ZEL_COM_API HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out);

namespace zel::com {

// The usual way for a component to report rich error information: makes an
// error object with the interface identity, source and description (either
// text may be null) and sets it as the thread's.  Returns S_OK or the
// failure of CreateErrorInfo (then the thread's error object is cleared).
ZEL_COM_API HRESULT SetErrorDetails(REFGUID iid, LPCOLESTR source, LPCOLESTR description);

}  // namespace zel::com

// ---- Connection points -------------------------------------------------------

struct IConnectionPointContainer;

struct CONNECTDATA {
    IUnknown* pUnk;
    DWORD dwCookie;
};

struct IEnumConnections : IUnknown {
    using Base = IUnknown;
    static constexpr const IID& kIid = IID_IEnumConnections;
    virtual HRESULT Next(ULONG count, CONNECTDATA* out, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnections** out) = 0;

  protected:
    ~IEnumConnections() = default;
};

struct IConnectionPoint : IUnknown {
    using Base = IUnknown;
    static constexpr const IID& kIid = IID_IConnectionPoint;
    virtual HRESULT GetConnectionInterface(IID* iid) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) = 0;
    virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
    virtual HRESULT Unadvise(DWORD cookie) = 0;
    virtual HRESULT EnumConnections(IEnumConnections** out) = 0;

  protected:
    ~IConnectionPoint() = default;
};

struct IEnumConnectionPoints : IUnknown {
    using Base = IUnknown;
    static constexpr const IID& kIid = IID_IEnumConnectionPoints;
    virtual HRESULT Next(ULONG count, IConnectionPoint** out, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnectionPoints** out) = 0;

  protected:
    ~IEnumConnectionPoints() = default;
};

struct IConnectionPointContainer : IUnknown {
    using Base = IUnknown;
    static constexpr const IID& kIid = IID_IConnectionPointContainer;
    virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** out) = 0;
    virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** out) = 0;

  protected:
    ~IConnectionPointContainer() = default;
};

// ---- Apartments and activation -----------------------------------------------

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr DWORD CLSCTX_SERVER =
    CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// Enters the calling thread into the object model.  S_OK the first time,
// S_FALSE when the thread already is in it in the same mode (each success
// needs its CoUninitialize), RPC_E_CHANGED_MODE in the other mode,
// E_INVALIDARG for unknown flags.  Only the thread's count is kept: both modes
// behave alike in this in-process runtime.
[[nodiscard]] ZEL_COM_API HRESULT CoInitializeEx(void* reserved, DWORD coinit);
// Leaves once; the last call of a thread releases its rich error information.
// A call without a matching initialisation does nothing.
ZEL_COM_API void CoUninitialize();

// The class object of clsid: looks up the default value (the library's
// path) of HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, loads the library once
// per process, and asks its DllGetClassObject for riid.  Failures:
//   CO_E_NOTINITIALIZED   the calling thread did not call CoInitializeEx
//   REGDB_E_CLASSNOTREG   no such class key, no InprocServer32 or an empty
//                         path, or context without CLSCTX_INPROC_SERVER
//   REGDB_E_READREGDB     the registry store cannot be read
//   CO_E_DLLNOTFOUND      the registered library file does not exist
//   CO_E_BADLIBRARY       the file exists but cannot be loaded
//   CO_E_ERRORINDLL       the library does not export DllGetClassObject
//   whatever DllGetClassObject answers (CLASS_E_CLASSNOTAVAILABLE, ...)
// The runtime's own failures above (except CO_E_NOTINITIALIZED) also set the
// thread's rich error information: its description names the file and the
// cause (the registry store with the reason it cannot be read, the library
// that is missing or with the loader's text), for clients to show.
[[nodiscard]] ZEL_COM_API HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* server_info,
                                                   REFIID riid, void** object);
// CoGetClassObject for IClassFactory, then CreateInstance(outer, riid).
// The factory's own failures (CLASS_E_NOAGGREGATION, E_NOINTERFACE,
// E_OUTOFMEMORY) are passed on; E_POINTER for a null object pointer.
[[nodiscard]] ZEL_COM_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context,
                                                   REFIID riid, void** object);
// The class identifier registered for a ProgID (HKCR\{progid}\CLSID default
// value).  REGDB_E_CLASSNOTREG when absent, CO_E_CLASSSTRING when the stored
// text is no GUID.
[[nodiscard]] ZEL_COM_API HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid);
// Unloads every loaded component library whose DllCanUnloadNow answers S_OK;
// the others stay loaded.
ZEL_COM_API void CoFreeAllLibraries();
ZEL_COM_API void CoFreeUnusedLibraries();

namespace zel::com {

// Number of component libraries currently loaded by activation.  The Linux
// runtime's alone: on Windows the system keeps that table.
[[nodiscard]] ZEL_COM_API int LoadedLibraryCount();

// A short English text for a result code: the standard codes above by name
// and meaning ("Class not registered"), Win32 codes (0x8007xxxx) by the
// system's error text, anything else "Unknown error".
[[nodiscard]] ZEL_COM_API std::string ResultText(HRESULT hr);

}  // namespace zel::com
