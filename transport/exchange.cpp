// CInternetAccess::Process: one HTTP/HTTPS exchange over libcurl (see
// internet_access.h and exchange.h).
//
// Each request runs on a fresh easy handle that dies with the request;
// connections and TLS sessions outlive it in the engine's share handle, so
// they are reused where the protocol allows.  A fresh handle is also what
// keeps Debian 12's libcurl 7.88.1 safe: reusing an easy handle that already
// carried a response reads freed memory when the next answer begins with a
// folded header line.
//
// libcurl runs the whole exchange inside curl_easy_perform, so the steps of
// the exchange happen in its callbacks (curl_callbacks.h): the request body
// is read from the request content in 256 KiB pieces, the status line and
// the selected response headers are taken in the header callback and checked
// when the head of the final answer is complete, and the body is gathered in
// one 256 KiB buffer and written to the response content.  A check that
// fails on a 200 answer ends the transfer there, before any body is stored.
#include "transport/exchange.h"

#include <charconv>
#include <climits>
#include <new>
#include <string>
#include <vector>

#include "log/event_log.h"
#include "log/report.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "support/result_codes.h"
#include "transport/connection_policy.h"
#include "transport/curl_callbacks.h"

using namespace zel::transport;
using namespace zel::codes;
using namespace zel::log;

namespace {

constexpr std::int32_t kChunk = CInternetAccess::CContentStream::kChunkSize;
using zel::keys::kResponsesKey;

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

// A Content-Length as the engine can report it: decimal digits only, at
// most 2^31-1.  Anything else is unusable (a larger value would be reported
// negative).
bool ParseContentLength(const std::string& text, std::int32_t* length) {
    // Digits only: from_chars would take a leading minus sign.
    if (text.empty() || text.size() >= 40 || text[0] < '0' || text[0] > '9') return false;
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, err] = std::from_chars(text.data(), end, value);
    if (err != std::errc() || stop != end) return false;
    *length = value;
    return true;
}

// The announced body length for progress reports, which may pass 2 GiB
// (the engine's own length stays 32-bit): decimal digits only; -1 for
// anything else.
std::int64_t AnnouncedLength(const std::string& text) {
    if (text.empty() || text.size() >= 20 || text[0] < '0' || text[0] > '9') return -1;
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, err] = std::from_chars(text.data(), end, value);
    return err == std::errc() && stop == end ? value : -1;
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

}  // namespace

// ---- one transfer -------------------------------------------------------

void CInternetAccess::Transfer::RestartHead() {
    have_status = false;
    have_length = have_type = false;
    length_text.clear();
    other_length_text.clear();
    type_text.clear();
    reason.clear();
}

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

void CInternetAccess::Transfer::ReportProgress() const {
    CTransferObserver* observer = engine->observer_;
    if (observer == nullptr) return;
    TransferProgress progress;
    progress.sent = static_cast<std::uint64_t>(sent);
    progress.send_total = static_cast<std::uint64_t>(request_length);
    progress.received = body_bytes;
    progress.receive_total = announced_body;
    observer->OnTransferProgress(progress);
}

