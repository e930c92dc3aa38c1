// What every fuzz target shares: a private system root, input helpers and
// the property check.
//
// A target runs with its own scratch directory as the system root
// (QVIS_ROOT) and the temporary directory (TMPDIR), made below the TMPDIR it
// was started with and removed when it exits normally, so a target writes
// nowhere else.  CHECK stops the process with a trap when a property beyond
// "no crash" is broken, which libFuzzer reports as a crash with its input.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "platform/paths.h"

namespace zel::fuzz {

// Prints what broke and traps.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "property broken: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    __builtin_trap();
}

#define ZEL_FUZZ_CHECK(cond) ((cond) ? (void)0 : ::zel::fuzz::Fail(#cond, __FILE__, __LINE__))

// The process's private root, made once; owned by the process.
inline const std::string& PrivateRoot() {
    static const std::string root = [] {
        std::error_code ec;
        std::string base = std::filesystem::temp_directory_path(ec).string();
        if (ec || base.empty()) base = "/tmp";
        std::string tmpl = base + "/zelfuzz.XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) Fail("private root created", __FILE__, __LINE__);
        return tmpl;
    }();
    return root;
}

// Makes the private root the system root and the temporary directory,
// creates the fixed directories below it, and sets the locale as every
// program of the system does.  Call from LLVMFuzzerInitialize.
inline void SetUpPrivateRoot() {
    std::setlocale(LC_CTYPE, "");
    const std::string& root = PrivateRoot();
    const std::string tmp = root + "/tmp";
    std::error_code ec;
    std::filesystem::create_directories(tmp, ec);
    ::setenv("QVIS_ROOT", root.c_str(), 1);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    for (const std::string& dir : {zel::paths::CommDir(), zel::paths::CmnDir(),
                                   zel::paths::DownloadDir(), zel::paths::UploadDir()}) {
        std::filesystem::create_directories(dir, ec);
    }
    // The private root goes when the target ends by itself.
    std::atexit([] {
        std::error_code e;
        std::filesystem::remove_all(PrivateRoot(), e);
    });
}

// Writes bytes as the whole content of path (created or truncated).
inline void WriteBytes(const std::string& path, std::string_view bytes) {
    zel::fs::UniqueFd fd;
    if (zel::fs::CreateForWriting(path, &fd) != 0 ||
        zel::fs::WriteAll(fd.get(), bytes.data(), bytes.size()) != 0) {
        Fail("input file written", __FILE__, __LINE__);
    }
}

// Reads a whole file; false when it cannot be read.
inline bool ReadBytes(const std::string& path, std::string* out) {
    return zel::fs::ReadWholeFile(path, out) == 0;
}

inline bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Splits fuzz data at its NUL bytes into at most max_parts pieces (the last
// piece keeps any further NULs).
inline std::vector<std::string> SplitAtNul(const std::uint8_t* data, std::size_t size,
                                           std::size_t max_parts) {
    std::vector<std::string> parts;
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    std::size_t at = 0;
    while (parts.size() + 1 < max_parts) {
        const std::size_t nul = all.find('\0', at);
        if (nul == std::string_view::npos) break;
        parts.emplace_back(all.substr(at, nul - at));
        at = nul + 1;
    }
    parts.emplace_back(all.substr(at));
    return parts;
}

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace zel::fuzz
