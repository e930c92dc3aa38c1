// Helpers for writing a component library (an in-process server): the count
// of live objects and server locks behind DllCanUnloadNow, a reference-
// counting object base that answers QueryInterface from its interface list,
// a class factory, a table-driven IDispatch, and a connection point embedded
// in its container.
//
// Header-only on purpose: each component library compiles its own copy, so
// the counters below count that library's objects alone (component libraries
// are built with hidden visibility, see zel_add_component).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/com_ptr.h"

// The four entry points a component library defines (extern "C").  Declared
// here as the library's exports (ZEL_COMPONENT_ENTRY), so that the
// definitions leave the library although everything else in it is hidden;
// on Linux the export map of zel_add_component lets these four out and no
// other.
extern "C" {
ZEL_COMPONENT_ENTRY HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object);
ZEL_COMPONENT_ENTRY HRESULT DllCanUnloadNow();
ZEL_COMPONENT_ENTRY HRESULT DllRegisterServer();
ZEL_COMPONENT_ENTRY HRESULT DllUnregisterServer();
}

namespace zel::com {

// Live objects, outstanding class-factory references and server locks of
// this library.  DllCanUnloadNow answers S_OK only while the count is 0.
class ModuleCount {
  public:
    static void Lock() { count_.fetch_add(1, std::memory_order_relaxed); }
    static void Unlock() { count_.fetch_sub(1, std::memory_order_acq_rel); }
    static long Count() { return count_.load(std::memory_order_acquire); }
    // The answer of DllCanUnloadNow.
    static HRESULT CanUnloadNow() { return Count() == 0 ? S_OK : S_FALSE; }

