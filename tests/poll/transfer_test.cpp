// Downloads and uploads end to end against the real simulator (zelsim, a
// child process on 127.0.0.1) over HTTP and HTTPS, with the real registry
// store, real files, the real guard files and real helper processes: files
// placed and sent, the refusals of hostile server names, one-line result
// lines, two transfers at once, and runs killed at random moments.
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "directory/server_directory.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "poll/deferred_removal.h"
#include "poll/poll.h"
#include "poll/temp_names.h"
#include "support/compress.h"
#include "support/files.h"
#include "support/lock.h"
#include "support/result_codes.h"
#include "tests/common/records.h"
#include "tests/common/registry_seed.h"
#include "tests/common/scratch.h"
#include "tests/common/test_certs.h"
#include "tests/directory/sim.h"

namespace {

namespace stdfs = std::filesystem;
using zel::test::directory::Simulator;

struct Bstr {
    explicit Bstr(const std::string& s) {
        std::u16string w(s.begin(), s.end());
        b = SysAllocString(w.c_str());
    }
    ~Bstr() { SysFreeString(b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR b;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

std::uint32_t Crc(const std::string& path) {
    std::uint32_t crc = 0;
    EXPECT_EQ(ComputeCheckSumCRC32(path.c_str(), &crc), S_OK) << path;
    return crc;
}

// Every name below dir (recursively), relative to it.
std::vector<std::string> Tree(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = stdfs::recursive_directory_iterator(dir, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        names.push_back(stdfs::relative(it->path(), dir).string());
    }
    return names;
}

std::uint32_t Crc32(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// data followed by the four bytes that make its CRC-32 come out as target.
// The CRC of a fixed-length text is affine in its last four bytes, so they
// are found by solving 32 equations over GF(2).
std::string WithCrc(const std::string& data, std::uint32_t target) {
    std::string out = data + std::string(4, '\0');
    const std::uint32_t zero = Crc32(out);
    std::uint64_t rows[32] = {};  // bit c: coefficient of input bit c; bit 32: right side
    for (int bit = 0; bit < 32; ++bit) {
        std::string probe = out;
        probe[data.size() + bit / 8] = static_cast<char>(1 << (bit % 8));
        const std::uint32_t column = Crc32(probe) ^ zero;
        for (int r = 0; r < 32; ++r)
            if ((column >> r) & 1u) rows[r] |= 1ull << bit;
    }
    for (int r = 0; r < 32; ++r)
        if (((target ^ zero) >> r) & 1u) rows[r] |= 1ull << 32;
    int pivots[32] = {};
    int rank = 0;
    for (int c = 0; c < 32; ++c) {
        int p = rank;
        while (p < 32 && ((rows[p] >> c) & 1u) == 0) ++p;
        if (p == 32) continue;
        std::swap(rows[rank], rows[p]);
        for (int r = 0; r < 32; ++r)
            if (r != rank && ((rows[r] >> c) & 1u)) rows[r] ^= rows[rank];
        pivots[rank++] = c;
    }
    std::uint32_t x = 0;
    for (int r = 0; r < rank; ++r)
        if ((rows[r] >> 32) & 1u) x |= 1u << pivots[r];
    for (int i = 0; i < 4; ++i) out[data.size() + i] = static_cast<char>((x >> (8 * i)) & 0xFFu);
    return out;
}

// A process that has ended (and been collected): its pid names no one.
pid_t EndedPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

// The stamp our temporary names end in, for an owner of that pid and start
// time (0: not recorded).
std::string Stamp(pid_t pid, unsigned long long start = 0, int n = 0) {
    return ".qvzel_lock.tmp." + std::to_string(pid) + "." + std::to_string(start) + "." +
           std::to_string(n);
}

class TransferTest : public zel::test::ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        // The post-processing batch leaves the process in the install
        // directory, which goes with the scratch root.
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr) cwd_ = cwd;
        ::signal(SIGPIPE, SIG_IGN);
        ::unsetenv("SSL_CERT_FILE");
        ::unsetenv("TMP");
        WriteFile(CommPath("CONTROL"), "A,B,C,D,E");  // unit contract "DB"
        const std::string cmd =
            "echo 'dealer:pw' | " + zel::test::BuildPath("tools/zelpasswd") + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        WriteFile(Path("users.txt"), "dealer:pw\n");
        stdfs::create_directories(Published(""));
        stdfs::create_directories(Path("down"));
        stdfs::create_directories(Path("up"));
        stdfs::create_directories(Path("sim"));
        stdfs::create_directories(Path("uploads"));
    }

    std::string Published(const std::string& name) const { return Path("data/DB/" + name); }
    std::string Uploaded(const std::string& name) const { return Path("uploads/DB/" + name); }

    void StartSim(bool tls, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--data-dir",    Path("data"),      "--upload-dir",
                                         Path("uploads"), "--users",         Path("users.txt"),
                                         "--post-log",    Path("posted.log")};
        args.insert(args.end(), extra.begin(), extra.end());
        if (tls) {
            ASSERT_TRUE(zel::test::MakeTestCerts(dir_, &certs_));
            ::setenv("SSL_CERT_FILE", certs_.ca_file.c_str(), 1);
            sim_ =
                std::make_unique<Simulator>(Path("sim"), args, certs_.leaf_cert, certs_.leaf_key);
        } else {
            sim_ = std::make_unique<Simulator>(Path("sim"), args);
        }
        ASSERT_TRUE(sim_->ok());
        // A second attempt refreshes the directory from the simulator.
        WriteFile(CommPath("ISERVER.XML"), sim_->Description());
        SeedDirectory(tls ? sim_->https_port() : sim_->http_port(), tls);
    }

    // The cached directory: server POLL on the loopback server, fresh.
    void SeedDirectory(int port, bool secure) {
        zel::test::SeedServerDirectory(port, secure, "/qvgqa/poll/");
    }

    std::size_t Count(const std::string& operation) const {
        std::size_t n = 0;
        for (const auto& line : sim_->Requests()) {
            if (line.find("/qvgqa/poll/" + operation + "?") != std::string::npos) ++n;
        }
        return n;
    }

