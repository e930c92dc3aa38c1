// Fuzz target: ".dtz" files, the gzip input of DecompressFile (downloaded
// files and ferrun -z).  Input: a file's bytes.  Checked: a file that is not
// gzip is copied unchanged; a failed unpacking leaves no destination; what
// an unpacking gives packs and unpacks to itself; a download unpacked while
// it arrives (GunzipStream, in pieces of a size taken from the input) ends
// exactly as DecompressFile ends; zlib's own gzread agrees with every
// success and every failure it sees (it alone misses a member cut while
// inflate still held output back); and any bytes packed with CompressFile
// unpack to themselves.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>

#include "fuzz/fuzz_common.h"
#include "support/compress.h"
#include "support/gunzip_stream.h"

using namespace zel::fuzz;

namespace {

std::string TmpPath(const char* name) {
    return zel::paths::Join(zel::fuzz::PrivateRoot() + "/tmp", name);
}

// Unpacks path with zlib's gzread into *out: true when gzread ended without
// an error.
bool GzreadUnpack(const std::string& path, std::string* out) {
    out->clear();
    gzFile f = gzopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char buffer[32768];
    int n;
    while ((n = gzread(f, buffer, sizeof buffer)) > 0)
        out->append(buffer, static_cast<std::size_t>(n));
    int errnum = Z_OK;
    (void)gzerror(f, &errnum);
    return gzclose(f) == Z_OK && n == 0 && errnum == Z_OK;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(AsText(data, size));
    const std::string source = TmpPath("input.dtz");
    const std::string unpacked = TmpPath("unpacked");
    const std::string repacked = TmpPath("repacked.dtz");
    const std::string again = TmpPath("again");
    WriteBytes(source, input);
    (void)std::remove(unpacked.c_str());

    const int rc = DecompressFile(source.c_str(), unpacked.c_str());
    ZEL_FUZZ_CHECK(rc == kCompressOk || rc == kCompressReadFailed);
    const bool gzip = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    std::string out;
    if (rc == kCompressOk) {
        ZEL_FUZZ_CHECK(ReadBytes(unpacked, &out));
        if (!gzip) ZEL_FUZZ_CHECK(out == input);
        ZEL_FUZZ_CHECK(CompressFile(unpacked.c_str(), repacked.c_str(), 1 + size % 9) ==
                       kCompressOk);
        ZEL_FUZZ_CHECK(DecompressFile(repacked.c_str(), again.c_str()) == kCompressOk);
        std::string round;
        ZEL_FUZZ_CHECK(ReadBytes(again, &round));
        ZEL_FUZZ_CHECK(round == out);
    } else {
        ZEL_FUZZ_CHECK(gzip);
        ZEL_FUZZ_CHECK(!Exists(unpacked));
    }
    // The same bytes unpacked while they arrive end the same way.
    {
        const std::string streamed = TmpPath("streamed");
        const int fd = ::open(streamed.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ZEL_FUZZ_CHECK(fd >= 0);
        GunzipStream gz;
        ZEL_FUZZ_CHECK(gz.Begin(fd));
        const std::size_t piece = 1 + (size > 0 ? data[size - 1] % 64 : 0);
        for (std::size_t at = 0; at < size; at += piece)
            ZEL_FUZZ_CHECK(gz.Write(data + at, std::min(piece, size - at)));
        const int streamed_rc = gz.Finish();
        ::close(fd);
        ZEL_FUZZ_CHECK(streamed_rc == rc);
        if (rc == kCompressOk) {
            std::string streamed_out;
            ZEL_FUZZ_CHECK(ReadBytes(streamed, &streamed_out) && streamed_out == out);
        }
    }
    // zlib's gzread reads the same format: what it finds damaged is a
    // failure here too, and a success here is one there with the same bytes.
    {
        std::string zlib_out;
        const bool zlib_ok = GzreadUnpack(source, &zlib_out);
        if (!zlib_ok) ZEL_FUZZ_CHECK(rc == kCompressReadFailed);
        if (rc == kCompressOk) ZEL_FUZZ_CHECK(zlib_ok && zlib_out == out);
    }
    // The source is never changed by unpacking it.
    std::string source_after;
    ZEL_FUZZ_CHECK(ReadBytes(source, &source_after) && source_after == input);

    // Packing any bytes and unpacking them gives them back.
    ZEL_FUZZ_CHECK(CompressFile(source.c_str(), repacked.c_str(), static_cast<int>(size % 10)) ==
                   kCompressOk);
    ZEL_FUZZ_CHECK(DecompressFile(repacked.c_str(), again.c_str()) == kCompressOk);
    std::string round;
    ZEL_FUZZ_CHECK(ReadBytes(again, &round) && round == input);
    return 0;
}
