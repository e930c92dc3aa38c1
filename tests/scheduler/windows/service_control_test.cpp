// The qvzel_cron program on Windows (under wine in the test command): as
// the service of the real service control manager (installed with
// -Service, started and stopped with sc.exe, removed with -UnregServer),
// as an ordinary program, and one copy at a time.  Every case changes
// machine-wide state (the service, HKEY_CLASSES_ROOT\AppID, the Olmar key),
// so the suite runs alone (see CMakeLists.txt) and puts back what it found.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "scheduler/service_host.h"
#include "scheduler/service_setup.h"
#include "tests/scheduler/cron_fixture.h"

namespace {

using namespace zel::test::scheduler;
namespace cron = zel::cron;
namespace reg = zel::reg;

const std::string kGuidKey = std::string("AppID\\") + cron::kAppId;
const std::string kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\qvzel_cron";
const std::string kOlmarKey = "SOFTWARE\\qvis\\olmar";

// A started program; killed (if still running) and closed when it goes.
class Child {
  public:
    Child() = default;
    explicit Child(PROCESS_INFORMATION info)
        : process_(info.hProcess), id_(info.dwProcessId), thread_id_(info.dwThreadId) {
        ::CloseHandle(info.hThread);
    }
    ~Child() {
        if (process_ == nullptr) return;
        if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) ::TerminateProcess(process_, 99);
        ::CloseHandle(process_);
    }
    Child(Child&& o) noexcept : process_(o.process_), id_(o.id_), thread_id_(o.thread_id_) {
        o.process_ = nullptr;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child& operator=(Child&&) = delete;

    explicit operator bool() const { return process_ != nullptr; }
    DWORD id() const { return id_; }
    DWORD thread_id() const { return thread_id_; }  // its first thread

    // The exit code once it has ended within timeout_ms; -1 otherwise
    // (it is then killed).
    int Wait(DWORD timeout_ms) {
        if (process_ == nullptr) return -1;
        if (::WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) {
            ::TerminateProcess(process_, 99);
            ::WaitForSingleObject(process_, 5000);
            return -1;
        }
        DWORD code = 0;
        return ::GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
    }

  private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    DWORD thread_id_ = 0;
};

// An inheritable handle of a file opened for writing (created afresh).
HANDLE OutputFile(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts program with args, its standard output and error going to the
// given files; flags are CreateProcess's creation flags.
Child Start(const std::string& program, const std::vector<std::string>& args,
            const std::string& out_file, const std::string& err_file, DWORD flags = 0) {
    std::string line = "\"" + program + "\"";
    for (const std::string& a : args) line += " " + zel::proc::QuoteArgument(a);
    HANDLE out = OutputFile(out_file);
    HANDLE err = OutputFile(err_file);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    const BOOL ok = out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                    ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                     nullptr, &startup, &info);
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) ::CloseHandle(err);
    return ok ? Child(info) : Child();
}

struct Result {
    int code = -1;
    std::string out, err;
};

std::string SystemProgram(const char* name) {
    char dir[MAX_PATH + 1];
    const UINT n = ::GetSystemDirectoryA(dir, sizeof dir);
    return std::string(dir, n) + "\\" + name;
}