    HRESULT Get(CPoll& poll, const std::string& dir) {
        Bstr d(dir);
        return poll.GetFiles(d.b, nullptr);
    }
    HRESULT Put(CPoll& poll, const std::string& dir) {
        Bstr d(dir);
        return poll.PutFiles(d.b, nullptr, nullptr);
    }
    std::vector<std::string> Results(const std::string& dir) const {
        return Lines(FileExists(dir + "/Poll.Result") ? ReadFile(dir + "/Poll.Result") : "");
    }
    // Our temporary names left in dir.
    std::vector<std::string> Temporaries(const std::string& dir) const {
        std::vector<std::string> left;
        for (const auto& n : Tree(dir)) {
            if (n.find("~qvz") != std::string::npos || n.find(".dtzpart") != std::string::npos ||
                n.find(".qvzel_lock.tmp.") != std::string::npos) {
                left.push_back(n);
            }
        }
        return left;
    }
    // Lock files, take-over companions and guard replacement files in dir.
    std::vector<std::string> LocksAndGuardParts(const std::string& dir) const {
        std::vector<std::string> left;
        for (const auto& n : Tree(dir)) {
            const std::string base = stdfs::path(n).filename().string();
            if (base.find(".qvzel_lock") != std::string::npos ||
                base.find(".takeover") != std::string::npos ||
                (base.rfind(".qvzel.", 0) == 0 && base.find(".guard.") != std::string::npos)) {
                left.push_back(n);
            }
        }
        return left;
    }
    // Runs the runner program to its end; its printed status.
    std::string RunRunner(const std::string& verb, const std::string& dir) {
        const std::string out = Path("runner." + std::to_string(runs_++) + ".out");
        const std::string cmd = zel::test::BuildPath("tests/poll/transfer_runner") + " " + verb +
                                " " + dir + " >" + out;
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return ReadFile(out);
    }
    pid_t StartRunner(const std::string& verb, const std::string& dir) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const std::string prog = zel::test::BuildPath("tests/poll/transfer_runner");
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::execl(prog.c_str(), prog.c_str(), verb.c_str(), dir.c_str(), nullptr);
            ::_exit(127);
        }
        return pid;
    }
    // A runner that stops itself (SIGSTOP) at the fault campaign's point
    // stop_at ("NAME:PASS"); true once it stands there, false when it ended
    // without reaching it.
    bool StartRunnerStoppedAt(const std::string& verb, const std::string& dir,
                              const std::string& stop_at, pid_t* pid) {
        *pid = ::fork();
        if (*pid == 0) {
            ::setenv("ZEL_STOP_AT", stop_at.c_str(), 1);
            const std::string prog = zel::test::BuildPath("tests/poll/transfer_runner");
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::execl(prog.c_str(), prog.c_str(), verb.c_str(), dir.c_str(), nullptr);
            ::_exit(127);
        }
        int status = 0;
        if (::waitpid(*pid, &status, WUNTRACED) != *pid) return false;
        return WIFSTOPPED(status);
    }
    static int WaitChild(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    void TearDown() override {
        if (!cwd_.empty()) (void)::chdir(cwd_.c_str());
    }

    zel::test::TestCerts certs_;
    std::unique_ptr<Simulator> sim_;
    int runs_ = 0;
    std::string cwd_;
};

// ---- Download ---------------------------------------------------------------

TEST_F(TransferTest, DownloadPlacesCheckedFilesOverHttpAndHttps) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        const std::string down = Path(tls ? "down-tls" : "down");
        stdfs::create_directories(down);
        // A packed file in a sub-directory, typed "static" in lower case and
        // read-only; a plain file writable.
        stdfs::create_directories(Published("a/b"));
        WriteFile(Path("x.src"), std::string(100000, 'x') + "end");
        ASSERT_EQ(CompressFile(Path("x.src").c_str(), Published("a/b/X.DAT.dtz").c_str(), 6), 0);
        WriteFile(Published("Y.TXT"), "why");
        WriteFile(Published(".filetypes"), "a/b/X.DAT.dtz static R\nY.TXT Static RW\n");
        // An old read-only X.DAT is replaced.
        WriteFile(down + "/X.DAT", "old");
        ASSERT_EQ(zel::fs::SetReadOnly(down + "/X.DAT"), 0);
        // The batch runs in the install directory once files were placed.
        WriteFile(CommPath("postprocessdealerfiles.bat"), "pwd > batch.ran\n");
        std::remove(CommPath("batch.ran").c_str());
        StartSim(tls);

        CPoll poll;
        ASSERT_EQ(Get(poll, down), S_OK);
        EXPECT_TRUE(ReadFile(down + "/X.DAT") == std::string(100000, 'x') + "end");
        EXPECT_EQ(ReadFile(down + "/Y.TXT"), "why");
        bool ro = false;
        ASSERT_EQ(zel::fs::IsReadOnly(down + "/X.DAT", &ro), 0);
        EXPECT_TRUE(ro);
        ASSERT_EQ(zel::fs::IsReadOnly(down + "/Y.TXT", &ro), 0);
        EXPECT_FALSE(ro);
        auto lines = Results(down);
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, (std::vector<std::string>{"0000 X.DAT", "0000 Y.TXT"}));
        EXPECT_TRUE(poll.PostProcessingFlag());
        EXPECT_TRUE(FileExists(CommPath("batch.ran")));
        EXPECT_EQ(Temporaries(down), std::vector<std::string>{});
        // Both were acknowledged, so nothing is listed any more: one line
        // and no batch.
        std::remove(CommPath("batch.ran").c_str());
        std::remove((down + "/Poll.Result").c_str());
        ASSERT_EQ(Get(poll, down), S_OK);
        EXPECT_EQ(ReadFile(down + "/Poll.Result"), "1000 NO POLL FILES AVAILABLE.\r\n");
        EXPECT_FALSE(poll.PostProcessingFlag());
        EXPECT_FALSE(FileExists(CommPath("batch.ran")));
        sim_.reset();
        stdfs::remove_all(Published("a"));
        std::remove(CommPath("qvzel.down.guard").c_str());
    }
}

TEST_F(TransferTest, ListEntriesFailOneByOneAndTheWalkGoesOn) {
    StartSim(false);
    CPoll poll;
    const std::string down = Path("down");
    ASSERT_EQ(poll.GetFiles(Bstr(down).b, nullptr), S_OK);  // sets the working directory
    std::remove((down + "/Poll.Result").c_str());
    WriteFile(Published("BAD.DAT"), "bad");
    WriteFile(Published("GOOD.DAT"), "good");
    WriteFile(Published("NOFT.DAT"), "noft");
    const std::string good = std::to_string(Crc(Published("GOOD.DAT")));
    const std::string list = "<R><FN>BAD.DAT</FN><FT>Static</FT><FC>" +
                             std::to_string(Crc(Published("BAD.DAT")) + 1) +
                             "</FC></R><R><FN>NOFT.DAT</FN><FC>1</FC></R>"
                             "<R><FN>DYN.DAT</FN><FT>Dynamic</FT><FC>1</FC></R>"
                             "<R><FN> GOOD.DAT </FN><FT> Static </FT><FC> " +
                             good + " </FC><FP>R</FP></R>";
    // The last failure is the call's status: the entry without FT.
    EXPECT_EQ(poll.GetFilesInList(list.c_str()), MakeResult(0x80248165));
    EXPECT_FALSE(FileExists(down + "/BAD.DAT"));  // checksum mismatch: no file, no line
    EXPECT_FALSE(FileExists(down + "/NOFT.DAT"));
    EXPECT_FALSE(FileExists(down + "/DYN.DAT"));
    EXPECT_EQ(ReadFile(down + "/GOOD.DAT"), "good");
    EXPECT_EQ(Results(down), (std::vector<std::string>{"1001 DYN.DAT", "0000 GOOD.DAT"}));
    EXPECT_EQ(Count("GetFileFromQuvaro"), 2u);  // BAD and GOOD only
    EXPECT_EQ(Temporaries(down), std::vector<std::string>{});

    // A checksum mismatch alone fails the call with its own status.
    const std::string bad_only = "<R><FN>BAD2.DAT</FN><FT>Static</FT><FC>7</FC></R>";
    WriteFile(Published("BAD2.DAT"), "bad");
    EXPECT_EQ(poll.GetFilesInList(bad_only.c_str()), MakeResult(0x80208166));

    // Within "read_timeout" the same base name is not fetched again, by this
    // or any process.
    const std::size_t before = Count("GetFileFromQuvaro");
    const std::string again = "<R><FN>x/GOOD.DAT</FN><FT>Static</FT><FC>" + good + "</FC></R>";
    EXPECT_EQ(poll.GetFilesInList(again.c_str()), S_OK);
    EXPECT_EQ(Count("GetFileFromQuvaro"), before);
}

