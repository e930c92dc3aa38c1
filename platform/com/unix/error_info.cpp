// Rich error information: the runtime's error object and the per-thread slot
// that SetErrorInfo / GetErrorInfo use.  The slot is thread_local inside this
// one shared library, so a component and its client see the same slot on a
// thread and never another thread's.
#include <atomic>
#include <mutex>
#include <new>

#include "platform/com/com.h"
#include "platform/com/com_ptr.h"

namespace {

using zel::com::ComPtr;

// Holds a BSTR copy of each text; the getters hand out new copies.
class ErrorObject final : public IErrorInfo, public ICreateErrorInfo {
  public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
            *object = static_cast<IErrorInfo*>(this);
        } else if (riid == IID_ICreateErrorInfo) {
            *object = static_cast<ICreateErrorInfo*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

    HRESULT GetGUID(GUID* guid) override {
        if (guid == nullptr) return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(mutex_);
        *guid = guid_;
        return S_OK;
    }
    HRESULT GetSource(BSTR* out) override { return Copy(source_, out); }
    HRESULT GetDescription(BSTR* out) override { return Copy(description_, out); }
    HRESULT GetHelpFile(BSTR* out) override { return Copy(help_file_, out); }
    HRESULT GetHelpContext(DWORD* out) override {
        if (out == nullptr) return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(mutex_);
        *out = help_context_;
        return S_OK;
    }

    HRESULT SetGUID(REFGUID guid) override {
        std::lock_guard<std::mutex> lock(mutex_);
        guid_ = guid;
        return S_OK;
    }
    HRESULT SetSource(LPOLESTR text) override { return Store(text, &source_); }
    HRESULT SetDescription(LPOLESTR text) override { return Store(text, &description_); }
    HRESULT SetHelpFile(LPOLESTR text) override { return Store(text, &help_file_); }
    HRESULT SetHelpContext(DWORD context) override {
        std::lock_guard<std::mutex> lock(mutex_);
        help_context_ = context;
        return S_OK;
    }

  private:
    ~ErrorObject() = default;

    HRESULT Copy(const zel::CBstr& from, BSTR* out) {
        if (out == nullptr) return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(mutex_);
        *out = nullptr;
        if (from.get() == nullptr) return S_OK;
        *out = SysAllocStringLen(from.get(), from.Length());
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT Store(LPCOLESTR text, zel::CBstr* to) {
        BSTR copy = nullptr;
        if (text != nullptr) {
            copy = SysAllocString(text);
            if (copy == nullptr) return E_OUTOFMEMORY;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        to->reset(copy);
        return S_OK;
    }

    std::atomic<ULONG> refs_{0};
    std::mutex mutex_;
    GUID guid_ = GUID_NULL;
    zel::CBstr source_;
    zel::CBstr description_;
    zel::CBstr help_file_;
    DWORD help_context_ = 0;
};

thread_local ComPtr<IErrorInfo> t_error_info;

}  // namespace

namespace zel::com {

// Used by CoUninitialize when a thread leaves.
void ClearThreadErrorInfo() {
    t_error_info.Reset();
}

}  // namespace zel::com

HRESULT CreateErrorInfo(ICreateErrorInfo** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    ErrorObject* made = new (std::nothrow) ErrorObject();
    if (made == nullptr) return E_OUTOFMEMORY;
    made->AddRef();
    *out = made;
    return S_OK;
}

HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info) {
    if (reserved != 0) return E_INVALIDARG;
    t_error_info.Reset(info);
    return S_OK;
}

HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (reserved != 0) return E_INVALIDARG;
    *out = t_error_info.Detach();
    return *out != nullptr ? S_OK : S_FALSE;
}
