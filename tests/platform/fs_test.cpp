// File helpers: wildcard listing, read-only attribute, in-use check,
// delete-on-close temporaries and renames across file systems, all on real
// files in a scratch directory.
#include "platform/fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/process.h"
#include "tests/common/scratch.h"

namespace {

namespace fs = zel::fs;

std::string MakeScratch(const std::string& parent) {
    std::string tmpl = parent + "/zelfs-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return "";
    return tmpl;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    return out;
}

class FsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = MakeScratch("/tmp");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        fs::test_hooks::ForceCrossDevice(false);
        fs::test_hooks::ForceNoTmpfile(false);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string P(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST(Wildcard, Table) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.*", "noext", true},
        {"*.*", "a.b.c", true},
        {"*.*", ".hidden", true},
        {"*", "anything", true},
        {"OUTBOUND*.*", "outbound1.dat", true},
        {"OUTBOUND*.*", "OUTBOUND", true},
        {"OUTBOUND*.*", "OUTBOUND2", true},
        {"OUTBOUND*.*", "XOUTBOUND1.dat", false},
        {"OUTBOUND*.*", "OUTBOUN.dat", false},
        {"barcode*.*", "BARCODE_17.TXT", true},
        {"*.DAT", "file.dat", true},
        {"*.DAT", "file.data", false},
        {"*.DAT", "dat", false},
        {"?.txt", "a.txt", true},
        {"?.txt", ".txt", false},
        {"?.txt", "ab.txt", false},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a*b*c", "aXXbYYbZc", true},
        {"a*b*c", "aXXbYYbZ", false},
        {"POLL.RESULT", "Poll.Result", true},
        {"", "", true},
        {"", "a", false},
        {"a.*", "a", true},
        {"a.*", "ab", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fs::WildcardMatch(c.pattern, c.name), c.match)
            << "pattern " << c.pattern << " name " << c.name;
}

TEST_F(FsTest, ListMatchingSortsAndSkipsDirectories) {
    for (const char* n : {"b.dat", "A.txt", "a.TXT", "noext", "c.dat"}) WriteFile(P(n), "x");
    ASSERT_EQ(mkdir(P("sub.dat").c_str(), 0755), 0);
    ASSERT_EQ(symlink(P("sub.dat").c_str(), P("link.dat").c_str()), 0);

    std::vector<std::string> names{"stale"};
    ASSERT_EQ(fs::ListMatching(dir_, "*.*", &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "a.TXT", "b.dat", "c.dat", "noext"}));

    ASSERT_EQ(fs::ListMatching(dir_, "*.DAT", &names, false), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"b.dat", "c.dat", "link.dat", "sub.dat"}));

    ASSERT_EQ(fs::ListMatching(dir_, "?.TXT", &names), 0);
    EXPECT_EQ(names.size(), 2u);

    EXPECT_EQ(fs::ListMatching(P("missing"), "*.*", &names), ENOENT);
    EXPECT_TRUE(names.empty());
}

