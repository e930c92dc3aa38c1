// The connection tool's single GET (see fetch.h).  It owns its libcurl easy
// handle, header list and response file descriptor for the length of one
// Fetch call.
#include "connection_tool/fetch.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/fs.h"
#include "transport/curl_callbacks.h"
#include "transport/engine_internal.h"

namespace zel::conn {
namespace {

constexpr long kDefaultConnectTimeout = 60;
constexpr long kDefaultIdleTimeout = 300;
constexpr std::size_t kMaxStatusText = 200;

struct CurlEasyFree {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct CurlListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// State shared with libcurl's callbacks during one transfer.
struct Transfer {
    const std::string* response_path = nullptr;
    long status = 0;
    bool headers_done = false;
    bool stopped_for_status = false;
    int file_error = 0;
    std::string last_line;
    fs::UniqueFd file;
    bool file_open = false;
    std::vector<char> block;
    long long stored = 0;

    // Writes the buffered block; false (file_error set) on a failed or
    // short write.
    bool FlushBlock() {
        if (block.empty()) return true;
        const int rc = fs::WriteAll(file.get(), block.data(), block.size());
        if (rc != 0) {
            file_error = rc;
            return false;
        }
        stored += static_cast<long long>(block.size());
        block.clear();
        return true;
    }
    bool OpenFile() {
        if (file_open) return true;
        const int rc = fs::CreateForWriting(*response_path, &file);
        if (rc != 0) {
            file_error = rc;
            return false;
        }
        file_open = true;
        return true;
    }
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
    if (t->status == 200 && !t->OpenFile()) return 0;
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
    if (!t->OpenFile()) return 0;
    std::size_t done = 0;
    while (done < n) {
        const std::size_t room = kResponseBlock - t->block.size();
        const std::size_t take = std::min(room, n - done);
        t->block.insert(t->block.end(), data + done, data + done + take);
        done += take;
        if (t->block.size() == kResponseBlock && !t->FlushBlock()) return 0;
    }
    return n;
}

std::string UrlHost(const std::string& host) {
    if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
    return host;
}

}  // namespace

FetchResult Fetch(const InternetHandle& handle, const Target& target,
                  const std::string& response_path) {
    FetchResult result;
    std::unique_ptr<CURL, CurlEasyFree> curl(curl_easy_init());
    if (!curl) {
        result.curl_code = CURLE_FAILED_INIT;
        result.error_text = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }
    Transfer t;
    t.response_path = &response_path;
    t.block.reserve(kResponseBlock);
    char error_text[CURL_ERROR_SIZE] = {};

    const std::string url = std::string(target.secure ? "https://" : "http://") +
                            UrlHost(target.host) + ":" + std::to_string(target.port) + target.path;
    // The referrer is sent as the tool always sent it; libcurl's own Accept
    // header is removed, as no accept types are given.
    std::unique_ptr<curl_slist, CurlListFree> headers;
    for (const char* h : {"Accept:", "Expect:"}) {
        // Appending to a non-empty list returns its unchanged head.
        curl_slist* head = curl_slist_append(headers.get(), h);
        if (head == nullptr) {
            result.curl_code = CURLE_OUT_OF_MEMORY;
            result.error_text = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
            return result;
        }
        if (!headers) headers.reset(head);
    }

    const char* ca_file = std::getenv("SSL_CERT_FILE");
    const char* ca_dir = std::getenv("SSL_CERT_DIR");
    curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (ca_file == nullptr || *ca_file == '\0') ca_file = info->cainfo;
    if (ca_dir == nullptr || *ca_dir == '\0') ca_dir = info->capath;

    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, handle.agent.c_str());
    curl_easy_setopt(c, CURLOPT_REFERER, "*/*");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, static_cast<long>(kResponseBlock));
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    const transport::RequestTimeouts timeouts =
        transport::ReadRequestTimeouts(kDefaultConnectTimeout, kDefaultIdleTimeout);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, timeouts.connect_seconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, timeouts.min_speed);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, timeouts.idle_seconds);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, transport::OnSslContext);
    curl_easy_setopt(c, CURLOPT_CAINFO, ca_file);
    curl_easy_setopt(c, CURLOPT_CAPATH, ca_dir);

    const transport::ProxyChoice proxy =
        transport::ChooseProxy(static_cast<std::int32_t>(handle.open_type), handle.proxy.c_str(),
                               handle.bypass.c_str(), target.host, target.secure);
    switch (proxy.kind) {
        case transport::ProxyChoice::Kind::Direct:
            curl_easy_setopt(c, CURLOPT_PROXY, "");
            break;
        case transport::ProxyChoice::Kind::Machine:
            break;  // libcurl's default: the proxy environment variables
        case transport::ProxyChoice::Kind::Explicit:
            curl_easy_setopt(c, CURLOPT_PROXY, proxy.proxy.c_str());
            curl_easy_setopt(c, CURLOPT_NOPROXY, "");
            break;
    }

    const CURLcode rc = curl_easy_perform(c);
    result.status = t.status;
    result.status_text = std::to_string(t.status).substr(0, kMaxStatusText);

    if (t.file_error != 0) {
        result.kind = FetchResult::Kind::File;
        result.file_error = t.file_error;
        return result;
    }
    if (t.stopped_for_status || (rc == CURLE_OK && t.status != 200)) {
        result.kind = FetchResult::Kind::BadStatus;
        return result;
    }
    if (rc != CURLE_OK) {
        // Also a body that broke off after a 200: what was stored is not the
        // document, and the test must not pass.
        result.kind = FetchResult::Kind::Transport;
        result.curl_code = static_cast<int>(rc);
        long os_error = 0;
        if (curl_easy_getinfo(c, CURLINFO_OS_ERRNO, &os_error) == CURLE_OK)
            result.os_error = os_error;
        result.error_text = *error_text != '\0' ? error_text : curl_easy_strerror(rc);
        result.last_response = t.last_line;
        return result;
    }
    if (!t.OpenFile() || !t.FlushBlock()) {
        result.kind = FetchResult::Kind::File;
        result.file_error = t.file_error;
        return result;
    }
    result.kind = FetchResult::Kind::Ok;
    result.body_bytes = t.stored;
    return result;
}

}  // namespace zel::conn