class ServiceControl : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        if (HasFatalFailure()) return;
        // What an earlier run that was cut off may have left.
        if (!ServiceState().empty()) {
            ASSERT_EQ(Cron({"-UnregServer"}).code, 0);
        }
        ASSERT_EQ(ServiceState(), "");
        SaveOlmar();
        reg::Key olmar;
        ASSERT_EQ(reg::CreateKey(reg::Hive::LocalMachine, kOlmarKey, &olmar, nullptr),
                  reg::kSuccess);
        ASSERT_EQ(reg::SetString(olmar, "OLMAR_EXE", cmn_), reg::kSuccess);
    }

    void TearDown() override {
        if (!ServiceState().empty()) {
            EXPECT_EQ(Cron({"-UnregServer"}).code, 0);
        }
        (void)cron::RemoveRegistryScript();
        RestoreOlmar();
        ScratchRoot::TearDown();
    }

    // Runs a program to its end (at most 60 seconds).
    Result Run(const std::string& program, const std::vector<std::string>& args) {
        const std::string out = root_ + "/run.out", err = root_ + "/run.err";
        Child child = Start(program, args, out, err);
        Result r;
        r.code = child ? child.Wait(60000) : -1;
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        return r;
    }
    Result Cron(const std::vector<std::string>& args) { return Run(QVZEL_CRON_EXE, args); }
    Result Sc(const std::vector<std::string>& args) { return Run(SystemProgram("sc.exe"), args); }

    // The service's state as sc.exe tells it ("RUNNING", "STOPPED", ...), or
    // "" when no service of that name is installed.
    std::string ServiceState() {
        const Result r = Sc({"query", cron::kServiceName});
        if (r.code != 0) return "";
        const std::size_t at = r.out.find("STATE");
        if (at == std::string::npos) return "?";
        std::size_t word = r.out.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ", at + 5);
        std::size_t end = r.out.find_first_of(" \r\n", word);
        return word == std::string::npos ? "?" : r.out.substr(word, end - word);
    }
    bool WaitForState(const std::string& state, int timeout_ms) {
        return WaitUntil([&] { return ServiceState() == state; }, timeout_ms);
    }

    // The Olmar key is machine-wide: kept as found.
    void SaveOlmar() {
        reg::Key key;
        olmar_key_existed_ =
            reg::OpenKey(reg::Hive::LocalMachine, kOlmarKey, &key) == reg::kSuccess;
        std::string value;
        if (olmar_key_existed_ && reg::QueryString(key, "OLMAR_EXE", &value) == reg::kSuccess)
            olmar_value_ = value;
    }
    void RestoreOlmar() {
        if (!olmar_key_existed_) {
            (void)reg::DeleteTree(reg::Hive::LocalMachine, kOlmarKey);
            return;
        }
        reg::Key key;
        if (reg::OpenKey(reg::Hive::LocalMachine, kOlmarKey, &key) != reg::kSuccess) return;
        if (olmar_value_) {
            (void)reg::SetString(key, "OLMAR_EXE", *olmar_value_);
        } else {
            (void)reg::DeleteValue(key, "OLMAR_EXE");
        }
    }

    bool olmar_key_existed_ = false;
    std::optional<std::string> olmar_value_;
};

std::string QueryClasses(const std::string& path, const std::string& name) {
    reg::Key key;
    if (reg::OpenKey(reg::Hive::ClassesRoot, path, &key) != reg::kSuccess) return "<no key>";
    std::string value;
    if (reg::QueryString(key, name, &value) != reg::kSuccess) return "<no value>";
    return value;
}

// The strings of a REG_MULTI_SZ value of the service's key.
std::vector<std::string> ServiceValue(const char* name) {
    char buffer[4096];
    DWORD size = sizeof buffer;
    std::vector<std::string> items;
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), name, RRF_RT_REG_MULTI_SZ, nullptr,
                       buffer, &size) != ERROR_SUCCESS)
        return items;
    for (const char* p = buffer; *p != '\0' && p < buffer + size; p += std::strlen(p) + 1)
        items.emplace_back(p);
    return items;
}

const std::string kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\qvzel_cron";

// The event source's message file, "<no key>" when the source is not there.
std::string EventMessageFile() {
    char buffer[1024];
    DWORD size = sizeof buffer;
    const LSTATUS rc =
        ::RegGetValueA(HKEY_LOCAL_MACHINE, kEventSourceKey.c_str(), "EventMessageFile",
                       RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buffer, &size);
    return rc == ERROR_SUCCESS ? std::string(buffer) : "<no key>";
}