  private:
    static inline std::atomic<long> count_{0};
};

namespace detail {

// True when I or one of the interfaces it extends has the identifier riid.
template <typename I>
constexpr bool Answers(REFIID riid) {
    if constexpr (std::is_void_v<I>) {
        return false;
    } else {
        return riid == I::kIid || Answers<typename I::Base>(riid);
    }
}

template <typename First, typename...>
struct FirstOf {
    using type = First;
};

}  // namespace detail

// The root of a component's class: derive as
//   class CThing final : public ComObject<CThing, IThing, ISupportErrorInfo> {...};
// The reference count starts at 0 (the class factory takes the first
// reference); the last Release deletes the object.  QueryInterface answers
// IUnknown and every listed interface together with the interfaces it
// extends (IPoll also answers IDispatch); IUnknown always comes from the
// first listed interface, so the object's identity is stable.  Each live
// object counts in ModuleCount.
template <typename Derived, typename... Interfaces>
class ComObject : public Interfaces... {
  public:
    ComObject() { ModuleCount::Lock(); }
    virtual ~ComObject() { ModuleCount::Unlock(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        void* found = nullptr;
        if (riid == IID_IUnknown) {
            using First = typename detail::FirstOf<Interfaces...>::type;
            found = static_cast<IUnknown*>(static_cast<First*>(this));
        } else {
            auto try_one = [&]<typename I>() {
                if (found == nullptr && detail::Answers<I>(riid)) found = static_cast<I*>(this);
            };
            (try_one.template operator()<Interfaces>(), ...);
        }
        if (found == nullptr) return E_NOINTERFACE;
        AddRef();
        *object = found;
        return S_OK;
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

  private:
    std::atomic<ULONG> refs_{0};
};

// The class factory of T (a ComObject with a default constructor).  One
// static instance per class; every reference to it and every LockServer(1)
// counts in ModuleCount, so a client holding the factory keeps the library
// loaded.  Aggregation is not supported.
template <typename T>
class ClassFactory final : public IClassFactory {
  public:
    // The factory for DllGetClassObject: QueryInterface on the instance.
    static HRESULT Get(REFIID riid, void** object) {
        return instance_.QueryInterface(riid, object);
    }

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (!detail::Answers<IClassFactory>(riid)) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG AddRef() override {
        ModuleCount::Lock();
        return refs_.fetch_add(1, std::memory_order_relaxed) + 2;
    }
    ULONG Release() override {
        ModuleCount::Unlock();
        return refs_.fetch_sub(1, std::memory_order_acq_rel);
    }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        // The object's own construction may allocate and throw; that must
        // not cross into the caller either.
        T* created = nullptr;
        try {
            created = new (std::nothrow) T();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
        if (created == nullptr) return E_OUTOFMEMORY;
        created->AddRef();
        const HRESULT hr = created->QueryInterface(riid, object);
        created->Release();  // deletes it when riid was refused
        return hr;
    }
    HRESULT LockServer(int lock) override {
        if (lock != 0) {
            ModuleCount::Lock();
        } else {
            ModuleCount::Unlock();
        }
        return S_OK;
    }

  private:
    ClassFactory() = default;
    static ClassFactory instance_;
    std::atomic<ULONG> refs_{0};  // references beyond the static one
};

template <typename T>
ClassFactory<T> ClassFactory<T>::instance_;

// ---- IDispatch from a table ----------------------------------------------

inline constexpr std::size_t kMaxDispParams = 8;

// One argument as the method sees it: a BSTR (borrowed from the caller, may
// be null) or a 32-bit integer, by the member's declared parameter type.
struct DispArg {
    BSTR bstr = nullptr;
    LONG i4 = 0;
};

// One method of a dispatch table.  params lists the parameter types in
// declaration order, each VT_BSTR or VT_I4.
template <typename T>
struct DispMember {
    const OLECHAR* name;
    DISPID id;
    UINT param_count;
    std::array<VARTYPE, kMaxDispParams> params;
    // Calls the method; args are in declaration order.
    HRESULT (*call)(T& self, const DispArg* args);
};

namespace detail {

inline bool SameNameIgnoringCase(const OLECHAR* a, const OLECHAR* b) {
    auto lower = [](OLECHAR c) -> OLECHAR { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
    for (;; ++a, ++b) {
        if (lower(*a) != lower(*b)) return false;
        if (*a == 0) return true;
    }
}

// Reads one caller's argument as the declared type.  By-reference values and
// a variant by reference are followed one level; VT_EMPTY stands for the
// empty string or 0 (what a conversion would give).
inline bool ReadDispArg(const VARIANT& given, VARTYPE want, DispArg* out) {
    const VARIANT* v = &given;
    if (v->vt == (VT_BYREF | VT_VARIANT)) {
        if (v->pvarVal == nullptr) return false;
        v = v->pvarVal;
    }
    const bool byref = (v->vt & VT_BYREF) != 0;
    if (byref && v->byref == nullptr) return false;
    const VARTYPE base = static_cast<VARTYPE>(v->vt & ~VT_BYREF);
    if (base == VT_EMPTY && !byref) {
        *out = DispArg{};
        return true;
    }
    if (want == VT_BSTR) {
        if (base != VT_BSTR) return false;
        out->bstr = byref ? *v->pbstrVal : v->bstrVal;
        return true;
    }
    if (want == VT_I4) {
        switch (base) {
            case VT_I4:
            case VT_INT:
                out->i4 = byref ? *v->plVal : v->lVal;
                return true;
            case VT_I2:
                out->i4 = byref ? *v->piVal : v->iVal;
                return true;
            case VT_BOOL:
                out->i4 = byref ? *v->pboolVal : v->boolVal;
                return true;
            case VT_UI1:
                out->i4 = byref ? *static_cast<BYTE*>(v->byref) : v->bVal;
                return true;
            default:
                return false;
        }
    }
    return false;
}

}  // namespace detail

// IDispatch::GetIDsOfNames over a table: names[0] is the member, matched
// without regard to case; further names would be parameter names, which are
// not supported.  Unknown names get DISPID_UNKNOWN and DISP_E_UNKNOWNNAME.
template <typename T>
HRESULT DispGetIDsOfNames(std::span<const DispMember<T>> table, REFIID riid, LPOLESTR* names,
                          UINT count, DISPID* ids) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (count == 0) return S_OK;
    if (names == nullptr || ids == nullptr) return E_POINTER;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (names[0] == nullptr) return DISP_E_UNKNOWNNAME;
    for (const DispMember<T>& m : table) {
        if (detail::SameNameIgnoringCase(m.name, names[0])) {
            ids[0] = m.id;
            return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

// IDispatch::Invoke over a table, for methods (DISPATCH_METHOD) with
// positional arguments.  The caller's arguments arrive last one first, as
// COM passes them.  Failures: DISP_E_UNKNOWNINTERFACE (riid not IID_NULL),
// DISP_E_MEMBERNOTFOUND (unknown id or not called as a method),
// DISP_E_NONAMEDARGS, DISP_E_BADPARAMCOUNT, DISP_E_TYPEMISMATCH (*arg_error
// then holds the argument's index in rgvarg), E_INVALIDARG (no parameters
// block).  result, when given, is VT_EMPTY: the methods return only a status.
// A method's failure status is returned as it is, or, when excep is given,
// as DISP_E_EXCEPTION with excep filled from the thread's rich error
// information (which is taken) and scode the status.
template <typename T>
HRESULT DispInvoke(std::span<const DispMember<T>> table, T& self, DISPID id, REFIID riid,
                   WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                   UINT* arg_error) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const DispMember<T>* member = nullptr;
    for (const DispMember<T>& m : table)
        if (m.id == id) member = &m;
    if (member == nullptr || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (params == nullptr) return E_INVALIDARG;
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (params->cArgs != member->param_count) return DISP_E_BADPARAMCOUNT;
    if (params->cArgs > kMaxDispParams || (params->cArgs != 0 && params->rgvarg == nullptr))
        return E_INVALIDARG;
    std::array<DispArg, kMaxDispParams> args{};
    for (UINT i = 0; i < params->cArgs; ++i) {
        const UINT slot = params->cArgs - 1 - i;
        if (!detail::ReadDispArg(params->rgvarg[slot], member->params[i], &args[i])) {
            if (arg_error != nullptr) *arg_error = slot;
            return DISP_E_TYPEMISMATCH;
        }
    }
    if (result != nullptr) VariantInit(result);
    const HRESULT hr = member->call(self, args.data());
    if (SUCCEEDED(hr) || excep == nullptr) return hr;
    *excep = EXCEPINFO{};
    excep->scode = hr;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) == S_OK && info) {
        if (FAILED(info->GetSource(&excep->bstrSource))) excep->bstrSource = nullptr;
        if (FAILED(info->GetDescription(&excep->bstrDescription))) excep->bstrDescription = nullptr;
    }
    return DISP_E_EXCEPTION;
}

// ---- Connection point --------------------------------------------------------

// One connection point for the outgoing interface iid, embedded as a member
// of its container object and sharing the container's reference count (it
// lives exactly as long as the container).  Advise keeps the sink's
// reference until Unadvise or the container's end.  For an outgoing
// dispinterface the container fires an event with FireDispatch.
class EmbeddedConnectionPoint final : public IConnectionPoint {
  public:
    // owner is the object this point is a member of (not owned).
    EmbeddedConnectionPoint(IConnectionPointContainer* owner, REFIID iid)
        : owner_(owner), iid_(iid) {}
    EmbeddedConnectionPoint(const EmbeddedConnectionPoint&) = delete;
    EmbeddedConnectionPoint& operator=(const EmbeddedConnectionPoint&) = delete;

    REFIID iid() const { return iid_; }

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (!detail::Answers<IConnectionPoint>(riid)) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IConnectionPoint*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return owner_->AddRef(); }
    ULONG Release() override { return owner_->Release(); }

    HRESULT GetConnectionInterface(IID* iid) override {
        if (iid == nullptr) return E_POINTER;
        *iid = iid_;
        return S_OK;
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) override {
        if (out == nullptr) return E_POINTER;
        owner_->AddRef();
        *out = owner_;
        return S_OK;
    }
    // The sink must answer the outgoing interface: CONNECT_E_CANNOTCONNECT
    // otherwise.  Cookies start at 1 and are never reused.
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
        if (cookie != nullptr) *cookie = 0;
        if (sink == nullptr || cookie == nullptr) return E_POINTER;
        ComPtr<IUnknown> held;
        if (FAILED(sink->QueryInterface(iid_, held.OutVoid()))) return CONNECT_E_CANNOTCONNECT;
        std::lock_guard<std::mutex> lock(mutex_);
        *cookie = next_cookie_++;
        sinks_.emplace_back(*cookie, std::move(held));
        return S_OK;
    }
    HRESULT Unadvise(DWORD cookie) override {
        ComPtr<IUnknown> released;  // released after the lock is left
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
            if (it->first == cookie) {
                released = std::move(it->second);
                sinks_.erase(it);
                return S_OK;
            }
        }
        return CONNECT_E_NOCONNECTION;
    }
    HRESULT EnumConnections(IEnumConnections** out) override {
        if (out != nullptr) *out = nullptr;
        return E_NOTIMPL;
    }

