// Lock templates: a lock name taken again is a further name of one file of
// the process, with every property of a freshly created lock file, and the
// templates go with their process.
#include "support/lock_template.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/lock.h"
#include "tests/common/child.h"
#include "tests/common/scratch.h"
#include "tests/support/run_locks_helper.h"

namespace {

using zel::test::Age;
using zel::test::AgeOf;
using zel::test::FileExists;
using zel::test::RunLocksHelper;
using zel::test::ScratchRoot;

constexpr int kDeadlineMs = 20000;

std::string RecordOf(const zel::proc::ProcessIdentity& who) {
    return "qvzel-holder " + std::to_string(who.pid) + " " + std::to_string(who.start) + "\n";
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    (void)::lstat(path.c_str(), &st);
    return st;
}

class LockTemplateTest : public ScratchRoot {
  protected:
    void TearDown() override { zel::locks::DropTemplates(); }
    // The template files in the scratch directory, sorted.
    std::vector<std::string> Templates() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(Path(""))) {
            const std::string name = e.path().filename().string();
            if (name.rfind(".qvzel_lock.tpl.", 0) == 0) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(LockTemplateTest, ALockTakenAgainIsLinkedFromOneFileAndStaysExclusiveFreshAndJudged) {
    const std::string res = Path("res");
    const std::string lock = res + ".qvzel_lock";
    // Taken once: an ordinary file, and nothing else is made.
    ASSERT_TRUE(TryLock(res.c_str()));
    EXPECT_EQ(StatOf(lock).st_nlink, 1u);
    Unlock(res.c_str());
    EXPECT_TRUE(Templates().empty());

    // Taken again: a second name of the template, which outlives the lock.
    ASSERT_TRUE(TryLock(res.c_str()));
    ASSERT_EQ(Templates().size(), 1u);
    const std::string tpl = Path(Templates()[0]);
    EXPECT_EQ(StatOf(lock).st_ino, StatOf(tpl).st_ino);
    EXPECT_EQ(StatOf(lock).st_size, 0);
    EXPECT_FALSE(TryLock(res.c_str()));  // still exclusive, in this process too
    EXPECT_EQ(RunLocksHelper({"hold", res}), 1);
    Unlock(res.c_str());
    EXPECT_FALSE(FileExists(lock));
    EXPECT_TRUE(FileExists(tpl));

    // An old template gives a fresh lock: its age is the moment it was taken.
    Age(tpl, 3600);
    ASSERT_TRUE(TryLock(res.c_str()));
    EXPECT_LT(AgeOf(lock), 60);
    EXPECT_FALSE(IsLockStale(lock.c_str(), 1));
    // And another process judges it by its age as before.
    EXPECT_EQ(RunLocksHelper({"retry", res, "0"}), 1);
    Age(lock, 3600);
    EXPECT_EQ(RunLocksHelper({"lock", res, "1"}), 0);
    EXPECT_FALSE(FileExists(lock));
    ASSERT_TRUE(TryLock(res.c_str()));  // the template still serves
    Unlock(res.c_str());

    // A recorded lock holds its holder's line from its first moment.
    const std::string rec = Path("rec");
    const std::string rec_lock = rec + ".qvzel_lock";
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(TryLockRecorded(rec.c_str()));
        EXPECT_EQ(ReadFile(rec_lock), RecordOf(zel::proc::SelfIdentity()));
        Unlock(rec.c_str());
    }
    EXPECT_EQ(Templates().size(), 2u);  // one per name and kind
    // A plain lock of the same name is not the recorded one's template.
    ASSERT_TRUE(TryLock(rec.c_str()));
    EXPECT_FALSE(TryLock(rec.c_str()));
    Unlock(rec.c_str());
    ASSERT_TRUE(TryLock(rec.c_str()));
    EXPECT_EQ(ReadFile(rec_lock), "");
    Unlock(rec.c_str());

    zel::locks::DropTemplates();
    EXPECT_TRUE(Templates().empty());
    ASSERT_TRUE(TryLock(res.c_str()));  // after a drop: the plain way, then a new one
    Unlock(res.c_str());
}

TEST_F(LockTemplateTest, TemplatesGoWithTheirProcessAndThoseOfEndedOnesAreSwept) {
    const std::string res = Path("res");
    // A process that ends normally takes its templates with it.
    EXPECT_EQ(RunLocksHelper({"repeat", res, "3"}), 0);
    EXPECT_TRUE(Templates().empty());
    EXPECT_FALSE(FileExists(res + ".qvzel_lock"));

    // One that ends without its exit handlers (like a killed one) leaves it.
    EXPECT_EQ(zel::test::RunInChild(
                  [&] {
                      for (int i = 0; i < 3; ++i) {
                          if (!TryLock(res.c_str())) return 1;
                          Unlock(res.c_str());
                      }
                      return 0;
                  },
                  kDeadlineMs),
              0);
    ASSERT_EQ(Templates().size(), 1u);
    const std::string left = Templates()[0];
    // Names of a running process stay; one with a reused pid does not.
    const zel::proc::ProcessIdentity self = zel::proc::SelfIdentity();
    const std::string stem =
        ".qvzel_lock.tpl." + std::to_string(self.pid) + "." + std::to_string(self.start);
    const std::string live = stem + ".999";
    const std::string reused =
        ".qvzel_lock.tpl." + std::to_string(self.pid) + "." + std::to_string(self.start + 1) + ".0";
    WriteFile(Path(live), "");
    WriteFile(Path(reused), "");
    WriteFile(Path(".qvzel_lock.tpl.x"), "not one of ours");

    // The next process that takes a lock here, even once, sweeps the ended
    // ones.
    EXPECT_EQ(RunLocksHelper({"repeat", Path("other"), "1"}), 0);
    EXPECT_EQ(Templates(), (std::vector<std::string>{live, ".qvzel_lock.tpl.x"}));
    EXPECT_FALSE(FileExists(Path(left)));
}

TEST_F(LockTemplateTest, AForkedChildNeitherUsesNorRemovesItsParentsTemplates) {
    const std::string res = Path("res");
    const std::string lock = res + ".qvzel_lock";
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(TryLockRecorded(res.c_str()));
        Unlock(res.c_str());
    }
    ASSERT_EQ(Templates().size(), 1u);
    const std::string parents = Templates()[0];
    const std::string parent_record = RecordOf(zel::proc::SelfIdentity());

    EXPECT_EQ(zel::test::RunInChild(
                  [&] {
                      for (int i = 0; i < 3; ++i) {
                          if (!TryLockRecorded(res.c_str())) return 1;
                          if (ReadFile(lock) != RecordOf(zel::proc::SelfIdentity())) return 2;
                          Unlock(res.c_str());
                      }
                      zel::locks::DropTemplates();
                      return 0;
                  },
                  kDeadlineMs),
              0);
    EXPECT_EQ(Templates(), std::vector<std::string>{parents});
    EXPECT_EQ(ReadFile(Path(parents)), parent_record);
    ASSERT_TRUE(TryLockRecorded(res.c_str()));
    EXPECT_EQ(StatOf(lock).st_ino, StatOf(Path(parents)).st_ino);
    Unlock(res.c_str());
}

}  // namespace