// The upload's no-follow helpers: a link is listed apart, refused when
// opened, and never the file whose mode is changed; a name already taken is
// never renamed over.
TEST_F(FsTest, NoFollowHelpersNeverReachThroughALink) {
    WriteFile(P("target"), "outside");
    ASSERT_EQ(chmod(P("target").c_str(), 0444), 0);
    ASSERT_EQ(mkdir(P("sub").c_str(), 0755), 0);
    WriteFile(P("b.txt"), "b");
    ASSERT_EQ(symlink(P("target").c_str(), P("a.txt").c_str()), 0);
    ASSERT_EQ(symlink(P("sub").c_str(), P("d.txt").c_str()), 0);
    ASSERT_EQ(symlink(P("none").c_str(), P("c.txt").c_str()), 0);  // dangling

    std::vector<std::string> names{"stale"};
    std::vector<std::string> links{"stale"};
    ASSERT_EQ(fs::ListFilesNoFollow(dir_, "*.txt", &names, &links), 0);
    EXPECT_EQ(names, std::vector<std::string>{"b.txt"});
    EXPECT_EQ(links, (std::vector<std::string>{"a.txt", "c.txt", "d.txt"}));
    EXPECT_EQ(fs::ListFilesNoFollow(P("missing"), "*", &names, &links), ENOENT);
    EXPECT_TRUE(names.empty() && links.empty());

    fs::UniqueFd fd;
    EXPECT_EQ(fs::OpenForReadingNoFollow(P("a.txt"), &fd), ELOOP);
    EXPECT_FALSE(fd);
    ASSERT_EQ(fs::OpenForReadingNoFollow(P("b.txt"), &fd), 0);
    // The descriptor's name opens the same file, whatever its own name is now.
    ASSERT_EQ(rename(P("b.txt").c_str(), P("moved").c_str()), 0);
    std::string text;
    ASSERT_EQ(fs::ReadWholeFile(fs::DescriptorPath(fd.get()), &text), 0);
    EXPECT_EQ(text, "b");

    EXPECT_EQ(fs::ClearReadOnlyNoLink(P("a.txt").c_str()), ELOOP);
    struct stat st;
    ASSERT_EQ(stat(P("target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    ASSERT_EQ(fs::ClearReadOnlyNoLink(P("target").c_str()), 0);
    ASSERT_EQ(stat(P("target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    WriteFile(P("new"), "new");
    EXPECT_EQ(fs::RenameNoReplace(P("new"), P("moved")), EEXIST);
    EXPECT_EQ(fs::RenameNoReplace(P("new"), P("c.txt")), EEXIST);  // a dangling link too
    EXPECT_EQ(ReadFile(P("moved")), "b");
    EXPECT_EQ(ReadFile(P("new")), "new");
    ASSERT_EQ(fs::RenameNoReplace(P("new"), P("free")), 0);
    EXPECT_EQ(ReadFile(P("free")), "new");
    EXPECT_NE(access(P("new").c_str(), F_OK), 0);
}

TEST_F(FsTest, ReadOnlySetAndClear) {
    std::string f = P("file");
    WriteFile(f, "x");
    ASSERT_EQ(chmod(f.c_str(), 0664), 0);
    bool ro = true;
    ASSERT_EQ(fs::IsReadOnly(f, &ro), 0);
    EXPECT_FALSE(ro);

    ASSERT_EQ(fs::SetReadOnly(f), 0);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);  // every write bit gone
    ASSERT_EQ(fs::IsReadOnly(f, &ro), 0);
    EXPECT_TRUE(ro);

    ASSERT_EQ(fs::ClearReadOnly(f), 0);
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // only the owner's comes back
    ASSERT_EQ(fs::IsReadOnly(f, &ro), 0);
    EXPECT_FALSE(ro);

    EXPECT_EQ(fs::SetReadOnly(P("missing")), ENOENT);
    EXPECT_EQ(fs::ClearReadOnly(P("missing")), ENOENT);
    EXPECT_EQ(fs::IsReadOnly(P("missing"), &ro), ENOENT);
}

// Polls until the check gives the wanted answer, for at most about 10 s.
bool Eventually(const std::string& path, bool want) {
    for (int i = 0; i < 1000; ++i) {
        if (fs::IsFileInUse(path) == want) return true;
        usleep(10000);
    }
    return false;
}

TEST_F(FsTest, InUseWhileAnotherProcessHoldsIt) {
    std::string f = P("held.dat");
    EXPECT_FALSE(fs::IsFileInUse(f));  // missing
    WriteFile(f, "data");
    EXPECT_FALSE(fs::IsFileInUse(f));

    // The child holds the file open for reading only, through a redirection.
    pid_t pid = -1;
    ASSERT_EQ(zel::proc::StartArgv({"/bin/sh", "-c", "exec sleep 60 < \"$0\"", f}, {}, &pid), 0);
    EXPECT_TRUE(Eventually(f, true));
    kill(pid, SIGKILL);
    EXPECT_EQ(zel::proc::Wait(pid), 128 + SIGKILL);
    EXPECT_FALSE(fs::IsFileInUse(f));

    // Our own second descriptor counts too.
    fs::UniqueFd mine(open(f.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(mine);
    EXPECT_TRUE(fs::IsFileInUse(f));
    mine.reset();
    EXPECT_FALSE(fs::IsFileInUse(f));
}

TEST_F(FsTest, InUseFallsBackToFlockWhereLeasesAreRefused) {
    // Leases exist only for plain files, so a directory takes the flock path.
    if (access("/usr/bin/flock", X_OK) != 0) GTEST_SKIP() << "no flock program";
    std::string d = P("held_dir");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    EXPECT_FALSE(fs::IsFileInUse(d));
    pid_t pid = -1;
    // The shell takes the lock on its own descriptor and becomes sleep, so
    // one process holds it and killing that one frees it.
    ASSERT_EQ(zel::proc::StartArgv(
                  {"/bin/sh", "-c", "exec 9<\"$0\" && /usr/bin/flock -x 9 && exec sleep 60", d}, {},
                  &pid),
              0);
    EXPECT_TRUE(Eventually(d, true));
    kill(pid, SIGKILL);
    EXPECT_EQ(zel::proc::Wait(pid), 128 + SIGKILL);
    // The lock goes with the last descriptor of the killed holder; under load
    // the kernel may finish that a moment after the parent hears of the end.
    EXPECT_TRUE(Eventually(d, false));
}

// One rule for every temporary directory: TMP when it names a directory,
// then TMPDIR, then /tmp; a TMP that is no directory counts as unset.
TEST(TempDirTest, FromEnvironment) {
    zel::test::EnvRestore tmp_env("TMP");
    zel::test::EnvRestore tmpdir_env("TMPDIR");
    unsetenv("TMP");
    setenv("TMPDIR", "/var/tmp/", 1);
    EXPECT_EQ(fs::TempDir(), "/var/tmp");
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(fs::TempDir(), "/tmp");
    unsetenv("TMPDIR");
    EXPECT_EQ(fs::TempDir(), "/tmp");
    EXPECT_EQ(fs::TmpVariableDirectory(), "");

    setenv("TMPDIR", "/var/tmp", 1);
    setenv("TMP", "/usr", 1);
    EXPECT_EQ(fs::TmpVariableDirectory(), "/usr");
    EXPECT_EQ(fs::TempDir(), "/usr");
    setenv("TMP", "/no/such/folder", 1);
    EXPECT_EQ(fs::TmpVariableDirectory(), "");
    EXPECT_EQ(fs::TempDir(), "/var/tmp");
}

TEST_F(FsTest, DeleteOnCloseTempLeavesNoName) {
    for (bool fallback : {false, true}) {
        fs::test_hooks::ForceNoTmpfile(fallback);
        fs::UniqueFd fd;
        ASSERT_EQ(fs::CreateDeleteOnCloseTemp(dir_, &fd), 0) << fallback;
        ASSERT_TRUE(fd);
        ASSERT_EQ(write(fd.get(), "abc", 3), 3);
        struct stat st;
        ASSERT_EQ(fstat(fd.get(), &st), 0);
        EXPECT_EQ(st.st_nlink, 0u);  // no name: it goes with the descriptor
        EXPECT_EQ(st.st_size, 3);
        EXPECT_TRUE(Entries(dir_).empty());
    }
    fs::UniqueFd fd(dup(1));
    EXPECT_EQ(fs::CreateDeleteOnCloseTemp(P("missing"), &fd), ENOENT);
    EXPECT_FALSE(fd);  // cleared on failure
}

TEST_F(FsTest, RenameReplacesOnSameFileSystem) {
    WriteFile(P("from"), "new");
    WriteFile(P("to"), "old");
    ASSERT_EQ(fs::RenameReplace(P("from"), P("to")), 0);
    EXPECT_EQ(ReadFile(P("to")), "new");
    EXPECT_FALSE(std::filesystem::exists(P("from")));
    EXPECT_EQ(fs::RenameReplace(P("from"), P("to")), ENOENT);
}

// A body over two chunks with a ragged end, so chunk edges are exercised.
std::string BigBody() {
    std::string body;
    for (int i = 0; body.size() < 262144 * 2 + 1234; ++i) body += std::to_string(i) + ",";
    return body;
}

void CheckCopiedAcross(const std::string& src_dir, const std::string& dst_dir) {
    std::string from = src_dir + "/down.tmp", to = dst_dir + "/DOWN.DAT";
    std::string body = BigBody();
    WriteFile(from, body);
    ASSERT_EQ(chmod(from.c_str(), 0640), 0);
    struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, from.c_str(), old_times, 0), 0);
    WriteFile(to, "previous");

    ASSERT_EQ(fs::RenameReplace(from, to), 0);
    EXPECT_EQ(ReadFile(to), body);
    EXPECT_FALSE(std::filesystem::exists(from));
    struct stat st;
    ASSERT_EQ(stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(Entries(dst_dir), std::vector<std::string>{"DOWN.DAT"});  // no temporary left

    // A failing final rename (the target is a non-empty directory) leaves
    // the target as it was, the source in place, and no temporary.
    WriteFile(from, body);
    std::string busy = dst_dir + "/busy";
    ASSERT_EQ(mkdir(busy.c_str(), 0755), 0);
    WriteFile(busy + "/inside", "keep");
    EXPECT_NE(fs::RenameReplace(from, busy), 0);
    EXPECT_EQ(ReadFile(busy + "/inside"), "keep");
    EXPECT_EQ(ReadFile(from), body);
    EXPECT_EQ(Entries(dst_dir).size(), 2u);
}

TEST_F(FsTest, RenameFallsBackToCopyAcrossFileSystems) {
    std::string other = MakeScratch("/dev/shm");
    if (other.empty()) GTEST_SKIP() << "no /dev/shm";
    struct statfs a, b;
    bool differ =
        statfs(dir_.c_str(), &a) == 0 && statfs(other.c_str(), &b) == 0 && a.f_type != b.f_type;
    if (differ) CheckCopiedAcross(other, dir_);
    std::error_code ec;
    std::filesystem::remove_all(other, ec);
    if (!differ) GTEST_SKIP() << "/dev/shm and /tmp are on one file system type";
}

// A copy across file systems killed midway (here by the file-size limit,
// whose signal ends the child in the middle of a write) leaves its
// temporary under a name that records the copier, and the next sweep of
// the target's directory removes it once the copier has ended.
TEST_F(FsTest, CopyKilledMidwayLeavesATemporaryTheSweepRemoves) {
    ASSERT_EQ(mkdir(P("src").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(P("dst").c_str(), 0755), 0);
    const std::string body = BigBody();
    WriteFile(P("src/down.tmp"), body);
    const pid_t child = fork();
    if (child == 0) {
        struct rlimit none = {0, 0};
        struct rlimit small = {100000, 100000};
        (void)setrlimit(RLIMIT_CORE, &none);
        (void)setrlimit(RLIMIT_FSIZE, &small);
        fs::test_hooks::ForceCrossDevice(true);
        (void)fs::RenameReplace(P("src/down.tmp"), P("dst/DOWN.DAT"));
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    const std::vector<std::string> left = Entries(P("dst"));
    ASSERT_EQ(left.size(), 1u);
    // Hidden, beside the target, and stamped with the copier.
    const std::string stamp = ".qvzel_lock.tmp." + std::to_string(child) + ".";
    EXPECT_EQ(left[0].rfind(".DOWN.DAT" + stamp, 0), 0u) << left[0];
    EXPECT_EQ(ReadFile(P("src/down.tmp")), body);
    // A sweep for another name keeps it; the sweep for the target removes it.
    EXPECT_EQ(fs::RemoveAbandonedReplacements(P("dst/OTHER.DAT")), 0);
    EXPECT_EQ(fs::RemoveAbandonedReplacements(P("dst/DOWN.DAT")), 1);
    EXPECT_EQ(Entries(P("dst")), std::vector<std::string>{});
}

TEST_F(FsTest, RenameCopyPathByHook) {
    ASSERT_EQ(mkdir(P("src").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(P("dst").c_str(), 0755), 0);
    fs::test_hooks::ForceCrossDevice(true);
    CheckCopiedAcross(P("src"), P("dst"));
    // Only plain files are carried over by copying.
    ASSERT_EQ(mkdir(P("src/d").c_str(), 0755), 0);
    EXPECT_EQ(fs::RenameReplace(P("src/d"), P("dst/d")), EXDEV);
    ASSERT_EQ(symlink("d", P("src/l").c_str()), 0);
    EXPECT_EQ(fs::RenameReplace(P("src/l"), P("dst/l")), EXDEV);
    EXPECT_TRUE(std::filesystem::is_symlink(P("src/l")));
    // One directory entry reached by two spellings (as through two mounts of
    // one directory): as rename, nothing happens and the data stays.
    WriteFile(P("src/same"), "keep me");
    EXPECT_EQ(fs::RenameReplace(P("src/same"), P("dst/../src/same")), 0);
    EXPECT_EQ(ReadFile(P("src/same")), "keep me");
}

}  // namespace
