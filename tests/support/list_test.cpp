// CGenericList: items kept in place while the array grows and shrinks,
// positions, index checks.
#include "support/list.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "support/result_codes.h"
#include "tests/support/recording_sink.h"

namespace {

using zel::test::support::RecordingSink;

void* Item(std::uintptr_t n) {
    return reinterpret_cast<void*>(n);
}

std::uint32_t Count(const CGenericList& list) {
    std::uint32_t n = 0;
    EXPECT_EQ(list.GetCount(&n), S_OK);
    return n;
}

// Enough items for the array to be moved several times as it grows and
// shrinks: every item stays where it was put.
TEST(GenericList, ItemsKeepTheirPlacesAsTheListGrowsAndShrinks) {
    CGenericList list;
    std::int32_t index = -5;
    for (std::uintptr_t i = 0; i < 700; ++i) {
        ASSERT_EQ(list.Add(Item(i), &index), S_OK);
        ASSERT_EQ(index, static_cast<std::int32_t>(i));
    }
    for (int i = 0; i < 650; ++i) ASSERT_EQ(list.RemoveAt(0), S_OK);
    ASSERT_EQ(Count(list), 50u);
    for (std::int32_t i = 0; i < 50; ++i) {
        void* item = nullptr;
        ASSERT_EQ(list.GetAt(i, &item), S_OK);
        EXPECT_EQ(item, Item(650 + static_cast<std::uintptr_t>(i)));
    }
}

TEST(GenericList, InsertPositionsAndRemovalOrder) {
    CGenericList list;
    std::int32_t index = 0;
    ASSERT_EQ(list.Add(Item(10), &index), S_OK);
    ASSERT_EQ(list.InsertAt(Item(20), -1, &index), S_OK);
    EXPECT_EQ(index, 1);
    ASSERT_EQ(list.InsertAt(Item(30), 2, &index), S_OK);  // index == count appends
    EXPECT_EQ(index, 2);
    ASSERT_EQ(list.InsertAt(Item(5), 0, &index), S_OK);
    EXPECT_EQ(index, 0);
    ASSERT_EQ(list.InsertAt(Item(15), 2, &index), S_OK);
    const std::uintptr_t expected[] = {5, 10, 15, 20, 30};
    for (std::int32_t i = 0; i < 5; ++i) {
        void* item = nullptr;
        ASSERT_EQ(list.GetAt(i, &item), S_OK);
        EXPECT_EQ(item, Item(expected[i]));
    }
    ASSERT_EQ(list.RemoveAt(1), S_OK);
    void* item = nullptr;
    ASSERT_EQ(list.GetAt(1, &item), S_OK);
    EXPECT_EQ(item, Item(15));
    EXPECT_EQ(Count(list), 4u);
    EXPECT_EQ(list.RemoveAll(), S_OK);
    EXPECT_EQ(Count(list), 0u);
    ASSERT_EQ(list.Add(Item(1), &index), S_OK);  // usable again
    EXPECT_EQ(index, 0);
    ASSERT_EQ(list.GetAt(0, &item), S_OK);
    EXPECT_EQ(item, Item(1));
}

TEST(GenericList, InvalidIndexIsReportedAndChangesNothing) {
    CGenericList list;
    std::int32_t index = 0;
    ASSERT_EQ(list.Add(Item(7), &index), S_OK);
    RecordingSink sink;
    void* item = Item(99);
    EXPECT_EQ(list.GetAt(1, &item), zel::codes::kInvalidArg);  // index == count
    EXPECT_EQ(item, Item(99));
    EXPECT_EQ(list.GetAt(-1, &item), zel::codes::kInvalidArg);
    EXPECT_EQ(list.RemoveAt(3), zel::codes::kInvalidArg);
    EXPECT_EQ(Count(list), 1u);
    ASSERT_EQ(sink.entries.size(), 3u);
    EXPECT_EQ(sink.entries[0].context, "CGenericList::CheckIfValidIndex");
    EXPECT_EQ(sink.entries[0].id, 225u);

    // A missing index pointer is reported, but the item is added all the same.
    sink.entries.clear();
    EXPECT_EQ(list.Add(Item(8), nullptr), S_OK);
    EXPECT_EQ(Count(list), 2u);
    EXPECT_EQ(sink.entries.size(), 1u);
}

}  // namespace