// What Event Viewer shows for an event of the service: message 0 of the
// message file's table with the event's text inserted.
std::string EventDescription(const std::string& message_file, const char* text) {
    HMODULE module = ::LoadLibraryExA(message_file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return "<not loaded>";
    char buffer[512];
    const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(text)};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                     module, 0, 0x409, buffer, sizeof buffer,
                                     reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
    ::FreeLibrary(module);
    return n == 0 ? "<no message>" : std::string(buffer, n);
}

void SetServiceEnvironment(const std::vector<std::string>& items) {
    std::string value;
    for (const std::string& item : items) value += item + '\0';
    value += '\0';
    ASSERT_EQ(::RegSetKeyValueA(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), "Environment",
                                REG_MULTI_SZ, value.data(), static_cast<DWORD>(value.size())),
              ERROR_SUCCESS);
}

// The service control manager's record and state of the service.
struct ServiceRecord {
    DWORD type = 0, start = 0, error_control = 0;
    std::string command, account, display_name;
    DWORD state = 0, exit_code = 0, specific_exit_code = 0, process_id = 0;
};

bool ReadServiceRecord(ServiceRecord* out) {
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return false;
    SC_HANDLE service =
        ::OpenServiceA(manager, cron::kServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    bool ok = service != nullptr;
    if (ok) {
        alignas(QUERY_SERVICE_CONFIGA) char buffer[8192];
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
        DWORD needed = 0;
        ok = ::QueryServiceConfigA(service, config, sizeof buffer, &needed) != FALSE;
        if (ok) {
            out->type = config->dwServiceType;
            out->start = config->dwStartType;
            out->error_control = config->dwErrorControl;
            out->command = config->lpBinaryPathName ? config->lpBinaryPathName : "";
            out->account = config->lpServiceStartName ? config->lpServiceStartName : "";
            out->display_name = config->lpDisplayName ? config->lpDisplayName : "";
        }
        SERVICE_STATUS_PROCESS status{};
        ok = ok && ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&status), sizeof status,
                                          &needed) != FALSE;
        out->state = status.dwCurrentState;
        out->exit_code = status.dwWin32ExitCode;
        out->specific_exit_code = status.dwServiceSpecificExitCode;
        out->process_id = status.dwProcessId;
        ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
    return ok;
}

// Sends a control code to the service; the error ControlService gives (0
// for none).
DWORD SendControl(DWORD code) {
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return ::GetLastError();
    SC_HANDLE service = ::OpenServiceA(manager, cron::kServiceName, SERVICE_USER_DEFINED_CONTROL);
    DWORD error = service == nullptr ? ::GetLastError() : 0;
    SERVICE_STATUS status;
    if (service != nullptr && !::ControlService(service, code, &status)) error = ::GetLastError();
    if (service != nullptr) ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return error;
}

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    return local;
}

// A batch file that leaves "marker" in its working directory.
const char* const kMarkerBatch = "@echo ran> marker.tmp\r\n@ren marker.tmp marker\r\n";

