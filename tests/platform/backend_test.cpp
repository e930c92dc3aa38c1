// What every operating system's side of the file and process services must
// give alike, on Linux and on Windows (where it runs under wine): a file
// held open counts as in use, the append lock excludes other descriptors
// but never a reader, appends from several descriptors all land at the end,
// exclusive creation and the read-only attribute, wildcard listings, files
// replaced whole, delete-on-close temporaries, and programs and batch
// files started in a working directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "tests/common/scratch.h"

namespace {

namespace fs = zel::fs;
namespace proc = zel::proc;
using zel::test::ReadFile;
using zel::test::ScratchDir;
using zel::test::WriteFile;

std::size_t EntryCount(const std::string& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

TEST(Backend, AFileHeldOpenIsInUseUntilClosed) {
    ScratchDir dir;
    const std::string file = dir / "busy.dat";
    EXPECT_FALSE(fs::IsFileInUse(file));  // missing: not in use
    WriteFile(file, "data");
    EXPECT_FALSE(fs::IsFileInUse(file));
    {
        fs::UniqueFd reader;
        ASSERT_EQ(fs::OpenForReading(file, &reader), 0);
        EXPECT_TRUE(fs::IsFileInUse(file));
    }
    EXPECT_FALSE(fs::IsFileInUse(file));
    {
        fs::UniqueFd writer;
        ASSERT_EQ(fs::OpenForAppending(file, &writer), 0);
        EXPECT_TRUE(fs::IsFileInUse(file));
    }
    EXPECT_FALSE(fs::IsFileInUse(file));
    // The check itself leaves the file as it was.
    EXPECT_EQ(ReadFile(file), "data");
}

TEST(Backend, TheAppendLockExcludesOtherDescriptorsButNoReader) {
    ScratchDir dir;
    const std::string file = dir / "log.txt";
    fs::UniqueFd a, b;
    ASSERT_EQ(fs::OpenForAppending(file, &a), 0);
    ASSERT_EQ(fs::OpenForAppending(file, &b), 0);
    ASSERT_EQ(fs::LockExclusive(a.get()), 0);
    EXPECT_EQ(fs::TryLockExclusive(b.get()), EWOULDBLOCK);
    // The holder writes, and a reader sees it while the lock is held.
    ASSERT_EQ(fs::WriteAll(a.get(), "one\n", 4), 0);
    std::string seen;
    ASSERT_EQ(fs::ReadWholeFile(file, &seen), 0);
    EXPECT_EQ(seen, "one\n");
    fs::UnlockFile(a.get());
    ASSERT_EQ(fs::TryLockExclusive(b.get()), 0);
    ASSERT_EQ(fs::WriteAll(b.get(), "two\n", 4), 0);
    // Closing the descriptor gives the lock back.
    b.reset();
    EXPECT_EQ(fs::TryLockExclusive(a.get()), 0);
}

TEST(Backend, AppendsFromSeveralDescriptorsAllLandAtTheEnd) {
    ScratchDir dir;
    const std::string file = dir / "result.txt";
    fs::UniqueFd a, b;
    ASSERT_EQ(fs::OpenForAppending(file, &a), 0);
    ASSERT_EQ(fs::OpenForAppending(file, &b), 0);
    ASSERT_EQ(fs::WriteAll(a.get(), "a", 1), 0);
    ASSERT_EQ(fs::WriteAll(b.get(), "bb", 2), 0);
    ASSERT_EQ(fs::WriteAll(a.get(), "ccc", 3), 0);
    ASSERT_EQ(fs::AppendLocked(file.c_str(), "dddd", 4), 0);
    EXPECT_EQ(ReadFile(file), "abbcccdddd");
}

TEST(Backend, ExclusiveCreationAndTheReadOnlyAttribute) {
    ScratchDir dir;
    const std::string file = dir / "lock.qvzel_lock";
    fs::UniqueFd fd;
    ASSERT_EQ(fs::CreateExclusive(file, &fd), 0);
    ASSERT_EQ(fs::WriteAll(fd.get(), "x", 1), 0);
    fd.reset();
    EXPECT_EQ(fs::CreateExclusive(file), EEXIST);
    EXPECT_EQ(ReadFile(file), "x");

    bool read_only = true;
    ASSERT_EQ(fs::IsReadOnly(file, &read_only), 0);
    EXPECT_FALSE(read_only);
    ASSERT_EQ(fs::SetReadOnly(file), 0);
    ASSERT_EQ(fs::IsReadOnly(file, &read_only), 0);
    EXPECT_TRUE(read_only);
    // Replaced whole even while read-only, as a rename over it would.
    ASSERT_EQ(fs::ReplaceFileAtomically(file, "new"), 0);
    EXPECT_EQ(ReadFile(file), "new");
    ASSERT_EQ(fs::ClearReadOnly(file), 0);
    ASSERT_EQ(fs::IsReadOnly(file, &read_only), 0);
    EXPECT_FALSE(read_only);

    // A file made without any write permission starts read-only.
    const std::string sealed = dir / "sealed";
    ASSERT_EQ(fs::CreateExclusive(sealed, nullptr, 0444), 0);
    ASSERT_EQ(fs::IsReadOnly(sealed, &read_only), 0);
    EXPECT_TRUE(read_only);
    ASSERT_EQ(fs::ClearReadOnly(sealed), 0);

    std::string unique;
    ASSERT_EQ(fs::CreateUniqueFile(dir / "TMP", &unique), 0);
    EXPECT_EQ(unique.rfind(dir / "TMP", 0), 0u);
    EXPECT_EQ(unique.size(), (dir / "TMP").size() + 6);
    EXPECT_TRUE(fs::Exists(unique));
}

TEST(Backend, WildcardListingsAreCaseInsensitiveAndSorted) {
    ScratchDir dir;
    for (const char* name : {"b.DAT", "A.dat", "c.txt", "noext", "OUTBOUND1", "OUTBOUND2.xml"})
        WriteFile(dir / name, "x");
    ASSERT_EQ(fs::MakeDirectory(dir / "sub.dat"), 0);
    std::vector<std::string> names;
    ASSERT_EQ(fs::ListMatching(dir.path(), "*.dat", &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"A.dat", "b.DAT"}));
    ASSERT_EQ(fs::ListMatching(dir.path(), "*.DAT", &names, false), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"A.dat", "b.DAT", "sub.dat"}));
    ASSERT_EQ(fs::ListMatching(dir.path(), "outbound*.*", &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"OUTBOUND1", "OUTBOUND2.xml"}));
    ASSERT_EQ(fs::ListMatching(dir.path(), "*.*", &names), 0);
    EXPECT_EQ(names.size(), 6u);
    std::vector<std::string> links;
    ASSERT_EQ(fs::ListFilesNoFollow(dir.path(), "?.*", &names, &links), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"A.dat", "b.DAT", "c.txt"}));
    EXPECT_TRUE(links.empty());
    EXPECT_EQ(fs::ListMatching(dir / "missing", "*.*", &names), ENOENT);
    EXPECT_TRUE(names.empty());
}

