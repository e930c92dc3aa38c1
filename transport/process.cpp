// CInternetAccess::Process: one HTTP/HTTPS exchange over the engine's libcurl
// easy handle (see internet_access.h).
//
// libcurl runs the whole exchange inside curl_easy_perform, so the steps of
// the exchange happen in its callbacks: the request body is read from the
// request content in 256 KiB pieces, the status line and the selected
// response headers are taken in the header callback and checked when the
// head of the final answer is complete, and the body is gathered in one
// 256 KiB buffer and written to the response content.  A check that fails on
// a 200 answer ends the transfer there, before any body is stored.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "log/event_log.h"
#include "platform/registry.h"
#include "transport/engine_internal.h"
#include "transport/internet_access.h"
#include "transport/log_bridge.h"
#include "transport/status.h"

using namespace zel::transport;

namespace {

constexpr std::int32_t kChunk = 262144;
constexpr long kDefaultConnectTimeout = 60;
constexpr long kDefaultIdleTimeout = 300;
constexpr const char* kResponsesKey =
    "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Responses";
constexpr const char* kCallbackContext = "CInternetAccess::InternetStatusCallback";

const char* VerbText(std::int32_t verb) {
    switch (verb) {
        case HTTP_VERB_POST:
            return "POST";
        case HTTP_VERB_PUT:
            return "PUT";
        case HTTP_VERB_DELETE:
            return "DELETE";
        case HTTP_VERB_HEAD:
            return "HEAD";
        default:
            return "GET";
    }
}

// The response switches: bit 0 query Content-Length, bit 1 query
// Content-Type.  A key created by this read gets the default written into it;
// a key that can be neither opened nor created leaves the default.
std::uint32_t ReadResponseSwitches() {
    std::uint32_t value = 0xFFFFFFFFu;
    zel::reg::Key key;
    zel::reg::Disposition disposition{};
    if (zel::reg::CreateKey(zel::reg::Hive::LocalMachine, kResponsesKey, &key, &disposition) !=
        zel::reg::kSuccess)
        return value;
    if (disposition == zel::reg::Disposition::CreatedNewKey) {
        (void)zel::reg::SetDword(key, kResponsesKey, value);
        return value;
    }
    std::uint32_t stored = 0;
    if (zel::reg::QueryDword(key, kResponsesKey, &stored) == zel::reg::kSuccess) value = stored;
    return value;
}

std::string Trimmed(const char* begin, const char* end) {
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n'))
        --end;
    return std::string(begin, end);
}

// Expired and not-yet-valid server certificates are accepted, as the
// component has always done; every other verification error still fails,
// so the chain must lead to a trusted CA.
int LenientVerify(int preverify_ok, X509_STORE_CTX* ctx) {
    if (preverify_ok == 0) {
        int err = X509_STORE_CTX_get_error(ctx);
        if (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID) {
            X509_STORE_CTX_set_error(ctx, X509_V_OK);
            return 1;
        }
    }
    return preverify_ok;
}

CURLcode SslContextHook(CURL*, void* ssl_ctx, void*) {
    SSL_CTX_set_verify(static_cast<SSL_CTX*>(ssl_ctx), SSL_VERIFY_PEER, LenientVerify);
    return CURLE_OK;
}

}  // namespace

// The state of one request while libcurl runs it.
struct CInternetAccess::Transfer {
    CInternetAccess* engine = nullptr;
    CURL* curl = nullptr;
    std::int32_t request_length = 0;
    std::int32_t sent = 0;
    // Response head, restarted at every status line.
    bool head_done = false;
    int status = 0;
    bool have_status = false;
    std::string reason;
    bool have_length = false;
    std::string length_text;
    bool have_type = false;
    std::string type_text;
    // A failure found inside a callback; it ends the transfer.
    HRESULT failure = S_OK;
    // Response body buffer.
    std::unique_ptr<char[]> body;
    std::int32_t body_used = 0;
    bool body_open = false;  // the response content was made writable
    std::uint64_t body_bytes = 0;

    HRESULT FlushBody();
    bool CompleteHead();
    CEventLog* log() const { return engine->log_; }
    CContentStream* request() const { return engine->req_content_.get(); }
};

HRESULT CInternetAccess::Transfer::FlushBody() {
    if (body_used == 0) return S_OK;
    std::int32_t written = 0;
    const std::int32_t pending = body_used;
    // The piece is given up whether or not it landed: a failed write is
    // reported once and never tried again when the transfer winds up.
    body_used = 0;
    HRESULT hr = engine->resp_content_->Write(body.get(), pending, &written);
    if (FAILED(hr) || written < pending)
        return engine->Fail(kRespStreamWrite, "CInternetAccess::WriteToRespStreamFromNet");
    return S_OK;
}

