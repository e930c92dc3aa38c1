// zelstatus run as a real program over system roots that the real programs
// prepared: a written schedule planned for a fixed week, qvzel_cron running
// on its single-instance lock, stale and left-behind locks, and a download by
// the real qvzel_nt through the registered Poll component against zelsim in
// which one file fails, then against no server at all.  Its JSON output is
// read back with a real JSON parser (python3), and the whole system root is
// compared before and after it ran, byte for byte and by modification time.
// --check is run over roots in each state that stops the jobs, with the
// clock set by --now where the day of the week matters.
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "tests/common/records.h"
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

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The default schedule that qvzel_cron makes from the control file
// "A,B,C,D,E" (contract "DB", value 0): uploads at minute 0 of every hour and
// downloads at minute 0 of the even hours, Monday to Saturday.
constexpr const char* kDefaultSchedule =
    "qvzel_up 0 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23 1,2,3,4,5,6 "
    "/usr/bin/cron/qvzelup\r\n"
    "qvzel_down 0 0,2,4,6,8,10,12,14,16,18,20,22 1,2,3,4,5,6 /usr/bin/cron/qvzeldown\r\n"
    "qvzel_proc 0 3 2,3,4,5,6 /usr/bin/cron/qvzelproc\r\n";

void SetMtime(const std::string& path, std::time_t t) {
    struct timeval times[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
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
        ::setenv("ZEL_VENDOR_UNIT_DIR", Path("vendor-units").c_str(), 1);
        ::setenv("ZEL_SYSTEMCTL", "", 1);
        for (const std::string& d : {paths::DownloadDir(), paths::UploadDir(), paths::CmnDir(),
                                     Path("units"), Path("vendor-units")})
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

    // A root that needs no person: control and password files, transfers
    // enabled, the default schedule written a week ago, a download that
    // succeeded a minute ago, and qvzel_cron running.
    void MakeHealthy() {
        WriteFile(CommPath("CONTROL"), "A,B,C,D,E");
        ASSERT_EQ(Program("tools/zelpasswd", {"dealer7:s3cret"}), 0);
        WriteFile(paths::Join(paths::CmnDir(), "INIT_CTRL"), "QVZEL=Y\n");
        WriteFile(CommPath("crontab.dat"), kDefaultSchedule);
        Age(CommPath("crontab.dat"), 8 * 86400);
        WriteFile(CommPath("qvzeldownfile"), "Successful Download of File A.DAT\r\n");
        Age(CommPath("qvzeldownfile"), 60);
        StartCron();
    }
    // zelstatus --check: its exit code, and the reasons it named.
    int Check(std::string* err, const std::vector<std::string>& more = {}) {
        std::vector<std::string> args = {"--check"};
        args.insert(args.end(), more.begin(), more.end());
        return Status(args, nullptr, err);
    }

    void RestartCron() {
        ::kill(cron_, SIGTERM);
        EXPECT_EQ(Wait(cron_), 0);
        cron_ = -1;
        ::unlink((out_ / "cron.out").c_str());
        StartCron();
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
        // ... and has recorded what it loaded.
        const std::string mark = " " + std::to_string(cron_) + " ";
        ASSERT_TRUE(
            WaitUntil([&] { return Has(ReadFile(Path("qvzel_cron.loaded")), mark); }, 10000));
    }

    ScratchDir out_{"zelstatus-out"};
    EnvRestore tz_{"TZ"}, units_{"ZEL_UNIT_DIR"}, vendor_units_{"ZEL_VENDOR_UNIT_DIR"},
        systemctl_{"ZEL_SYSTEMCTL"};
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
    EXPECT_NE(text.find("Tue 2026-12-08 12:15 UTC  c_second -> second.bat\n"
                        "    Tue 2026-12-08 12:15 UTC  c_first -> first.bat\n"),
              std::string::npos)
        << text;

    std::string err;
    EXPECT_EQ(Status({"--from", "2026-02-30 10:00"}, nullptr, &err), 2);
    EXPECT_NE(err.find("--from"), std::string::npos);
    // A value missing at the end names the option; a stray word is refused;
    // the value may also follow "=".
    EXPECT_EQ(Status({"--json", "--from"}, nullptr, &err), 2);
    EXPECT_NE(err.find("bad argument '--from'"), std::string::npos) << err;
    EXPECT_EQ(Status({"--json", "extra"}, nullptr, &err), 2);
    EXPECT_NE(err.find("bad argument 'extra'"), std::string::npos) << err;
    ASSERT_EQ(Status({"--from=2026-12-08 10:00"}, &text), 0);
    EXPECT_NE(text.find("a_today -> qvzelup.bat: next Tue 2026-12-08 11:30"), std::string::npos);
}

TEST_F(Zelstatus, CheckNamesTheServiceAndLocksThatNeedAPerson) {
    MakeHealthy();
    int rc = -1;
    Json j = StatusJson({"--check"}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(j["ok"], "true");
    EXPECT_EQ(j["service.running"], "true");
    EXPECT_EQ(j["service.pid"], std::to_string(cron_));
    EXPECT_EQ(j["service.under_systemd"], "false");
    EXPECT_EQ(j["connection.password.readable"], "true");

    // An installed package's unit is the service's unit when the
    // administrator wrote none of his own.
    EXPECT_EQ(j["service.unit_installed"], "false");
    WriteFile(Path("vendor-units/qvzel_cron.service"), "[Service]\n");
    j = StatusJson({"--check"}, &rc);
    EXPECT_EQ(j["service.unit_installed"], "true");
    EXPECT_EQ(j["service.unit_file"], "\"" + Path("vendor-units/qvzel_cron.service") + "\"");

    // A download job that died four hours and a minute ago, a guard file's
    // lock left behind, and a log lock the next writer takes over itself.
    const std::string downlock = CommPath("DOWNLOCK.qvzel_lock");
    const std::string guardlock = CommPath("qvzel.down.guard.qvzel_lock");
    const std::string loglock = CommPath("qvzel.log.qvzel_lock");
    for (const std::string& l : {guardlock, loglock}) WriteFile(l, "");
    // The job lock names its holder, which has ended (no pid is that high).
    WriteFile(downlock, RecordOf(2147483646, 1));
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
    WriteFile(paths::Join(paths::CmnDir(), "INIT_CTRL"), "QVZEL=Y\n");
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
    EXPECT_TRUE(Has(j["problems.0"], "the schedule service qvzel_cron is not running"))
        << j["problems.0"];
    EXPECT_NE(text.find("1 succeeded, 1 failed"), std::string::npos) << text;
    EXPECT_EQ(text.find("A,B,C,D,E"), std::string::npos) << "the control file was printed";

    // Once the schedule has been in force for a while, a run two days old
    // is older than the last download it made due (its longest gap, from
    // Saturday 23:00 to Monday 01:00, is 26 hours).
    Age(CommPath("crontab.dat"), 8 * 86400);
    Age(CommPath("qvzeldownfile"), 48 * 3600);
    j = StatusJson();
    ASSERT_EQ(j["problems.#"], "2");
    EXPECT_TRUE(Has(j["problems.1"], "has not run (last run: ")) << j["problems.1"];
}

TEST_F(Zelstatus, ReadsTheStoreWithoutCreatingItAndBesideALiveWriter) {
    // No registry at all: it stays that way.
    ASSERT_FALSE(FileExists(paths::RegistryFile()));
    Json j = StatusJson();
    EXPECT_EQ(j["connection.http.access_type"], Q("ACCESS_TYPE_DIRECT"));
    EXPECT_FALSE(FileExists(paths::RegistryFile()));
    EXPECT_EQ(j["connection.directory.will_refresh"], "true");
    // A store not made yet holds no Olmar key either: the first start makes
    // it with the CMN directory, which exists here, so nothing is wrong
    // with the directory (not an empty name said to be missing).
    EXPECT_EQ(j["service.olmar_dir"], Q(paths::CmnDir()));
    EXPECT_EQ(j["service.olmar_dir_exists"], "true");
    std::string err;
    (void)Check(&err);
    EXPECT_FALSE(Has(err, "Olmar directory")) << err;
    EXPECT_FALSE(FileExists(paths::RegistryFile()));

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

TEST_F(Zelstatus, CheckNamesEachScheduleThatStartsNothing) {
    MakeHealthy();
    std::string err, text;
    ASSERT_EQ(Check(&err), 0) << err;
    ASSERT_EQ(Status({}, &text), 0);
    EXPECT_TRUE(Has(text, "Nothing needs attention.")) << text;

    const std::string crontab = CommPath("crontab.dat");
    const std::string control = CommPath("CONTROL");
    // Each state of the schedule file, and the words that must name it.
    struct State {
        const char* what;
        std::function<void()> make;
        const char* named;
    };
    const std::vector<State> states = {
        {"missing", [&] { ::unlink(crontab.c_str()); }, "crontab.dat is missing"},
        {"missing without CONTROL",
         [&] {
             ::unlink(crontab.c_str());
             ::unlink(control.c_str());
         },
         "is missing and CONTROL cannot be read"},
        {"empty", [&] { WriteFile(crontab, ""); }, "crontab.dat is empty"},
        {"a directory",
         [&] {
             ::unlink(crontab.c_str());
             sfs::create_directory(crontab);
         },
         "cannot be read (it is a directory"},
        {"a FIFO",
         [&] {
             ::unlink(crontab.c_str());
             ASSERT_EQ(::mkfifo(crontab.c_str(), 0644), 0);
         },
         "cannot be read (it is not a regular file (a FIFO"},
        {"zero bytes", [&] { WriteFile(crontab, std::string(4096, '\0')); },
         "holds only zero bytes"},
        {"every line rejected", [&] { WriteFile(crontab, "qvzel_up 60 7 1 /x/y\r\nbad\r\n"); },
         "has no line that the scheduler accepts"},
    };
    for (const State& state : states) {
        SCOPED_TRACE(state.what);
        state.make();
        if (FileExists(crontab)) Age(crontab, 8 * 86400);
        EXPECT_EQ(Check(&err), 1) << err;
        EXPECT_TRUE(Has(err, state.named)) << err;
        Json j = StatusJson();
        EXPECT_EQ(j["ok"], "false");
        // Back to the healthy root.
        sfs::remove_all(crontab);
        WriteFile(crontab, kDefaultSchedule);
        WriteFile(control, "A,B,C,D,E");
        Age(crontab, 8 * 86400);
    }
    ASSERT_EQ(Check(&err), 0) << err;
}

TEST_F(Zelstatus, CheckNamesEachSettingThatStopsTheJobs) {
    MakeHealthy();
    std::string err, text;
    ASSERT_EQ(Check(&err), 0) << err;

    // The control file.
    const std::string control = CommPath("CONTROL");
    ::unlink(control.c_str());
    EXPECT_EQ(Check(&err), 1);
    EXPECT_TRUE(Has(err, "the control file CONTROL is missing")) << err;
    WriteFile(control, "A,B,C,D,E");

    // An Olmar directory that does not exist: the service starts nothing.
    const std::string olmar_key = "HKLM\\SOFTWARE\\qvis\\olmar";
    ASSERT_EQ(Program("tools/qvreg", {"add", olmar_key, "/v", "OLMAR_EXE", "/t", "REG_SZ", "/d",
                                      Path("no-such-dir")}),
              0);
    EXPECT_EQ(Check(&err), 1);
    EXPECT_TRUE(Has(err, "the Olmar directory " + Path("no-such-dir") + " does not exist")) << err;
    ASSERT_EQ(Program("tools/qvreg", {"add", olmar_key, "/v", "OLMAR_EXE", "/t", "REG_SZ", "/d",
                                      paths::CmnDir(), "/f"}),
              0);
    ASSERT_EQ(Check(&err), 0) << err;

    // Transfers disabled.
    const std::string init = paths::Join(paths::CmnDir(), "INIT_CTRL");
    WriteFile(init, "qvzel=y\n");
    EXPECT_EQ(Check(&err), 1);
    EXPECT_TRUE(Has(err, "transfers are disabled in " + init)) << err;
    WriteFile(init, "QVZEL=Y\n");

    // The last upload run had a failure.
    const std::string upfile = CommPath("qvzelupfile");
    WriteFile(upfile,
              "Successful Upload of File X.DAT\r\nFAILURE in Upload of File Y.DAT - Error Code "
              "2001\r\n");
    EXPECT_EQ(Check(&err), 1);
    EXPECT_TRUE(Has(err, "the last upload run, at ")) << err;
    EXPECT_TRUE(Has(err, "had 1 failure (FAILURE in Upload of File Y.DAT - Error Code 2001)"))
        << err;
    WriteFile(upfile, "Successful Upload of File X.DAT\r\n");
    ASSERT_EQ(Check(&err), 0) << err;

    // A store that cannot be read: nothing read from it is shown as known.
    const std::string store = paths::RegistryFile();
    ASSERT_EQ(::rename(store.c_str(), (store + ".good").c_str()), 0);
    WriteFile(store, std::string(8192, 'x'));
    EXPECT_EQ(Check(&err), 1);
    EXPECT_TRUE(Has(err, "the registry store " + store + " cannot be read")) << err;
    ASSERT_EQ(Status({}, &text), 0);
    EXPECT_FALSE(Has(text, "AccessMethod 0")) << text;
    EXPECT_FALSE(Has(text, "ACCESS_TYPE_DIRECT")) << text;
    EXPECT_FALSE(Has(text, "not cached")) << text;
    Json j = StatusJson();
    EXPECT_EQ(j["connection.store_readable"], "false");
    EXPECT_EQ(j["connection.access_method"], "null");
    EXPECT_EQ(j["connection.http.access_type"], "null");
    ASSERT_EQ(::rename((store + ".good").c_str(), store.c_str()), 0);
    EXPECT_EQ(Check(&err), 0) << err;
}

TEST_F(Zelstatus, ShowsZeroBytesAndBytesThatAreNotUtf8Safely) {
    MakeHealthy();
    // A crash left a run of zero bytes in the schedule between good lines,
    // and a byte 0xFF; LOGFIL names a file in Latin-1 and holds a zero byte.
    const std::string crontab = CommPath("crontab.dat");
    WriteFile(crontab, std::string(kDefaultSchedule) + std::string(64, '\0') +
                           "\r\nqvzel_x\xFF 0 1 1 /x/y\r\nbad\x1B[2J\r\n");
    Age(crontab, 8 * 86400);
    WriteFile(CommPath("LOGFIL"), std::string("Successful Download of File PR\xC9IS.DAT\r\n") +
                                      std::string("Successful Download of File A\0B.DAT\r\n", 37) +
                                      "Successful Download of File \xE2\x82\xAC.DAT\r\n");
    WriteFile(CommPath("qvzeldownfile"),
              std::string("Successful Download of File PR\xC9IS.DAT\r\n"));
    Age(CommPath("qvzeldownfile"), 60);

    std::string text, err;
    EXPECT_EQ(Status({"--check"}, &text, &err), 1);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    // Every part of the report is there, after the zero bytes.
    for (const char* part : {"qvzel_proc -> qvzelproc.bat", "Last runs", "Held locks and guards",
                             "Connection", "IACCESS: present", "Needs attention:"})
        EXPECT_TRUE(Has(text, part)) << part << "\n" << text;
    EXPECT_TRUE(Has(text,
                    "ignored line 4 (not accepted by the scheduler): "
                    "\\x00\\x00\\x00"))
        << text;
    EXPECT_TRUE(Has(text, "  qvzel_x\\xFF -> y.bat: next ")) << text;
    EXPECT_TRUE(Has(text, "ignored line 6 (not accepted by the scheduler): bad\\x1B[2J")) << text;
    EXPECT_TRUE(Has(text, "Successful Download of File PR\\xC9IS.DAT")) << text;
    EXPECT_TRUE(Has(text, "Successful Download of File A\\x00B.DAT")) << text;
    EXPECT_TRUE(Has(text, "Successful Download of File \xE2\x82\xAC.DAT")) << text;
    EXPECT_TRUE(Has(err, "2 lines of " + crontab + " are not accepted")) << err;

    int rc = -1;
    Json j = StatusJson({"--check"}, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(j["jobs.logfil.tail.0"], Q("Successful Download of File PR\\\\xC9IS.DAT"));
    EXPECT_EQ(j["jobs.logfil.tail.1"], Q("Successful Download of File A\\u0000B.DAT"));
    EXPECT_EQ(j["jobs.logfil.tail.2"], Q("Successful Download of File \\u20ac.DAT"));
    EXPECT_EQ(j["schedule.entries.3.name"], Q("qvzel_x\\\\xFF"));
    EXPECT_EQ(j["schedule.ignored_lines.1"], Q("bad\\u001b[2J"));

    // A schedule of zero bytes alone, and a root path that is not UTF-8.
    WriteFile(crontab, std::string(512, '\0'));
    j = StatusJson();
    EXPECT_EQ(j["schedule.only_zero_bytes"], "true");
    const std::string root = Path("r\xE9seau");
    sfs::create_directories(root);
    ::setenv("QVIS_ROOT", root.c_str(), 1);
    j = StatusJson();
    EXPECT_EQ(j["root"], Q(Path("r\\\\xE9seau")));
}

TEST_F(Zelstatus, DownloadCheckFollowsWhatTheScheduleMadeDue) {
    MakeHealthy();
    const std::string outcome = CommPath("qvzeldownfile");
    const std::string lock = CommPath("DOWNLOCK.qvzel_lock");
    std::string err;
    auto at = [](int day, int hour, int minute) { return Utc(2026, 12, day, hour, minute); };

    // Sunday evening with the default schedule: the last download was due on
    // Saturday at 22:00 and succeeded; none is due before Monday 00:00.
    WriteFile(outcome, "Successful Download of File A.DAT\r\n");
    SetMtime(outcome, at(12, 22, 1));
    EXPECT_EQ(Check(&err, {"--now", "2026-12-13 23:30"}), 0) << err;
    // Monday 00:30: the run due at 00:00 should have run by now.
    EXPECT_EQ(Check(&err, {"--now", "2026-12-14 00:30"}), 1);
    EXPECT_TRUE(Has(err,
                    "the download due at Mon 2026-12-14 00:00 UTC has not run (last run: "
                    "Sat 2026-12-12 22:01 UTC)"))
        << err;
    // ... but not within the first minutes after it was due.
    EXPECT_EQ(Check(&err, {"--now", "2026-12-14 00:03"}), 0) << err;

    // A run in progress: the job emptied its outcome file a minute ago and
    // holds its lock.
    WriteFile(outcome, "");
    SetMtime(outcome, at(14, 0, 0));
    WriteFile(lock, "");
    SetMtime(lock, at(14, 0, 0));
    EXPECT_EQ(Check(&err, {"--now", "2026-12-14 00:30"}), 0) << err;
    std::string text;
    EXPECT_EQ(Status({"--now", "2026-12-14 00:30"}, &text), 0);
    EXPECT_TRUE(Has(text, "in progress: lock 30m old (limit 240 minutes)")) << text;
    // Past its limit, the lock itself is the reason.
    EXPECT_EQ(Check(&err, {"--now", "2026-12-14 04:01"}), 1);
    EXPECT_TRUE(Has(err, "lock past its limit: " + lock + " is 241 minutes old")) << err;
    ::unlink(lock.c_str());

    // The run ended without a line: it failed outright.
    EXPECT_EQ(Check(&err, {"--now", "2026-12-14 00:30"}), 1);
    EXPECT_TRUE(Has(err, "the last download run, at Mon 2026-12-14 00:00 UTC, failed outright"))
        << err;
    EXPECT_FALSE(Has(err, "24 hours")) << err;
    // A run that found nothing to fetch succeeded.
    WriteFile(outcome, "No Files Available for Download\r\n");
    SetMtime(outcome, at(14, 0, 1));
    EXPECT_EQ(Check(&err, {"--now", "2026-12-14 00:30"}), 0) << err;

    // A schedule that makes a download due on Mondays only: nothing is due
    // on Thursday, whatever the age of the Monday run.
    WriteFile(CommPath("crontab.dat"),
              "qvzel_up 0 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23 "
              "1,2,3,4,5,6 /usr/bin/cron/qvzelup\r\nqvzel_down 5 7 1 /usr/bin/cron/qvzeldown\r\n");
    SetMtime(CommPath("crontab.dat"), at(1, 0, 0));
    RestartCron();  // to run the new file
    WriteFile(outcome, "Successful Download of File A.DAT\r\n");
    SetMtime(outcome, at(14, 7, 6));
    EXPECT_EQ(Check(&err, {"--now", "2026-12-17 18:00"}), 0) << err;
    // A start made due before the schedule was written is not judged.
    SetMtime(outcome, at(7, 7, 6));
    EXPECT_EQ(Check(&err, {"--now", "2026-12-17 18:00"}), 1);
    SetMtime(CommPath("crontab.dat"), at(15, 0, 0));
    EXPECT_EQ(Check(&err, {"--now", "2026-12-17 18:00"}), 0) << err;
}

TEST_F(Zelstatus, NamesTheCauseOfADownloadThatFailedOutright) {
    ASSERT_EQ(Program("tools/regsvr", {"/s", BuildPath("poll/component/libPoll.so")}), 0);
    WriteFile(CommPath("CONTROL"), "A,B,C,D,E");
    WriteFile(Path("users.txt"), "dealer7:s3cret\n");
    sfs::create_directories(Path("data/DB"));
    WriteFile(Path("data/DB/A.DAT"), "alpha\r\n");
    sim_ = std::make_unique<directory::Simulator>(
        dir_, std::vector<std::string>{"--users", Path("users.txt"), "--data-dir", Path("data")});
    ASSERT_TRUE(sim_->ok());
    WriteFile(CommPath("ISERVER.XML"), sim_->Description());
    ASSERT_EQ(Program("tools/zelpasswd", {"dealer7:s3cret"}), 0);
    ASSERT_EQ(Program("jobs/qvzel_nt", {"-d"}), 0);
    ASSERT_EQ(ReadFile(CommPath("qvzeldownfile")), "Successful Download of File A.DAT\r\n");
    // The central side goes away; the next run reaches nobody.
    sim_.reset();
    ASSERT_EQ(Program("jobs/qvzel_nt", {"-d"}), 0);
    ASSERT_EQ(ReadFile(CommPath("qvzeldownfile")), "");
    // A schedule in force for a week that makes a download due every minute.
    std::string minutes, hours;
    for (int i = 0; i < 60; ++i) minutes += (i ? "," : "") + std::to_string(i);
    for (int i = 0; i < 24; ++i) hours += (i ? "," : "") + std::to_string(i);
    WriteFile(CommPath("crontab.dat"),
              "qvzel_down " + minutes + " " + hours + " 0,1,2,3,4,5,6 /usr/bin/cron/qvzeldown\r\n");
    Age(CommPath("crontab.dat"), 8 * 86400);

    std::string text;
    Json j = StatusJson();
    EXPECT_EQ(j["jobs.list.1.successes"], "0");
    EXPECT_EQ(j["jobs.list.1.failures"], "0");
    // The transport's own words, for the central side it could not reach.
    EXPECT_TRUE(Has(j["jobs.list.1.cause"], "Communication error: Failed to connect to 127.0.0.1"))
        << j["jobs.list.1.cause"];
    bool named = false;
    for (int i = 0; i < std::stoi(j["problems.#"]); ++i) {
        const std::string p = j["problems." + std::to_string(i)];
        named = named || (Has(p, "failed outright") && Has(p, "Communication error: "));
    }
    EXPECT_TRUE(named) << j["problems.0"];
    ASSERT_EQ(Status({}, &text), 0);
    EXPECT_TRUE(Has(text, "    cause (" + CommPath("qvzel.log") + "): Communication error: "))
        << text;
}

TEST_F(Zelstatus, JudgesThePasswordFileForTheJobsWhenNotRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run zelstatus as another user";
    MakeHealthy();
    // The password file is root's alone (mode 0600), as zelpasswd leaves it;
    // a monitoring user can look at the root but not read that file.
    for (std::string d = paths::CommDir(); d.size() >= dir_.size(); d = sfs::path(d).parent_path())
        ::chmod(d.c_str(), 0755);
    ::chmod(paths::RegistryFile().c_str(), 0644);
    const std::string o = out_ / "nobody.out", e = out_ / "nobody.err";
    ::chmod(out_.path().c_str(), 0777);
    const pid_t pid = Spawn("/usr/bin/setpriv",
                            {"--reuid=65534", "--regid=65534", "--clear-groups",
                             BuildPath("tools/zelstatus"), "--check"},
                            o, e);
    EXPECT_EQ(pid > 0 ? Wait(pid) : -1, 0) << ReadFile(e) << ReadFile(o);
    EXPECT_TRUE(Has(ReadFile(o),
                    "IACCESS: present, readable\n"
                    "    (not run as root: judged by its kind; owner uid 0, mode "
                    "0600)"))
        << ReadFile(o);
    // Missing stays missing, whoever looks.
    ::unlink(CommPath("IACCESS").c_str());
    const pid_t again = Spawn("/usr/bin/setpriv",
                              {"--reuid=65534", "--regid=65534", "--clear-groups",
                               BuildPath("tools/zelstatus"), "--check"},
                              o, e);
    EXPECT_EQ(again > 0 ? Wait(again) : -1, 1);
    EXPECT_TRUE(Has(ReadFile(e), "the password file IACCESS is missing")) << ReadFile(e);
}

TEST_F(Zelstatus, SaysWhatItMeansInSmallThings) {
    // The second 02:30 of the night the clock goes back is another minute,
    // and the zone tells the two apart.
    ::setenv("TZ", "Europe/Berlin", 1);
    WriteFile(CommPath("crontab.dat"), "night 30 2 0 /x/n\r\n");
    std::string text;
    ASSERT_EQ(Status({"--from", "2026-10-25 01:00"}, &text), 0);
    EXPECT_TRUE(Has(text,
                    "    Sun 2026-10-25 02:30 CEST  night -> n.bat\n"
                    "    Sun 2026-10-25 02:30 CET  night -> n.bat\n"))
        << text;
    ::setenv("TZ", "UTC", 1);

    // No run on record, and a log lock (taken over after one minute).
    const std::string loglock = CommPath("qvzel.log.qvzel_lock");
    WriteFile(loglock, "");
    ASSERT_EQ(Status({}, &text), 0);
    EXPECT_TRUE(Has(text, "  upload: last ran: no record of a run\n")) << text;
    EXPECT_TRUE(Has(text, " old, taken over after 1 minute\n")) << text;
    EXPECT_FALSE(Has(text, "last ran no record")) << text;
    ::unlink(loglock.c_str());

    // The server's port beside its address.
    ASSERT_EQ(Program("tools/regsvr", {"/s", BuildPath("poll/component/libPoll.so")}), 0);
    WriteFile(CommPath("CONTROL"), "A,B,C,D,E");
    WriteFile(Path("users.txt"), "dealer7:s3cret\n");
    sfs::create_directories(Path("data/DB"));
    WriteFile(Path("data/DB/A.DAT"), "alpha\r\n");
    sim_ = std::make_unique<directory::Simulator>(
        dir_, std::vector<std::string>{"--users", Path("users.txt"), "--data-dir", Path("data")});
    ASSERT_TRUE(sim_->ok());
    WriteFile(CommPath("ISERVER.XML"), sim_->Description());
    ASSERT_EQ(Program("tools/zelpasswd", {"dealer7:s3cret"}), 0);
    ASSERT_EQ(Program("jobs/qvzel_nt", {"-d"}), 0);
    sim_.reset();
    Json j = StatusJson();
    ASSERT_NE(j["connection.directory.port"], "null");
    ASSERT_EQ(Status({}, &text), 0);
    EXPECT_TRUE(Has(text, "server directory: POLL at " +
                              j["connection.directory.poll_address"].substr(
                                  1, j["connection.directory.poll_address"].size() - 2) +
                              ", port " + j["connection.directory.port"]))
        << text;
}

TEST_F(Zelstatus, TellsWhatTheRunningServiceLoaded) {
    MakeHealthy();
    std::string err, text;
    Json j = StatusJson();
    EXPECT_EQ(j["service.loaded_source"], Q("crontab.dat"));
    EXPECT_EQ(j["service.loaded_lines.#"], "3");
    ASSERT_EQ(Check(&err), 0) << err;
    ASSERT_EQ(Status({}, &text), 0);
    EXPECT_TRUE(Has(text, "  the service loaded crontab.dat at ")) << text;
    EXPECT_TRUE(Has(text, ", as the file is now\n")) << text;

    // The file changed in place: the service runs what it loaded until a
    // restart, since a merge without pending changes does not reload.
    WriteFile(CommPath("crontab.dat"), std::string(kDefaultSchedule) + "extra 5 7 1 /x/y\r\n");
    Age(CommPath("crontab.dat"), 8 * 86400);
    EXPECT_EQ(Check(&err), 1);
    EXPECT_TRUE(Has(err, CommPath("crontab.dat") + " has changed since the service loaded it at "))
        << err;
    ASSERT_EQ(Status({}, &text), 0);
    EXPECT_TRUE(Has(text, "  it runs these lines, not the file as it is now:\n    qvzel_up 0 "))
        << text;

    // Restarted, it runs the file as it is.
    RestartCron();
    EXPECT_EQ(Check(&err), 0) << err;
    j = StatusJson();
    EXPECT_EQ(j["service.loaded_lines.#"], "4");
}

}  // namespace
}  // namespace zel::test