    // Whether any sink is advised: a container need not prepare an event
    // that nobody hears.
    [[nodiscard]] bool HasSinks() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return !sinks_.empty();
    }
    // Fires the event id of an outgoing dispinterface: Invoke as a method
    // with params (borrowed, arguments last one first) on every sink advised
    // now, in the order of their advice.  The sinks are called outside the
    // lock, each held by a reference of its own, so a sink may unadvise
    // (itself or another) from inside the call.  Their answers are ignored:
    // one failing sink must not keep the others from the event, nor fail
    // the work that fired it.  Nothing escapes as an exception; false when
    // the list of sinks could not be made (out of memory).
    bool FireDispatch(DISPID id, DISPPARAMS* params) noexcept {
        std::vector<ComPtr<IUnknown>> sinks;
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            sinks.reserve(sinks_.size());
            for (const auto& entry : sinks_) sinks.push_back(entry.second);
        } catch (...) {
            return false;
        }
        for (const ComPtr<IUnknown>& sink : sinks) {
            // Advise kept the pointer the sink answered for the
            // dispinterface, which is an IDispatch.
            auto* dispatch = static_cast<IDispatch*>(sink.get());
            (void)dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params,
                                   nullptr, nullptr, nullptr);
        }
        return true;
    }

  private:
    IConnectionPointContainer* owner_;  // not owned: this point is part of it
    IID iid_;
    mutable std::mutex mutex_;
    DWORD next_cookie_ = 1;
    std::vector<std::pair<DWORD, ComPtr<IUnknown>>> sinks_;
};

}  // namespace zel::com