// Takes status code, length, type and status text as the answer gives them,
// then makes the response content ready for the body.
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
    Trace(log, kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest", kMsgRequestSent,
          static_cast<int>(e->bytes_sent_));
    Trace(log, kCategoryClientCommunication, "CInternetAccess::GetHTTPResponse",
          kMsgWaitingForResponse);
    if (!have_status) {
        failure = e->Fail(kNoStatusCode, "CInternetAccess::GetHTTPResponseStatusCode");
        return false;
    }
    e->status_code_ = status;
    Trace(log, kCategoryServerResponse, "CInternetAccess::GetHTTPResponseStatusCode",
          kMsgStatusCode, status);

    // Whatever the status, a body framed by one length and reported with
    // another would be stored or judged wrongly.
    if (!other_length_text.empty()) {
        ReportCodeText(log, kSendFailed, "CInternetAccess::GetHTTPResponseContentLength",
                       "Communication error: the response carries different Content-Length "
                       "values (%s and %s).",
                       length_text.c_str(), other_length_text.c_str());
        failure = kSendFailed;
        return false;
    }

    announced_body = have_length ? AnnouncedLength(length_text) : -1;

    std::uint32_t switches = ReadResponseSwitches();
    HRESULT first = S_OK;

    // Content length, as decimal text.
    bool saved = e->query_content_length_;
    e->query_content_length_ = (switches & 1u) != 0;
    e->content_length_ = 0;
    if (e->query_content_length_) {
        std::int32_t length = 0;
        if (!have_length || !ParseContentLength(length_text, &length)) {
            first = e->Fail(kNoContentLength, "CInternetAccess::GetHTTPResponseContentLength");
        } else {
            e->content_length_ = length;
            Trace(log, kCategoryServerResponse, "CInternetAccess::GetHTTPResponseContentLength",
                  kMsgContentLength, static_cast<int>(e->content_length_));
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
            Trace(log, kCategoryServerResponse, "CInternetAccess::GetHTTPResponseContentType",
                  kMsgContentType, e->resp_content_type_.c_str());
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
        Trace(log, kCategoryServerResponse, "CInternetAccess::GetHTTPResponseStatusText",
              kMsgStatusText, reason.c_str());
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

// ---- the exchange -------------------------------------------------------

void CInternetAccess::LogSystemError(const char* context, int code, const char* message) {
    Note(log_, kCategoryClientCommunication, context, "GetLastError = [%0xu]",
         static_cast<unsigned>(code));
    if (message != nullptr && *message != '\0')
        Note(log_, kCategoryClientCommunication, context, "Message = [%s]", message);
}

void CInternetAccess::ResetResponse() {
    status_code_ = 0;
    content_length_ = 0;
    (void)resp_headers_.RemoveAll();
    (void)resp_content_->SetMode(3);
    (void)resp_content_->SetLength(0);
    (void)resp_content_->SetMode(1);
    status_text_.reset();
    resp_content_type_.reset();
    bytes_received_ = 0;
    bytes_sent_ = 0;
}

HRESULT CInternetAccess::Process() {
    if (!initialised_) return Fail(kNotInitialized, "CInternetAccess::Process");
    ResetResponse();
    if (protocol_ != INTERNET_PROTOCOL_HTTP) return S_OK;
    return ProcessHTTPRequest();
}

HRESULT CInternetAccess::ConfigureRequest(Transfer* transfer) {
    Transfer& t = *transfer;
    CURL* curl = t.curl;
    const char* verb = VerbText(verb_);
    const bool head = verb_ == HTTP_VERB_HEAD;

    RequestRoute route;
    route.agent = agent_.c_str();
    route.access_type = access_type_;
    route.proxy_list = proxy_list_.c_str();
    route.bypass = bypass_.c_str();
    route.host = server_.c_str();
    route.port = port_;
    route.secure = secure_;
    route.resource = ResourceForUrl(resource_.c_str());
    if (route.resource.empty() || route.resource[0] != '/') route.resource = "/" + route.resource;

    // Every header but Host and User-Agent is exactly ours, the content
    // headers last: Content-Length (libcurl sends the body it is given with
    // that length and adds no length of its own) and then Content-Type.
    std::vector<std::string> lines;
    std::uint32_t count = 0;
    (void)req_headers_.GetCount(&count);
    for (std::uint32_t i = 0; i < count; ++i) {
        HeaderItem* item = nullptr;
        if (FAILED(req_headers_.GetAt(static_cast<std::int32_t>(i), &item))) continue;
        lines.push_back(std::string(item->name.c_str()) + ": " + item->value.c_str());
    }
    lines.push_back("Content-Length: " + std::to_string(head ? 0 : t.request_length));
    const char* type = req_content_type_ && *req_content_type_.get() != '\0'
                           ? req_content_type_.get()
                           : "application/octet-stream";
    lines.push_back(std::string("Content-Type: ") + type);
    if (ApplyConnectionPolicy(curl, route, lines, &t.setup) != CURLE_OK)
        return Fail(kOpenRequestFailed, "CInternetAccess::GetRequest");

    curl_easy_setopt(curl, CURLOPT_SHARE, share_.get());
    curl_easy_setopt(
        curl, CURLOPT_HTTP_VERSION,
        http_version_ == HTTP_VERSION_1_1 ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0);
    // An HTTP/1.0 request does not ask to keep the connection, so the server
    // may close it after its answer without saying so (many answer in
    // HTTP/1.1 all the same).  A later request sent on it would meet the
    // closing socket part-way through its body, so the connection is never
    // kept after such an exchange.
    if (http_version_ != HTTP_VERSION_1_1) curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    if (t.fresh_connection) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(kChunk));
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kChunk));
    // Method and body: every method but HEAD carries the request content
    // with its length, also when it is empty.
    if (head) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(t.request_length));
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, OnReadBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &t);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, OnSeekBody);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &t);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb);
    }
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    // Status notifications, and the header block that actually went out.
    curl_easy_setopt(curl, CURLOPT_RESOLVER_START_FUNCTION, OnResolverStart);
    curl_easy_setopt(curl, CURLOPT_RESOLVER_START_DATA, &t);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OnOpenSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &t);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, OnCloseSocket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, log_);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, OnPrereq);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, &t);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    return S_OK;
}

