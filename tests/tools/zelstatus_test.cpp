// zelstatus run as a real program over system roots that the real programs
// prepared: a written schedule planned for a fixed week, qvzel_cron running
// on its single-instance lock, stale and left-behind locks, and a download by
// the real qvzel_nt through the registered Poll component against zelsim in
// which one file fails.  Its JSON output is read back with a real JSON
// parser (python3), and the whole system root is compared before and after
// it ran, byte for byte and by modification time.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "tests/common/scratch.h"
#include "tests/common/spawn.h"
#include "tests/directory/sim.h"

namespace zel::test {
namespace {

namespace sfs = std::filesystem;
using Json = std::map<std::string, std::string>;

// Prints every leaf of a JSON document as "path=value" (value as JSON, so
// strings keep their quotes) and every array's length as "path.#=N".
constexpr const char* kFlatten = R"(import json, sys
def walk(path, v):
    if isinstance(v, dict):
        for k, x in v.items(): walk(path + [k], x)
    elif isinstance(v, list):
        print('.'.join(path + ['#']) + '=' + str(len(v)))
        for i, x in enumerate(v): walk(path + [str(i)], x)
    else:
        print('.'.join(path) + '=' + json.dumps(v))
walk([], json.load(open(sys.argv[1])))
)";

std::string Q(const std::string& s) {
    return "\"" + s + "\"";
}

// Seconds since 1970 of a UTC calendar minute.
std::time_t Utc(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    return ::timegm(&tm);
}

struct FileState {
    std::string bytes;
    long long mtime_ns = 0;
    unsigned mode = 0;
    bool operator==(const FileState&) const = default;
};

class Zelstatus : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        ASSERT_FALSE(out_.path().empty());
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        ::setenv("ZEL_UNIT_DIR", Path("units").c_str(), 1);
        ::setenv("ZEL_SYSTEMCTL", "", 1);
        for (const std::string& d :
             {paths::DownloadDir(), paths::UploadDir(), paths::CmnDir(), Path("units")})
            sfs::create_directories(d);
    }
    void TearDown() override {
        if (cron_ > 0) {
            ::kill(cron_, SIGTERM);
            (void)Wait(cron_);
        }
        sim_.reset();
    }

    // Runs a built program; its output goes to files outside the system root.
    int Program(const std::string& relative, const std::vector<std::string>& args,
                std::string* out = nullptr, std::string* err = nullptr) {
        const std::string o = out_ / "out", e = out_ / "err";
        const pid_t pid = Spawn(BuildPath(relative), args, o, e);
        const int rc = pid > 0 ? Wait(pid) : -1;
        if (out != nullptr) *out = ReadFile(o);
        if (err != nullptr) *err = ReadFile(e);
        return rc;
    }
    int Status(const std::vector<std::string>& args, std::string* out = nullptr,
               std::string* err = nullptr) {
        return Program("tools/zelstatus", args, out, err);
    }
    // zelstatus --json (plus args), parsed; *rc its exit code.
    Json StatusJson(const std::vector<std::string>& args = {}, int* rc = nullptr,
                    std::string* err = nullptr) {
        std::vector<std::string> all = {"--json"};
        all.insert(all.end(), args.begin(), args.end());
        std::string text;
        const int code = Status(all, &text, err);
        if (rc != nullptr) *rc = code;
        WriteFile(out_ / "doc.json", text);
        WriteFile(out_ / "flatten.py", kFlatten);
        const pid_t pid =
            Spawn("/usr/bin/python3", {out_ / "flatten.py", out_ / "doc.json"}, out_ / "flat");
        EXPECT_EQ(pid > 0 ? Wait(pid) : -1, 0) << "not JSON:\n" << text;
        Json json;
        std::string flat = ReadFile(out_ / "flat");
        std::size_t start = 0;
        while (start < flat.size()) {
            std::size_t end = flat.find('\n', start);
            if (end == std::string::npos) end = flat.size();
            const std::string line = flat.substr(start, end - start);
            const std::size_t eq = line.find('=');
            if (eq != std::string::npos) json[line.substr(0, eq)] = line.substr(eq + 1);
            start = end + 1;
        }
        return json;
    }

    // Every file and directory below the system root with its bytes,
    // modification time and mode.
    std::map<std::string, FileState> Snapshot() const {
        std::map<std::string, FileState> files;
        for (const auto& entry : sfs::recursive_directory_iterator(dir_)) {
            struct stat st;
            if (::lstat(entry.path().c_str(), &st) != 0) continue;
            FileState state;
            state.mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
            state.mode = st.st_mode;
            if (S_ISREG(st.st_mode)) state.bytes = ReadFile(entry.path().string());
            files[entry.path().string()] = state;
        }
        return files;
    }

    // qvzel_cron registered and running as an ordinary program on this root.
    void StartCron() {
        ASSERT_EQ(Program("scheduler/qvzel_cron", {"-RegServer"}), 0);
        cron_ = Spawn(BuildPath("scheduler/qvzel_cron"), {}, out_ / "cron.out");
        ASSERT_GT(cron_, 0);
        ASSERT_TRUE(WaitUntil(
            [&] {
                return ReadFile(out_ / "cron.out").find("Service started") != std::string::npos;
            },
            10000));
    }

    ScratchDir out_{"zelstatus-out"};
    EnvRestore tz_{"TZ"}, units_{"ZEL_UNIT_DIR"}, systemctl_{"ZEL_SYSTEMCTL"};
    pid_t cron_ = -1;
    std::unique_ptr<directory::Simulator> sim_;
};

