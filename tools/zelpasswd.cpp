// zelpasswd: writes the dealer's password file "IACCESS" into the install
// directory from "user:password", enciphered as the Poll component reads it.
//
//   zelpasswd user:password     (the text as an argument)
//   zelpasswd < file            (the first line of standard input, so that a
//                                password never needs to be on a command line)
//   zelpasswd -- TEXT           (a text that begins with "-")
//
// The install directory is made when it is missing (a fresh system root).
// The file is written to a temporary name, mode 0600, and renamed into
// place.  Exit status 0 on success; 2 with a message on standard error for a
// wrong command line; 1 with a message when the text (argument or standard
// input) is no "user:password" or the file cannot be written.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#include "platform/paths.h"
#include "platform/version.h"
#include "poll/credentials.h"

namespace {

constexpr const char* kUsage =
    "usage: zelpasswd [user:password]\n"
    "       zelpasswd -- TEXT\n"
    "       zelpasswd --help | --version\n"
    "Writes the dealer's credentials, enciphered, to the password file IACCESS\n"
    "in $QVIS_ROOT/Apps/QVIS/PROG/COMM (mode 0600, replaced whole).  Without an\n"
    "argument the first line of standard input is the text, so that a password\n"
    "need not appear on a command line.  \"--\" ends the options, for a text that\n"
    "begins with \"-\".\n"
    "Exit status: 0 when the file was written; 2 for a wrong command line; 1\n"
    "when the text is no user:password or the file cannot be written.\n";

constexpr int kUsageError = 2;

int UsageError(const char* what, const char* arg) {
    std::fprintf(stderr, "zelpasswd: %s%s%s%s\n%s", what, arg != nullptr ? " '" : "",
                 arg != nullptr ? arg : "", arg != nullptr ? "'" : "", kUsage);
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    std::string text;
    int first = 1;
    if (argc >= 2) {
        const std::string_view arg = argv[1];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("zelpasswd %s\n", zel::kVersion);
            return 0;
        }
        if (arg == "--") {
            first = 2;
        } else if (!arg.empty() && arg[0] == '-') {
            return UsageError("unknown option", argv[1]);
        }
    }
    if (argc - first > 1) return UsageError("too many arguments", nullptr);
    const bool from_argument = argc - first == 1;
    if (from_argument) {
        text = argv[first];
    } else {
        std::getline(std::cin, text);
        if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    if (text.find(':') == std::string::npos) {
        std::fprintf(stderr, "zelpasswd: expected user:password (a text with ':')\n");
        return 1;
    }
    const std::string dir = zel::paths::CommDir();
    std::error_code made;
    std::filesystem::create_directories(dir, made);
    const int error = made ? made.value() : zel::poll::WritePasswordFile(dir, text);
    std::fill(text.begin(), text.end(), '\0');
    if (error != 0) {
        std::fprintf(stderr, "zelpasswd: cannot write %s: %s\n",
                     zel::paths::Join(dir, zel::poll::kPasswordFileName).c_str(),
                     std::strerror(error));
        return 1;
    }
    return 0;
}
