// CGenericList: the ordered, growable array of pointer-sized items used by the
// transport (request headers) and the server directory (records).
//
// The list owns only its array; the items are the owner's and are never freed
// by the list (COwningList below is the owner that does free them).  The array is allocated on the
// first insertion with 200 places, grows by 50 places when full and, while the list holds more than
// 200 items, shrinks by 50 places when a removal leaves 50 or more free.
// Failures are reported once to the thread's current log and returned; a
// failed operation leaves the list as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "support/result.h"

class CGenericList {
  public:
    using Item = void*;

    static constexpr std::uint32_t kInitialPlaces = 200;
    static constexpr std::uint32_t kStepPlaces = 50;

    CGenericList() = default;
    virtual ~CGenericList();
    CGenericList(const CGenericList&) = delete;
    CGenericList& operator=(const CGenericList&) = delete;

    // Appends item; its position goes to *index (index may be null: that is
    // reported but the item stays added and the result is unchanged).
    // Out of memory: 0x8020811E, nothing added.
    [[nodiscard]] HRESULT Add(Item item, std::int32_t* index);
    // Inserts item before position index; an index at or beyond the count
    // (compared as unsigned, so -1 is the end) appends.  The position used goes
    // to *index_used as with Add.
    [[nodiscard]] HRESULT InsertAt(Item item, std::int32_t index, std::int32_t* index_used);
    // Number of items into *count.  count missing: 0x801F811D.
    [[nodiscard]] HRESULT GetCount(std::uint32_t* count) const;
    // The item at index into *item; an invalid index gives 0x801F811D and
    // writes nothing.
    [[nodiscard]] HRESULT GetAt(std::int32_t index, Item* item) const;
    // Removes the item at index (invalid: 0x801F811D, list unchanged).
    [[nodiscard]] HRESULT RemoveAt(std::int32_t index);
    // Frees the array (not the items); always 0.
    HRESULT RemoveAll();

    // Places allocated (for callers that size their work, and for tests).
    [[nodiscard]] std::uint32_t GetCapacity() const { return capacity_; }

  protected:
    // Allocates the first 200 places when there is no array yet.
    [[nodiscard]] HRESULT InitAlloc();
    // Reallocates the array to places items; on failure nothing changes.
    [[nodiscard]] HRESULT ResizeBuffer(std::uint32_t places);
    // 0 when index (as unsigned) is below the count, else 0x801F811D.
    [[nodiscard]] HRESULT CheckIfValidIndex(std::int32_t index) const;

  private:
    // The malloc'd array (realloc grows it), freed with free.
    struct FreeArray {
        void operator()(Item* p) const;
    };
    std::unique_ptr<Item[], FreeArray> buffer_;
    std::uint32_t capacity_ = 0;
    std::uint32_t count_ = 0;
};

// An owning list of T: the items live in a CGenericList (same growth, same
// result codes and reports) but belong to the list, so that no caller ever
// deletes an item by hand.  An item is handed in as a unique_ptr and stays
// the list's until it is removed (deleted) or taken back with Release.  Items
// are lent out through GetAt as plain pointers, valid until that item is
// removed or the list is destroyed.
template <typename T>
class COwningList {
  public:
    COwningList() = default;
    ~COwningList() { (void)RemoveAll(); }
    COwningList(const COwningList&) = delete;
    COwningList& operator=(const COwningList&) = delete;

    // As CGenericList::Add / InsertAt.  On failure the item is deleted (the
    // unique_ptr taken by value goes out of scope) and the list is unchanged.
    [[nodiscard]] HRESULT Add(std::unique_ptr<T> item, std::int32_t* index) {
        const HRESULT hr = list_.Add(item.get(), index);
        if (SUCCEEDED(hr)) (void)item.release();
        return hr;
    }
    [[nodiscard]] HRESULT InsertAt(std::unique_ptr<T> item, std::int32_t index,
                                   std::int32_t* index_used) {
        const HRESULT hr = list_.InsertAt(item.get(), index, index_used);
        if (SUCCEEDED(hr)) (void)item.release();
        return hr;
    }
    [[nodiscard]] HRESULT GetCount(std::uint32_t* count) const { return list_.GetCount(count); }
    [[nodiscard]] std::uint32_t Count() const {
        std::uint32_t n = 0;
        (void)list_.GetCount(&n);
        return n;
    }
    // The item at index, lent (the list keeps it); an invalid index gives
    // 0x801F811D (reported) and writes nothing.
    [[nodiscard]] HRESULT GetAt(std::int32_t index, T** item) const {
        if (item == nullptr) return list_.GetAt(index, nullptr);  // reported there
        CGenericList::Item raw = nullptr;
        const HRESULT hr = list_.GetAt(index, &raw);
        if (SUCCEEDED(hr)) *item = static_cast<T*>(raw);
        return hr;
    }
    // Removes and deletes the item at index (invalid: 0x801F811D, nothing
    // changes).
    [[nodiscard]] HRESULT RemoveAt(std::int32_t index) {
        std::unique_ptr<T> item;
        return Release(index, &item);
    }
    // Removes the item at index and hands it to *out (the caller's from then
    // on).  Invalid index: 0x801F811D, nothing changes.
    [[nodiscard]] HRESULT Release(std::int32_t index, std::unique_ptr<T>* out) {
        CGenericList::Item raw = nullptr;
        HRESULT hr = list_.GetAt(index, &raw);
        if (FAILED(hr)) return hr;
        hr = list_.RemoveAt(index);
        if (FAILED(hr)) return hr;
        std::unique_ptr<T> owned(static_cast<T*>(raw));
        if (out != nullptr) *out = std::move(owned);
        return S_OK;
    }
    // Deletes every item and frees the array; always 0.
    HRESULT RemoveAll() {
        std::uint32_t n = Count();
        for (std::uint32_t i = 0; i < n; ++i) {
            CGenericList::Item raw = nullptr;
            if (FAILED(list_.GetAt(static_cast<std::int32_t>(i), &raw))) continue;
            std::unique_ptr<T> owned(static_cast<T*>(raw));  // freed at the end of this pass
        }
        return list_.RemoveAll();
    }
    [[nodiscard]] std::uint32_t GetCapacity() const { return list_.GetCapacity(); }

  private:
    CGenericList list_;
};
