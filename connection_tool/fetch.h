// One connection check of the connection tool: a single GET of a fixed
// document on a fresh libcurl handle, opened with one of the four ways to
// the Internet, its body copied into "response.txt" at the system root.
//
// This is the tool's own small client rather than CInternetAccess: it needs
// a bodiless GET with HTTP/1.1, the raw libcurl error code, text and OS error
// of a failure, and the body streamed into a file in fixed blocks.  How it
// reaches the server is the transport's connection policy
// (transport/connection_policy.h): the way to the proxy, the TLS leniency,
// the trusted CAs and the time limits of ferrun.conf, so a test reaches a
// server exactly as a transfer would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "transport/connection_policy.h"

namespace zel::conn {

// The four open types of the test buttons, numbered as the transport's
// access type codes (1 direct ... 4 proxy).
enum class OpenType : std::int32_t {
    Direct = 1,
    Preconfig = 2,
    PreconfigNoAutoProxy = 3,
    Proxy = 4,
};

// The Internet handle of one test: agent name, open type, with
// OpenType::Proxy the proxy address and bypass list, and with the two
// preconfigured types the proxy variables that count (null: this process's
// own environment).
struct InternetHandle {
    std::string agent;
    OpenType open_type = OpenType::Direct;
    std::string proxy;
    std::string bypass;
    const transport::ProxyEnvironment* machine_environment = nullptr;  // borrowed
};

// Where a test fetches its document.
struct Target {
    std::string host;
    int port = 80;
    bool secure = false;
    std::string path;
};

// What one fetch came to.
struct FetchResult {
    enum class Kind {
        Ok,         // status 200 and the whole body stored
        BadStatus,  // an answer other than 200 (nothing stored)
        Transport,  // no usable answer, or the body broke off
        File,       // "response.txt" could not be created or written
        Cancelled,  // keep_going said stop
    };
    Kind kind = Kind::Transport;
    long status = 0;           // the answer's status code (0: none)
    std::string status_text;   // the status code as text, at most 200 characters
    int curl_code = 0;         // Transport: libcurl's code
    long os_error = 0;         // Transport: the OS error libcurl saw (0: none)
    std::string error_text;    // Transport: libcurl's text of the failure
    std::string failure;       // Transport: what went wrong, in words
    int file_error = 0;        // File: errno
    std::string proxy_used;    // the proxy the request went through ("" direct)
    long long body_bytes = 0;  // bytes stored in the response file (also of a body cut short)
};

// Size of the blocks in which the body is written to the response file.
inline constexpr std::size_t kResponseBlock = 32768;

// Fetches target.path from target with the handle's settings: GET,
// HTTP/1.1, the referrer "*/*", no Accept header, redirects not followed.
// With status 200 the body replaces the file at response_path (created when
// the headers are complete, also for an empty body, written in
// kResponseBlock pieces; a body cut short leaves what arrived of it); with
// any other status the file is not touched.
// Never throws; every failure is described in the result.
// keep_going, when set, is asked about once a second and at every piece of
// data with the seconds since the request began; false ends the transfer
// (Kind::Cancelled).
[[nodiscard]] FetchResult Fetch(const InternetHandle& handle, const Target& target,
                                const std::string& response_path,
                                const std::function<bool(double)>& keep_going = {});

}  // namespace zel::conn
