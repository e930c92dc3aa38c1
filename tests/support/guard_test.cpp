// Guard files: entries deny a file to other runs within their timeout, purge
// as they age, and survive two processes racing on one guard file.
#include "support/guard.h"

#include <sys/stat.h>

#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

#include "platform/system.h"
#include "support/config.h"
#include "support/lock.h"
#include "tests/common/scratch.h"
#include "tests/support/recording_sink.h"
#include "tests/support/run_locks_helper.h"

namespace {

using zel::test::FileExists;
using zel::test::LocksHelper;
using zel::test::ReadFile;
using zel::test::ScratchRoot;
using zel::test::WriteFile;
using zel::test::support::RecordingSink;

class GuardTest : public ScratchRoot {
  protected:
    // A line as another writer left it, made seconds_ago seconds ago.
    static std::string Entry(long seconds_ago, const std::string& text, int pid = 4242) {
        return std::to_string(static_cast<long long>(std::time(nullptr)) - seconds_ago) + " " +
               std::to_string(pid) + " " + text + "\r\n";
    }
    bool Acquire(const std::string& text) {
        return GuardAcquire(guard_.c_str(), "write_timeout", 330000, text.c_str());
    }
    std::string OwnLinePattern(const std::string& text) const {
        return "[0-9]+ " + std::to_string(::getpid()) + " " + text + "\r\n";
    }
    void SetUp() override {
        ScratchRoot::SetUp();
        guard_ = CommPath("qvzel.up.guard");
    }
    std::string guard_;
};

TEST_F(GuardTest, FirstAcquireWritesOneCrLfLine) {
    const std::string text = "/dealer/UPLOAD/ORDERS.DAT";
    long long before = std::time(nullptr);
    ASSERT_TRUE(Acquire(text));
    long long after = std::time(nullptr);
    const std::string content = ReadFile(guard_);
    EXPECT_TRUE(std::regex_match(content, std::regex(OwnLinePattern(text)))) << content;
    long long stamp = std::stoll(content);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_FALSE(FileExists(guard_ + ".qvzel_lock"));
    // The same text again, at once: denied, nothing added.
    EXPECT_FALSE(Acquire(text));
    EXPECT_EQ(ReadFile(guard_), content);
}

TEST_F(GuardTest, LiveEntryDeniesAndExpiredEntryIsReplaced) {
    const std::string live = Entry(100, "A.DAT");
    WriteFile(guard_, live);
    EXPECT_FALSE(Acquire("A.DAT"));
    EXPECT_EQ(ReadFile(guard_), live);

    WriteFile(guard_, Entry(400, "A.DAT"));
    EXPECT_TRUE(Acquire("A.DAT"));
    EXPECT_TRUE(std::regex_match(ReadFile(guard_), std::regex(OwnLinePattern("A.DAT"))))
        << ReadFile(guard_);

    // One live and one expired entry of the same text.
    const std::string young = Entry(10, "B.DAT", 2);
    WriteFile(guard_, Entry(500, "B.DAT", 1) + young);
    EXPECT_FALSE(Acquire("B.DAT"));
    EXPECT_EQ(ReadFile(guard_), young);
}

TEST_F(GuardTest, OtherTextsArePurgedOnlyAfterTheGuardTimeout) {
    // Entries are made once: a second ticking over between writing and
    // checking must not change the expected text.
    const std::string young = Entry(345000, "YOUNG.DAT"), spaced = Entry(10, "a b c.DAT");
    WriteFile(guard_, Entry(345601, "OLD.DAT") + young + spaced);
    ASSERT_TRUE(Acquire("a b"));  // text with spaces is compared whole
    const std::string content = ReadFile(guard_);
    EXPECT_EQ(content.find("OLD.DAT"), std::string::npos);
    EXPECT_NE(content.find(young), std::string::npos);
    EXPECT_NE(content.find(spaced), std::string::npos);
    EXPECT_NE(content.find(" a b\r\n"), std::string::npos);
}

TEST_F(GuardTest, TimeoutsComeFromTheConfigurationFile) {
    // 1999 ms count as 1 second: an entry 1 second old has expired.
    WriteFile(ConfigFilePath(), "write_timeout=1999\nguard_timeout=50\n");
    WriteFile(guard_, Entry(1, "A.DAT") + Entry(60, "OTHER.DAT") + Entry(40, "KEPT.DAT"));
    EXPECT_TRUE(Acquire("A.DAT"));
    const std::string content = ReadFile(guard_);
    EXPECT_EQ(content.find("OTHER.DAT"), std::string::npos);
    EXPECT_NE(content.find("KEPT.DAT"), std::string::npos);
    // The download guard reads its own key, with its own default.
    WriteFile(guard_, Entry(6000, "F.DAT"));
    EXPECT_FALSE(GuardAcquire(guard_.c_str(), "read_timeout", 6900000, "F.DAT"));
}

// Our own new entries with their time replaced, so that two updates made a
// second apart compare equal.
std::string WithoutOwnTimes(const std::string& content) {
    return std::regex_replace(content, std::regex("[0-9]+ (" + std::to_string(::getpid()) + " )"),
                              "T $1");
}

TEST_F(GuardTest, AcquiringSeveralAtOnceEndsAsAcquiringThemInTurn) {
    // Ages on both sides of each limit, for texts acquired and texts not.
    const std::vector<std::string> texts = {"A.DAT", "B.DAT", "C.DAT", "D.DAT", "A B.DAT"};
    const char* const configs[] = {
        "",                                          // 330 s entries, 4-day guard
        "write_timeout=0\n",                         // entries never live
        "write_timeout=100000\nguard_timeout=50\n",  // guard shorter than an entry
        "guard_timeout=0\n",
    };
    for (const char* config : configs) {
        WriteFile(ConfigFilePath(), config);
        std::string seed;
        for (long age : {0L, 20L, 49L, 51L, 99L, 329L, 331L, 345599L, 345601L}) {
            seed += Entry(age, "A.DAT") + Entry(age, "OTHER.DAT");
            if (age > 60) seed += Entry(age, "B.DAT");
            if (age < 60) seed += Entry(age, "A B.DAT");
        }
        seed += Entry(400, "C.DAT") + Entry(10, "C.DAT");
        const std::string one_by_one = CommPath("qvzel.one.guard");
        WriteFile(one_by_one, seed);
        WriteFile(guard_, seed);
        std::vector<bool> expected;
        for (const std::string& text : texts)
            expected.push_back(
                GuardAcquire(one_by_one.c_str(), "write_timeout", 330000, text.c_str()));
        EXPECT_EQ(GuardAcquireAll(guard_.c_str(), "write_timeout", 330000, texts), expected)
            << "config: " << config;
        EXPECT_EQ(WithoutOwnTimes(ReadFile(guard_)), WithoutOwnTimes(ReadFile(one_by_one)))
            << "config: " << config;
    }
    // A text with a line break is answered false and the rest go ahead.
    WriteFile(ConfigFilePath(), "");
    WriteFile(guard_, "");
    EXPECT_EQ(GuardAcquireAll(guard_.c_str(), "write_timeout", 330000, {"X\nY", "Z.DAT"}),
              (std::vector<bool>{false, true}));
    EXPECT_TRUE(std::regex_match(ReadFile(guard_), std::regex(OwnLinePattern("Z.DAT"))));
}

TEST_F(GuardTest, ReadsEveryLineEndAndDropsMalformedLines) {
    const std::string now = std::to_string(static_cast<long long>(std::time(nullptr)));
    WriteFile(guard_, now + " 1 LF.DAT\n" + now + " 2 CR.DAT\r" + now + " 3 LFCR.DAT\n\r" +
                          "garbage\r\n" + "12 onlyonespace\r\n" + std::string(1, '\0') + now +
                          " 4 LAST.DAT");
    EXPECT_TRUE(Acquire("NEW.DAT"));
    const std::string kept = now + " 1 LF.DAT\r\n" + now + " 2 CR.DAT\r\n" + now +
                             " 3 LFCR.DAT\r\n" + now + " 4 LAST.DAT\r\n";
    const std::string content = ReadFile(guard_);
    EXPECT_EQ(content.substr(0, kept.size()), kept);
    EXPECT_TRUE(
        std::regex_match(content.substr(kept.size()), std::regex(OwnLinePattern("NEW.DAT"))))
        << content;
    for (const char* text : {"LF.DAT", "CR.DAT", "LFCR.DAT", "LAST.DAT"}) {
        EXPECT_FALSE(Acquire(text)) << text;
    }
}

TEST_F(GuardTest, ReleaseRemovesEveryEntryOfItsTextOnly) {
    const std::string old = Entry(999999, "OLD.DAT", 2), bak = Entry(8, "A.DAT.BAK", 4);
    WriteFile(guard_, Entry(5, "A.DAT", 1) + old + Entry(7, "A.DAT", 3) + bak);
    GuardRelease(guard_.c_str(), "A.DAT");
    EXPECT_EQ(ReadFile(guard_), old + bak);
    EXPECT_TRUE(Acquire("A.DAT"));
}

TEST_F(GuardTest, ReleasingSeveralAtOnceIsOneRewrite) {
    const std::string keep = Entry(999999, "KEEP.DAT", 2) + Entry(8, "A.DAT.BAK", 4);
    WriteFile(guard_, Entry(5, "A.DAT", 1) + keep + Entry(7, "B DAT", 3) + Entry(9, "A.DAT", 5));
    const unsigned long before = guard_test_hooks::RewriteCount();
    GuardReleaseAll(guard_.c_str(), {"A.DAT", "B DAT", "MISSING.DAT"});
    EXPECT_EQ(guard_test_hooks::RewriteCount() - before, 1u);
    EXPECT_EQ(ReadFile(guard_), keep);
    GuardReleaseAll(guard_.c_str(), {});
    EXPECT_EQ(guard_test_hooks::RewriteCount() - before, 1u);  // nothing to do: untouched
}

TEST_F(GuardTest, HeldGuardLockDeniesAndChangesNothing) {
    WriteFile(ConfigFilePath(), "guard_count=0\n");
    const std::string entry = Entry(5, "A.DAT");
    WriteFile(guard_, entry);
    ASSERT_TRUE(TryLock(guard_.c_str()));
    EXPECT_FALSE(Acquire("NEW.DAT"));
    GuardRelease(guard_.c_str(), "A.DAT");
    EXPECT_EQ(ReadFile(guard_), entry);
    Unlock(guard_.c_str());
}

TEST_F(GuardTest, GuardFileThatCannotBeRewrittenLetsTheCallerThrough) {
    // A directory where the guard file should be: it can be neither read nor
    // recreated, and the transfer must not be stopped by that.
    ASSERT_TRUE(std::filesystem::create_directory(guard_));
    EXPECT_TRUE(Acquire("A.DAT"));
    EXPECT_TRUE(Acquire("A.DAT"));
    GuardRelease(guard_.c_str(), "A.DAT");
    EXPECT_FALSE(FileExists(guard_ + ".qvzel_lock"));
}

// A text with a line break would make a guard line of its own (or break
// one): refused and reported, the file untouched.
TEST_F(GuardTest, GuardTextWithALineBreakIsRefusedAndReported) {
    const std::string guard = CommPath("qvzel.down.guard");
    WriteFile(guard, Entry(10, "A.DTZ"));
    RecordingSink log;
    for (const char* text : {"B.DTZ\r\n999 1 A.DTZ", "B\nDTZ", "B\rDTZ"}) {
        EXPECT_FALSE(GuardAcquire(guard.c_str(), "read_timeout", 6900000, text)) << text;
    }
    EXPECT_EQ(ReadFile(guard), Entry(10, "A.DTZ"));
    ASSERT_EQ(log.entries.size(), 3u);
    EXPECT_EQ(log.entries[0].code, static_cast<HRESULT>(0x801F811D));
    EXPECT_EQ(log.entries[0].context, "GuardAcquire");
    EXPECT_EQ(log.entries[0].id, 225u);
    EXPECT_FALSE(FileExists(guard + ".qvzel_lock"));
    // An ordinary text still goes through, without a report.
    EXPECT_TRUE(GuardAcquire(guard.c_str(), "read_timeout", 6900000, "B.DTZ"));
    EXPECT_EQ(log.entries.size(), 3u);
}

// Two processes race for the same 200 keys on one guard file: no key is ever
// granted to both.
TEST_F(GuardTest, TwoProcessesNeverBothWinOneKey) {
    const std::string go = Path("go");
    const int rounds = 200;
    std::vector<LocksHelper> racers;
    for (int p = 0; p < 2; ++p) {
        racers.emplace_back(std::vector<std::string>{"guard", guard_, go, std::to_string(rounds),
                                                     Path("won" + std::to_string(p))});
    }
    WriteFile(go, "");
    for (LocksHelper& racer : racers) ASSERT_EQ(racer.Wait(), 0);

    std::vector<std::set<int>> won(2);
    for (int p = 0; p < 2; ++p) {
        std::istringstream in(ReadFile(Path("won" + std::to_string(p))));
        for (int i; in >> i;) won[p].insert(i);
    }
    for (int i = 0; i < rounds; ++i) {
        EXPECT_FALSE(won[0].count(i) && won[1].count(i)) << "both processes won file-" << i;
        // Contention on the guard's lock never lasts the 3 seconds of retries.
        EXPECT_TRUE(won[0].count(i) || won[1].count(i)) << "nobody won file-" << i;
    }
    // Every grant left exactly one entry.
    const std::string content = ReadFile(guard_);
    int lines = 0;
    for (std::size_t at = 0; (at = content.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    EXPECT_EQ(lines, rounds);
}

// A run killed inside its short update leaves the guard's lock and perhaps
// a half-written replacement file.  The next run takes both over at once once
// that run has ended; a lock whose holder runs is respected however old.
TEST_F(GuardTest, LeftoversOfAKilledUpdateAreClearedAndLiveHoldersRespected) {
    WriteFile(ConfigFilePath(), "guard_count=0\n");
    const std::string lock_file = guard_ + ".qvzel_lock";
    const std::string entry = Entry(5, "OLD.DAT");
    WriteFile(guard_, entry);
    // The helper's pid, for the names of its leftovers: it has ended when
    // the wait returns.
    LocksHelper holder({"hold-recorded", guard_});
    const pid_t ended = holder.pid();
    ASSERT_EQ(holder.Wait(), 0);
    ASSERT_TRUE(FileExists(lock_file));
    const std::string dir = guard_.substr(0, guard_.rfind('/') + 1);
    const std::string stamp = ".qvzel_lock.tmp.";  // then pid, start time, counter
    const std::string dead_part = dir + ".qvzel.up.guard" + stamp + std::to_string(ended) + ".0.0";
    // This test's own process: running (a start of 0 is not compared).
    const std::string live_part =
        dir + ".qvzel.up.guard" + stamp + std::to_string(zel::sys::ProcessId()) + ".0.0";
    const std::string other = dir + ".qvzel.scan.guard" + stamp + std::to_string(ended) + ".0.0";
    WriteFile(dead_part, "half");
    WriteFile(live_part, "half");
    WriteFile(other, "half");

    EXPECT_TRUE(Acquire("A.DAT"));
    EXPECT_TRUE(std::regex_match(ReadFile(guard_), std::regex(entry + OwnLinePattern("A.DAT"))))
        << ReadFile(guard_);
    EXPECT_FALSE(FileExists(lock_file));
    EXPECT_FALSE(FileExists(lock_file + ".takeover"));
    EXPECT_FALSE(FileExists(dead_part));
    EXPECT_TRUE(FileExists(live_part));
    EXPECT_TRUE(FileExists(other));  // another guard file's: not ours to judge here

    // Held by a running process (this one), an hour old: refused, untouched.
    const std::string before = ReadFile(guard_);
    ASSERT_TRUE(TryLockRecorded(guard_.c_str()));
    zel::test::Age(lock_file, 3600);
    EXPECT_FALSE(Acquire("B.DAT"));
    GuardRelease(guard_.c_str(), "A.DAT");
    EXPECT_EQ(ReadFile(guard_), before);
    EXPECT_TRUE(FileExists(lock_file));
    Unlock(guard_.c_str());

    // A lock naming no holder is older than any update after a few seconds.
    WriteFile(lock_file, "");
    EXPECT_FALSE(Acquire("B.DAT"));
    zel::test::Age(lock_file, 20);
    EXPECT_TRUE(Acquire("B.DAT"));
    EXPECT_FALSE(FileExists(lock_file));
}

// ---- A run's claims ----------------------------------------------------------

class GuardClaimsTest : public GuardTest {
  protected:
    void TearDown() override {
        guard_test_hooks::ShiftClock(-shifted_);
        GuardTest::TearDown();
    }
    // Lets time pass for the guard (entries age, claims age).
    void Shift(long long seconds) {
        guard_test_hooks::ShiftClock(seconds);
        shifted_ += seconds;
    }
    long long Now() const { return static_cast<long long>(std::time(nullptr)) + shifted_; }
    // The times of the entries of text, in file order.
    std::vector<long long> TimesOf(const std::string& text) const {
        std::vector<long long> times;
        for (const GuardEntry& e : ParseGuardEntries(ReadFile(guard_))) {
            if (e.text == text) times.push_back(e.time);
        }
        return times;
    }
    static std::vector<std::string> Names(const std::string& prefix, int count) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(i));
        return names;
    }
    long long shifted_ = 0;
};

// A whole list is claimed with one rewrite, with GuardAcquireAll's answers;
// from then on every claimed text is denied to other runs, a text another
// run held is never held here, and the texts given back go together at the
// end, with one more rewrite.
TEST_F(GuardClaimsTest, AListIsClaimedInOneRewriteAndGivenBackInOne) {
    WriteFile(guard_, Entry(10, "T7"));
    GuardClaims claims(guard_, kUploadGuard);
    const std::vector<std::string> names = Names("T", 50);
    const unsigned long before = guard_test_hooks::RewriteCount();
    const std::vector<bool> granted = claims.Claim(names);
    EXPECT_EQ(guard_test_hooks::RewriteCount() - before, 1u);
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(granted[i], i != 7) << names[i];
    EXPECT_EQ(GuardAcquireAll(guard_.c_str(), "write_timeout", 330000, {"T0", "T49"}),
              (std::vector<bool>{false, false}));

    EXPECT_TRUE(claims.Hold(0));
    EXPECT_FALSE(claims.Hold(7));
    EXPECT_TRUE(claims.Hold(0));  // still held
    EXPECT_FALSE(claims.Hold(50));
    claims.GiveBack(0);
    claims.GiveBack(1);  // never held: given back all the same
    claims.GiveBack(7);  // never claimed: the other run's entry stays
    const unsigned long rewrites = guard_test_hooks::RewriteCount();
    claims.Finish();
    EXPECT_EQ(guard_test_hooks::RewriteCount() - rewrites, 1u);
    EXPECT_EQ(TimesOf("T0"), std::vector<long long>{});
    EXPECT_EQ(TimesOf("T1"), std::vector<long long>{});
    EXPECT_EQ(TimesOf("T7").size(), 1u);
    EXPECT_EQ(TimesOf("T2").size(), 1u);
    claims.Finish();  // nothing left to give back: no rewrite
    EXPECT_EQ(guard_test_hooks::RewriteCount() - rewrites, 1u);
}

// Claims not yet reached are renewed, in one rewrite, once they have aged a
// quarter of their timeout, so a file reached late is still guarded when
// its turn comes; held ones keep their time and expire as usual.
TEST_F(GuardClaimsTest, WaitingClaimsAreRenewedAfterAQuarterOfTheirTimeout) {
    WriteFile(ConfigFilePath(), "write_timeout=400000\n");
    GuardClaims claims(guard_, kUploadGuard);
    ASSERT_EQ(claims.Claim({"A", "B", "C"}), (std::vector<bool>{true, true, true}));
    ASSERT_EQ(TimesOf("A").size(), 1u);
    const long long start = TimesOf("A")[0];
    EXPECT_TRUE(claims.Hold(0));
    Shift(99);
    const unsigned long before = guard_test_hooks::RewriteCount();
    EXPECT_TRUE(claims.Hold(0));
    Shift(1);
    EXPECT_TRUE(claims.Hold(1));
    EXPECT_EQ(guard_test_hooks::RewriteCount() - before, 1u);
    EXPECT_EQ(TimesOf("A"), std::vector<long long>{start});
    EXPECT_EQ(TimesOf("B"), std::vector<long long>{start + 100});
    EXPECT_EQ(TimesOf("C"), std::vector<long long>{start + 100});

    // Long after the start, before C's renewed timeout: A is free for
    // another run, C is not.
    Shift(350);
    EXPECT_EQ(GuardAcquireAll(guard_.c_str(), "write_timeout", 330000, {"A", "C"}),
              (std::vector<bool>{true, false}));
    // C's own entry is renewed again, not taken for another run's.
    EXPECT_TRUE(claims.Hold(2));
    EXPECT_EQ(TimesOf("C"), std::vector<long long>{start + 450});
    EXPECT_EQ(TimesOf("B"), std::vector<long long>{start + 100});
}

// A claim that lapsed while the run was away (its process stopped, say) and
// that another run took since is lost: the file is that run's.
TEST_F(GuardClaimsTest, ALapsedClaimAnotherRunTookIsLost) {
    WriteFile(ConfigFilePath(), "write_timeout=400000\n");
    GuardClaims claims(guard_, kUploadGuard);
    ASSERT_EQ(claims.Claim({"A", "B"}), (std::vector<bool>{true, true}));
    Shift(500);
    ASSERT_TRUE(GuardAcquire(guard_.c_str(), "write_timeout", 400000, "A"));
    const std::vector<long long> theirs = TimesOf("A");
    const long long before = Now();
    EXPECT_FALSE(claims.Hold(0));
    EXPECT_TRUE(claims.Hold(1));  // lapsed as well, but nobody took it
    const long long after = Now();
    EXPECT_EQ(TimesOf("A"), theirs);
    ASSERT_EQ(TimesOf("B").size(), 1u);
    EXPECT_GE(TimesOf("B")[0], before);
    EXPECT_LE(TimesOf("B")[0], after);
    claims.GiveBack(0);  // not ours any more: nothing to give back
    claims.Finish();
    EXPECT_EQ(TimesOf("A"), theirs);
}

// A renewal that cannot have the guard's lock leaves the file alone: a
// claim still younger than its timeout guards its file as it is, a lapsed
// one does not, and its file is left to another run.
TEST_F(GuardClaimsTest, WithTheGuardLockedYoungClaimsHoldAndLapsedOnesAreLeft) {
    WriteFile(ConfigFilePath(), "write_timeout=400000\nguard_count=0\n");
    GuardClaims claims(guard_, kUploadGuard);
    ASSERT_EQ(claims.Claim({"A", "B"}), (std::vector<bool>{true, true}));
    const std::string content = ReadFile(guard_);
    ASSERT_TRUE(TryLockRecorded(guard_.c_str()));  // another update under way
    Shift(100);
    EXPECT_TRUE(claims.Hold(0));
    Shift(300);
    EXPECT_FALSE(claims.Hold(1));
    EXPECT_EQ(ReadFile(guard_), content);
    Unlock(guard_.c_str());
}

// Runs in two processes that claim their whole lists at once, and one that
// acquires file by file, race for the same 200 files: none is ever held by
// two of them, and each is held by one.
TEST_F(GuardClaimsTest, ClaimingRunsAndAFileByFileRunNeverShareAFile) {
    const std::string go = Path("go");
    const int rounds = 200;
    std::vector<LocksHelper> racers;
    const std::vector<std::string> modes = {"claims", "claims", "guard"};
    for (std::size_t p = 0; p < modes.size(); ++p) {
        racers.emplace_back(std::vector<std::string>{modes[p], guard_, go, std::to_string(rounds),
                                                     Path("won" + std::to_string(p))});
    }
    WriteFile(go, "");
    for (LocksHelper& racer : racers) ASSERT_EQ(racer.Wait(), 0);

    std::vector<int> holders(rounds, 0);
    for (std::size_t p = 0; p < modes.size(); ++p) {
        std::istringstream in(ReadFile(Path("won" + std::to_string(p))));
        for (int i; in >> i;) ++holders.at(static_cast<std::size_t>(i));
    }
    for (int i = 0; i < rounds; ++i) EXPECT_EQ(holders[i], 1) << "file-" << i;
    EXPECT_EQ(ParseGuardEntries(ReadFile(guard_)).size(), static_cast<std::size_t>(rounds));
}

}  // namespace