TEST_F(Zelstatus, PlansTheComingWeekAsTheSchedulerMatchesIt) {
    // Planned from Tuesday 2026-12-08 10:00 UTC.
    WriteFile(CommPath("crontab.dat"),
              "a_today 30 11 2 /usr/bin/cron/qvzelup\r\n"
              "b_nextweek 0 9 2 /x/early\r\n"
              "c_first 15 12 2 /x/first\r\n"
              "c_second 15 12 2 /x/second\r\n"
              "d_monday 5 7 1 /x/y\r\n"
              "bad 61 7 1 /x/z\r\n"
              "e_weekend 0,30 8 0,6 C:\\X\\run.cmd\r\n");
    WriteFile(CommPath("qvzel_cronin"), "a_today remove\r\n");
    Json j = StatusJson({"--from", "2026-12-08 10:00"});

    const std::vector<std::pair<std::string, std::time_t>> entries = {
        {"a_today", Utc(2026, 12, 8, 11, 30)}, {"b_nextweek", Utc(2026, 12, 15, 9, 0)},
        {"c_first", Utc(2026, 12, 8, 12, 15)}, {"c_second", Utc(2026, 12, 8, 12, 15)},
        {"d_monday", Utc(2026, 12, 14, 7, 5)}, {"e_weekend", Utc(2026, 12, 12, 8, 0)}};
    ASSERT_EQ(j["schedule.entries.#"], std::to_string(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string at = "schedule.entries." + std::to_string(i) + ".";
        EXPECT_EQ(j[at + "name"], Q(entries[i].first));
        EXPECT_EQ(j[at + "next"], std::to_string(entries[i].second)) << entries[i].first;
    }
    EXPECT_EQ(j["schedule.entries.0.command"], Q("qvzelup.bat"));
    EXPECT_EQ(j["schedule.entries.5.command"], Q("run.cmd"));
    EXPECT_EQ(j["schedule.ignored_lines.#"], "1");
    EXPECT_EQ(j["schedule.ignored_lines.0"], Q("bad 61 7 1 /x/z"));

    // Starts in the order the service makes them: by time, and two entries
    // of one minute in the reverse order of their lines.
    const std::vector<std::pair<std::string, std::time_t>> starts = {
        {"a_today", Utc(2026, 12, 8, 11, 30)},   {"c_second", Utc(2026, 12, 8, 12, 15)},
        {"c_first", Utc(2026, 12, 8, 12, 15)},   {"e_weekend", Utc(2026, 12, 12, 8, 0)},
        {"e_weekend", Utc(2026, 12, 12, 8, 30)}, {"e_weekend", Utc(2026, 12, 13, 8, 0)},
        {"e_weekend", Utc(2026, 12, 13, 8, 30)}, {"d_monday", Utc(2026, 12, 14, 7, 5)},
        {"b_nextweek", Utc(2026, 12, 15, 9, 0)}};
    ASSERT_EQ(j["schedule.upcoming.#"], std::to_string(starts.size()));
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::string at = "schedule.upcoming." + std::to_string(i) + ".";
        EXPECT_EQ(j[at + "name"], Q(starts[i].first)) << i;
        EXPECT_EQ(j[at + "when"], std::to_string(starts[i].second)) << i;
    }
    EXPECT_EQ(j["schedule.upcoming.1.command"], Q("second.bat"));
    EXPECT_EQ(j["schedule.pending.present"], "true");
    EXPECT_EQ(j["schedule.pending.lines.0"], Q("a_today remove"));

    std::string text;
    ASSERT_EQ(Status({"--from", "2026-12-08 10:00"}, &text), 0);
    EXPECT_NE(text.find("a_today -> qvzelup.bat: next Tue 2026-12-08 11:30"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Tue 2026-12-08 12:15  c_second -> second.bat\n"
                        "    Tue 2026-12-08 12:15  c_first -> first.bat\n"),
              std::string::npos)
        << text;

    std::string err;
    EXPECT_EQ(Status({"--from", "2026-02-30 10:00"}, nullptr, &err), 2);
    EXPECT_NE(err.find("--from"), std::string::npos);
}

