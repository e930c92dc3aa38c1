// zelpasswd: writes the dealer's password file "IACCESS" into the install
// directory from "user:password", enciphered as the Poll component reads it.
//
//   zelpasswd user:password     (the text as an argument)
//   zelpasswd < file            (the first line of standard input, so that a
//                                password never needs to be on a command line)
//
// The install directory is made when it is missing (a fresh system root).
// The file is written to a temporary name, mode 0600, and renamed into
// place.  Exit status 0 on success, 1 with a message on standard error.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "platform/paths.h"
#include "poll/credentials.h"

int main(int argc, char** argv) {
    std::string text;
    if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--help") == 0)) {
        std::fprintf(stderr, "usage: zelpasswd [user:password]  (or the text on standard input)\n");
        return 1;
    }
    if (argc == 2) {
        text = argv[1];
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
