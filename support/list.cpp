// CGenericList: see list.h.
#include "support/list.h"

#include <cstdlib>
#include <cstring>

#include "support/strings.h"
#include "support/strings_internal.h"

using zel::support_detail::Fail;

void CGenericList::FreeArray::operator()(Item* p) const {
    std::free(p);
}

CGenericList::~CGenericList() = default;

HRESULT CGenericList::InitAlloc() {
    if (buffer_) return S_OK;
    Item* p = static_cast<Item*>(std::malloc(kInitialPlaces * sizeof(Item)));
    if (p == nullptr) return Fail(zel::codes::kOutOfMemory, "CGenericList::InitAlloc");
    buffer_.reset(p);
    capacity_ = kInitialPlaces;
    return S_OK;
}

HRESULT CGenericList::ResizeBuffer(std::uint32_t places) {
    // Never cut off items the list still holds.
    if (places < count_ || places == 0) {
        return Fail(zel::codes::kInvalidArg, "CGenericList::ResizeBuffer");
    }
    // realloc frees the old array only when it succeeds: the holder lets go
    // of it just then.
    Item* p = static_cast<Item*>(std::realloc(buffer_.get(), std::size_t{places} * sizeof(Item)));
    if (p == nullptr) return Fail(zel::codes::kOutOfMemory, "CGenericList::ResizeBuffer");
    (void)buffer_.release();
    buffer_.reset(p);
    capacity_ = places;
    return S_OK;
}

HRESULT CGenericList::CheckIfValidIndex(std::int32_t index) const {
    if (static_cast<std::uint32_t>(index) < count_) return S_OK;
    return Fail(zel::codes::kInvalidArg, "CGenericList::CheckIfValidIndex");
}

HRESULT CGenericList::Add(Item item, std::int32_t* index) {
    return InsertAt(item, static_cast<std::int32_t>(count_), index);
}

HRESULT CGenericList::InsertAt(Item item, std::int32_t index, std::int32_t* index_used) {
    HRESULT hr = S_OK;
    if (!buffer_) {
        hr = InitAlloc();
    } else if (count_ == capacity_) {
        hr = ResizeBuffer(capacity_ + kStepPlaces);
    }
    if (FAILED(hr)) return hr;

    std::uint32_t pos = static_cast<std::uint32_t>(index);
    if (pos >= count_) {
        pos = count_;
    } else {
        std::memmove(buffer_.get() + pos + 1, buffer_.get() + pos, (count_ - pos) * sizeof(Item));
    }
    buffer_[pos] = item;
    ++count_;
    // A missing index pointer is reported by CopyValue but the item stays.
    const std::int32_t used = static_cast<std::int32_t>(pos);
    (void)CopyValue(&used, index_used, sizeof used);
    return S_OK;
}

HRESULT CGenericList::GetCount(std::uint32_t* count) const {
    return CopyValue(&count_, count, sizeof count_);
}

HRESULT CGenericList::GetAt(std::int32_t index, Item* item) const {
    const HRESULT hr = CheckIfValidIndex(index);
    if (FAILED(hr)) return hr;
    return CopyValue(&buffer_[index], item, sizeof(Item));
}

HRESULT CGenericList::RemoveAt(std::int32_t index) {
    const HRESULT hr = CheckIfValidIndex(index);
    if (FAILED(hr)) return hr;
    const std::uint32_t pos = static_cast<std::uint32_t>(index);
    std::memmove(buffer_.get() + pos, buffer_.get() + pos + 1, (count_ - pos - 1) * sizeof(Item));
    --count_;
    if (capacity_ > kInitialPlaces && count_ > kInitialPlaces &&
        capacity_ - count_ >= kStepPlaces) {
        // Giving memory back is optional: a refused shrink keeps the list
        // whole and the removal done.
        (void)ResizeBuffer(capacity_ - kStepPlaces);
    }
    return S_OK;
}

HRESULT CGenericList::RemoveAll() {
    buffer_.reset();
    capacity_ = 0;
    count_ = 0;
    return S_OK;
}
