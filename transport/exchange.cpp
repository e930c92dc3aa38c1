// CInternetAccess::Process: one HTTP/HTTPS exchange (see internet_access.h
// and exchange.h), the same over every engine (http_engine.h).
//
// The engine runs the whole exchange inside its Perform and calls back into
// the request's Transfer: the request body is read from the request content
// in 256 KiB pieces, the head of the final answer is checked when it is
// complete, and the body is gathered in one 256 KiB buffer and written to
// the response content.  A check that fails on a 200 answer ends the
// transfer there, before any body is stored.  How the request ended is then
// judged here from what the engine saw: no answer, a head cut short, a body
// cut short, too slow, past its deadline, or a kept-alive connection that
// the server had closed (the request goes once more on a new one).
#include "transport/exchange.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "log/event_log.h"
#include "log/report.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "support/result_codes.h"

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
    // Read for every answer: the key's lookup and the value as one read.
    zel::reg::ReadBatch batch;
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

constexpr const char* kCallbackContext = "CInternetAccess::InternetStatusCallback";

}  // namespace

namespace zel::transport {

void TraceNotification(CEventLog* log, Notification what, const std::string& info) {
    switch (what) {
        case Notification::kResolving:
            Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgResolvingAddress,
                  info.c_str());
            break;
        case Notification::kAddressFound:
            Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgAddressFound,
                  info.c_str());
            break;
        case Notification::kConnecting:
            Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgConnecting);
            break;
        case Notification::kConnected:
            Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgConnected);
            break;
        case Notification::kIntermediate:
            Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgIntermediateResponse);
            break;
        case Notification::kRequestHead:
            Trace(log, kCategoryClientCommunication, "CInternetAccess::ProcessHTTPRequest",
                  kMsgRequestHeader, TraceableHead(info).c_str());
            break;
        case Notification::kClosing:
            Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgClosingConnection);
            break;
        case Notification::kClosed:
            Trace(log, kCategoryClientCommunication, kCallbackContext, kMsgConnectionClosed);
            break;
    }
}

}  // namespace zel::transport

// ---- one transfer -------------------------------------------------------

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

bool CInternetAccess::Transfer::StartSending() {
    CEventLog* log = engine->log_;
    Trace(log, kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
          kMsgSendingRequest);
    Note(log, kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
         "calling HttpSendRequestEx");
    if (request_length > 0 && engine->verb_ != HTTP_VERB_HEAD) {
        HRESULT hr = request()->Seek(2, 0, nullptr);
        if (FAILED(hr)) {
            failure = hr;
            return false;
        }
        sent = 0;
    } else {
        // No body to write: the request ends with its head.
        Note(log, kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
             "calling HttpEndRequest");
    }
    return true;
}

long CInternetAccess::Transfer::ReadBody(char* buffer, std::size_t max) {
    if (sent >= request_length) return 0;
    // Never more than the announced length: a file that grows while it is
    // sent must not put stray bytes after the body on the connection.
    std::int32_t want = static_cast<std::int32_t>(std::min<std::size_t>(
        {max, static_cast<std::size_t>(kChunk), static_cast<std::size_t>(request_length - sent)}));
    std::int32_t got = 0;
    HRESULT hr = request()->Read(buffer, want, &got);
    if (FAILED(hr)) {
        failure = hr;
        return -1;
    }
    if (got == 0) {
        // The body ran out before its announced length (the file shrank):
        // the server would wait for the rest until the idle limit, so the
        // request ends here.
        ReportCodeText(log(), kSendFailed, "CInternetAccess::SendHTTPRequest",
                       "Communication error: request body ended after %d of %d bytes.",
                       static_cast<int>(sent), static_cast<int>(request_length));
        failure = kSendFailed;
        return -1;
    }
    Note(log(), kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
         "calling InternetWriteFile");
    sent += got;
    if (sent >= request_length)
        Note(log(), kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest",
             "calling HttpEndRequest");
    return got;
}

bool CInternetAccess::Transfer::RewindBody(std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(request_length)) return false;
    if (FAILED(request()->Seek(2, static_cast<std::int32_t>(offset), nullptr))) return false;
    sent = static_cast<std::int32_t>(offset);
    return true;
}