// The head of the final answer is complete: take status code, length, type
// and status text as the answer gives them, then make the response content
// ready for the body.  false ends the transfer (failure is set).
bool CInternetAccess::Transfer::CompleteHead() {
    CInternetAccess* e = engine;
    CEventLog* log = e->log_;
    head_done = true;
    // The request went out whole once an answer arrives.
    curl_off_t up = 0;
    long request_size = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &up);
    curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &request_size);
    e->bytes_sent_ = static_cast<std::int32_t>(request_size + up);
    Trace(log, 33, "CInternetAccess::SendHTTPRequest", 168, static_cast<int>(e->bytes_sent_));
    Trace(log, 33, "CInternetAccess::GetHTTPResponse", 166);
    if (!have_status) {
        failure = e->Fail(kNoStatusCode, "CInternetAccess::GetHTTPResponseStatusCode");
        return false;
    }
    e->status_code_ = status;
    Trace(log, 37, "CInternetAccess::GetHTTPResponseStatusCode", 200, status);

    std::uint32_t switches = ReadResponseSwitches();
    HRESULT first = S_OK;

    // Content length: 40 characters at most, as decimal text.
    bool saved = e->query_content_length_;
    e->query_content_length_ = (switches & 1u) != 0;
    e->content_length_ = 0;
    if (e->query_content_length_) {
        if (!have_length || length_text.size() >= 40) {
            first = e->Fail(kNoContentLength, "CInternetAccess::GetHTTPResponseContentLength");
        } else {
            e->content_length_ =
                static_cast<std::int32_t>(std::strtol(length_text.c_str(), nullptr, 10));
            Trace(log, 37, "CInternetAccess::GetHTTPResponseContentLength", 201,
                  static_cast<int>(e->content_length_));
        }
    }
    e->query_content_length_ = saved;

    // Content type: up to 255 characters; "*/*" when not queried.
    saved = e->query_content_type_;
    e->query_content_type_ = (switches & 2u) != 0;
    if (e->query_content_type_) {
        if (!have_type || type_text.size() >= 256) {
            HRESULT hr = e->Fail(kNoContentType, "CInternetAccess::GetHTTPResponseContentType");
            if (SUCCEEDED(first)) first = hr;
        } else {
            (void)CopyString(type_text.c_str(), &e->resp_content_type_, false);
            Trace(log, 37, "CInternetAccess::GetHTTPResponseContentType", 202,
                  e->resp_content_type_);
        }
    } else {
        (void)CopyString("*/*", &e->resp_content_type_, false);
    }
    e->query_content_type_ = saved;

    // Status text: up to 511 characters.
    if (reason.size() >= 512) {
        HRESULT hr = e->Fail(kNoStatusText, "CInternetAccess::GetHTTPResponseStatusText");
        if (SUCCEEDED(first)) first = hr;
    } else {
        (void)CopyString(reason.c_str(), &e->status_text_, false);
        Trace(log, 37, "CInternetAccess::GetHTTPResponseStatusText", 279, reason.c_str());
    }

    // Only a 200 answer is refused for a missing header: any other answer
    // is for the caller to judge with its body.
    if (FAILED(first) && status == 200) {
        failure = first;
        return false;
    }

    HRESULT hr = e->resp_content_->SetMode(3);
    if (FAILED(hr)) {
        failure = hr;
        return false;
    }
    body_open = true;
    hr = e->resp_content_->SetLength(0);
    if (FAILED(hr)) {
        failure = hr;
        return false;
    }
    body.reset(new (std::nothrow) char[kChunk]);
    if (!body) {
        failure = e->Fail(kOutOfMemory, "CInternetAccess::WriteToRespStreamFromNet");
        return false;
    }
    return true;
}