// The acceptance run: installed, started, a batch file due in the current
// minute started within it (the first tick shortened through the service's
// environment), a second copy refused, stopped and removed again.
TEST_F(ServiceControl, InstallStartRunDueBatchStopAndRemove) {
    ASSERT_EQ(Cron({}).code, static_cast<int>(reg::kNotFound));  // not registered yet
    const Result install = Cron({"-Service"});
    ASSERT_EQ(install.code, 0) << install.err;
    EXPECT_EQ(install.err, "");
    EXPECT_EQ(ServiceState(), "STOPPED");

    ServiceRecord record;
    ASSERT_TRUE(ReadServiceRecord(&record));
    EXPECT_EQ(record.type,
              static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS));
    EXPECT_EQ(record.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(record.error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(record.display_name, "QVIS Crons");
    EXPECT_EQ(record.account, "LocalSystem");
    EXPECT_EQ(ServiceValue("DependOnService"), std::vector<std::string>{"RPCSS"});
    // The program's full path, in quotes.
    ASSERT_GE(record.command.size(), 2u);
    EXPECT_EQ(record.command.front(), '"');
    EXPECT_EQ(record.command.substr(record.command.size() - 16), "\\qvzel_cron.exe\"");
    // The program is its event source's message file, and its table shows
    // an event's text as it stands.
    const std::string program = record.command.substr(1, record.command.size() - 2);
    EXPECT_EQ(EventMessageFile(), program);
    EXPECT_EQ(EventDescription(program, "Service started"), "Service started");

    EXPECT_EQ(QueryClasses(kGuidKey, ""), "qvzel_cron");
    EXPECT_EQ(QueryClasses(kGuidKey, "LocalService"), "qvzel_cron");
    EXPECT_EQ(QueryClasses(kGuidKey, "ServiceParameters"), "-Service");
    EXPECT_EQ(QueryClasses("AppID\\qvzel_cron.EXE", "AppID"), cron::kAppId);
    // The service runs on the system root it was installed from; here its
    // first tick is shortened as a test or demonstration would.
    EXPECT_EQ(ServiceValue("Environment"), std::vector<std::string>{"QVIS_ROOT=" + root_});
    ASSERT_NO_FATAL_FAILURE(
        SetServiceEnvironment({"QVIS_ROOT=" + root_, "ZEL_CRON_FIRST_TICK_MS=100"}));

    // An entry due in this minute only, with room left in the minute.
    ASSERT_TRUE(WaitUntil([] { return LocalNow().tm_sec < 50; }, 15000));
    const std::tm now = LocalNow();
    WriteFile(comm_ + "/crontab.dat",
              "due " + std::to_string(now.tm_min) + " " + std::to_string(now.tm_hour) + " " +
                  std::to_string(now.tm_wday) + " /usr/bin/cron/qvzelup\r\n");
    WriteFile(cmn_ + "/qvzelup.bat", kMarkerBatch);

    const Result start = Sc({"start", cron::kServiceName});
    ASSERT_EQ(start.code, 0) << start.out;
    EXPECT_TRUE(WaitForState("RUNNING", 15000)) << ServiceState();
    ASSERT_TRUE(WaitUntil([&] { return FileExists(cmn_ + "/marker"); }, 15000));
    EXPECT_EQ(LocalNow().tm_min, now.tm_min) << "the batch file started after its minute";

    // The running service holds the lock: a copy started by hand is refused
    // at once and names it.
    ASSERT_TRUE(ReadServiceRecord(&record));
    ASSERT_NE(record.process_id, 0u);
    EXPECT_EQ(ReadFile(root_ + "/" + cron::kInstanceLockFile),
              std::to_string(record.process_id) + "\n");
    const Result second = Cron({});
    EXPECT_EQ(second.code, cron::kAlreadyRunningExit);
    EXPECT_NE(second.err.find("already running"), std::string::npos) << second.err;
    EXPECT_NE(second.err.find("pid " + std::to_string(record.process_id)), std::string::npos)
        << second.err;
    EXPECT_EQ(second.out, "");

    // A control the service does not know changes nothing.  (Windows hands
    // the handler's refusal back to the sender; wine does not.)
    const DWORD refused = SendControl(200);
    EXPECT_TRUE(refused == 0 || refused == ERROR_CALL_NOT_IMPLEMENTED) << refused;
    EXPECT_EQ(ServiceState(), "RUNNING");

    const Result stop = Sc({"stop", cron::kServiceName});
    EXPECT_EQ(stop.code, 0) << stop.out;
    EXPECT_TRUE(WaitForState("STOPPED", 15000)) << ServiceState();
    ASSERT_TRUE(ReadServiceRecord(&record));
    EXPECT_EQ(record.exit_code, 0u);

    // Removed: the service and both keys of the registry script; the AppID
    // key itself stays.
    const Result remove = Cron({"-UnregServer"});
    EXPECT_EQ(remove.code, 0) << remove.err;
    EXPECT_EQ(remove.err, "");
    EXPECT_EQ(ServiceState(), "");
    EXPECT_EQ(QueryClasses(kGuidKey, ""), "<no key>");
    EXPECT_EQ(QueryClasses("AppID\\qvzel_cron.EXE", "AppID"), "<no key>");
    EXPECT_EQ(EventMessageFile(), "<no key>");
    reg::Key appid;
    EXPECT_EQ(reg::OpenKey(reg::Hive::ClassesRoot, "AppID", &appid), reg::kSuccess);
}

// Installing again while the service runs replaces it: the running one is
// stopped before it is deleted, so the new one is not refused as marked for
// deletion.  -RegServer then takes the service out.
TEST_F(ServiceControl, ReinstallWhileRunningAndRegServerRemovesTheService) {
    ASSERT_EQ(Cron({"-Service"}).code, 0);
    ASSERT_EQ(Sc({"start", cron::kServiceName}).code, 0);
    ASSERT_TRUE(WaitForState("RUNNING", 15000)) << ServiceState();

    const Result again = Cron({"-Service"});
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(ServiceState(), "STOPPED");
    ASSERT_EQ(Sc({"start", cron::kServiceName}).code, 0);
    EXPECT_TRUE(WaitForState("RUNNING", 15000)) << ServiceState();

    const Result plain = Cron({"-RegServer"});
    EXPECT_EQ(plain.code, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(ServiceState(), "");
    EXPECT_EQ(QueryClasses(kGuidKey, "LocalService"), "<no value>");
    EXPECT_EQ(QueryClasses(kGuidKey, ""), "qvzel_cron");
}

// Registered with -RegServer, the program runs the schedule in the
// foreground: its events on standard output, the end of a batch file heard
// of at once (not at the next tick), a second copy refused, and the quit
// message to its thread ends it.
TEST_F(ServiceControl, OrdinaryProgramRunsTheSchedule) {
    ASSERT_EQ(Cron({"-RegServer"}).code, 0);
    std::string all_minutes = "0", all_hours = "0";
    for (int i = 1; i < 60; ++i) all_minutes += "," + std::to_string(i);
    for (int i = 1; i < 24; ++i) all_hours += "," + std::to_string(i);
    WriteFile(comm_ + "/crontab.dat",
              "now " + all_minutes + " " + all_hours + " 0,1,2,3,4,5,6 /usr/bin/cron/due\r\n");
    WriteFile(cmn_ + "/due.bat", std::string(kMarkerBatch) + "@exit /b 3\r\n");
    ::setenv("ZEL_CRON_FIRST_TICK_MS", "100", 1);

    const std::string out = root_ + "/first.out";
    Child first = Start(QVZEL_CRON_EXE, {}, out, root_ + "/first.err");
    ASSERT_TRUE(first);
    // Standard output in text mode: lines end in CR LF.
    auto events_so_far = [&] {
        std::string text = ReadFile(out);
        for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
        return text;
    };
    const std::string ended = ") ended with exit status 3\n";
    ASSERT_TRUE(WaitUntil([&] { return events_so_far().find(ended) != std::string::npos; }, 20000))
        << ReadFile(out);
    EXPECT_TRUE(FileExists(cmn_ + "/marker"));
    const std::string events = events_so_far();
    EXPECT_EQ(events.rfind("Service started\nSchedule loaded from ", 0), 0u) << events;
    EXPECT_NE(events.find("Started " + cmn_ + "/due.bat (pid "), std::string::npos) << events;
    EXPECT_EQ(ReadFile(root_ + "/" + cron::kInstanceLockFile), std::to_string(first.id()) + "\n");

    const Result second = Cron({});
    EXPECT_EQ(second.code, cron::kAlreadyRunningExit);
    EXPECT_NE(second.err.find("pid " + std::to_string(first.id())), std::string::npos)
        << second.err;

    // The loop runs on the program's first thread.
    ASSERT_TRUE(::PostThreadMessageA(first.thread_id(), WM_QUIT, 0, 0));
    EXPECT_EQ(first.Wait(15000), 0);
    EXPECT_EQ(events_so_far().find("Service stopped"), std::string::npos);
}

}  // namespace
