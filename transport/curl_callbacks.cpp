// The libcurl callbacks of one HTTP exchange: see curl_callbacks.h.
#include "transport/curl_callbacks.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/event_log.h"
#include "log/report.h"
#include "platform/socket.h"
#include "support/result_codes.h"
#include "support/strings.h"
#include "transport/exchange.h"

using namespace zel::codes;
using namespace zel::log;

namespace zel::transport {
namespace {

using Transfer = CInternetAccess::Transfer;

constexpr std::int32_t kChunk = CInternetAccess::CContentStream::kChunkSize;
constexpr const char* kCallbackContext = "CInternetAccess::InternetStatusCallback";

// The text of a head line between begin and end without its blanks.  A CR
// or LF inside the line ends it there: the status text and the content type
// go into log records and back to the caller, where a line break would start
// a record or a line of the server's making.
std::string Trimmed(const char* begin, const char* end) {
    return OneLine(std::string_view(begin, static_cast<std::size_t>(end - begin)),
                   LineBreak::kEndsText);
}

bool NameIs(const std::string& line, const char* name) {
    const std::size_t n = std::strlen(name);
    return line.size() > n && line[n] == ':' && strncasecmp(line.c_str(), name, n) == 0;
}

// The header block as it went out, for the log: without the request line
// (the resource is traced on its own) and without the credentials that the
// authorization headers carry.
std::string TraceableHead(const std::string& block) {
    std::string out;
    std::size_t at = block.find("\r\n");
    at = at == std::string::npos ? block.size() : at + 2;
    while (at < block.size()) {
        std::size_t end = block.find("\r\n", at);
        std::string line = block.substr(at, end == std::string::npos ? end : end - at);
        if (NameIs(line, "Authorization") || NameIs(line, "Proxy-Authorization"))
            line = line.substr(0, line.find(':')) + ": <not logged>";
        out += line;
        if (end == std::string::npos) break;
        out += "\r\n";
        at = end + 2;
    }
    return out;
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

}  // namespace

std::size_t OnHeader(char* data, std::size_t size, std::size_t nitems, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * nitems;
    const char* end = data + n;
    t->head_started = true;
    if (n >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
        // A status line: everything before belonged to another answer.
        t->RestartHead();
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
            Trace(t->log(), kCategoryClientCommunication, kCallbackContext,
                  kMsgIntermediateResponse);
            return n;
        }
        return t->CompleteHead() ? n : 0;
    }
    const char* colon = static_cast<const char*>(std::memchr(data, ':', n));
    if (colon != nullptr) {
        std::string name = Trimmed(data, colon);
        if (strcasecmp(name.c_str(), "Content-Length") == 0) {
            std::string value = Trimmed(colon + 1, end);
            if (!t->have_length) {
                t->have_length = true;
                t->length_text = value;
            } else if (value != t->length_text && t->other_length_text.empty()) {
                // The body is framed by one of them and the length reported
                // from the other: the answer cannot be trusted.
                t->other_length_text = value;
            }
        } else if (strcasecmp(name.c_str(), "Content-Type") == 0 && !t->have_type) {
            t->have_type = true;
            t->type_text = Trimmed(colon + 1, end);
        }
    }
    return n;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t nmemb, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * nmemb;
    if (!t->head_done || !t->body) return 0;
    std::size_t done = 0;
    while (done < n) {
        std::size_t room = static_cast<std::size_t>(kChunk - t->body_used);
        std::size_t take = std::min(room, n - done);
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
    t->ReportProgress();
    return n;
}

std::size_t OnReadBody(char* buffer, std::size_t size, std::size_t nitems, void* user) {
    auto* t = static_cast<Transfer*>(user);
    if (t->sent >= t->request_length) return 0;
    // Never more than the announced length: a file that grows while it is
    // sent must not put stray bytes after the body on the connection.
    std::int32_t want = static_cast<std::int32_t>(
        std::min<std::size_t>({size * nitems, static_cast<std::size_t>(kChunk),
                               static_cast<std::size_t>(t->request_length - t->sent)}));
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
    Note(t->log(), kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
         "calling InternetWriteFile");
    t->sent += got;
    if (t->sent >= t->request_length)
        Note(t->log(), kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
             "calling HttpEndRequest");
    t->ReportProgress();
    return static_cast<std::size_t>(got);
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
    CStringHolder server;
    if (SUCCEEDED(t->engine->GetServer(server.Out())))
        Trace(t->log(), kCategoryClientCommunication, kCallbackContext, kMsgResolvingAddress,
              server.c_str());
    return 0;
}

curl_socket_t OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto* t = static_cast<Transfer*>(user);
    const std::string host = zel::net::AddressText(address->family, &address->addr);
    CEventLog* log = t->log();
    Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgAddressFound, host.c_str());
    Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgConnecting);
    const int socket = zel::net::OpenSocket(address->family, address->socktype, address->protocol);
    return socket < 0 ? CURL_SOCKET_BAD : socket;
}

int OnCloseSocket(void* user, curl_socket_t fd) {
    auto* log = static_cast<CEventLog*>(user);
    Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgClosingConnection);
    int r = zel::net::CloseSocket(fd);
    Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgConnectionClosed);
    return r;
}

int OnPrereq(void* user, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(user);
    Trace(t->log(), kCategoryClientCommunication, kCallbackContext, kMsgConnected);
    return CURL_PREREQFUNC_OK;
}

int OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
    if (type != CURLINFO_HEADER_OUT) return 0;
    auto* t = static_cast<Transfer*>(user);
    // A head may go out in pieces; it is traced once it is whole.  A tunnel
    // request to a proxy is not the request itself and is left out.
    t->sent_head.append(data, size);
    const std::string& head = t->sent_head;
    if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) {
        if (head.rfind("CONNECT ", 0) != 0)
            Trace(t->log(), kCategoryClientCommunication, "CInternetAccess::ProcessHTTPRequest",
                  kMsgRequestHeader, TraceableHead(head).c_str());
        t->sent_head.clear();
    }
    return 0;
}

CURLcode OnSslContext(CURL*, void* ssl_ctx, void*) {
    SSL_CTX_set_verify(static_cast<SSL_CTX*>(ssl_ctx), SSL_VERIFY_PEER, LenientVerify);
    return CURLE_OK;
}

}  // namespace zel::transport
