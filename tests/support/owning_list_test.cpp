// COwningList: every item handed to the list is deleted exactly once, by the
// list, whichever way it leaves (removal, RemoveAll, destruction), unless it
// is taken back.  Leak checking in the sanitizer build catches any item the
// list forgets; the counter below catches double deletion and early frees.
#include <gtest/gtest.h>

#include <memory>

#include "support/list.h"
#include "support/result_codes.h"
#include "tests/support/recording_sink.h"

namespace {

int g_alive = 0;

struct Counted {
    explicit Counted(int v) : value(v) { ++g_alive; }
    ~Counted() { --g_alive; }
    int value;
};

TEST(OwningList, ItemsAreDeletedByTheListOnEveryWayOut) {
    g_alive = 0;
    {
        COwningList<Counted> list;
        for (int i = 0; i < 260; ++i) {
            std::int32_t at = -1;
            ASSERT_EQ(list.Add(std::make_unique<Counted>(i), &at), S_OK);
            ASSERT_EQ(at, i);
        }
        EXPECT_EQ(list.GetCapacity(), 300u);  // the plain list's growth steps
        std::int32_t at = -1;
        ASSERT_EQ(list.InsertAt(std::make_unique<Counted>(-1), 0, &at), S_OK);
        EXPECT_EQ(at, 0);
        Counted* item = nullptr;
        ASSERT_EQ(list.GetAt(1, &item), S_OK);
        EXPECT_EQ(item->value, 0);
        EXPECT_EQ(g_alive, 261);

        ASSERT_EQ(list.RemoveAt(0), S_OK);
        EXPECT_EQ(g_alive, 260);
        std::unique_ptr<Counted> taken;
        ASSERT_EQ(list.Release(0, &taken), S_OK);
        EXPECT_EQ(taken->value, 0);
        EXPECT_EQ(list.Count(), 259u);
        taken.reset();
        EXPECT_EQ(g_alive, 259);

        zel::test::support::RecordingSink sink;
        EXPECT_EQ(list.RemoveAt(259), zel::codes::kInvalidArg);
        EXPECT_EQ(list.GetAt(259, &item), zel::codes::kInvalidArg);
        EXPECT_EQ(list.GetAt(0, nullptr), zel::codes::kInvalidArg);
        EXPECT_EQ(sink.entries.size(), 3u);
        EXPECT_EQ(g_alive, 259);

        EXPECT_EQ(list.RemoveAll(), S_OK);
        EXPECT_EQ(g_alive, 0);
        EXPECT_EQ(list.Count(), 0u);
        ASSERT_EQ(list.Add(std::make_unique<Counted>(7), nullptr), S_OK);  // reported, kept
        EXPECT_EQ(list.Count(), 1u);
    }
    EXPECT_EQ(g_alive, 0);  // the destructor deleted the last one
}

TEST(OwningList, ReleaseHandsTheItemOverOrDeletesIt) {
    g_alive = 0;
    COwningList<Counted> list;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(list.Add(std::make_unique<Counted>(i), nullptr), S_OK);
    // A refused index hands nothing over and leaves the caller's pointer alone.
    auto kept = std::make_unique<Counted>(99);
    zel::test::support::RecordingSink sink;
    EXPECT_EQ(list.Release(3, &kept), zel::codes::kInvalidArg);
    EXPECT_EQ(list.Release(-1, &kept), zel::codes::kInvalidArg);
    EXPECT_EQ(sink.entries.size(), 2u);  // one report per refusal
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->value, 99);
    EXPECT_EQ(list.Count(), 3u);
    // Taking an item back over an owned one frees the old one; with no
    // destination the taken item is deleted.
    ASSERT_EQ(list.Release(1, &kept), S_OK);
    EXPECT_EQ(kept->value, 1);
    EXPECT_EQ(g_alive, 3);
    ASSERT_EQ(list.Release(0, nullptr), S_OK);
    EXPECT_EQ(g_alive, 2);
    Counted* last = nullptr;
    ASSERT_EQ(list.GetAt(0, &last), S_OK);
    EXPECT_EQ(last->value, 2);
}

}  // namespace