// A ".dtz" body is checked and unpacked while it arrives; each kind of body
// must still end as it would if it were kept whole and then checked and
// unpacked: a wrong checksum first, then a body that does not unpack.
TEST_F(TransferTest, DtzBodiesEndAsTheyWouldIfKeptWhole) {
    StartSim(false);
    CPoll poll;
    const std::string down = Path("down");
    ASSERT_EQ(poll.GetFiles(Bstr(down).b, nullptr), S_OK);  // sets the working directory
    std::remove((down + "/Poll.Result").c_str());
    WriteFile(Path("g.src"), std::string(300000, 'g'));
    ASSERT_EQ(CompressFile(Path("g.src").c_str(), Published("GOOD.DAT.dtz").c_str(), 6), 0);
    WriteFile(Published("PLAIN.DAT.dtz"), "not packed at all\r\n");
    std::string corrupt = ReadFile(Published("GOOD.DAT.dtz"));
    corrupt[corrupt.size() / 2] ^= 0x5A;
    WriteFile(Published("CORRUPT.DAT.dtz"), corrupt);
    WriteFile(Published("WRONG.DAT.dtz"), corrupt);
    auto entry = [&](const std::string& name, std::uint32_t fc) {
        return "<R><FN>" + name + "</FN><FT>Static</FT><FC>" + std::to_string(fc) + "</FC></R>";
    };
    const std::string list = entry("GOOD.DAT.dtz", Crc(Published("GOOD.DAT.dtz"))) +
                             entry("PLAIN.DAT.dtz", Crc(Published("PLAIN.DAT.dtz"))) +
                             entry("CORRUPT.DAT.dtz", Crc(Published("CORRUPT.DAT.dtz"))) +
                             entry("WRONG.DAT.dtz", Crc(Published("WRONG.DAT.dtz")) ^ 1u);
    // The wrong checksum is the last failure, so it is the call's status;
    // the body that does not unpack only has its result line.
    EXPECT_EQ(poll.GetFilesInList(list.c_str()), MakeResult(0x80208166));
    EXPECT_TRUE(ReadFile(down + "/GOOD.DAT") == std::string(300000, 'g'));
    EXPECT_EQ(ReadFile(down + "/PLAIN.DAT"), "not packed at all\r\n");  // copied as it is
    EXPECT_FALSE(FileExists(down + "/CORRUPT.DAT"));
    EXPECT_FALSE(FileExists(down + "/WRONG.DAT"));
    EXPECT_EQ(Results(down), (std::vector<std::string>{"0000 GOOD.DAT", "0000 PLAIN.DAT",
                                                       "1003 CORRUPT.DAT.dtz"}));
    EXPECT_EQ(Temporaries(down), std::vector<std::string>{});
}

// Names of the forms earlier versions gave their temporaries belong to the
// dealer or the central side: no run deletes them.  What an ended run left
// under a stamped name, in TMP and in the working directory (a staging file,
// a copy across file systems cut short), goes; a running transfer's stays.
// A published file of the stamped form is refused rather than placed where
// a sweep would take it.
TEST_F(TransferTest, DownloadSweepsOnlyStampedTemporariesOfEndedRuns) {
    const std::string down = Path("down");
    const std::string tmp = Path("tmp");
    stdfs::create_directories(tmp);
    ::setenv("TMP", tmp.c_str(), 1);
    const pid_t ended = EndedPid();
    const zel::proc::ProcessIdentity me = zel::proc::SelfIdentity();
    const std::vector<std::string> foreign = {"~qvzs999999.DAT", "~qvzd4000000.1",
                                              "~qvzs" + std::to_string(ended) + ".0",
                                              "ORD.qvzel_lock.99999.dtzpart"};
    const std::string live = "~qvzs" + Stamp(me.pid, me.start, 99);
    const std::vector<std::string> left = {"~qvzs" + Stamp(ended), ".X.DAT" + Stamp(ended, 0, 1)};
    for (const std::string& dir : {down, tmp}) {
        for (const auto& n : foreign) WriteFile(dir + "/" + n, "dealer's " + n);
        for (const auto& n : left) WriteFile(dir + "/" + n, "half");
        WriteFile(dir + "/" + live, "running");
    }
    WriteFile(Published("~qvzs999999.CSV"), "published");
    WriteFile(Published("P" + Stamp(1)), "never placed");
    StartSim(false);
    CPoll poll;
    ASSERT_EQ(Get(poll, down), S_OK);
    auto lines = Results(down);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"0000 ~qvzs999999.CSV", "1003 P" + Stamp(1)}));
    // The next run with something to fetch keeps what the last one placed.
    WriteFile(Published("NEXT.DAT"), "next");
    ASSERT_EQ(Get(poll, down), S_OK);
    EXPECT_EQ(ReadFile(down + "/NEXT.DAT"), "next");
    ::unsetenv("TMP");
    EXPECT_EQ(ReadFile(down + "/~qvzs999999.CSV"), "published");
    EXPECT_FALSE(FileExists(down + "/P" + Stamp(1)));
    for (const std::string& dir : {down, tmp}) {
        for (const auto& n : foreign) EXPECT_EQ(ReadFile(dir + "/" + n), "dealer's " + n) << dir;
        for (const auto& n : left) EXPECT_FALSE(FileExists(dir + "/" + n)) << dir << " " << n;
        EXPECT_TRUE(FileExists(dir + "/" + live)) << dir;
    }
}

