// The connection tool's single GET on Linux, over libcurl (see fetch.h).  It
// owns its libcurl easy handle, header list and response file for the
// length of one Fetch call.
#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "connection_tool/fetch.h"
#include "connection_tool/response_file.h"
#include "platform/fs.h"
#include "transport/connection_policy.h"

namespace zel::conn {
namespace {

constexpr std::size_t kMaxStatusText = 200;

// State shared with libcurl's callbacks during one transfer.
struct Transfer {
    explicit Transfer(const std::string* response_path) : file(response_path) {}
    long status = 0;
    bool headers_done = false;
    bool stopped_for_status = false;
    std::string last_line;
    ResponseFile file;
};

// Each header line; a status line starts a new answer (interim answers come
// the same way), the empty line ends the head.  With a final 200 the
// response file is created here, so an empty body still replaces it.
std::size_t OnHeader(char* data, std::size_t size, std::size_t nitems, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * nitems;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        t->status = 0;
        t->headers_done = false;
        const std::size_t blank = line.find(' ');
        if (blank != std::string::npos)
            t->status = static_cast<long>(fs::ParseDecimalPrefix(line.substr(blank + 1), 999));
    }
    if (!line.empty()) {
        t->last_line = line;
        return n;
    }
    t->headers_done = true;
    if (t->status == 200 && !t->file.Open()) return 0;
    return n;
}

// Body pieces: collected into kResponseBlock blocks.  The body of an answer
// other than 200 is not wanted: the transfer stops at its first byte.
std::size_t OnBody(char* data, std::size_t size, std::size_t nmemb, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * nmemb;
    if (t->status != 200) {
        t->stopped_for_status = true;
        return 0;
    }
    return t->file.Add(data, n) ? n : 0;
}

// What went wrong, in words: the step the transfer had reached and why it
// ended.
std::string DescribeFailure(CURLcode rc, const Transfer& t, const transport::ConnectionSetup& s,
                            const std::string& error_text, const std::string& response_path) {
    std::string text;
    if (s.past_deadline) {
        text = "The request was not finished within its time limit of " +
               std::to_string(static_cast<long long>(s.deadline_seconds)) + " seconds.";
    } else if (rc == CURLE_OPERATION_TIMEDOUT && t.headers_done) {
        text = "Less than " + std::to_string(s.limits.min_speed) +
               " bytes per second came from the server for " +
               std::to_string(s.limits.idle_seconds) + " seconds.";
    } else if (t.headers_done) {
        text = "The connection closed before the whole response body arrived (" + error_text + ").";
    } else if (!t.last_line.empty()) {
        text =
            "The connection closed before the response headers were complete (" + error_text + ").";
    } else {
        return error_text;
    }
    if (t.file.is_open())
        text += " " + std::to_string(t.file.stored()) +
                " bytes of the body arrived and are kept in " + response_path + ".";
    return text;
}

}  // namespace

FetchResult Fetch(const InternetHandle& handle, const Target& target,
                  const std::string& response_path, const std::function<bool(double)>& keep_going) {
    FetchResult result;
    transport::CurlEasyPtr curl(curl_easy_init());
    if (!curl) {
        result.error_code = CURLE_FAILED_INIT;
        result.internet_error = true;
        result.error_text = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }
    Transfer t(&response_path);

    // The way to the server, TLS, time limits and the headers never sent
    // are the transport's; the referrer is sent as the tool always sent it.
    transport::RequestRoute route;
    route.agent = handle.agent;
    route.access_type = static_cast<std::int32_t>(handle.open_type);
    route.proxy_list = handle.proxy;
    route.bypass = handle.bypass;
    route.host = target.host;
    route.port = target.port;
    route.secure = target.secure;
    route.resource = target.path;
    route.machine_environment = handle.machine_environment;
    transport::ConnectionSetup setup;
    setup.keep_going = keep_going;
    CURL* c = curl.get();
    const CURLcode applied = transport::ApplyConnectionPolicy(c, route, {}, &setup);
    if (applied != CURLE_OK) {
        result.error_code = static_cast<int>(applied);
        result.internet_error = true;
        result.error_text = curl_easy_strerror(applied);
        return result;
    }
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(c, CURLOPT_REFERER, "*/*");
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, static_cast<long>(kResponseBlock));
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);

    result.proxy_used = setup.proxy;
    const CURLcode rc = curl_easy_perform(c);
    result.status = t.status;
    result.status_text = std::to_string(t.status).substr(0, kMaxStatusText);

    if (t.file.error() != 0) {
        result.kind = FetchResult::Kind::File;
        result.file_error = t.file.error();
        return result;
    }
    if (setup.cancelled) {
        // What arrived stays, as with any other broken-off body.
        if (t.file.is_open()) (void)t.file.Flush();
        result.kind = FetchResult::Kind::Cancelled;
        result.body_bytes = t.file.stored();
        return result;
    }
    if (t.stopped_for_status || (rc == CURLE_OK && t.status != 200)) {
        result.kind = FetchResult::Kind::BadStatus;
        return result;
    }
    if (rc != CURLE_OK) {
        // Also a body that broke off after a 200: what arrived is not the
        // document, and the test must not pass; but it is kept, as it shows
        // how far the answer came.
        result.kind = FetchResult::Kind::Transport;
        result.error_code = static_cast<int>(rc);
        result.internet_error = true;
        long os_error = 0;
        if (curl_easy_getinfo(c, CURLINFO_OS_ERRNO, &os_error) == CURLE_OK)
            result.extended_error = os_error;
        result.error_text = *setup.error_text != '\0' ? setup.error_text : curl_easy_strerror(rc);
        if (t.file.is_open() && !t.file.Flush()) {
            result.kind = FetchResult::Kind::File;
            result.file_error = t.file.error();
        }
        result.body_bytes = t.file.stored();
        result.failure = DescribeFailure(rc, t, setup, result.error_text, response_path);
        return result;
    }
    if (!t.file.Open() || !t.file.Flush()) {
        result.kind = FetchResult::Kind::File;
        result.file_error = t.file.error();
        return result;
    }
    result.kind = FetchResult::Kind::Ok;
    result.body_bytes = t.file.stored();
    return result;
}

bool PreconfigUsesEnvironment() {
    return true;
}

// libcurl's start-up stands for the sockets start-up.
NetworkLibrary::NetworkLibrary() : ok_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {}
NetworkLibrary::~NetworkLibrary() {
    if (ok_) curl_global_cleanup();
}

}  // namespace zel::conn
