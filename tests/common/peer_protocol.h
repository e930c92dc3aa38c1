// The control protocol between a Windows test program (running under wine)
// and the test peer (test_peer.cpp, a native Linux process) that runs its
// loopback servers and makes its certificates.
//
// A message is a list of byte strings: the count in decimal and a line
// feed, then each string as its length in decimal, a line feed and its
// bytes, so any bytes (request bodies, PEM text) pass unchanged.  The first
// string of a request names the command; a reply starts with "ok" or with
// "error" and a reason.  Commands, one reply each:
//   start ADDRESS TLS CERT_PEM KEY_PEM IO_TIMEOUT_MS MAX_RECORDED ONE_AT_A_TIME
//       -> ok PORT: a server for this connection (at most one)
//   enqueue RESPONSE...  -> ok            (the fields of ScriptedResponse)
//   requests             -> ok N REQUEST... (N times the fields of RecordedRequest)
//   counts               -> ok REQUESTS CONNECTIONS RESUMED
//   stop                 -> ok
//   certs                -> ok CA OTHER_CA LEAF LEAF_KEY WRONG WRONG_KEY EXPIRED EXPIRED_KEY
//                           UNTRUSTED UNTRUSTED_KEY (PEM texts, see test_certs.h)
// The peer keeps a connection's server until the connection closes.
//
// Header-only and free of any system interface: the two sides bring their
// own sockets, as functions that move exact byte counts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/common/test_server.h"

namespace zel::test::peer {

using Message = std::vector<std::string>;

// The environment variable that tells a test program where its peer
// listens ("127.0.0.1:PORT").
inline constexpr const char* kPeerVariable = "ZEL_TEST_PEER";

inline std::string Encode(const Message& message) {
    std::string out = std::to_string(message.size()) + "\n";
    for (const std::string& field : message) out += std::to_string(field.size()) + "\n" + field;
    return out;
}

// Reads one message through read_exact (which fills the whole buffer or
// returns false).  false on a closed connection or a malformed message.
inline bool Decode(const std::function<bool(char*, std::size_t)>& read_exact, Message* out) {
    auto number = [&](std::uint64_t* value) {
        *value = 0;
        for (int digits = 0; digits < 20; ++digits) {
            char c = 0;
            if (!read_exact(&c, 1)) return false;
            if (c == '\n') return digits > 0;
            if (c < '0' || c > '9') return false;
            *value = *value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return false;
    };
    std::uint64_t count = 0;
    if (!number(&count) || count > 1000000) return false;
    out->clear();
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t size = 0;
        if (!number(&size) || size > (std::uint64_t{1} << 31)) return false;
        std::string field(static_cast<std::size_t>(size), '\0');
        if (size > 0 && !read_exact(field.data(), field.size())) return false;
        out->push_back(std::move(field));
    }
    return true;
}

inline std::string Flag(bool on) {
    return on ? "1" : "0";
}

inline std::uint64_t Number(const std::string& text) {
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

inline void AppendResponse(const ScriptedResponse& r, Message* m) {
    m->push_back(std::to_string(r.status));
    m->push_back(r.reason);
    m->push_back(std::to_string(r.headers.size()));
    for (const auto& [name, value] : r.headers) {
        m->push_back(name);
        m->push_back(value);
    }
    m->push_back(r.body);
    m->push_back(std::to_string(r.generated_size));
    m->push_back(Flag(r.content_length));
    m->push_back(Flag(r.close));
    m->push_back(Flag(r.close_silently));
    m->push_back(std::to_string(r.trickle_ms));
    m->push_back(std::to_string(r.trickle_bytes));
    m->push_back(Flag(r.raw));
    m->push_back(r.raw_bytes);
    m->push_back(std::to_string(r.stall_ms));
}

// The response whose fields start at m[*at]; false when they run short.
inline bool ReadResponse(const Message& m, std::size_t* at, ScriptedResponse* r) {
    std::size_t i = *at;
    auto next = [&](std::string* field) {
        if (i >= m.size()) return false;
        *field = m[i++];
        return true;
    };
    std::string text;
    if (!next(&text)) return false;
    r->status = static_cast<int>(Number(text));
    if (!next(&r->reason) || !next(&text)) return false;
    const std::uint64_t headers = Number(text);
    r->headers.clear();
    for (std::uint64_t h = 0; h < headers; ++h) {
        std::string name, value;
        if (!next(&name) || !next(&value)) return false;
        r->headers.emplace_back(std::move(name), std::move(value));
    }
    if (!next(&r->body) || !next(&text)) return false;
    r->generated_size = Number(text);
    std::string content_length, close, close_silently, trickle_ms, trickle_bytes, raw, stall;
    if (!next(&content_length) || !next(&close) || !next(&close_silently) || !next(&trickle_ms) ||
        !next(&trickle_bytes) || !next(&raw) || !next(&r->raw_bytes) || !next(&stall))
        return false;
    r->content_length = content_length == "1";
    r->close = close == "1";
    r->close_silently = close_silently == "1";
    r->trickle_ms = static_cast<int>(Number(trickle_ms));
    r->trickle_bytes = static_cast<std::size_t>(Number(trickle_bytes));
    r->raw = raw == "1";
    r->stall_ms = static_cast<int>(Number(stall));
    *at = i;
    return true;
}

inline void AppendRequest(const RecordedRequest& r, Message* m) {
    m->push_back(r.head);
    m->push_back(r.request_line);
    m->push_back(r.method);
    m->push_back(r.target);
    m->push_back(r.body);
    m->push_back(std::to_string(r.body_size));
    m->push_back(std::to_string(r.body_crc));
    m->push_back(Flag(r.body_complete));
}

inline bool ReadRequest(const Message& m, std::size_t* at, RecordedRequest* r) {
    if (*at + 8 > m.size()) return false;
    std::size_t i = *at;
    r->head = m[i++];
    r->request_line = m[i++];
    r->method = m[i++];
    r->target = m[i++];
    r->body = m[i++];
    r->body_size = Number(m[i++]);
    r->body_crc = static_cast<std::uint32_t>(Number(m[i++]));
    r->body_complete = m[i++] == "1";
    *at = i;
    return true;
}

}  // namespace zel::test::peer
