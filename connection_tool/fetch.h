// One connection check of the connection tool: a single GET of a fixed
// document, made with one of the four ways to the Internet, its body copied
// into "response.txt" at the system root.
//
// This is the tool's own small client rather than CInternetAccess: it needs
// a bodiless GET with HTTP/1.1, the HTTP library's own error number and text
// of a failure, and the body streamed into a file in fixed blocks.  One
// implementation per system, chosen by CMake, each reaching the server
// exactly as a transfer would:
//   fetch_curl.cpp (Linux): a fresh libcurl handle set up by the transport's
//     connection policy (transport/connection_policy.h): the way to the
//     proxy, the TLS leniency, the trusted CAs and the time limits of
//     ferrun.conf;
//   fetch_wininet.cpp (Windows): the transport's WinInet engine
//     (transport/http_engine.h), whose Internet handle, connection, request
//     flags and time limits are those of every transfer there.
// Nothing in this header names either library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zel::conn {

// Proxy variables by name, as a process environment holds them (the type of
// the transport's ProxyEnvironment).
using ProxyEnvironment = std::vector<std::pair<std::string, std::string>>;

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
// own environment; ignored where PreconfigUsesEnvironment is false).
struct InternetHandle {
    std::string agent;
    OpenType open_type = OpenType::Direct;
    std::string proxy;
    std::string bypass;
    const ProxyEnvironment* machine_environment = nullptr;  // borrowed
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
    long status = 0;          // the answer's status code (0: none)
    std::string status_text;  // the status code as text, at most 200 characters
    // Transport: the HTTP library's number for the failure (libcurl's code;
    // WinInet's or the system's error), the extended number (the OS error
    // libcurl saw; the extended error of WinInet's last response
    // information), and the library's or the system's text for it.
    int error_code = 0;
    long extended_error = 0;
    std::string error_text;
    // Transport: whether the "Internet Error" box (code, extended code,
    // failure) applies: every libcurl failure; on Windows a WinInet error
    // whose last response information could be had.
    bool internet_error = false;
    std::string failure;       // Transport: what went wrong, in words
    int file_error = 0;        // File: errno
    std::string proxy_used;    // the proxy the request went through ("" direct)
    long long body_bytes = 0;  // bytes stored in the response file (also of a body cut short)
};

// Whether the two preconfigured open types take the machine's proxy
// settings from InternetHandle::machine_environment: true where those
// settings are environment variables (Linux), false where the HTTP client
// reads the system's own settings (WinInet, Windows).
bool PreconfigUsesEnvironment();

// The network library for the whole program (libcurl's global state;
// Windows sockets), started before the first Fetch and ended when the
// object goes.
class NetworkLibrary {
  public:
    NetworkLibrary();
    ~NetworkLibrary();
    NetworkLibrary(const NetworkLibrary&) = delete;
    NetworkLibrary& operator=(const NetworkLibrary&) = delete;
    // false: it could not start, and no test can run.
    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
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
// (Kind::Cancelled).  WinInet cannot be interrupted inside a call: on
// Windows keep_going is asked five times a second while the request runs
// on a thread of its own, and a stop returns at once, leaving that request
// to end by itself, storing nothing more.
[[nodiscard]] FetchResult Fetch(const InternetHandle& handle, const Target& target,
                                const std::string& response_path,
                                const std::function<bool(double)>& keep_going = {});

}  // namespace zel::conn