TEST(ListChecksum, ReadModulo2To32) {
    EXPECT_EQ(ParseListChecksum("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseListChecksum("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseListChecksum("4294967296"), 0u);
    EXPECT_EQ(ParseListChecksum("+12x"), 12u);
}

// The list's FC is the unsigned CRC-32: the largest value must match a file
// whose CRC-32 is all ones, not read as a negative or clamped number.
TEST_F(TransferTest, FileWhoseChecksumIsAllOnesIsPlaced) {
    const std::string bytes = WithCrc(std::string(5000, 'f') + "tail", 0xFFFFFFFFu);
    ASSERT_EQ(Crc32(bytes), 0xFFFFFFFFu);
    WriteFile(Published("ONES.DAT"), bytes);
    StartSim(false);
    CPoll poll;
    ASSERT_EQ(Get(poll, Path("down")), S_OK);
    EXPECT_EQ(Results(Path("down")), std::vector<std::string>{"0000 ONES.DAT"});
    EXPECT_TRUE(ReadFile(Path("down/ONES.DAT")) == bytes);
    // The list the simulator sent carried it as 4294967295; the same entry
    // written by hand with that value, and with FC one less, for contrast.
    std::remove(Path("down/Poll.Result").c_str());
    WriteFile(Published("ONES2.DAT"), bytes);
    std::string list = "<R><FN>ONES2.DAT</FN><FT>Static</FT><FC>4294967294</FC></R>";
    EXPECT_EQ(poll.GetFilesInList(list.c_str()), MakeResult(0x80208166));
    EXPECT_FALSE(FileExists(Path("down/ONES2.DAT")));
    WriteFile(CommPath("qvzel.down.guard"), "");  // let the name be fetched again
    list = "<R><FN>ONES2.DAT</FN><FT>Static</FT><FC>4294967295</FC></R>";
    EXPECT_EQ(poll.GetFilesInList(list.c_str()), S_OK);
    EXPECT_EQ(Results(Path("down")), std::vector<std::string>{"0000 ONES2.DAT"});
}

TEST_F(TransferTest, HostileServerNamesStayInsideTheWorkingDirectory) {
    StartSim(false);
    const std::string down = Path("w.dtz/down");  // ".dtz" in the directory itself
    stdfs::create_directories(down);
    const std::vector<std::string> names = {
        "..", ".", "a/..", "x/.dtz", "E\r\n0000 FAKE", std::string(300, 'L'), "..dtz", ".dtz"};
    std::string list;
    for (const auto& n : names) list += "<R><FN>" + n + "</FN><FT>Static</FT><FC>0</FC></R>";
    CPoll poll;
    ASSERT_EQ(poll.GetFiles(Bstr(down).b, nullptr), S_OK);
    std::remove((down + "/Poll.Result").c_str());
    const auto before = Tree(dir_);
    EXPECT_EQ(poll.GetFilesInList(list.c_str()), S_OK);
    EXPECT_EQ(Count("GetFileFromQuvaro"), 0u);
    const auto lines = Results(down);
    ASSERT_EQ(lines.size(), names.size());
    for (const auto& l : lines) {
        EXPECT_EQ(l.rfind("1003 ", 0), 0u) << l;
        EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos);
    }
    EXPECT_EQ(lines[4], "1003 E??0000 FAKE");
    auto after = Tree(dir_);
    std::erase_if(after, [](const std::string& n) {
        return n.find("Poll.Result") != std::string::npos ||
               n.find("client.log") != std::string::npos || n.find("zelsim") != std::string::npos ||
               n.find(".guard") != std::string::npos || n.find("registry") != std::string::npos ||
               n.find("qvzel_lock") != std::string::npos;
    });
    std::erase_if(after, [&](const std::string& n) {
        return std::find(before.begin(), before.end(), n) != before.end();
    });
    EXPECT_EQ(after, std::vector<std::string>{});
}

// A published file named like the result file would put the server's lines
// in place of the run's own: it is refused with a line of its own, whatever
// the case of its name, and the other files still arrive.
TEST_F(TransferTest, ServerFileNamedLikeTheResultFileIsRefused) {
    WriteFile(Published("ORDERS1.DAT"), "orders");
    WriteFile(Published("PRICES.DAT"), "prices");
    WriteFile(Published("POLL.RESULT"), "0000 FORGED.DAT\r\n");
    StartSim(false);
    CPoll poll;
    poll.SetResultFile(Bstr("POLL.RESULT").b);  // as the job runner names it
    const std::string down = Path("down");
    ASSERT_EQ(Get(poll, down), S_OK);
    auto lines = Lines(ReadFile(down + "/POLL.RESULT"));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"0000 ORDERS1.DAT", "0000 PRICES.DAT",
                                               "1003 POLL.RESULT"}));
    EXPECT_EQ(ReadFile(down + "/PRICES.DAT"), "prices");
    EXPECT_EQ(Count("GetFileFromQuvaro"), 2u);

    // The default name, in another case and packed: refused before it is
    // fetched.
    CPoll other;
    ASSERT_EQ(Get(other, down), S_OK);  // nothing left: sets the directory
    std::remove((down + "/Poll.Result").c_str());
    const std::string list = "<R><FN>in/poll.RESULT.dtz</FN><FT>Static</FT><FC>0</FC></R>";
    EXPECT_EQ(other.GetFilesInList(list.c_str()), S_OK);
    EXPECT_EQ(Results(down), std::vector<std::string>{"1003 in/poll.RESULT.dtz"});
    EXPECT_EQ(Count("GetFileFromQuvaro"), 2u);
}

// A server name with nothing after its last "/" names no file: the entry
// fails as a request for it would, without a result line, and the walk goes
// on.
TEST_F(TransferTest, ServerNameWithAnEmptyLastPartFailsWithoutAResultLine) {
    StartSim(false);
    CPoll poll;
    const std::string down = Path("down");
    ASSERT_EQ(poll.GetFiles(Bstr(down).b, nullptr), S_OK);  // sets the working directory
    std::remove((down + "/Poll.Result").c_str());
    int n = 0;
    for (const std::string fn : {"dir/", "", "  ", "a/b/"}) {
        SCOPED_TRACE("FN '" + fn + "'");
        const std::string name = "G" + std::to_string(n++) + ".DAT";
        WriteFile(Published(name), name);
        const std::string list = "<R><FN>" + fn + "</FN><FT>Static</FT><FC>0</FC></R><R><FN>" +
                                 name + "</FN><FT>Static</FT><FC>" +
                                 std::to_string(Crc(Published(name))) + "</FC></R>";
        EXPECT_EQ(poll.GetFilesInList(list.c_str()), MakeResult(0x801F8161));
        EXPECT_EQ(Results(down), std::vector<std::string>{"0000 " + name});
        std::remove((down + "/Poll.Result").c_str());
    }
    EXPECT_EQ(Count("GetFileFromQuvaro"), 4u);  // the G files only
}

// ---- Upload -----------------------------------------------------------------

TEST_F(TransferTest, UploadSelectsPacksSendsAndDeletes) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        const std::string up = Path(tls ? "up-tls" : "up");
        stdfs::create_directories(up);
        WriteFile(up + "/A.TXT", std::string(5000, 'a'));
        WriteFile(up + "/Poll.Result", "");  // the result file is never sent
        WriteFile(up + "/EMPTY.TXT", "");
        WriteFile(up + "/B.dtz", "not packed again");
        WriteFile(up + "/EXCL.LOG", "excluded");
        WriteFile(up + "/HASH.TXT", "kept by nothing");
        WriteFile(up + "/L.TXT", "locked");
        WriteFile(up + "/L.TXT.qvzel_lock", "");
        WriteFile(up + "/OPEN.TXT", "open elsewhere");
        stdfs::create_directories(up + "/SUBDIR");
        WriteFile(CommPath("exclude_files.list"), "# HASH.TXT\n\nex*.l?g\n");
        // OPEN.TXT is held open by another process for the whole run.
        const pid_t holder = ::fork();
        if (holder == 0) {
            const int fd = ::open((up + "/OPEN.TXT").c_str(), O_RDONLY);
            (void)fd;
            ::pause();
            ::_exit(0);
        }
        ASSERT_TRUE(
            zel::test::WaitUntil([&] { return zel::fs::IsFileInUse(up + "/OPEN.TXT"); }, 5000));
        StartSim(tls);
        CPoll poll;
        const HRESULT hr = Put(poll, up);
        ::kill(holder, SIGKILL);
        WaitChild(holder);
        ASSERT_EQ(hr, S_OK);
        // Reverse listing order: names sorted without regard to case.
        EXPECT_EQ(Results(up), (std::vector<std::string>{"0000 HASH.TXT.dtz", "0000 EMPTY.TXT",
                                                         "0000 B.dtz", "0000 A.TXT.dtz"}));
        for (const char* gone : {"A.TXT", "A.TXT.dtz", "EMPTY.TXT", "B.dtz", "HASH.TXT"}) {
            EXPECT_FALSE(FileExists(up + "/" + gone)) << gone;
        }
        for (const char* kept : {"EXCL.LOG", "L.TXT", "OPEN.TXT"}) {
            EXPECT_TRUE(FileExists(up + "/" + kept)) << kept;
        }
        ASSERT_TRUE(FileExists(Uploaded("A.TXT.dtz")));
        ASSERT_EQ(DecompressFile(Uploaded("A.TXT.dtz").c_str(), Path("a.out").c_str()), 0);
        EXPECT_TRUE(ReadFile(Path("a.out")) == std::string(5000, 'a'));
        EXPECT_EQ(ReadFile(Uploaded("B.dtz")), "not packed again");
        EXPECT_EQ(ReadFile(Uploaded("EMPTY.TXT")), "");
        EXPECT_EQ(Temporaries(up), std::vector<std::string>{});
        sim_.reset();
        stdfs::remove_all(Path("uploads/DB"));
        std::remove(CommPath("qvzel.scan.guard").c_str());
        std::remove(CommPath("qvzel.up.guard").c_str());
    }
}