TEST(Backend, MovesReplaceAndRefuseAsAsked) {
    ScratchDir dir;
    WriteFile(dir / "from", "from");
    WriteFile(dir / "to", "to");
    EXPECT_EQ(fs::RenameNoReplace(dir / "from", dir / "to"), EEXIST);
    EXPECT_EQ(ReadFile(dir / "to"), "to");
    ASSERT_EQ(fs::RenameReplace(dir / "from", dir / "to"), 0);
    EXPECT_EQ(ReadFile(dir / "to"), "from");
    EXPECT_FALSE(fs::Exists(dir / "from"));

    // The copy a move between file systems makes ends the same way and
    // leaves no temporary behind.
    WriteFile(dir / "far", "far away");
    fs::test_hooks::ForceCrossDevice(true);
    const int moved = fs::RenameReplace(dir / "far", dir / "to");
    fs::test_hooks::ForceCrossDevice(false);
    ASSERT_EQ(moved, 0);
    EXPECT_EQ(ReadFile(dir / "to"), "far away");
    EXPECT_FALSE(fs::Exists(dir / "far"));
    EXPECT_EQ(EntryCount(dir.path()), 1u);

    ASSERT_EQ(fs::CreateExclusiveWithContent(dir / "whole", "all of it"), 0);
    EXPECT_EQ(ReadFile(dir / "whole"), "all of it");
    EXPECT_EQ(fs::CreateExclusiveWithContent(dir / "whole", "again"), EEXIST);
    EXPECT_EQ(ReadFile(dir / "whole"), "all of it");
    EXPECT_EQ(EntryCount(dir.path()), 2u);
}

