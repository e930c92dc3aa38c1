// Test helper: a separate process that writes to the registry store.
//
//   reg_writer values KEY PREFIX COUNT GO
//                         waits (up to 30 s) for the file GO to exist, so that
//                         several writers start together, then sets DWORD values
//                         PREFIX0..PREFIX<COUNT-1> (value i holds i) under
//                         HKLM\KEY, one call each
//   reg_writer churn KEY                 forever: creates KEY\<i> with a string
//                                        value, then sets KEY's "counter" to i
//   reg_writer set KEY NAME TEXT         sets the string value NAME of HKLM\KEY
//   reg_writer delete KEY                deletes HKLM\KEY with everything below it
// Exits 0 when every write succeeded, 2 on the first failure (named on stderr).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/registry.h"

namespace reg = zel::reg;

static int Failed(const char* what, reg::Status st) {
    std::fprintf(stderr, "reg_writer: %s failed with %ld\n", what, st);
    return 2;
}

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "values" && argc == 6) {
        for (int i = 0; i < 3000 && access(argv[5], F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string prefix = argv[3];
        long count = std::strtol(argv[4], nullptr, 10);
        reg::Key key;
        if (reg::Status st = reg::CreateKey(reg::Hive::LocalMachine, argv[2], &key, nullptr))
            return Failed("CreateKey", st);
        for (long i = 0; i < count; ++i) {
            reg::Status st = reg::SetDword(key, std::string(prefix).append(std::to_string(i)),
                                           static_cast<std::uint32_t>(i));
            if (st != reg::kSuccess) return Failed("SetDword", st);
        }
        return 0;
    }
    if (mode == "churn" && argc == 3) {
        reg::Key key;
        if (reg::Status st = reg::CreateKey(reg::Hive::LocalMachine, argv[2], &key, nullptr))
            return Failed("CreateKey", st);
        for (std::uint32_t i = 0;; ++i) {
            reg::Key sub;
            reg::Status st = reg::CreateKey(key, std::to_string(i), &sub, nullptr);
            if (st == reg::kSuccess)
                st = reg::SetString(sub, "data", std::string("value ").append(std::to_string(i)));
            if (st == reg::kSuccess) st = reg::SetDword(key, "counter", i);
            if (st != reg::kSuccess) return Failed("churn write", st);
        }
    }
    if (mode == "set" && argc == 5) {
        reg::Key key;
        if (reg::Status st = reg::CreateKey(reg::Hive::LocalMachine, argv[2], &key, nullptr))
            return Failed("CreateKey", st);
        if (reg::Status st = reg::SetString(key, argv[3], argv[4])) return Failed("SetString", st);
        return 0;
    }
    if (mode == "delete" && argc == 3) {
        if (reg::Status st = reg::DeleteTree(reg::Hive::LocalMachine, argv[2]))
            return Failed("DeleteTree", st);
        return 0;
    }
    std::fprintf(stderr,
                 "usage: reg_writer values KEY PREFIX COUNT GO | churn KEY | set KEY NAME TEXT"
                 " | delete KEY\n");
    return 64;
}