// Every name created in the watched directories, in order, from the moment
// of construction (inotify, so that nothing made and removed between two
// listings goes unseen).
class CreatedNames {
  public:
    explicit CreatedNames(const std::vector<std::string>& dirs)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(fd_, 0);
        for (const std::string& d : dirs) {
            const int wd = ::inotify_add_watch(fd_, d.c_str(), IN_CREATE | IN_MOVED_TO);
            EXPECT_GE(wd, 0) << d;
            dirs_[wd] = stdfs::path(d).filename().string();
        }
    }
    ~CreatedNames() { ::close(fd_); }
    // "<dir>/<name>" of each creation so far.
    std::vector<std::string> Take() {
        alignas(struct inotify_event) char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const struct inotify_event*>(buffer + at);
                if (e->len > 0) names_.push_back(dirs_[e->wd] + "/" + e->name);
                if ((e->mask & IN_Q_OVERFLOW) != 0) names_.push_back("<overflow>");
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
            }
        }
        return names_;
    }

  private:
    int fd_;
    std::map<int, std::string> dirs_;
    std::vector<std::string> names_;
};

// Appending to the log and to the result file makes no file besides the log
// and the result file themselves: no lock file, no template, no temporary,
// however many records a run writes.
TEST_F(TransferTest, AppendsCreateNoFileBesideTheLogAndTheResultFile) {
    WriteFile(CommPath("ferrun.conf"), "compression=0\n");
    stdfs::create_directories(Path("logs"));
    for (int i = 0; i < 100; ++i) WriteFile(Path("up/F" + std::to_string(i) + ".TXT"), "x");
    StartSim(false);
    CreatedNames created({Path("logs"), Path("up")});
    {
        CPoll poll;
        ASSERT_EQ(poll.SetLogFile(Bstr(Path("logs/poll.log")).b), S_OK);
        // A record for every step; the copy debug mode sends to standard
        // error is not wanted here.
        ASSERT_EQ(poll.SetDebugMode(1), S_OK);
        const int saved_stderr = ::dup(2);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, 2);
        const HRESULT hr = Put(poll, Path("up"));
        ::dup2(saved_stderr, 2);
        ::close(saved_stderr);
        ::close(null);
        ASSERT_EQ(hr, S_OK);
    }
    EXPECT_EQ(Results(Path("up")).size(), 100u);
    EXPECT_EQ(Tree(Path("up")), std::vector<std::string>{"Poll.Result"});
    EXPECT_GT(ReadFile(Path("logs/poll.log")).size(), 10000u);
    // Each sent file takes a name of its own making on its way out (see
    // UploadSetsSentFilesAsideAndRemovesThemAll); nothing else is made.
    std::vector<std::string> made = created.Take();
    std::erase_if(made, [](const std::string& n) {
        return n.find(".TXT.sent.qvzel_lock.tmp.") != std::string::npos;
    });
    EXPECT_EQ(made, (std::vector<std::string>{"logs/poll.log", "up/Poll.Result"}));
}

TEST_F(TransferTest, UploadUnpackedWithCompressionZero) {
    WriteFile(CommPath("ferrun.conf"), "compression=0\n");
    WriteFile(Path("up/A.TXT"), "plain");
    StartSim(false);
    CPoll poll;
    ASSERT_EQ(Put(poll, Path("up")), S_OK);
    EXPECT_EQ(Results(Path("up")), std::vector<std::string>{"0000 A.TXT"});
    EXPECT_EQ(ReadFile(Uploaded("A.TXT")), "plain");
}

TEST_F(TransferTest, RefusedUploadsKeepTheFileAndOnlyTheFirstIsTriedTwice) {
    StartSim(true, {"--fault", "PutFileFromDealer=500x10"});
    WriteFile(CommPath("ferrun.conf"), "compression=0\n");
    for (const char* n : {"F1", "F2", "F3"}) WriteFile(Path(std::string("up/") + n), n);
    CPoll poll;
    EXPECT_EQ(Put(poll, Path("up")), MakeResult(0x80258000u + 500));
    EXPECT_EQ(Results(Path("up")), (std::vector<std::string>{"0500 F3", "0500 F2", "0500 F1"}));
    EXPECT_EQ(Count("PutFileFromDealer"), 4u);
    for (const char* n : {"F1", "F2", "F3"}) EXPECT_TRUE(FileExists(Path(std::string("up/") + n)));
}

// A control character in a local name would forge a result line (a line
// feed) or garble the request: such a file is left where it is, unsent.
TEST_F(TransferTest, UploadLeavesOutNamesWithControlCharacters) {
    const std::vector<std::string> bad = {"BAD\n0000 FORGED.TXT", std::string("CTL\x01.TXT"),
                                          "TAB\t.TXT", std::string("DEL\x7F.TXT")};
    for (const auto& n : bad) WriteFile(Path("up/" + n), "keep me");
    WriteFile(Path("up/OK.TXT"), "send me");
    StartSim(false);
    CPoll poll;
    ASSERT_EQ(Put(poll, Path("up")), S_OK);
    EXPECT_EQ(ReadFile(Path("up/Poll.Result")), "0000 OK.TXT.dtz\r\n");
    EXPECT_EQ(Count("PutFileFromDealer"), 1u);
    for (const auto& n : bad) {
        EXPECT_EQ(ReadFile(Path("up/" + n)), "keep me") << n;
        EXPECT_FALSE(FileExists(Path("up/" + n + ".dtz"))) << n;
    }
    EXPECT_EQ(Tree(Path("uploads/DB")), std::vector<std::string>{"OK.TXT.dtz"});
}

// An A.TXT.dtz already waiting is a file of its own: A.TXT is never packed
// over it, but goes unpacked this time, and both reach the central side.
TEST_F(TransferTest, UploadNeverPacksOverAnotherWaitingDtz) {
    WriteFile(Path("up/A.TXT"), "today's A");
    WriteFile(Path("old.src"), "yesterday's A");
    ASSERT_EQ(CompressFile(Path("old.src").c_str(), Path("up/A.TXT.dtz").c_str(), 6), 0);
    StartSim(false);
    CPoll poll;
    poll.SetLogFile(Bstr(Path("poll.log")).b);
    ASSERT_EQ(Put(poll, Path("up")), S_OK);
    EXPECT_EQ(Results(Path("up")), (std::vector<std::string>{"0000 A.TXT.dtz", "0000 A.TXT"}));
    EXPECT_EQ(ReadFile(Uploaded("A.TXT")), "today's A");
    ASSERT_EQ(DecompressFile(Uploaded("A.TXT.dtz").c_str(), Path("a.out").c_str()), 0);
    EXPECT_EQ(ReadFile(Path("a.out")), "yesterday's A");
    EXPECT_EQ(Tree(Path("up")), std::vector<std::string>{"Poll.Result"});
    EXPECT_NE(ReadFile(Path("poll.log"))
                  .find("'A.TXT' is sent unpacked: another 'A.TXT.dtz' is waiting."),
              std::string::npos);
}

