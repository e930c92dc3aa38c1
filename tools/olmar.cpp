// olmar: a stand-in for the dealer business system, for tests and the demo.
// It appends one line "ARGS | WORKING-DIRECTORY" to $ZEL_OLMAR_LOG (default
// olmar.log in its working directory) and, for "-p DAYEND >> FILE" (the
// day-end command line, whose ">>" arrives as an argument: no shell is
// involved), appends a day-end report line to FILE.  Exit status 0, or 1
// when the log cannot be written.
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/system.h"

namespace {

bool Append(const std::string& path, const std::string& text) {
    zel::fs::UniqueFd fd;
    if (zel::fs::OpenForAppending(path, &fd) != 0) return false;
    return zel::fs::WriteAll(fd.get(), text.data(), text.size()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    std::string cwd;
    if (zel::proc::CurrentDirectory(&cwd) != 0) cwd = "?";
    std::string args;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) args += ' ';
        args += argv[i];
    }
    const char* log = std::getenv("ZEL_OLMAR_LOG");
    const std::string log_path = log != nullptr && *log != '\0' ? log : cwd + "/olmar.log";
    // Built with append rather than operator+: GCC 12 at -O2 reports a
    // false -Wrestrict overlap for chained string concatenation.
    std::string line = args;
    line.append(" | ").append(cwd).append("\n");
    if (!Append(log_path, line)) return 1;
    if (argc == 5 && std::string(argv[1]) == "-p" && std::string(argv[2]) == "DAYEND" &&
        std::string(argv[3]) == ">>") {
        const std::time_t now = std::time(nullptr);
        char when[32] = "";
        std::tm tm{};
        if (zel::sys::LocalTime(now, &tm))
            std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
        std::string report = "olmar day-end report ";
        report.append(when).append("\n");
        (void)Append(argv[4], report);
    }
    return 0;
}
