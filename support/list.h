// CGenericList: the ordered, growable array of pointer-sized items used by the
// transport (request headers) and the server directory (records).
//
// The list owns only its array; the items are the owner's and are never freed
// by the list.  The array is allocated on the first insertion with 200
// places, grows by 50 places when full and, while the list holds more than
// 200 items, shrinks by 50 places when a removal leaves 50 or more free.
// Failures are reported once to the thread's current log and returned; a
// failed operation leaves the list as it was.
#pragma once

#include <cstdint>

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
    Item* buffer_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t count_ = 0;
};