// A symbolic link in the upload directory may point anywhere: it is left out
// with a record, and what it points to is neither sent nor changed, packed
// or not.  A link put in a file's place after the listing is not read either.
TEST_F(TransferTest, UploadLeavesSymbolicLinksAndWhatTheyPointToAlone) {
    stdfs::create_directories(Path("outside"));
    WriteFile(Path("outside/SECRET"), "secret");
    WriteFile(Path("outside/PUBLIC"), "public");
    ASSERT_EQ(::chmod(Path("outside/SECRET").c_str(), 0400), 0);
    ASSERT_EQ(::chmod(Path("outside/PUBLIC").c_str(), 0444), 0);
    auto mode = [&](const std::string& name) {
        struct stat st {};
        EXPECT_EQ(::stat(Path("outside/" + name).c_str(), &st), 0);
        return st.st_mode & 07777;
    };
    StartSim(false);
    for (const char* level : {"6", "0"}) {
        SCOPED_TRACE(std::string("compression=") + level);
        WriteFile(CommPath("ferrun.conf"), std::string("compression=") + level + "\n");
        stdfs::remove_all(Path("up"));
        stdfs::create_directories(Path("up"));
        ASSERT_EQ(::symlink(Path("outside/SECRET").c_str(), Path("up/LINK1.TXT").c_str()), 0);
        ASSERT_EQ(::symlink(Path("outside/PUBLIC").c_str(), Path("up/LINK2.TXT").c_str()), 0);
        WriteFile(Path("up/OK.TXT"), "ok");
        std::remove(Path("poll.log").c_str());
        std::remove(CommPath("qvzel.scan.guard").c_str());
        std::remove(CommPath("qvzel.up.guard").c_str());
        stdfs::remove_all(Path("uploads/DB"));
        const std::size_t before = Count("PutFileFromDealer");

        CPoll poll;
        poll.SetLogFile(Bstr(Path("poll.log")).b);
        ASSERT_EQ(Put(poll, Path("up")), S_OK);
        const std::string sent = std::string("OK.TXT") + (level[0] == '0' ? "" : ".dtz");
        EXPECT_EQ(Results(Path("up")), std::vector<std::string>{"0000 " + sent});
        EXPECT_EQ(Tree(Path("uploads/DB")), std::vector<std::string>{sent});
        EXPECT_EQ(Count("PutFileFromDealer"), before + 1);
        EXPECT_EQ(ReadFile(Path("outside/SECRET")), "secret");
        EXPECT_EQ(ReadFile(Path("outside/PUBLIC")), "public");
        EXPECT_EQ(mode("SECRET"), 0400u);
        EXPECT_EQ(mode("PUBLIC"), 0444u);
        EXPECT_TRUE(stdfs::is_symlink(Path("up/LINK1.TXT")));
        EXPECT_FALSE(FileExists(Path("up/LINK1.TXT.dtz")));
        const std::string log = ReadFile(Path("poll.log"));
        for (const char* link : {"LINK1.TXT", "LINK2.TXT"}) {
            EXPECT_NE(log.find(std::string("Symbolic link left out: '") + link + "'."),
                      std::string::npos)
                << link;
        }
        // A name the listing saw as a file but that is a link by the time it
        // is sent: refused when opened, nothing sent.
        EXPECT_EQ(poll.DoPutFileFromDealer("LINK1.TXT", nullptr, false), zel::codes::kOpenFile);
        EXPECT_EQ(Count("PutFileFromDealer"), before + 1);
    }
}

// A dealer's files whose names only look like temporaries are sent like any
// other; a packing name left by an ended run goes, a running one's stays,
// and a name holding ".qvzel_lock" is neither sent nor deleted.
TEST_F(TransferTest, UploadSendsFilesThatOnlyLookLikeTemporaries) {
    WriteFile(CommPath("ferrun.conf"), "compression=0\n");
    const pid_t ended = EndedPid();
    const zel::proc::ProcessIdentity me = zel::proc::SelfIdentity();
    for (const char* n : {"~qvzs999999.DAT", "~qvzd4000000.1"})
        WriteFile(Path(std::string("up/") + n), n);
    WriteFile(Path("up/ORD.qvzel_lock.99999.dtzpart"), "dealer's");
    const std::string left = "up/A.TXT.dtzpart" + Stamp(ended);
    const std::string live = "up/B.TXT.dtzpart" + Stamp(me.pid, me.start);
    WriteFile(Path(left), "half");
    WriteFile(Path(live), "packing");
    StartSim(false);
    CPoll poll;
    ASSERT_EQ(Put(poll, Path("up")), S_OK);
    auto lines = Results(Path("up"));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"0000 ~qvzd4000000.1", "0000 ~qvzs999999.DAT"}));
    EXPECT_EQ(ReadFile(Uploaded("~qvzs999999.DAT")), "~qvzs999999.DAT");
    EXPECT_EQ(ReadFile(Path("up/ORD.qvzel_lock.99999.dtzpart")), "dealer's");
    EXPECT_FALSE(FileExists(Path(left)));
    EXPECT_TRUE(FileExists(Path(live)));
}

// What a run killed while packing or inside a guard update leaves is taken
// over by the next run once that run has ended; a lock the dealer's own
// system placed keeps its file out however old it is.
TEST_F(TransferTest, UploadTakesOverLeftoversOfEndedRunsButKeepsForeignLocks) {
    const pid_t ended = EndedPid();
    const std::string record = zel::test::RecordOf(ended, 0);
    WriteFile(Path("up/LEFT.TXT"), std::string(3000, 'l'));
    WriteFile(Path("up/LEFT.TXT.qvzel_lock"), record);
    WriteFile(Path("up/LEFT.TXT.dtzpart" + Stamp(ended)), "half");
    // Killed after NAME.dtz took its name, before NAME was deleted.
    WriteFile(Path("up/TWICE.TXT"), std::string(3000, 't'));
    ASSERT_EQ(CompressFile(Path("up/TWICE.TXT").c_str(), Path("up/TWICE.TXT.dtz").c_str(), 6), 0);
    // Killed after the packed original was deleted: a lock with no file.
    WriteFile(Path("up/GONE.TXT.dtz"), "packed");
    WriteFile(Path("up/GONE.TXT.qvzel_lock"), record);
    // Killed between clearing such a lock and its take-over companion.
    WriteFile(Path("up/SENT.TXT.qvzel_lock.takeover"), record);
    WriteFile(Path("up/USER.TXT"), "held by the dealer");
    WriteFile(Path("up/USER.TXT.qvzel_lock"), "");
    zel::test::Age(Path("up/USER.TXT.qvzel_lock"), 30 * 24 * 3600);
    WriteFile(Path("up/USER2.TXT"), "held by the dealer");
    WriteFile(Path("up/USER2.TXT.qvzel_lock"), "order system 17\n");
    for (const char* guard : {"qvzel.scan.guard", "qvzel.up.guard"}) {
        WriteFile(CommPath(std::string(guard) + ".qvzel_lock"), record);
        WriteFile(CommPath("." + std::string(guard) + Stamp(ended)), "half");
        WriteFile(CommPath(std::string(guard) + ".qvzel_lock.takeover"), record);
    }
    StartSim(false);
    CPoll poll;
    ASSERT_EQ(Put(poll, Path("up")), S_OK);
    auto lines = Results(Path("up"));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"0000 GONE.TXT.dtz", "0000 LEFT.TXT.dtz",
                                               "0000 TWICE.TXT.dtz"}));
    EXPECT_EQ(Count("PutFileFromDealer"), 3u);
    ASSERT_EQ(DecompressFile(Uploaded("TWICE.TXT.dtz").c_str(), Path("t.out").c_str()), 0);
    EXPECT_TRUE(ReadFile(Path("t.out")) == std::string(3000, 't'));
    auto left = Tree(Path("up"));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"Poll.Result", "USER.TXT", "USER.TXT.qvzel_lock",
                                              "USER2.TXT", "USER2.TXT.qvzel_lock"}));
    EXPECT_EQ(ReadFile(Path("up/USER2.TXT.qvzel_lock")), "order system 17\n");
    EXPECT_EQ(LocksAndGuardParts(CommPath("")), std::vector<std::string>{});
}