TEST_F(Zelstatus, CheckNamesTheServiceAndLocksThatNeedAPerson) {
    // No control file: the service has no default schedule and so plans no
    // download that could be missed.
    StartCron();
    ASSERT_EQ(Program("tools/zelpasswd", {"dealer7:s3cret"}), 0);
    int rc = -1;
    Json j = StatusJson({"--check"}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(j["ok"], "true");
    EXPECT_EQ(j["service.running"], "true");
    EXPECT_EQ(j["service.pid"], std::to_string(cron_));
    EXPECT_EQ(j["service.under_systemd"], "false");
    EXPECT_EQ(j["connection.password.readable"], "true");

    // A download job that died four hours and a minute ago, a guard file's
    // lock left behind, and a log lock the next writer takes over itself.
    const std::string downlock = CommPath("DOWNLOCK.qvzel_lock");
    const std::string guardlock = CommPath("qvzel.down.guard.qvzel_lock");
    const std::string loglock = CommPath("qvzel.log.qvzel_lock");
    for (const std::string& l : {guardlock, loglock}) WriteFile(l, "");
    // The job lock names its holder, which has ended (no pid is that high).
    WriteFile(downlock, "qvzel-holder 2147483646 1\n");
    Age(downlock, 241 * 60);
    Age(guardlock, 61 * 60);
    Age(loglock, 10 * 60);
    std::string err;
    j = StatusJson({"--check"}, &rc, &err);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(j["problems.#"], "2") << err;
    EXPECT_NE(err.find("lock past its limit: " + downlock + " is 241 minutes old (limit 240)"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("lock left behind: " + guardlock), std::string::npos) << err;
    EXPECT_EQ(j["jobs.list.1.lock_present"], "true");
    EXPECT_EQ(j["jobs.list.1.lock_past_limit"], "true");
    ASSERT_EQ(j["locks.#"], "3");
    std::map<std::string, std::string> kinds;
    for (int i = 0; i < 3; ++i) {
        const std::string at = "locks." + std::to_string(i) + ".";
        kinds[j[at + "file"]] =
            j[at + "kind"] + " " + j[at + "limit_minutes"] + " " + j[at + "past_limit"];
    }
    EXPECT_EQ(kinds[Q(downlock)], "\"job\" 240 true");
    EXPECT_EQ(kinds[Q(guardlock)], "\"guard\" 0 true");
    EXPECT_EQ(kinds[Q(loglock)], "\"log\" 1 true");

    // The job's own configured limit decides, as it does for the job.
    WriteFile(CommPath("ferrun.conf"), "downlock_minutes=300\n");
    ::unlink(guardlock.c_str());
    j = StatusJson({"--check"}, &rc, &err);
    EXPECT_EQ(rc, 0) << err;
    EXPECT_EQ(j["jobs.list.1.lock_limit_minutes"], "300");
    EXPECT_EQ(j["jobs.list.1.lock_past_limit"], "false");

    ::kill(cron_, SIGTERM);
    EXPECT_EQ(Wait(cron_), 0);
    cron_ = -1;
    ::unlink(CommPath("IACCESS").c_str());
    EXPECT_EQ(Status({"--check"}, nullptr, &err), 1);
    EXPECT_NE(err.find("qvzel_cron is not running"), std::string::npos) << err;
    EXPECT_NE(err.find("IACCESS is missing"), std::string::npos) << err;
}

TEST_F(Zelstatus, ReportsADownloadWithOneFailureAndWritesNothing) {
    ASSERT_EQ(Program("tools/regsvr", {"/s", BuildPath("poll/component/libPoll.so")}), 0);
    WriteFile(CommPath("CONTROL"), "A,B,C,D,E");  // unit contract "DB"
    WriteFile(Path("users.txt"), "dealer7:s3cret\n");
    sfs::create_directories(Path("data/DB"));
    WriteFile(Path("data/DB/A.DAT"), "alpha\r\n");
    WriteFile(Path("data/DB/B.DAT"), "bravo\r\n");
    // The first file fetched (A.DAT, the list is sorted) is placed, but the
    // central side refuses its acknowledgement: result 1004.
    sim_ = std::make_unique<directory::Simulator>(
        dir_, std::vector<std::string>{"--users", Path("users.txt"), "--data-dir", Path("data"),
                                       "--fault", "PostProcessQuvaroFile=fault:3002"});
    ASSERT_TRUE(sim_->ok());
    WriteFile(CommPath("ISERVER.XML"), sim_->Description());
    ASSERT_EQ(Program("tools/zelpasswd", {"dealer7:s3cret"}), 0);
    ASSERT_EQ(Program("jobs/qvzel_nt", {"-d"}), 0);
    sim_.reset();  // nothing else may write below the root from here on
    ASSERT_TRUE(FileExists(paths::Join(paths::DownloadDir(), "A.DAT")));
    ASSERT_TRUE(FileExists(paths::Join(paths::DownloadDir(), "B.DAT")));
    WriteFile(
        CommPath("crontab.dat"),
        "qvzel_down 0 1,3,5,7,9,11,13,15,17,19,21,23 1,2,3,4,5,6 /usr/bin/cron/qvzeldown\r\n");

    // The proxy method sends the next request's decision to the user's
    // browser settings, a key nobody has made: reading it must not make it.
    ASSERT_EQ(Program("tools/qvreg", {"add", std::string("HKLM\\") + keys::kServersKey, "/v",
                                      "AccessMethod", "/t", "REG_DWORD", "/d", "3"}),
              0);

    const auto before = Snapshot();
    ASSERT_FALSE(FileExists(paths::RegistryFile() + "-wal"));
    std::string text;
    EXPECT_EQ(Status({}, &text), 0);
    int rc = -1;
    Json j = StatusJson({"--check"}, &rc);
    EXPECT_EQ(Status({"--check"}), 1);
    const auto after = Snapshot();
    EXPECT_EQ(before.size(), after.size());
    for (const auto& [path, state] : before) {
        auto it = after.find(path);
        ASSERT_NE(it, after.end()) << path << " vanished";
        EXPECT_TRUE(it->second == state) << path << " changed";
    }
    for (const auto& [path, state] : after) {
        EXPECT_TRUE(before.count(path)) << path << " was created";
    }

    EXPECT_EQ(rc, 1);
    EXPECT_EQ(j["jobs.list.1.job"], Q("download"));
    EXPECT_EQ(j["jobs.list.1.successes"], "1");
    EXPECT_EQ(j["jobs.list.1.failures"], "1") << text;
    ASSERT_EQ(j["jobs.list.1.failure_lines.#"], "1");
    EXPECT_EQ(j["jobs.list.1.failure_lines.0"],
              Q("FAILURE in Download of File A.DAT - Error Code 1004"));
    EXPECT_NE(j["jobs.list.1.last_ran"], "null");
    EXPECT_EQ(j["jobs.list.1.lock_present"], "false");
    EXPECT_EQ(j["jobs.logfil.tail.#"], "2");
    EXPECT_EQ(j["jobs.logfil.tail.0"], j["jobs.list.1.failure_lines.0"]);
    EXPECT_EQ(j["jobs.logfil.tail.1"], Q("Successful Download of File B.DAT"));
    // A fetched file's guard entry stays for the read timeout.
    bool guarded = false;
    for (int i = 0; i < std::stoi(j["guards.#"]); ++i) {
        const std::string at = "guards." + std::to_string(i) + ".";
        if (j[at + "text"] != Q("B.DAT")) continue;
        guarded = true;
        EXPECT_EQ(std::stoll(j[at + "skipped_until"]) - std::stoll(j[at + "written"]), 6900);
    }
    EXPECT_TRUE(guarded);
    EXPECT_EQ(j["connection.directory.cached"], "true");
    EXPECT_NE(j["connection.directory.poll_address"].find("127.0.0.1"), std::string::npos)
        << j["connection.directory.poll_address"];
    EXPECT_EQ(j["connection.directory.will_refresh"], "false");
    EXPECT_EQ(j["connection.http.access_type"], Q("ACCESS_TYPE_DIRECT"));
    EXPECT_EQ(j["connection.control.readable"], "true");
    // A recent successful download: only the stopped service needs a person.
    ASSERT_EQ(j["problems.#"], "1");
    EXPECT_EQ(j["problems.0"], Q("the schedule service qvzel_cron is not running"));
    EXPECT_NE(text.find("1 succeeded, 1 failed"), std::string::npos) << text;
    EXPECT_EQ(text.find("A,B,C,D,E"), std::string::npos) << "the control file was printed";

    // The same outcome a day and an hour later no longer counts as recent.
    Age(CommPath("qvzeldownfile"), 25 * 3600);
    j = StatusJson();
    ASSERT_EQ(j["problems.#"], "2");
    EXPECT_NE(j["problems.0"].find("no successful download in the last 24 hours"),
              std::string::npos);
}

TEST_F(Zelstatus, ReadsTheStoreWithoutCreatingItAndBesideALiveWriter) {
    // No registry at all: it stays that way.
    ASSERT_FALSE(FileExists(paths::RegistryFile()));
    Json j = StatusJson();
    EXPECT_EQ(j["connection.http.access_type"], Q("ACCESS_TYPE_DIRECT"));
    EXPECT_FALSE(FileExists(paths::RegistryFile()));
    EXPECT_EQ(j["connection.directory.will_refresh"], "true");

    // This process keeps the store open with its journal while zelstatus
    // reads what it wrote.  The proxy method without the override reads the
    // user's browser settings, whose key does not exist: read-only, the
    // reads yield the defaults (direct) and make no key.
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(reg::Hive::LocalMachine, keys::kServersKey, &key, nullptr),
              reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "AccessMethod", 3), reg::kSuccess);
    ASSERT_TRUE(FileExists(paths::RegistryFile() + "-wal"));
    j = StatusJson();
    EXPECT_EQ(j["connection.access_method"], "3");
    EXPECT_EQ(j["connection.http.access_type"], Q("ACCESS_TYPE_DIRECT"));
    reg::Key user;
    EXPECT_EQ(reg::OpenKey(reg::Hive::CurrentUser, keys::kInternetSettingsKey, &user),
              reg::kNotFound);

    ASSERT_EQ(reg::SetDword(key, "AccessOverride", 1), reg::kSuccess);
    ASSERT_EQ(reg::SetDword(key, "ProxyEnable", 1), reg::kSuccess);
    ASSERT_EQ(reg::SetString(key, "ProxyServer", "http=127.0.0.2:3128;https=127.0.0.3:3129"),
              reg::kSuccess);
    j = StatusJson();
    EXPECT_EQ(j["connection.access_override"], "1");
    EXPECT_EQ(j["connection.http.access_type"], Q("ACCESS_TYPE_PROXY"));
    EXPECT_EQ(j["connection.http.proxy"], Q("127.0.0.2:3128"));
    EXPECT_EQ(j["connection.https.proxy"], Q("127.0.0.3:3129"));
}

TEST_F(Zelstatus, ReadsAStoreWhosePathLooksLikeUriSyntax) {
    // The store is named to SQLite as a URI: "?", "#" and "%" in the root's
    // name must still name this file.
    const std::string root = Path("we?ird #%20root");
    sfs::create_directories(root);
    ::setenv("QVIS_ROOT", root.c_str(), 1);
    ASSERT_EQ(Program("tools/qvreg", {"add", std::string("HKLM\\") + keys::kServersKey, "/v",
                                      "AccessMethod", "/t", "REG_DWORD", "/d", "2"}),
              0);
    ASSERT_TRUE(FileExists(root + "/registry.db"));
    Json j = StatusJson();
    EXPECT_EQ(j["connection.access_method"], "2");
    EXPECT_EQ(j["connection.https.access_type"], Q("ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY"));
    EXPECT_EQ(j["root"], Q(root));
}

}  // namespace
}  // namespace zel::test