void CInternetAccess::Transfer::Notify(Notification what, const std::string& info) {
    TraceNotification(engine->log_, what, info);
}

bool CInternetAccess::Transfer::Body(const char* data, std::size_t n) {
    if (!head_done || !body) return false;
    std::size_t done = 0;
    while (done < n) {
        std::size_t room = static_cast<std::size_t>(kChunk - body_used);
        std::size_t take = std::min(room, n - done);
        std::memcpy(body.get() + body_used, data + done, take);
        body_used += static_cast<std::int32_t>(take);
        done += take;
        if (body_used == kChunk) {
            HRESULT hr = FlushBody();
            if (FAILED(hr)) {
                failure = hr;
                return false;
            }
        }
    }
    body_bytes += n;
    return true;
}

void CInternetAccess::Transfer::Progress() {
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
bool CInternetAccess::Transfer::HeadComplete(const ResponseHead& head, std::int64_t bytes_sent) {
    CInternetAccess* e = engine;
    CEventLog* log = e->log_;
    head_done = true;
    // The request went out whole once an answer arrives.
    e->bytes_sent_ = static_cast<std::int32_t>(bytes_sent);
    Trace(log, kCategoryClientCommunication, "CInternetAccess::SendHTTPRequest", kMsgRequestSent,
          static_cast<int>(e->bytes_sent_));
    Trace(log, kCategoryClientCommunication, "CInternetAccess::GetHTTPResponse",
          kMsgWaitingForResponse);
    if (!head.have_status) {
        failure = e->Fail(kNoStatusCode, "CInternetAccess::GetHTTPResponseStatusCode");
        return false;
    }
    e->status_code_ = head.status;
    Trace(log, kCategoryServerResponse, "CInternetAccess::GetHTTPResponseStatusCode",
          kMsgStatusCode, head.status);

    // Whatever the status, a body framed by one length and reported with
    // another would be stored or judged wrongly.
    if (!head.other_length_text.empty()) {
        ReportCodeText(log, kSendFailed, "CInternetAccess::GetHTTPResponseContentLength",
                       "Communication error: the response carries different Content-Length "
                       "values (%s and %s).",
                       head.length_text.c_str(), head.other_length_text.c_str());
        failure = kSendFailed;
        return false;
    }

    announced_body = head.have_length ? AnnouncedLength(head.length_text) : -1;

    // The texts go into log records and back to the caller: a line break
    // of the server's making ends them there.
    const std::string type_text = OneLine(head.type_text, LineBreak::kEndsText);
    const std::string reason = OneLine(head.reason, LineBreak::kEndsText);
    std::uint32_t switches = ReadResponseSwitches();
    HRESULT first = S_OK;

    // Content length, as decimal text.
    bool saved = e->query_content_length_;
    e->query_content_length_ = (switches & 1u) != 0;
    e->content_length_ = 0;
    if (e->query_content_length_) {
        std::int32_t length = 0;
        if (!head.have_length || !ParseContentLength(head.length_text, &length)) {
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
        if (!head.have_type || type_text.size() >= 256) {
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
    if (FAILED(first) && head.status == 200) {
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

void CInternetAccess::DescribeRequest(const Transfer& t, EngineRequest* request) const {
    EngineRequest& r = *request;
    const bool head = verb_ == HTTP_VERB_HEAD;
    r.host = server_.c_str();
    r.port = port_;
    r.secure = secure_;
    r.resource = ResourceForUrl(resource_.c_str());
    if (r.resource.empty() || r.resource[0] != '/') r.resource = "/" + r.resource;
    r.verb = VerbText(verb_);
    r.head = head;
    r.http11 = http_version_ == HTTP_VERSION_1_1;
    r.body_length = head ? 0 : t.request_length;
    r.fresh_connection = t.fresh_connection;

    // Every header but Host and User-Agent is exactly ours, the content
    // headers last: Content-Length (the engine sends the body it is given
    // with that length and adds no length of its own) and then Content-Type.
    std::uint32_t count = 0;
    (void)req_headers_.GetCount(&count);
    for (std::uint32_t i = 0; i < count; ++i) {
        HeaderItem* item = nullptr;
        if (FAILED(req_headers_.GetAt(static_cast<std::int32_t>(i), &item))) continue;
        r.header_lines.push_back(std::string(item->name.c_str()) + ": " + item->value.c_str());
    }
    r.header_lines.push_back("Content-Length: " + std::to_string(head ? 0 : t.request_length));
    const char* type = req_content_type_ && *req_content_type_.get() != '\0'
                           ? req_content_type_.get()
                           : "application/octet-stream";
    r.header_lines.push_back(std::string("Content-Type: ") + type);
}

HRESULT CInternetAccess::PerformRequest(bool fresh_connection, bool* may_resend) {
    CEventLog* log = log_;
    *may_resend = false;
    Transfer t;
    t.engine = this;
    t.fresh_connection = fresh_connection;
    HRESULT hr = req_content_->GetLength(&t.request_length);
    if (FAILED(hr)) return hr;

    EngineRequest request;
    DescribeRequest(t, &request);
    EngineOutcome out;
    engine_->Perform(request, &t, &out);

    // A connection or request that could not be set up: nothing was sent.
    if (out.stage == EngineOutcome::Stage::kConnect) {
        if (out.error_code != 0)
            LogSystemError("CInternetAccess::GetConnection", out.error_code,
                           out.error_text.c_str());
        return Fail(kConnectFailed, "CInternetAccess::GetConnection");
    }
    if (out.stage == EngineOutcome::Stage::kOpenRequest) {
        if (out.error_code != 0)
            LogSystemError("CInternetAccess::GetRequest", out.error_code, out.error_text.c_str());
        return Fail(kOpenRequestFailed, "CInternetAccess::GetRequest");
    }

    bytes_sent_ = static_cast<std::int32_t>(out.bytes_sent);
    bytes_received_ = static_cast<std::int32_t>(out.bytes_received);
    const char* error_text = out.error_text.c_str();

    HRESULT result = S_OK;
    if (FAILED(t.failure)) {
        result = t.failure;  // already logged where it arose
    } else if (out.kept_connection_broke && !t.head_started && !fresh_connection) {
        // A kept-alive connection that the server had closed: the request
        // broke off while it went out and nothing came back, so the server
        // never took it whole.  The caller sends it once more.
        LogSystemError("CInternetAccess::SendHTTPRequest", out.error_code, error_text);
        *may_resend = true;
        result = kSendFailed;
    } else if (out.past_deadline) {
        ReportCodeText(log, kSendFailed,
                       t.head_done ? "CInternetAccess::WriteToRespStreamFromNet"
                                   : "CInternetAccess::SendHTTPRequest",
                       "Communication error: request not finished within its time limit of "
                       "%.0f seconds, %llu bytes sent, %llu bytes of response body received.",
                       out.deadline_seconds, static_cast<unsigned long long>(out.body_sent),
                       static_cast<unsigned long long>(t.body_bytes));
        result = kSendFailed;
    } else if (!t.head_done && t.head_started) {
        // Part of an answer came, but its head never ended: there is no
        // status to report, so this is no HTTP answer at all.
        if (out.failed)
            LogSystemError("CInternetAccess::GetHTTPResponse", out.error_code, error_text);
        ReportCodeText(log, kSendFailed, "CInternetAccess::GetHTTPResponse",
                       "Communication error: connection closed before the response headers "
                       "were complete, headers cut short.");
        result = kSendFailed;
    } else if (!t.head_done) {
        LogSystemError("CInternetAccess::SendHTTPRequest", out.error_code,
                       out.failed ? error_text : "no response from server");
        result = Fail(kSendFailed, "CInternetAccess::SendHTTPRequest");
    } else if (out.failed) {
        // The answer began but its body did not arrive whole: the
        // connection closed early or went too slow.  What arrived is kept,
        // but the exchange is not a success.
        LogSystemError("CInternetAccess::WriteToRespStreamFromNet", out.error_code, error_text);
        if (out.idle_timeout)
            ReportCodeText(log, kSendFailed, "CInternetAccess::WriteToRespStreamFromNet",
                           "Communication error: less than %ld bytes per second received from "
                           "server for %ld seconds, response body cut short after %llu bytes.",
                           out.limits.min_speed, out.limits.idle_seconds,
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
