// The Poll component library: the creatable class Poll as an object of the
// object model, its class factory and the library's four entry points
// (DllGetClassObject, DllCanUnloadNow, DllRegisterServer,
// DllUnregisterServer).
//
// CPollObject answers IUnknown, IPoll (and IDispatch with it),
// ISupportErrorInfo and IConnectionPointContainer with one connection point
// for _IPollEvents.  Each IPoll method forwards to the object's CPoll core,
// which runs the method frame (lock, log, rich error information); the
// dispatch methods call the same IPoll methods by table.  The core's file
// progress reports become the Progress event on that connection point.  The
// object owns its core, its connection point and the event forwarder; the
// last Release deletes it.  Nothing
// leaves the library as an exception: the core's frame turns a failed
// allocation into E_OUTOFMEMORY, and each IPoll method catches again around
// what runs outside that frame.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/charset.h"
#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "platform/com/library.h"
#include "platform/com/registration.h"
#include "platform/com/server.h"
#include "poll/file_progress.h"
#include "poll/ipoll.h"
#include "poll/poll.h"

namespace {

using zel::com::ComObject;
using zel::com::ComPtr;
using zel::com::DispArg;
using zel::com::DispMember;

class CPollObject;

// The core's file progress as the Progress event of _IPollEvents, fired on
// the object's connection point (see poll/ipoll.h).  The file's name is
// converted once per file, not once per event.
class CProgressEvents final : public CProgressListener {
  public:
    explicit CProgressEvents(zel::com::EmbeddedConnectionPoint* point) : point_(point) {}
    ~CProgressEvents() override { SysFreeString(name_); }
    CProgressEvents(const CProgressEvents&) = delete;
    CProgressEvents& operator=(const CProgressEvents&) = delete;

    bool WantsProgress() const noexcept override { return point_->HasSinks(); }

    void OnFileProgress(const FileProgress& progress) noexcept override {
        try {
            if (name_ == nullptr || narrow_name_ != progress.name) {
                SysFreeString(name_);
                name_ = nullptr;
                narrow_name_ = progress.name;
                name_ = WideName(progress.name);
            }
        } catch (const std::bad_alloc&) {
            name_ = nullptr;
        }
        if (name_ == nullptr) return;  // out of memory: this report is lost
        // Arguments last one first, as Invoke receives them.
        VARIANT args[kPollProgressArgumentCount];
        for (VARIANT& a : args) VariantInit(&a);
        args[4].vt = VT_BSTR;
        args[4].bstrVal = name_;
        args[3].vt = VT_I8;
        args[3].llVal = progress.bytes;
        args[2].vt = VT_I8;
        args[2].llVal = progress.total;
        args[1].vt = VT_I4;
        args[1].lVal = progress.direction == CPoll::kUpload ? kPollUpload : kPollDownload;
        args[0].vt = VT_BOOL;
        args[0].boolVal = progress.finished ? VARIANT_TRUE : VARIANT_FALSE;
        DISPPARAMS params{args, nullptr, kPollProgressArgumentCount, 0};
        (void)point_->FireDispatch(DISPID__IPollEvents_Progress, &params);
    }

  private:
    // The name in UTF-16; a name without a wide form (bytes the locale
    // cannot read) shows its ASCII characters and "?" for the rest rather
    // than no name.  Null only when memory runs out.
    static BSTR WideName(const char* name) {
        char16_t* wide = nullptr;
        std::size_t units = 0;
        if (zel::charset::LocaleToUtf16(name, std::strlen(name), &wide, &units) == 0) {
            BSTR b = SysAllocStringLen(wide, static_cast<unsigned int>(units));
            std::free(wide);
            return b;
        }
        std::u16string replaced;
        for (const char* p = name; *p != '\0'; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            replaced.push_back(c < 0x80 ? static_cast<char16_t>(c) : u'?');
        }
        return SysAllocStringLen(replaced.data(), static_cast<unsigned int>(replaced.size()));
    }

