// ferrun's unpack mode: the target name rule (the file name cut at its first
// ".dtz") and the console texts of each outcome of DecompressFile.
#include "client/decompress_mode.h"

#include <string>

#include "support/compress.h"

namespace zel::client {

int RunDecompressMode(const char* name, std::FILE* out) {
    const std::string source = name != nullptr ? name : "";
    std::string target = source;
    // Only the file's own name is looked at: a ".dtz" in a directory name
    // ("in.dtz.d/PRICES.DAT.dtz") would otherwise cut the target into that
    // directory's parent and overwrite an unrelated file there.
    const std::size_t slash = target.rfind('/');
    const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t at = target.find(".dtz", name_at);
    if (at == std::string::npos) {
        std::fputs("\n\n error - .dtz files only\n\n", out);
        std::fflush(out);
        return 0;
    }
    target.erase(at);
    std::fprintf(out, "decompressing...%s\n", source.c_str());
    std::fprintf(out, "to..............%s\n", target.c_str());
    std::fflush(out);

    const char* outcome = "done.\n\n";
    switch (DecompressFile(source.c_str(), target.c_str())) {
        case kCompressOk:
            break;
        case kCompressSourceOpenFailed:
            outcome = "error.....unable to open compress file\n\n";
            break;
        case kCompressDestCreateFailed:
            outcome = "error.....unable to create decompress file\n\n";
            break;
        case kCompressWriteFailed:
            outcome = "error.....unable to write to decompress file\n\n";
            break;
        default:
            outcome = "error.....unable to read from compress file\n\n";
            break;
    }
    std::fputs(outcome, out);
    std::fflush(out);
    return 0;
}

}  // namespace zel::client