namespace {

using Transfer = CInternetAccess::Transfer;

size_t OnHeader(char* data, size_t size, size_t nitems, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * nitems;
    const char* end = data + n;
    if (n >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
        // A status line: everything before belonged to another answer.
        t->have_status = false;
        t->have_length = t->have_type = false;
        t->length_text.clear();
        t->type_text.clear();
        t->reason.clear();
        const char* sp = static_cast<const char*>(std::memchr(data, ' ', n));
        if (sp != nullptr) {
            char* after = nullptr;
            long code = std::strtol(sp + 1, &after, 10);
            if (after != sp + 1 && code >= 0 && code <= 999) {
                t->status = static_cast<int>(code);
                t->have_status = true;
                t->reason = Trimmed(after, end);
            }
        }
        return n;
    }
    if (n <= 2 && (n == 0 || data[0] == '\r' || data[0] == '\n')) {
        // End of a head.  An interim answer is followed by another head.
        if (t->have_status && t->status >= 100 && t->status < 200) {
            Trace(t->log(), 33, kCallbackContext, 164);
            return n;
        }
        if (!t->CompleteHead()) return 0;
        return n;
    }
    const char* colon = static_cast<const char*>(std::memchr(data, ':', n));
    if (colon != nullptr) {
        std::string name = Trimmed(data, colon);
        if (strcasecmp(name.c_str(), "Content-Length") == 0 && !t->have_length) {
            t->have_length = true;
            t->length_text = Trimmed(colon + 1, end);
        } else if (strcasecmp(name.c_str(), "Content-Type") == 0 && !t->have_type) {
            t->have_type = true;
            t->type_text = Trimmed(colon + 1, end);
        }
    }
    return n;
}

size_t OnBody(char* data, size_t size, size_t nmemb, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * nmemb;
    if (!t->head_done || !t->body) return 0;
    size_t done = 0;
    while (done < n) {
        size_t room = static_cast<size_t>(kChunk - t->body_used);
        size_t take = std::min(room, n - done);
        std::memcpy(t->body.get() + t->body_used, data + done, take);
        t->body_used += static_cast<std::int32_t>(take);
        done += take;
        if (t->body_used == kChunk) {
            HRESULT hr = t->FlushBody();
            if (FAILED(hr)) {
                t->failure = hr;
                return 0;
            }
        }
    }
    t->body_bytes += n;
    return n;
}

size_t OnReadBody(char* buffer, size_t size, size_t nitems, void* user) {
    auto* t = static_cast<Transfer*>(user);
    if (t->sent >= t->request_length) return 0;
    // Never more than the announced length: a file that grows while it is
    // sent must not put stray bytes after the body on the connection.
    std::int32_t want = static_cast<std::int32_t>(
        std::min<size_t>({size * nitems, static_cast<size_t>(kChunk),
                          static_cast<size_t>(t->request_length - t->sent)}));
    std::int32_t got = 0;
    HRESULT hr = t->request()->Read(buffer, want, &got);
    if (FAILED(hr)) {
        t->failure = hr;
        return CURL_READFUNC_ABORT;
    }
    if (got == 0) {
        // The body ran out before its announced length (the file shrank):
        // the server would wait for the rest until the idle limit, so the
        // request ends here.
        ReportCodeText(t->log(), kSendFailed, "CInternetAccess::SendHTTPRequest",
                       "Communication error: request body ended after %d of %d bytes.",
                       static_cast<int>(t->sent), static_cast<int>(t->request_length));
        t->failure = kSendFailed;
        return CURL_READFUNC_ABORT;
    }
    Note(t->log(), 33, "CInternetAccess::SendHTTPRequest", "calling InternetWriteFile");
    t->sent += got;
    if (t->sent >= t->request_length)
        Note(t->log(), 33, "CInternetAccess::SendHTTPRequest", "calling HttpEndRequest");
    return static_cast<size_t>(got);
}

// libcurl sends a request again on a fresh connection when a kept-alive
// one turns out to have been closed by the server; the body then starts
// over from its beginning.
int OnSeekBody(void* user, curl_off_t offset, int origin) {
    auto* t = static_cast<Transfer*>(user);
    if (origin != SEEK_SET || offset < 0 || offset > t->request_length)
        return CURL_SEEKFUNC_CANTSEEK;
    if (FAILED(t->request()->Seek(2, static_cast<std::int32_t>(offset), nullptr)))
        return CURL_SEEKFUNC_FAIL;
    t->sent = static_cast<std::int32_t>(offset);
    return CURL_SEEKFUNC_OK;
}

int OnResolverStart(void*, void*, void* user) {
    auto* t = static_cast<Transfer*>(user);
    char* server = nullptr;
    if (SUCCEEDED(t->engine->GetServer(&server))) {
        Trace(t->log(), 33, kCallbackContext, 169, server != nullptr ? server : "");
        FreeString(&server);
    }
    return 0;
}

curl_socket_t OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto* t = static_cast<Transfer*>(user);
    char host[NI_MAXHOST] = "";
    if (address->family == AF_INET || address->family == AF_INET6) {
        const void* raw = address->family == AF_INET
                              ? static_cast<const void*>(
                                    &reinterpret_cast<sockaddr_in*>(&address->addr)->sin_addr)
                              : static_cast<const void*>(
                                    &reinterpret_cast<sockaddr_in6*>(&address->addr)->sin6_addr);
        inet_ntop(address->family, raw, host, sizeof host);
    }
    CEventLog* log = t->log();
    Trace(log, 33, kCallbackContext, 165, host);
    Trace(log, 33, kCallbackContext, 162);
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

int OnCloseSocket(void* user, curl_socket_t fd) {
    // Runs whenever a cached connection is closed, possibly during a later
    // request; the data is the engine's log, which outlives the handle (the
    // hook is removed before the handle is cleaned up).
    auto* log = static_cast<CEventLog*>(user);
    Trace(log, 33, kCallbackContext, 160);
    int r = ::close(fd);
    Trace(log, 33, kCallbackContext, 163);
    return r;
}

int OnPrereq(void* user, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(user);
    Trace(t->log(), 33, kCallbackContext, 161);
    return CURL_PREREQFUNC_OK;
}

}  // namespace

