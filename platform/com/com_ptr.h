// ComPtr<T>: the owner of one interface reference, for clients and
// components alike.  It releases what it holds when it goes or is reset;
// Out() hands its slot to a call that returns a new reference.
//   ComPtr<IPoll> poll;
//   HRESULT hr = CoCreateInstance(CLSID_Poll, nullptr, CLSCTX_ALL, IID_IPoll, poll.OutVoid());
#pragma once

#include <utility>

#include "platform/com/com.h"

namespace zel::com {

template <typename T>
class ComPtr {
  public:
    ComPtr() = default;
    // Takes a new reference of its own.
    explicit ComPtr(T* p) : p_(p) {
        if (p_ != nullptr) p_->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(const ComPtr& o) {
        if (this != &o) Reset(o.p_);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        if (this != &o) Attach(std::exchange(o.p_, nullptr));
        return *this;
    }
    ~ComPtr() { Reset(); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Releases the held reference and adds one to p (which may be null).
    void Reset(T* p = nullptr) {
        if (p != nullptr) p->AddRef();
        T* old = std::exchange(p_, p);
        if (old != nullptr) old->Release();
    }
    // Takes over a reference the caller already owns.
    void Attach(T* owned) {
        T* old = std::exchange(p_, owned);
        if (old != nullptr) old->Release();
    }
    // Gives up the reference to the caller, who must release it.
    [[nodiscard]] T* Detach() { return std::exchange(p_, nullptr); }

    // The slot for an out parameter; what was held is released first.
    T** Out() {
        Reset();
        return &p_;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }

    // QueryInterface for U into *out; the status of QueryInterface, or
    // E_POINTER when nothing is held.
    template <typename U>
    [[nodiscard]] HRESULT As(ComPtr<U>* out) const {
        if (p_ == nullptr) {
            out->Reset();
            return E_POINTER;
        }
        return p_->QueryInterface(U::kIid, out->OutVoid());
    }

  private:
    T* p_ = nullptr;
};

}  // namespace zel::com
