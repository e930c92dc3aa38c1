// A writer process for the event log tests: appends full records to one log
// file through its own CEventLog.
//
//   log_writer_helper <log file> <writer number> <records> <go file> [held]
//
// Opens the log, reports that with "<go file>.ready<writer number>", waits
// for the go file to exist so that all writers start together, then writes
// records whose message names the writer and the record number.  With
// "held" the log's file is held (one descriptor for all records) rather
// than opened for each.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/event_log.h"

int main(int argc, char** argv) {
    if (argc != 5 && !(argc == 6 && std::string(argv[5]) == "held")) return 2;
    const int writer = static_cast<int>(std::strtol(argv[2], nullptr, 10));
    const int records = static_cast<int>(std::strtol(argv[3], nullptr, 10));
    CEventLog log;
    if (!log.Open(argv[1], false)) return 3;
    if (!log.SetUser("writer")) return 4;
    if (argc == 6) log.HoldFile();
    const std::string ready = std::string(argv[4]) + ".ready" + argv[2];
    FILE* mark = std::fopen(ready.c_str(), "w");
    if (mark == nullptr || std::fclose(mark) != 0) return 6;
    while (::access(argv[4], F_OK) != 0) ::usleep(1000);
    // Long enough that a torn append would show inside one record.
    const std::string padding(300, 'a' + writer);
    for (int i = 0; i < records; ++i) {
        if (!log.WriteRecord(kSeverityInformation, kCategoryClientApplication, 2, "Writer::Run", i,
                             "writer %d record %d %s", writer, i, padding.c_str())) {
            return 5;
        }
    }
    return 0;
}