void CInternetAccess::LogSystemError(const char* context, int code, const char* message) {
    Note(log_, 33, context, "GetLastError = [%0xu]", static_cast<unsigned>(code));
    if (message != nullptr && *message != '\0') Note(log_, 33, context, "Message = [%s]", message);
}

void CInternetAccess::ResetResponse() {
    status_code_ = 0;
    content_length_ = 0;
    ClearList(&resp_headers_);
    (void)resp_content_->SetMode(3);
    (void)resp_content_->SetLength(0);
    (void)resp_content_->SetMode(1);
    FreeString(&status_text_);
    FreeString(&resp_content_type_);
    bytes_received_ = 0;
    bytes_sent_ = 0;
}

HRESULT CInternetAccess::Process() {
    if (!initialised_) return Fail(kNotInitialized, "CInternetAccess::Process");
    ResetResponse();
    if (protocol_ != INTERNET_PROTOCOL_HTTP) return S_OK;
    return ProcessHTTPRequest();
}

HRESULT CInternetAccess::PrepareReqHeaders(char** text) {
    CStringHolder out;
    HRESULT hr = GetString("", out.Out(), false);
    std::uint32_t count = 0;
    if (SUCCEEDED(hr)) hr = req_headers_.GetCount(&count);
    for (std::uint32_t i = 0; SUCCEEDED(hr) && i < count; ++i) {
        HeaderItem* item = nullptr;
        hr = ListHeader(&req_headers_, static_cast<std::int32_t>(i), &item);
        if (SUCCEEDED(hr) && i > 0) hr = AppendString("\r\n", &out);
        if (SUCCEEDED(hr)) hr = AppendString(item->name, &out);
        if (SUCCEEDED(hr)) hr = AppendString(": ", &out);
        if (SUCCEEDED(hr)) hr = AppendString(item->value, &out);
    }
    if (SUCCEEDED(hr) && StringLength(out.get()) > 0) hr = AppendString("\r\n", &out);
    std::int32_t length = 0;
    if (SUCCEEDED(hr)) hr = req_content_->GetLength(&length);
    const char* type = req_content_type_ != nullptr && *req_content_type_ != '\0'
                           ? req_content_type_
                           : "application/octet-stream";
    std::string tail = "Content-Length: " + std::to_string(length) + "\r\nContent-Type: " + type;
    if (SUCCEEDED(hr)) hr = AppendString(tail.c_str(), &out);
    if (SUCCEEDED(hr)) hr = AppendString("\r\n\r\n", &out);
    if (FAILED(hr)) return hr;
    *text = out.release();
    return S_OK;
}

namespace {
struct SlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

bool Append(SlistPtr& list, const std::string& line) {
    curl_slist* next = curl_slist_append(list.get(), line.c_str());
    if (next == nullptr) return false;
    list.release();
    list.reset(next);
    return true;
}

// The resource as it goes into the URL.  Callers put query values in
// unescaped, so a blank or a control character (which cannot stand in a
// request line and make libcurl refuse the URL) and "#" (which would cut the
// rest off as a fragment) are percent-encoded; every other byte is sent as
// it is.
std::string ResourceForUrl(const std::string& resource) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(resource.size());
    for (char c : resource) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7f || b == '#') {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

std::string UrlHost(const char* server) {
    std::string host = server;
    // A bare IPv6 address needs brackets inside a URL.
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    return host;
}
}  // namespace