    zel::com::EmbeddedConnectionPoint* point_;  // the object's own
    BSTR name_ = nullptr;
    std::string narrow_name_;  // the text name_ was made from
};

// The enumerator of the container's connection points: there is one.  It
// holds a reference to that point (and so to the container) while it lives.
class CEnumPollPoints final : public ComObject<CEnumPollPoints, IEnumConnectionPoints> {
  public:
    explicit CEnumPollPoints(IConnectionPoint* point, ULONG position = 0)
        : point_(point), position_(position) {}

    HRESULT Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
        if (fetched != nullptr) *fetched = 0;
        if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
        ULONG given = 0;
        if (count > 0 && position_ == 0) {
            point_->AddRef();
            out[0] = point_.get();
            position_ = 1;
            given = 1;
        }
        if (fetched != nullptr) *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        if (count == 0) return S_OK;
        const bool had = position_ == 0;
        position_ = 1;
        return had && count == 1 ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumConnectionPoints** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        auto* copy = new (std::nothrow) CEnumPollPoints(point_.get(), position_);
        if (copy == nullptr) return E_OUTOFMEMORY;
        copy->AddRef();
        *out = copy;
        return S_OK;
    }

  private:
    ComPtr<IConnectionPoint> point_;
    ULONG position_;
};

class CPollObject final
    : public ComObject<CPollObject, IPoll, ISupportErrorInfo, IConnectionPointContainer> {
  public:
    CPollObject() : events_(this, DIID__IPollEvents), progress_(&events_) {
        core_.SetProgressListener(&progress_);
    }

    // ---- IPoll: the core's frame does the work ----
    HRESULT SetLogFile(BSTR name) override {
        return Guarded([&] { return core_.SetLogFile(name); });
    }
    HRESULT ReleaseLogFile() override {
        return Guarded([&] { return core_.ReleaseLogFile(); });
    }
    HRESULT EnableLogging(LONG enable) override {
        return Guarded([&] { return core_.EnableLogging(enable); });
    }
    HRESULT SetDebugMode(LONG debug) override {
        return Guarded([&] { return core_.SetDebugMode(debug); });
    }
    HRESULT GetFiles(BSTR dir, BSTR filter) override {
        return Guarded([&] { return core_.GetFiles(dir, filter); });
    }
    HRESULT PutFiles(BSTR dir, BSTR filter, BSTR dest) override {
        return Guarded([&] { return core_.PutFiles(dir, filter, dest); });
    }
    HRESULT SetResultFile(BSTR name) override {
        return Guarded([&] { return core_.SetResultFile(name); });
    }
    HRESULT SetUserID(BSTR id) override {
        return Guarded([&] { return core_.SetUserID(id); });
    }

    // ---- IDispatch: no type information, the table below ----
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return zel::com::DispGetIDsOfNames<CPollObject>(kTable, riid, names, count, ids);
    }
    HRESULT Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excep, UINT* arg_error) override {
        return zel::com::DispInvoke<CPollObject>(kTable, *this, id, riid, flags, params, result,
                                                 excep, arg_error);
    }

    // ---- ISupportErrorInfo: only IPoll's methods set it ----
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_IPoll ? S_OK : S_FALSE;
    }

    // ---- IConnectionPointContainer: _IPollEvents (file progress) ----
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        auto* points = new (std::nothrow) CEnumPollPoints(&events_);
        if (points == nullptr) return E_OUTOFMEMORY;
        points->AddRef();
        *out = points;
        return S_OK;
    }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (riid != DIID__IPollEvents) return CONNECT_E_NOCONNECTION;
        events_.AddRef();
        *out = &events_;
        return S_OK;
    }

  private:
    // The library's edge for one call: what the core's frame does not cover
    // (the batch GetFiles runs after it) must not throw into the client.
    template <typename Call>
    static HRESULT Guarded(Call call) noexcept {
        try {
            return call();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    static constexpr auto Bstr = VT_BSTR;
    static constexpr auto I4 = VT_I4;
    static const DispMember<CPollObject> kTable[8];

    // Members end in reverse order: the core first, then the forwarder it
    // borrows, then the connection point the forwarder borrows.
    zel::com::EmbeddedConnectionPoint events_;
    CProgressEvents progress_;
    CPoll core_;
};

// Names and dispatch identifiers in slot order; parameter types as declared.
const DispMember<CPollObject> CPollObject::kTable[8] = {
    {u"SetLogFile",
     DISPID_IPoll_SetLogFile,
     1,
     {Bstr},
     [](CPollObject& o, const DispArg* a) { return o.SetLogFile(a[0].bstr); }},
    {u"ReleaseLogFile",
     DISPID_IPoll_ReleaseLogFile,
     0,
     {},
     [](CPollObject& o, const DispArg*) { return o.ReleaseLogFile(); }},
    {u"EnableLogging",
     DISPID_IPoll_EnableLogging,
     1,
     {I4},
     [](CPollObject& o, const DispArg* a) { return o.EnableLogging(a[0].i4); }},
    {u"SetDebugMode",
     DISPID_IPoll_SetDebugMode,
     1,
     {I4},
     [](CPollObject& o, const DispArg* a) { return o.SetDebugMode(a[0].i4); }},
    {u"GetFiles",
     DISPID_IPoll_GetFiles,
     2,
     {Bstr, Bstr},
     [](CPollObject& o, const DispArg* a) { return o.GetFiles(a[0].bstr, a[1].bstr); }},
    {u"PutFiles",
     DISPID_IPoll_PutFiles,
     3,
     {Bstr, Bstr, Bstr},
     [](CPollObject& o, const DispArg* a) { return o.PutFiles(a[0].bstr, a[1].bstr, a[2].bstr); }},
    {u"SetResultFile",
     DISPID_IPoll_SetResultFile,
     1,
     {Bstr},
     [](CPollObject& o, const DispArg* a) { return o.SetResultFile(a[0].bstr); }},
    {u"SetUserID",
     DISPID_IPoll_SetUserID,
     1,
     {Bstr},
     [](CPollObject& o, const DispArg* a) { return o.SetUserID(a[0].bstr); }},
};

std::string Narrow(const char16_t* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));  // ASCII names
    return out;
}