HRESULT CInternetAccess::ProcessHTTPRequest() {
    CEventLog* log = log_;
    Trace(log, kCategoryClientApplication, "CInternetAccess::ProcessHTTPRequest",
          kMsgProcessingRequest);
    Trace(log, kCategoryClientApplication, "CInternetAccess::ProcessHTTPRequest", kMsgRequestTarget,
          server_.c_str(), static_cast<int>(port_), secure_ ? 1 : 0, resource_.c_str(),
          VerbText(verb_));

    // The connection step: a server is needed to connect to.
    Note(log, kCategoryClientCommunication, "CInternetAccess::GetConnection",
         "calling InternetConnect");
    if (!server_ || *server_.get() == '\0')
        return Fail(kConnectFailed, "CInternetAccess::GetConnection");

    bool may_resend = false;
    HRESULT hr = PerformRequest(false, &may_resend);
    if (may_resend) {
        // Once only, and never on a kept connection again.
        Note(log, kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
             "kept-alive connection closed by the server, request sent again on a new one");
        hr = PerformRequest(true, &may_resend);
    }
    return hr;
}

HRESULT CInternetAccess::PerformRequest(bool fresh_connection, bool* may_resend) {
    CEventLog* log = log_;
    const bool head = verb_ == HTTP_VERB_HEAD;
    *may_resend = false;
    Transfer t;
    t.engine = this;
    t.fresh_connection = fresh_connection;
    HRESULT hr = req_content_->GetLength(&t.request_length);
    if (FAILED(hr)) return hr;

    // The request step.  The handle is declared after the transfer so that
    // it is cleaned up first: its callbacks point at the transfer.
    CurlEasyPtr curl(curl_easy_init());
    if (!curl) return Fail(kOpenRequestFailed, "CInternetAccess::GetRequest");
    t.curl = curl.get();
    hr = ConfigureRequest(&t);
    if (FAILED(hr)) return hr;
    // libcurl's progress calls go on while nothing moves (about once a
    // second), so an observer learns of a stall as it lasts, not after it.
    if (observer_ != nullptr) {
        t.setup.keep_going = [&t](double) {
            t.ReportProgress();
            return true;
        };
    }

    // Send the request; the answer is taken in the callbacks.
    Trace(log, kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
          kMsgSendingRequest);
    Note(log, kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
         "calling HttpSendRequestEx");
    if (t.request_length > 0 && !head) {
        hr = req_content_->Seek(2, 0, nullptr);
        if (FAILED(hr)) return hr;
    } else {
        // No body to write: the request ends with its head.
        Note(log, kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
             "calling HttpEndRequest");
    }
    const CURLcode rc = curl_easy_perform(curl.get());

    curl_off_t up = 0, down = 0;
    long request_size = 0, header_size = 0, new_connections = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_SIZE_UPLOAD_T, &up);
    curl_easy_getinfo(curl.get(), CURLINFO_SIZE_DOWNLOAD_T, &down);
    curl_easy_getinfo(curl.get(), CURLINFO_REQUEST_SIZE, &request_size);
    curl_easy_getinfo(curl.get(), CURLINFO_HEADER_SIZE, &header_size);
    curl_easy_getinfo(curl.get(), CURLINFO_NUM_CONNECTS, &new_connections);
    bytes_sent_ = static_cast<std::int32_t>(request_size + up);
    bytes_received_ = static_cast<std::int32_t>(header_size + down);
    const char* error_text =
        *t.setup.error_text != '\0' ? t.setup.error_text : curl_easy_strerror(rc);

    HRESULT result = S_OK;
    if (FAILED(t.failure)) {
        result = t.failure;  // already logged where it arose
    } else if (rc == CURLE_SEND_ERROR && !t.head_started && !fresh_connection &&
               new_connections == 0) {
        // A kept-alive connection that the server had closed: the request
        // broke off while it went out and nothing came back, so the server
        // never took it whole.  libcurl itself sends again only when the
        // break shows while reading; the caller sends it once more.
        LogSystemError("CInternetAccess::SendHTTPRequest", rc, error_text);
        *may_resend = true;
        result = kSendFailed;
    } else if (t.setup.past_deadline) {
        ReportCodeText(log, kSendFailed,
                       t.head_done ? "CInternetAccess::WriteToRespStreamFromNet"
                                   : "CInternetAccess::SendHTTPRequest",
                       "Communication error: request not finished within its time limit of "
                       "%.0f seconds, %llu bytes sent, %llu bytes of response body received.",
                       t.setup.deadline_seconds, static_cast<unsigned long long>(up),
                       static_cast<unsigned long long>(t.body_bytes));
        result = kSendFailed;
    } else if (!t.head_done && t.head_started) {
        // Part of an answer came, but its head never ended: there is no
        // status to report, so this is no HTTP answer at all.
        if (rc != CURLE_OK) LogSystemError("CInternetAccess::GetHTTPResponse", rc, error_text);
        ReportCodeText(log, kSendFailed, "CInternetAccess::GetHTTPResponse",
                       "Communication error: connection closed before the response headers "
                       "were complete, headers cut short.");
        result = kSendFailed;
    } else if (!t.head_done) {
        LogSystemError("CInternetAccess::SendHTTPRequest", rc,
                       rc != CURLE_OK ? error_text : "no response from server");
        result = Fail(kSendFailed, "CInternetAccess::SendHTTPRequest");
    } else if (rc != CURLE_OK) {
        // The answer began but its body did not arrive whole: the
        // connection closed early or went too slow.  What arrived is kept,
        // but the exchange is not a success.
        LogSystemError("CInternetAccess::WriteToRespStreamFromNet", rc, error_text);
        if (rc == CURLE_OPERATION_TIMEDOUT)
            ReportCodeText(log, kSendFailed, "CInternetAccess::WriteToRespStreamFromNet",
                           "Communication error: less than %ld bytes per second received from "
                           "server for %ld seconds, response body cut short after %llu bytes.",
                           t.setup.limits.min_speed, t.setup.limits.idle_seconds,
                           static_cast<unsigned long long>(t.body_bytes));
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
            Trace(log, kCategoryClientCommunication, "CInternetAccess::GetHTTPResponse",
                  kMsgBytesReceived, static_cast<int>(bytes_received_));
    }
    return result;
}