HRESULT CInternetAccess::ProcessHTTPRequest() {
    CEventLog* log = log_;
    const char* verb = VerbText(verb_);
    Trace(log, 32, "CInternetAccess::ProcessHTTPRequest", 198);
    Trace(log, 32, "CInternetAccess::ProcessHTTPRequest", 199, server_ != nullptr ? server_ : "",
          static_cast<int>(port_), secure_ ? 1 : 0, resource_ != nullptr ? resource_ : "", verb);

    // The connection step: a server is needed to connect to.
    Note(log, 33, "CInternetAccess::GetConnection", "calling InternetConnect");
    if (server_ == nullptr || *server_ == '\0')
        return Fail(kConnectFailed, "CInternetAccess::GetConnection");

    CURL* curl = static_cast<CURL*>(internet_);
    Transfer t;
    t.engine = this;
    t.curl = curl;

    // The request step: the URL and the options of this request.
    std::string resource = ResourceForUrl(resource_ != nullptr ? resource_ : "");
    if (resource.empty() || resource[0] != '/') resource = "/" + resource;
    std::string url = std::string(secure_ ? "https://" : "http://") + UrlHost(server_) + ":" +
                      std::to_string(port_) + resource;
    ProxyChoice proxy = ChooseProxy(access_type_, proxy_list_, bypass_, server_, secure_);
    const char* ca_file = std::getenv("SSL_CERT_FILE");
    const char* ca_dir = std::getenv("SSL_CERT_DIR");
    curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (ca_file == nullptr || *ca_file == '\0') ca_file = info->cainfo;
    if (ca_dir == nullptr || *ca_dir == '\0') ca_dir = info->capath;
    long connect_timeout = ConfigSeconds("connect_timeout", kDefaultConnectTimeout);
    long idle_timeout = ConfigSeconds("idle_timeout", kDefaultIdleTimeout);
    const bool head = verb_ == HTTP_VERB_HEAD;

    HRESULT hr = req_content_->GetLength(&t.request_length);
    if (FAILED(hr)) return hr;

    CStringHolder header_text;
    hr = PrepareReqHeaders(header_text.Out());
    if (FAILED(hr)) return hr;
    Trace(log, 33, "CInternetAccess::ProcessHTTPRequest", 197, header_text.get());

    // libcurl sends Host and User-Agent itself and the Content-Length of the
    // body it is given; every other header is exactly ours.  Its own Accept
    // and Expect headers are suppressed.
    SlistPtr headers;
    bool ok = Append(headers, "Accept:") && Append(headers, "Expect:");
    std::uint32_t count = 0;
    (void)req_headers_.GetCount(&count);
    for (std::uint32_t i = 0; ok && i < count; ++i) {
        HeaderItem* item = nullptr;
        if (FAILED(ListHeader(&req_headers_, static_cast<std::int32_t>(i), &item))) continue;
        ok = Append(headers, std::string(item->name) + ": " + item->value);
    }
    if (head) ok = ok && Append(headers, "Content-Length: 0");
    const char* type = req_content_type_ != nullptr && *req_content_type_ != '\0'
                           ? req_content_type_
                           : "application/octet-stream";
    ok = ok && Append(headers, std::string("Content-Type: ") + type);

    ok = ok && curl_easy_setopt(curl, CURLOPT_URL, url.c_str()) == CURLE_OK;
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(
        curl, CURLOPT_HTTP_VERSION,
        http_version_ == HTTP_VERSION_1_1 ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent_);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(kChunk));
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kChunk));
    // Method and body: every method but HEAD carries the request content
    // with its length, also when it is empty.
    curl_easy_setopt(curl, CURLOPT_NOBODY, head ? 1L : 0L);
    if (!head) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(t.request_length));
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, OnReadBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &t);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, OnSeekBody);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &t);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb);
    } else {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);
    }
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    // Status notifications.
    curl_easy_setopt(curl, CURLOPT_RESOLVER_START_FUNCTION, OnResolverStart);
    curl_easy_setopt(curl, CURLOPT_RESOLVER_START_DATA, &t);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OnOpenSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &t);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, OnCloseSocket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, log_);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, OnPrereq);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, &t);
    // Timeouts: a connect limit, and an end to a transfer that receives
    // nothing for the idle limit.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, idle_timeout);
    // TLS: the host name is not checked and expired certificates pass, but
    // the chain must lead to a trusted CA.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, SslContextHook);
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file);
    curl_easy_setopt(curl, CURLOPT_CAPATH, ca_dir);
    // The way to the server.
    switch (proxy.kind) {
        case ProxyChoice::Kind::Direct:
            curl_easy_setopt(curl, CURLOPT_PROXY, "");
            curl_easy_setopt(curl, CURLOPT_NOPROXY, nullptr);
            break;
        case ProxyChoice::Kind::Machine:
            curl_easy_setopt(curl, CURLOPT_PROXY, nullptr);
            curl_easy_setopt(curl, CURLOPT_NOPROXY, nullptr);
            break;
        case ProxyChoice::Kind::Explicit:
            curl_easy_setopt(curl, CURLOPT_PROXY, proxy.proxy.c_str());
            // Bypassing is decided above; the environment's no_proxy has no say.
            curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
            break;
    }
    if (!ok) return Fail(kOpenRequestFailed, "CInternetAccess::GetRequest");

    // Send the request; the answer is taken in the callbacks.
    Trace(log, 33, "CInternetAccess::SendHTTPRequest", 171);
    Note(log, 33, "CInternetAccess::SendHTTPRequest", "calling HttpSendRequestEx");
    if (t.request_length > 0 && !head) {
        hr = req_content_->Seek(2, 0, nullptr);
        if (FAILED(hr)) return hr;
    } else {
        // No body to write: the request ends with its head.
        Note(log, 33, "CInternetAccess::SendHTTPRequest", "calling HttpEndRequest");
    }
    char error_text[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    CURLcode rc = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    // The header list and the transfer state die with this call; the handle
    // must not keep pointers to them.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    for (CURLoption data :
         {CURLOPT_READDATA, CURLOPT_SEEKDATA, CURLOPT_HEADERDATA, CURLOPT_WRITEDATA,
          CURLOPT_RESOLVER_START_DATA, CURLOPT_OPENSOCKETDATA, CURLOPT_PREREQDATA})
        curl_easy_setopt(curl, data, nullptr);
    curl_easy_setopt(curl, CURLOPT_RESOLVER_START_FUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, nullptr);

    curl_off_t up = 0, down = 0;
    long request_size = 0, header_size = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &up);
    curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &down);
    curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &request_size);
    curl_easy_getinfo(curl, CURLINFO_HEADER_SIZE, &header_size);
    bytes_sent_ = static_cast<std::int32_t>(request_size + up);
    bytes_received_ = static_cast<std::int32_t>(header_size + down);

    HRESULT result = S_OK;
    if (FAILED(t.failure)) {
        result = t.failure;  // already logged where it arose
    } else if (rc != CURLE_OK && !t.head_done) {
        LogSystemError("CInternetAccess::SendHTTPRequest", rc,
                       *error_text != '\0' ? error_text : curl_easy_strerror(rc));
        result = Fail(kSendFailed, "CInternetAccess::SendHTTPRequest");
    } else if (rc != CURLE_OK) {
        // The answer began but its body did not arrive whole: the
        // connection closed early or went silent.  What arrived is kept,
        // but the exchange is not a success.
        LogSystemError("CInternetAccess::WriteToRespStreamFromNet", rc,
                       *error_text != '\0' ? error_text : curl_easy_strerror(rc));
        if (rc == CURLE_OPERATION_TIMEDOUT)
            ReportCodeText(log, kSendFailed, "CInternetAccess::WriteToRespStreamFromNet",
                           "Communication error: no data received from server for %ld seconds, "
                           "response body cut short after %llu bytes.",
                           idle_timeout, static_cast<unsigned long long>(t.body_bytes));
        else
            ReportCodeText(log, kSendFailed, "CInternetAccess::WriteToRespStreamFromNet",
                           "Communication error: connection closed before the whole response "
                           "body arrived, body cut short after %llu bytes.",
                           static_cast<unsigned long long>(t.body_bytes));
        result = kSendFailed;
    }
    if (t.body_open) {
        HRESULT flushed = t.FlushBody();
        if (SUCCEEDED(result) && FAILED(flushed)) result = flushed;
        t.body.reset();
        (void)resp_content_->Seek(2, 0, nullptr);
        (void)resp_content_->SetMode(1);
        if (SUCCEEDED(result))
            Trace(log, 33, "CInternetAccess::GetHTTPResponse", 170,
                  static_cast<int>(bytes_received_));
    }
    return result;
}
