// The records the system writes into its files, as the tests expect them:
// the holder line of a recorded lock file and one record of the client log.
// Written out here once, independently of the code that writes them, so a
// change of either format shows up as a failing test.  Header-only.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/process.h"

namespace zel::test {

// The holder line a recorded lock file carries: the process ID and its
// start time.
inline std::string RecordOf(pid_t pid, unsigned long long start) {
    return "qvzel-holder " + std::to_string(pid) + " " + std::to_string(start) + "\n";
}
inline std::string RecordOf(const proc::ProcessIdentity& who) {
    return RecordOf(who.pid, who.start);
}

// One record of the client log as written to its file, less the time stamp
// line that opens it.
inline std::string LogRecordOf(const std::string& user, const std::string& severity,
                               const std::string& category, const std::string& message_id,
                               const std::string& message, const std::string& context) {
    return "User: " + user + "\r\nSeverity: " + severity + "\r\nCategory: " + category +
           "\r\nMessageId: " + message_id + "\r\nMessage: " + message + "\r\nContext: " + context +
           "\r\n\r\n";
}

}  // namespace zel::test