TEST(ExclusionList, WholeNamePatternsWithoutCase) {
    EXPECT_TRUE(ExclusionPatternMatch("*.log", "A.LOG"));
    EXPECT_TRUE(ExclusionPatternMatch("a?c", "ABC"));
    EXPECT_FALSE(ExclusionPatternMatch("a?c", "ABCD"));  // whole name
    EXPECT_FALSE(ExclusionPatternMatch("*.log", "A.LOGX"));
    EXPECT_TRUE(ExclusionPatternMatch("*a*b*", "xxaxxbxx"));
    EXPECT_FALSE(ExclusionPatternMatch("", "A"));
}

// ---- Memory -----------------------------------------------------------------

// Writes size bytes of pseudo-random text from a small alphabet (packs to
// about half) in 1 MiB pieces, each a different rotation of one random
// piece; returns their CRC-32.  The test's own memory stays small too.
std::uint32_t WriteLargeFile(const std::string& path, std::size_t size, std::uint64_t seed) {
    constexpr std::size_t kPiece = 1u << 20;
    std::string pattern(2 * kPiece, '\0');
    std::uint64_t x = seed | 1u;
    for (std::size_t i = 0; i < kPiece; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        pattern[i] = pattern[i + kPiece] = static_cast<char>('a' + (x & 15u));
    }
    std::ofstream out(path, std::ios::binary);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::size_t done = 0, n = 0; done < size; done += kPiece, ++n) {
        const char* piece = pattern.data() + (n * 7919u) % kPiece;
        out.write(piece, static_cast<std::streamsize>(kPiece));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(piece), static_cast<uInt>(kPiece));
    }
    return static_cast<std::uint32_t>(crc);
}

// A 64 MiB file passes through a transfer in pieces: the peak resident size
// of the process stays within 16 MiB of the same transfer of a tiny file.
// Only the difference is compared (a sanitizer build has a large base).
TEST_F(TransferTest, LargeFilesAreTransferredWithoutHoldingThemInMemory) {
    constexpr std::size_t kSize = 64u << 20;
    constexpr long kSlackKb = 16 * 1024;
    // A sanitizer's quarantine would keep every freed piece resident; it is
    // kept small so that the peak reflects what the transfer itself holds.
    const char* asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS",
             ((asan != nullptr ? std::string(asan) + ":" : std::string()) + "quarantine_size_mb=4")
                 .c_str(),
             1);
    // The fastest packing level: the memory of packing does not depend on it.
    WriteFile(CommPath("ferrun.conf"), "compression=1\n");
    StartSim(false);
    auto peak = [&](const std::string& verb, const std::string& dir) {
        const std::string out = RunRunner("measure " + verb, dir);
        EXPECT_EQ(out.rfind("00000000\n", 0), 0u) << out;
        const std::size_t at = out.find("maxrss=");
        return at == std::string::npos ? -1L : std::strtol(out.c_str() + at + 7, nullptr, 10);
    };
    for (const char* d : {"down-idle", "down-big", "up-idle", "up-big"})
        stdfs::create_directories(Path(d));

    WriteFile(Published("TINY.DAT"), "tiny");
    const long idle_get = peak("get", Path("down-idle"));
    // Packed: the download streams it to disk, then unpacks it piece by piece.
    const std::uint32_t packed_crc = WriteLargeFile(Path("big.src"), kSize, 2);
    ASSERT_EQ(CompressFile(Path("big.src").c_str(), Published("PACKED.DAT.dtz").c_str(), 1), 0);
    std::remove(Path("big.src").c_str());
    const long big_get = peak("get", Path("down-big"));
    EXPECT_GT(idle_get, 0);
    EXPECT_LT(big_get - idle_get, kSlackKb) << "idle " << idle_get << " kB, 64 MiB " << big_get;
    EXPECT_EQ(Crc(Path("down-big/PACKED.DAT")), packed_crc);

    WriteFile(Path("up-idle/TINY.TXT"), "tiny");
    const long idle_put = peak("put", Path("up-idle"));
    const std::uint32_t up_crc = WriteLargeFile(Path("up-big/BIG.TXT"), kSize, 3);
    const long big_put = peak("put", Path("up-big"));
    EXPECT_GT(idle_put, 0);
    EXPECT_LT(big_put - idle_put, kSlackKb) << "idle " << idle_put << " kB, 64 MiB " << big_put;
    ASSERT_EQ(DecompressFile(Uploaded("BIG.TXT.dtz").c_str(), Path("big.out").c_str()), 0);
    EXPECT_EQ(Crc(Path("big.out")), up_crc);
    EXPECT_FALSE(FileExists(Path("up-big/BIG.TXT")));
    if (asan != nullptr) {
        ::setenv("ASAN_OPTIONS", asan, 1);
    } else {
        ::unsetenv("ASAN_OPTIONS");
    }
}

// ---- Several processes ------------------------------------------------------

TEST_F(TransferTest, TwoProcessesAtOnceNeverTransferAFileTwice) {
    StartSim(false);
    for (int i = 0; i < 8; ++i) {
        WriteFile(Published("D" + std::to_string(i)), std::string(200000, char('a' + i)));
        WriteFile(Path("up/U" + std::to_string(i)), std::string(200000, char('a' + i)));
    }
    const pid_t g1 = StartRunner("get", Path("down"));
    const pid_t g2 = StartRunner("get", Path("down"));
    const pid_t p1 = StartRunner("put", Path("up"));
    const pid_t p2 = StartRunner("put", Path("up"));
    for (pid_t p : {g1, g2, p1, p2}) EXPECT_EQ(WaitChild(p), 0);
    EXPECT_EQ(Count("GetFileFromQuvaro"), 8u);
    EXPECT_EQ(Count("PutFileFromDealer"), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(ReadFile(Path("down/D" + std::to_string(i))) ==
                    std::string(200000, char('a' + i)))
            << i;
        EXPECT_TRUE(FileExists(Uploaded("U" + std::to_string(i) + ".dtz")));
    }
}