TEST(Backend, DeleteOnCloseTemporariesVanish) {
    ScratchDir dir;
    {
        fs::UniqueFd tmp;
        ASSERT_EQ(fs::CreateDeleteOnCloseTemp(dir.path(), &tmp), 0);
        ASSERT_EQ(fs::WriteAll(tmp.get(), "scratch", 7), 0);
        ASSERT_EQ(fs::SeekTo(tmp.get(), 0), 0);
        std::string back;
        ASSERT_EQ(fs::ReadToEnd(tmp.get(), &back), 0);
        EXPECT_EQ(back, "scratch");
    }
    EXPECT_EQ(EntryCount(dir.path()), 0u);
}

TEST(Backend, ProgramsAndBatchFilesStartInTheirWorkingDirectory) {
    ScratchDir dir;
    ASSERT_EQ(fs::MakeDirectory(dir / "work"), 0);
    // The same lines are a batch file for the Windows command interpreter
    // and a script for the Linux shell.
    WriteFile(dir / "work/job.bat", "echo done> out.txt\nexit 3\n");
    pid_t pid = -1;
    proc::StartOptions options;
    options.working_dir = dir / "work";
    options.null_stdio = true;
    ASSERT_EQ(proc::Start("job.bat", options, &pid), 0);
    EXPECT_EQ(proc::Wait(pid), 3);
    EXPECT_EQ(ReadFile(dir / "work/out.txt").substr(0, 4), "done");
    EXPECT_EQ(proc::Wait(pid), -1);  // collected already
    // A lock file naming it now names a holder that has ended.
    EXPECT_TRUE(proc::HasEnded({pid, 0}));

    EXPECT_EQ(proc::Start("no-such-program-here", options, &pid), ENOENT);
    EXPECT_EQ(pid, -1);
    options.working_dir = dir / "missing";
    EXPECT_EQ(proc::Start("job.bat", options, &pid), ENOENT);

    // A finished child is reaped once, and its identity has ended.
    options.working_dir = dir / "work";
    ASSERT_EQ(proc::Start("job.bat", options, &pid), 0);
    std::vector<proc::FinishedChild> finished;
    ASSERT_TRUE(zel::test::WaitUntil(
        [&] { return proc::ReapFinished(&finished) > 0 || !finished.empty(); }, 20000));
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].pid, pid);
    EXPECT_EQ(finished[0].exit_code, 3);
    EXPECT_FALSE(proc::HasEnded(proc::SelfIdentity()));
}

// A name from elsewhere (a server's file list) names one entry of a
// directory only when it has no separator, is no "." or "..", and fits the
// length of one name.
TEST(Backend, AnEntryNameStaysInsideItsDirectory) {
    EXPECT_TRUE(fs::IsEntryName("PARTS.DAT"));
    EXPECT_TRUE(fs::IsEntryName(".hidden"));
    EXPECT_TRUE(fs::IsEntryName(std::string(255, 'a')));
    for (const std::string name : {"", ".", "..", "a/b", "../up", "/abs"})
        EXPECT_FALSE(fs::IsEntryName(name)) << name;
    EXPECT_FALSE(fs::IsEntryName(std::string(256, 'a')));
}

}  // namespace