// What registration writes: the class with its two ProgIDs, and the type
// library recorded as entries naming this library's own file.
bool ClassEntries(zel::com::ClassEntry* entry) {
    std::string module;
    if (!zel::com::ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer), &module)) {
        return false;
    }
    entry->clsid = CLSID_Poll;
    entry->description = "Poll Class";
    entry->module_path = module;
    entry->threading_model = "Both";
    entry->progid = Narrow(kPollProgId);
    entry->version_independent = Narrow(kPollVersionIndependentProgId);
    entry->programmable = true;
    entry->typelib.libid = LIBID_POLLLib;
    entry->typelib.version = "1.0";
    entry->typelib.help_string = "Poll 1.0 Type Library";
    entry->typelib.locale = "409";
    entry->typelib.path = module;
    entry->typelib.interfaces = {{IID_IPoll, "IPoll"}, {DIID__IPollEvents, "_IPollEvents"}};
    return true;
}

}  // namespace

extern "C" {

HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_Poll) return CLASS_E_CLASSNOTAVAILABLE;
    return zel::com::ClassFactory<CPollObject>::Get(riid, object);
}

HRESULT DllCanUnloadNow() {
    return zel::com::ModuleCount::CanUnloadNow();
}

HRESULT DllRegisterServer() {
    zel::com::ClassEntry entry;
    if (!ClassEntries(&entry)) return SELFREG_E_CLASS;
    return zel::com::RegisterClassEntries(entry);
}

HRESULT DllUnregisterServer() {
    zel::com::ClassEntry entry;
    if (!ClassEntries(&entry)) return SELFREG_E_CLASS;
    return zel::com::UnregisterClassEntries(entry);
}

}  // extern "C"
