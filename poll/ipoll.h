// The public interface of the Poll component, as its clients see it: the
// IPoll interface with its methods in slot order, the fixed identifiers of
// the class, the interfaces and the type library, the dispatch identifiers
// and the ProgIDs, and the one event of the outgoing interface _IPollEvents
// (file progress) with the reading of its arguments.
//
// Header only: a client includes it, links the object-model runtime
// (zel_com) and activates the class with CoCreateInstance; it links no code
// of the component.  The identifiers never change: registered systems and
// both clients depend on them.
#pragma once

#include "platform/com/com.h"

// The class "Poll" (implementation class CPoll).
inline constexpr CLSID CLSID_Poll{
    0x06DE18F4, 0x8B93, 0x4C8C, {0x8C, 0xC1, 0xBF, 0x78, 0x2D, 0x89, 0x44, 0xEC}};
// IPoll: dual, extends IDispatch.
inline constexpr IID IID_IPoll{
    0x3EB93712, 0x8B42, 0x43CB, {0x8C, 0xDE, 0x87, 0x92, 0x01, 0x22, 0x44, 0x09}};
// _IPollEvents: the outgoing dispinterface (its one event: Progress, below).
inline constexpr IID DIID__IPollEvents{
    0xF9CFCE33, 0x1736, 0x48B3, {0xBD, 0x37, 0x88, 0x0E, 0xA5, 0x81, 0xBD, 0x54}};
// The type library "POLLLib", version 1.0.
inline constexpr GUID LIBID_POLLLib{
    0x269FBA65, 0x9180, 0x4C43, {0xB6, 0x95, 0xA2, 0xEE, 0x61, 0xB1, 0x49, 0xA6}};

inline constexpr const char16_t* kPollProgId = u"Poll.Poll.1";
inline constexpr const char16_t* kPollVersionIndependentProgId = u"Poll.Poll";

// Dispatch identifiers: 1 to 8 in slot order.
inline constexpr DISPID DISPID_IPoll_SetLogFile = 1;
inline constexpr DISPID DISPID_IPoll_ReleaseLogFile = 2;
inline constexpr DISPID DISPID_IPoll_EnableLogging = 3;
inline constexpr DISPID DISPID_IPoll_SetDebugMode = 4;
inline constexpr DISPID DISPID_IPoll_GetFiles = 5;
inline constexpr DISPID DISPID_IPoll_PutFiles = 6;
inline constexpr DISPID DISPID_IPoll_SetResultFile = 7;
inline constexpr DISPID DISPID_IPoll_SetUserID = 8;

// Every method takes input parameters only and returns its status.  A null
// BSTR counts as empty text.  The setters always return S_OK and report
// their failures through the rich error information (GetErrorInfo) and the
// component's log; GetFiles and PutFiles return the status of the transfer.
struct IPoll : IDispatch {
    using Base = IDispatch;
    static constexpr const IID& kIid = IID_IPoll;

    // Directs the component's log to the named file.
    virtual HRESULT SetLogFile(BSTR i_bstrFileName) = 0;
    // Closes a kept-open log stream; later records still reach the file.
    virtual HRESULT ReleaseLogFile() = 0;
    // File output of the log on (non-zero) or off.
    virtual HRESULT EnableLogging(LONG i_bEnable) = 0;
    // Trace records and debugger output on (non-zero) or off.
    virtual HRESULT SetDebugMode(LONG i_bDebugMode) = 0;
    // Downloads what the central side published; null or empty arguments
    // select the default download directory and no filter.
    virtual HRESULT GetFiles(BSTR i_bstrDownloadDir, BSTR i_bstrFilter) = 0;
    // Uploads the matching files of a directory; null or empty arguments
    // select the default upload directory, "*.*" and no destination.
    virtual HRESULT PutFiles(BSTR i_bstrUploadDir, BSTR i_bstrFilter, BSTR i_bstrDestDir) = 0;
    // Names the result file (relative names resolve against the working
    // directory of each operation).
    virtual HRESULT SetResultFile(BSTR i_bstrResultFileName) = 0;
    // Sets the dealer identity sent with each request; empty clears it.
    virtual HRESULT SetUserID(BSTR i_bstrUserID) = 0;

  protected:
    ~IPoll() = default;
};

// ---- Events ------------------------------------------------------------------
//
// A client that wants to show how its transfer goes advises a sink on the
// connection point for DIID__IPollEvents (IConnectionPointContainer::
// FindConnectionPoint).  The sink answers DIID__IPollEvents (and IDispatch)
// with an IDispatch; the object calls its Invoke on the thread that runs
// GetFiles or PutFiles, from inside that call:
//
//   Progress(BSTR FileName, LONGLONG BytesSoFar, LONGLONG TotalBytes,
//            LONG Direction, VARIANT_BOOL Finished)      dispatch id 1
//
// for each file that is fetched or sent: one event when its request begins
// (BytesSoFar 0), events while its body moves and while it waits for data
// (at most about ten a second), and exactly one with Finished VARIANT_TRUE
// when its request is over, whether it succeeded or not (the operation's
// status and the result file say that).  FileName is the file's name as it
// travels (an upload's "NAME.dtz", a download's name as listed, without
// its directory).  BytesSoFar counts the body bytes sent (upload) or
// received (download) and never goes down for one file; TotalBytes is the
// body's length, -1 while it is not known (a download before the answer's
// head).  Direction is kPollDownload or kPollUpload.  Without an advised
// sink nothing is prepared.  The object ignores what Invoke returns; a sink
// must neither block long nor throw.

inline constexpr DISPID DISPID__IPollEvents_Progress = 1;
inline constexpr UINT kPollProgressArgumentCount = 5;
inline constexpr LONG kPollDownload = 0;
inline constexpr LONG kPollUpload = 1;

// The outgoing interface as a sink implements it: IDispatch under the
// identifier DIID__IPollEvents (a dispinterface has no slots of its own).
struct IPollEvents : IDispatch {
    using Base = IDispatch;
    static constexpr const IID& kIid = DIID__IPollEvents;

  protected:
    ~IPollEvents() = default;
};

// The arguments of one Progress event.  file_name is borrowed from the
// caller of Invoke: valid during the call only.
struct PollProgress {
    BSTR file_name = nullptr;
    LONGLONG bytes = 0;
    LONGLONG total = -1;
    LONG direction = kPollDownload;
    bool finished = false;
};

// Reads the arguments of Progress as Invoke receives them (last one first,
// by value).  DISP_E_BADPARAMCOUNT or DISP_E_TYPEMISMATCH when they are not
// the event's; E_INVALIDARG for a missing block.
[[nodiscard]] inline HRESULT ReadPollProgress(const DISPPARAMS* params, PollProgress* out) {
    if (params == nullptr || out == nullptr) return E_INVALIDARG;
    if (params->cArgs != kPollProgressArgumentCount || params->cNamedArgs != 0 ||
        params->rgvarg == nullptr)
        return DISP_E_BADPARAMCOUNT;
    const VARIANT* a = params->rgvarg;
    if (a[4].vt != VT_BSTR || a[3].vt != VT_I8 || a[2].vt != VT_I8 || a[1].vt != VT_I4 ||
        a[0].vt != VT_BOOL)
        return DISP_E_TYPEMISMATCH;
    out->file_name = a[4].bstrVal;
    out->bytes = a[3].llVal;
    out->total = a[2].llVal;
    out->direction = a[1].lVal;
    out->finished = a[0].boolVal != VARIANT_FALSE;
    return S_OK;
}
