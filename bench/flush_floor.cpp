// bench_flush_floor: what the disk alone charges a download of many small
// files that places each one as the client does: a new staging file, its
// bytes, their flush, the rename to the final name and the flush of the
// directory, one file after the other.  No network, no checksum, no log.
//
//   bench_flush_floor SOURCE_DIR TARGET_DIR NAME...
//
// Each NAME is read from SOURCE_DIR and placed in TARGET_DIR under the same
// name.  The benchmark runner times it beside the client and one curl
// process: it is the floor below which no client can go that tells the
// server of a file only once the file is on disk.  Exit status 0 when every
// file was placed, 1 otherwise (with the failing name on standard error).
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/fs.h"
#include "platform/paths.h"

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_flush_floor SOURCE_DIR TARGET_DIR NAME...\n");
        return 2;
    }
    const std::string source = argv[1];
    const std::string target = argv[2];
    std::string bytes;
    for (int i = 3; i < argc; ++i) {
        const std::string name = argv[i];
        const std::string staging = zel::paths::Join(target, "." + name + ".part");
        zel::fs::UniqueFd out;
        int err = zel::fs::ReadWholeFile(zel::paths::Join(source, name), &bytes);
        if (err == 0) err = zel::fs::CreateForWriting(staging, &out);
        if (err == 0) err = zel::fs::WriteAll(out.get(), bytes.data(), bytes.size());
        if (err == 0) err = zel::fs::FlushToDisk(out.get());
        if (err == 0) err = zel::fs::CloseFile(&out);
        if (err == 0) err = zel::fs::RenameReplace(staging, zel::paths::Join(target, name));
        if (err == 0) err = zel::fs::FlushDirectory(target);
        if (err != 0) {
            std::fprintf(stderr, "bench_flush_floor: %s: %s\n", name.c_str(), std::strerror(err));
            return 1;
        }
    }
    return 0;
}
