// The parts of the loopback test server that do not depend on where it
// runs (see test_server.h): header lookup in a recorded request, the
// scripted responses' shorthands, and the pattern bodies with their CRCs.
// Built into the in-process server on Linux and into the Windows tests,
// whose server runs in the test peer.
#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tests/common/test_server.h"

namespace zel::test {
namespace {

constexpr std::size_t kChunk = 262144;

bool IEquals(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

std::string Trimmed(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Splits a head into its header lines' name/value pairs (after the request line).
std::vector<std::pair<std::string, std::string>> ParseHeaders(const std::string& head) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
        pos += 2;
        std::size_t end = head.find("\r\n", pos);
        if (end == std::string::npos || end == pos) break;
        std::string line = head.substr(pos, end - pos);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos)
            out.emplace_back(Trimmed(line.substr(0, colon)), Trimmed(line.substr(colon + 1)));
        pos = end;
    }
    return out;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
    for (auto& [n, v] : ParseHeaders(head))
        if (IEquals(n, name.c_str())) return v;
    return "";
}

bool RecordedRequest::HasHeader(const std::string& name) const {
    for (auto& [n, v] : ParseHeaders(head))
        if (IEquals(n, name.c_str())) return true;
    return false;
}

ScriptedResponse ScriptedResponse::Text(int status, std::string reason, std::string body,
                                        std::string content_type) {
    ScriptedResponse r;
    r.status = status;
    r.reason = std::move(reason);
    r.body = std::move(body);
    if (!content_type.empty()) r.headers.emplace_back("Content-Type", std::move(content_type));
    return r;
}

ScriptedResponse ScriptedResponse::Raw(std::string bytes, int stall_ms) {
    ScriptedResponse r;
    r.raw = true;
    r.raw_bytes = std::move(bytes);
    r.stall_ms = stall_ms;
    return r;
}

unsigned char PatternByte(std::uint64_t i) {
    return static_cast<unsigned char>((i * 131 + (i >> 13)) & 0xff);
}

void FillPattern(std::uint64_t offset, unsigned char* buf, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) buf[k] = PatternByte(offset + k);
}

std::uint32_t PatternCrc(std::uint64_t size) {
    std::vector<unsigned char> buf(kChunk);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::uint64_t off = 0; off < size;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - off));
        FillPattern(off, buf.data(), n);
        crc = crc32(crc, buf.data(), static_cast<uInt>(n));
        off += n;
    }
    return static_cast<std::uint32_t>(crc);
}

bool WritePatternFile(const std::string& path, std::uint64_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    std::vector<unsigned char> buf(kChunk);
    bool ok = true;
    for (std::uint64_t off = 0; ok && off < size;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - off));
        FillPattern(off, buf.data(), n);
        ok = std::fwrite(buf.data(), 1, n, f) == n;
        off += n;
    }
    return std::fclose(f) == 0 && ok;
}

bool FileCrc(const std::string& path, std::uint32_t* crc, std::uint64_t* size) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::vector<unsigned char> buf(kChunk);
    uLong c = crc32(0L, Z_NULL, 0);
    std::uint64_t total = 0;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
        c = crc32(c, buf.data(), static_cast<uInt>(n));
        total += n;
    }
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    *crc = static_cast<std::uint32_t>(c);
    *size = total;
    return ok;
}

}  // namespace zel::test