TEST_F(TransferTest, KilledRunsLeaveNothingBehindAndTheNextRunFinishes) {
    // The guards must not hold a killed run's file back for hours here.
    WriteFile(CommPath("ferrun.conf"), "read_timeout=0\nwrite_timeout=0\n");
    StartSim(false);
    std::vector<std::string> contents;
    for (int i = 0; i < 6; ++i) {
        contents.push_back(std::string(300000 + i * 1000, char('k' + i)));
        WriteFile(Published("K" + std::to_string(i) + ".DAT"), contents.back());
        WriteFile(Path("up/P" + std::to_string(i) + ".DAT"), contents.back());
    }
    std::mt19937 random(12345);
    for (int round = 0; round < 20; ++round) {
        const pid_t get = StartRunner("get", Path("down"));
        const pid_t put = StartRunner("put", Path("up"));
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 400));
        ::kill(get, SIGKILL);
        ::kill(put, SIGKILL);
        WaitChild(get);
        WaitChild(put);
    }
    // Nothing is cleared by hand: plain runs take over what the killed ones
    // left and finish everything.
    EXPECT_EQ(RunRunner("get", Path("down")), "00000000\n");
    EXPECT_EQ(RunRunner("put", Path("up")), "00000000\n");
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(ReadFile(Path("down/K" + std::to_string(i) + ".DAT")) == contents[i]) << i;
        const std::string name = "P" + std::to_string(i) + ".DAT";
        EXPECT_FALSE(FileExists(Path("up/" + name))) << name;
        EXPECT_FALSE(FileExists(Path("up/" + name + ".dtz"))) << name;
        ASSERT_TRUE(FileExists(Uploaded(name + ".dtz"))) << name;
        ASSERT_EQ(DecompressFile(Uploaded(name + ".dtz").c_str(), Path("k.out").c_str()), 0);
        EXPECT_TRUE(ReadFile(Path("k.out")) == contents[i]) << name;
    }
    EXPECT_EQ(Temporaries(Path("down")), std::vector<std::string>{});
    EXPECT_EQ(Temporaries(Path("up")), std::vector<std::string>{});
    for (const std::string& dir : {Path("down"), Path("up"), CommPath("")}) {
        EXPECT_EQ(LocksAndGuardParts(dir), std::vector<std::string>{}) << dir;
    }
}

// The packing pass's locks are one record of the running process under each
// file's lock name, all taken before packing begins; a run killed inside the
// pass (there, or while its originals are being deleted and the first files
// sent) loses nothing, and the next run sends every file once, clearing what
// the killed one left.
TEST_F(TransferTest, KillsInsideThePackingPassLoseNothing) {
    WriteFile(CommPath("ferrun.conf"), "write_timeout=0\n");
    StartSim(false);
    const std::vector<std::string> points = {"pack-file-packed:3", "pack-original-deleted:2"};
    for (std::size_t k = 0; k < points.size(); ++k) {
        SCOPED_TRACE(points[k]);
        const std::string up = Path("up" + std::to_string(k));
        const std::string stem = "R" + std::to_string(k) + "P";
        stdfs::create_directories(up);
        std::vector<std::string> contents;
        for (int i = 0; i < 4; ++i) {
            contents.push_back(std::string(4000 + i, char('p' + i)));
            WriteFile(up + "/" + stem + std::to_string(i) + ".DAT", contents.back());
        }
        const std::size_t sent_before = Count("PutFileFromDealer");
        pid_t runner = 0;
        const bool stopped = StartRunnerStoppedAt("put", up, points[k], &runner);
        // Killed there on every way out of this scope.
        std::shared_ptr<void> kill_runner(nullptr, [&runner](void*) {
            if (runner <= 0) return;
            ::kill(runner, SIGKILL);
            WaitChild(runner);
            runner = 0;
        });
        ASSERT_TRUE(stopped);
        if (k == 0) {
            // Every file is locked before packing begins: one file named four
            // times, naming the runner.
            std::vector<ino_t> inodes;
            for (const auto& n : Tree(up)) {
                if (n.size() < 11 || n.compare(n.size() - 11, 11, ".qvzel_lock") != 0) continue;
                struct stat st {};
                ASSERT_EQ(::stat((up + "/" + n).c_str(), &st), 0);
                inodes.push_back(st.st_ino);
                EXPECT_EQ(st.st_nlink, 4u) << n;
                EXPECT_EQ(
                    ReadFile(up + "/" + n).rfind("qvzel-holder " + std::to_string(runner) + " ", 0),
                    0u);
            }
            ASSERT_EQ(inodes.size(), 4u);
            EXPECT_EQ(std::count(inodes.begin(), inodes.end(), inodes[0]), 4);
        }
        kill_runner.reset();
        EXPECT_EQ(RunRunner("put", up), "00000000\n");
        for (int i = 0; i < 4; ++i) {
            const std::string name = stem + std::to_string(i) + ".DAT";
            ASSERT_TRUE(FileExists(Uploaded(name + ".dtz"))) << name;
            ASSERT_EQ(DecompressFile(Uploaded(name + ".dtz").c_str(), Path("p.out").c_str()), 0);
            EXPECT_TRUE(ReadFile(Path("p.out")) == contents[i]) << name;
        }
        EXPECT_EQ(Tree(up), std::vector<std::string>{"Poll.Result"});
        // Sent once each; the killed run may have had one accepted without
        // learning of it, as any run killed during a request.
        const std::size_t sent = Count("PutFileFromDealer") - sent_before;
        EXPECT_GE(sent, 4u);
        EXPECT_LE(sent, 5u);
    }
}

// The upload's removals: done in order by their own thread, each giving its
// lock back after it; a sent file leaves its name at once and its data with
// the call's end.
TEST_F(TransferTest, DeferredRemovalsKeepTheirOrderAndLeaveNothing) {
    const std::string dir = Path("rm");
    stdfs::create_directories(dir);
    for (const char* n : {"A", "B", "C", "SENT.dtz"}) WriteFile(dir + "/" + n, n);
    ASSERT_TRUE(TryLock((dir + "/B").c_str()));
    ::chmod((dir + "/C").c_str(), 0444);
    {
        zel::poll::DeferredRemoval removal;
        const auto a = removal.Remove(dir + "/A");
        const auto b = removal.Remove(dir + "/B", dir + "/B");
        const auto c = removal.Remove(dir + "/C");
        EXPECT_LT(a, b);
        removal.Wait(b);
        EXPECT_FALSE(FileExists(dir + "/A"));
        EXPECT_FALSE(FileExists(dir + "/B"));
        EXPECT_FALSE(FileExists(dir + "/B.qvzel_lock"));
        removal.Wait(c);
        EXPECT_FALSE(FileExists(dir + "/C"));  // read-only: the mark is cleared first
        removal.SetAside(dir + "/SENT.dtz");
        EXPECT_FALSE(FileExists(dir + "/SENT.dtz"));
        removal.SetAside(dir + "/MISSING");  // nothing there: nothing happens
        removal.Wait(0);
        removal.Finish();
        EXPECT_EQ(Tree(dir), std::vector<std::string>{});
        // Usable again after Finish; the destructor waits for this one.
        WriteFile(dir + "/D", "d");
        (void)removal.Remove(dir + "/D");
    }
    EXPECT_EQ(Tree(dir), std::vector<std::string>{});
}

}  // namespace
