// CInternetAccess: the HTTP request engine (see internet_access.h).  This
// file holds construction, configuration and the header lists; the exchange
// itself is in exchange.cpp, the HTTP client underneath in the engine file
// of the system (http_engine.h).
#include "transport/internet_access.h"

#include <string>
#include <utility>

#include "log/event_log.h"
#include "log/report.h"
#include "support/result_codes.h"
#include "transport/access_method.h"
#include "transport/engine_internal.h"
#include "transport/http_engine.h"

using namespace zel::transport;
using namespace zel::codes;
using namespace zel::log;

CInternetAccess::CInternetAccess(CEventLog* log)
    : engine_(MakeHttpEngine(log)),
      req_content_(std::make_unique<CContentStream>(log)),
      resp_content_(std::make_unique<CContentStream>(log)),
      log_(log) {
    // The response content is read-only outside a request.
    (void)resp_content_->SetMode(1);
}

CInternetAccess::~CInternetAccess() {
    Uninitialize();
    // Whatever the client keeps (connections, TLS sessions) ends now, traced
    // to the log, which outlives the engine.
    engine_.reset();
}

HRESULT CInternetAccess::Fail(HRESULT status, const char* context) {
    return ReportStatus(log_, status, context);
}

HRESULT CInternetAccess::Initialize(const char* agent, std::int32_t access_type, const char* proxy,
                                    const char* bypass) {
    constexpr const char* kContext = "CInternetAccess::Initialize";
    if (initialised_) return S_FALSE;
    Note(log_, kCategoryClientApplication, kContext, "Agent:%s", agent != nullptr ? agent : "");
    if (proxy != nullptr)
        Note(log_, kCategoryClientApplication, kContext, "Proxy:%s", proxy);
    else
        Note(log_, kCategoryClientApplication, kContext, "Proxy:no");
    ReportInfo(log_, "AccessType", OpenTypeValue(access_type), AccessTypeOpenTypeName(access_type));

    if (!engine_) return Fail(kInitFailed, kContext);
    SessionSettings settings;
    settings.agent = agent != nullptr ? agent : "";
    settings.access_type = access_type;
    settings.proxy_list = proxy != nullptr ? proxy : "";
    settings.bypass = bypass != nullptr ? bypass : "";
    int error_code = 0;
    std::string error_text;
    if (!engine_->Open(settings, &error_code, &error_text)) {
        if (error_code != 0) LogSystemError(kContext, error_code, error_text.c_str());
        return Fail(kInitFailed, kContext);
    }
    initialised_ = true;
    return S_OK;
}

HRESULT CInternetAccess::Uninitialize() {
    if (engine_) engine_->Close();
    initialised_ = false;
    return S_OK;
}

// ---- checks and plain fields -------------------------------------------

HRESULT CInternetAccess::CheckProtocol(std::int32_t protocol) {
    if (protocol < 1 || protocol > 3) return Fail(kBadProtocol, "CInternetAccess::CheckProtocol");
    if (protocol != INTERNET_PROTOCOL_HTTP)
        return Fail(kUnsupportedProtocol, "CInternetAccess::CheckProtocol");
    return S_OK;
}

HRESULT CInternetAccess::CheckPort(std::int32_t port) {
    if (port < 1 || port > 65535) return Fail(kBadPort, "CInternetAccess::CheckPort");
    return S_OK;
}

HRESULT CInternetAccess::CheckHTTPVer(std::int32_t version) {
    if (version != HTTP_VERSION_1_0 && version != HTTP_VERSION_1_1)
        return Fail(kBadVersion, "CInternetAccess::CheckHTTPVer");
    return S_OK;
}

HRESULT CInternetAccess::CheckVerb(std::int32_t verb) {
    if (verb < HTTP_VERB_GET || verb > HTTP_VERB_HEAD)
        return Fail(kBadVerb, "CInternetAccess::CheckVerb");
    return S_OK;
}

namespace {
template <class T>
HRESULT CopyOut(CEventLog* log, const T& value, T* out, const char* context) {
    if (out == nullptr) return ReportStatus(log, kInvalidArg, context);
    *out = value;
    return S_OK;
}
}  // namespace

HRESULT CInternetAccess::SetProtocol(std::int32_t protocol) {
    HRESULT hr = CheckProtocol(protocol);
    if (SUCCEEDED(hr)) protocol_ = protocol;
    return hr;
}
HRESULT CInternetAccess::GetProtocol(std::int32_t* protocol) {
    return CopyOut(log_, protocol_, protocol, "CInternetAccess::GetProtocol");
}
HRESULT CInternetAccess::SetSecure(bool secure) {
    secure_ = secure;
    return S_OK;
}
HRESULT CInternetAccess::GetSecure(bool* secure) {
    return CopyOut(log_, secure_, secure, "CInternetAccess::GetSecure");
}
HRESULT CInternetAccess::SetHTTPVersion(std::int32_t version) {
    HRESULT hr = CheckHTTPVer(version);
    if (SUCCEEDED(hr)) http_version_ = version;
    return hr;
}
HRESULT CInternetAccess::GetHTTPVersion(std::int32_t* version) {
    return CopyOut(log_, http_version_, version, "CInternetAccess::GetHTTPVersion");
}
HRESULT CInternetAccess::SetPort(std::int32_t port) {
    HRESULT hr = CheckPort(port);
    if (SUCCEEDED(hr)) port_ = port;
    return hr;
}
HRESULT CInternetAccess::GetPort(std::int32_t* port) {
    return CopyOut(log_, port_, port, "CInternetAccess::GetPort");
}
HRESULT CInternetAccess::SetVerb(std::int32_t verb) {
    HRESULT hr = CheckVerb(verb);
    if (SUCCEEDED(hr)) verb_ = verb;
    return hr;
}
HRESULT CInternetAccess::GetVerb(std::int32_t* verb) {
    return CopyOut(log_, verb_, verb, "CInternetAccess::GetVerb");
}
HRESULT CInternetAccess::GetStatusCode(std::int32_t* code) {
    return CopyOut(log_, status_code_, code, "CInternetAccess::GetStatusCode");
}
HRESULT CInternetAccess::GetContentLength(std::int32_t* length) {
    return CopyOut(log_, content_length_, length, "CInternetAccess::GetContentLength");
}

// ---- texts ------------------------------------------------------------

HRESULT CInternetAccess::SetText(char** field, const char* text) {
    // CopyString keeps the previous text when it fails.
    return CopyString(text, field, true);
}

HRESULT CInternetAccess::SetTextW(char** field, const OLECHAR* text) {
    CStringHolder converted;
    HRESULT hr = GetStringFromWSTR(text, converted.Out(), true);
    if (FAILED(hr)) return hr;
    return CopyString(converted.get(), field, true);
}

HRESULT CInternetAccess::GetText(const char* field, char** out) {
    if (out == nullptr) return Fail(kInvalidArg, "CInternetAccess::GetText");
    *out = nullptr;
    return GetString(field, out, false);
}

HRESULT CInternetAccess::GetTextW(const char* field, BSTR* out) {
    if (out == nullptr) return Fail(kInvalidArg, "CInternetAccess::GetText");
    return GetBSTRFromString(field, out);
}

HRESULT CInternetAccess::SetServer(const char* v) {
    return SetText(&server_, v);
}
HRESULT CInternetAccess::GetServer(char** v) {
    return GetText(server_.get(), v);
}
HRESULT CInternetAccess::SetServer(const OLECHAR* v) {
    return SetTextW(&server_, v);
}
HRESULT CInternetAccess::GetServer(BSTR* v) {
    return GetTextW(server_.get(), v);
}
HRESULT CInternetAccess::SetResource(const char* v) {
    return SetText(&resource_, v);
}
HRESULT CInternetAccess::GetResource(char** v) {
    return GetText(resource_.get(), v);
}
HRESULT CInternetAccess::SetResource(const OLECHAR* v) {
    return SetTextW(&resource_, v);
}
HRESULT CInternetAccess::GetResource(BSTR* v) {
    return GetTextW(resource_.get(), v);
}
HRESULT CInternetAccess::SetUserName(const char* v) {
    return SetText(&user_name_, v);
}
HRESULT CInternetAccess::GetUserName(char** v) {
    return GetText(user_name_.get(), v);
}
HRESULT CInternetAccess::SetUserName(const OLECHAR* v) {
    return SetTextW(&user_name_, v);
}
HRESULT CInternetAccess::GetUserName(BSTR* v) {
    return GetTextW(user_name_.get(), v);
}
HRESULT CInternetAccess::SetPassword(const char* v) {
    return SetText(&password_, v);
}
HRESULT CInternetAccess::GetPassword(char** v) {
    return GetText(password_.get(), v);
}
HRESULT CInternetAccess::SetPassword(const OLECHAR* v) {
    return SetTextW(&password_, v);
}
HRESULT CInternetAccess::GetPassword(BSTR* v) {
    return GetTextW(password_.get(), v);
}
HRESULT CInternetAccess::SetReqContentType(const char* v) {
    return SetText(&req_content_type_, v);
}
HRESULT CInternetAccess::GetReqContentType(char** v) {
    return GetText(req_content_type_.get(), v);
}
HRESULT CInternetAccess::SetReqContentType(const OLECHAR* v) {
    return SetTextW(&req_content_type_, v);
}
HRESULT CInternetAccess::GetReqContentType(BSTR* v) {
    return GetTextW(req_content_type_.get(), v);
}
HRESULT CInternetAccess::GetRespContentType(char** v) {
    return GetText(resp_content_type_.get(), v);
}
HRESULT CInternetAccess::GetRespContentType(BSTR* v) {
    return GetTextW(resp_content_type_.get(), v);
}
HRESULT CInternetAccess::GetStatusText(char** v) {
    return GetText(status_text_.get(), v);
}
HRESULT CInternetAccess::GetStatusText(BSTR* v) {
    return GetTextW(status_text_.get(), v);
}

// ---- header lists -----------------------------------------------------

namespace {
template <typename List>
HRESULT CountOf(CEventLog* log, const List& list, std::int32_t* count, const char* context) {
    if (count == nullptr) return ReportStatus(log, kInvalidArg, context);
    std::uint32_t n = 0;
    HRESULT hr = list.GetCount(&n);
    if (SUCCEEDED(hr)) *count = static_cast<std::int32_t>(n);
    return hr;
}
}  // namespace

HRESULT CInternetAccess::GetHeaderCount(std::int32_t* count) {
    return CountOf(log_, resp_headers_, count, "CInternetAccess::GetHeaderCount");
}
HRESULT CInternetAccess::GetReqHeaderCount(std::int32_t* count) {
    return CountOf(log_, req_headers_, count, "CInternetAccess::GetReqHeaderCount");
}

namespace {
// Copies a header item's texts out; on failure neither output is kept.
HRESULT ItemText(const char* name, const char* value, char** out_name, char** out_value) {
    CStringHolder n, v;
    HRESULT hr = GetString(name, n.Out(), false);
    if (SUCCEEDED(hr)) hr = GetString(value, v.Out(), false);
    if (FAILED(hr)) return hr;
    *out_name = n.release();
    *out_value = v.release();
    return S_OK;
}
HRESULT ItemTextW(const char* name, const char* value, BSTR* out_name, BSTR* out_value) {
    zel::CBstr n, v;
    HRESULT hr = GetBSTRFromString(name, n.Out());
    if (SUCCEEDED(hr)) hr = GetBSTRFromString(value, v.Out());
    if (FAILED(hr)) return hr;
    *out_name = n.release();
    *out_value = v.release();
    return S_OK;
}
}  // namespace

HRESULT CInternetAccess::GetHeader(std::int32_t index, char** name, char** value) {
    if (name == nullptr || value == nullptr) return Fail(kInvalidArg, "CInternetAccess::GetHeader");
    HeaderItem* item = nullptr;
    HRESULT hr = resp_headers_.GetAt(index, &item);
    return FAILED(hr) ? hr : ItemText(item->name.get(), item->value.get(), name, value);
}
HRESULT CInternetAccess::GetHeaderByBSTR(std::int32_t index, BSTR* name, BSTR* value) {
    if (name == nullptr || value == nullptr)
        return Fail(kInvalidArg, "CInternetAccess::GetHeaderByBSTR");
    HeaderItem* item = nullptr;
    HRESULT hr = resp_headers_.GetAt(index, &item);
    return FAILED(hr) ? hr : ItemTextW(item->name.get(), item->value.get(), name, value);
}
HRESULT CInternetAccess::GetReqHeader(std::int32_t index, char** name, char** value) {
    if (name == nullptr || value == nullptr)
        return Fail(kInvalidArg, "CInternetAccess::GetReqHeader");
    HeaderItem* item = nullptr;
    HRESULT hr = req_headers_.GetAt(index, &item);
    return FAILED(hr) ? hr : ItemText(item->name.get(), item->value.get(), name, value);
}
HRESULT CInternetAccess::GetReqHeaderByBSTR(std::int32_t index, BSTR* name, BSTR* value) {
    if (name == nullptr || value == nullptr)
        return Fail(kInvalidArg, "CInternetAccess::GetReqHeaderByBSTR");
    HeaderItem* item = nullptr;
    HRESULT hr = req_headers_.GetAt(index, &item);
    return FAILED(hr) ? hr : ItemTextW(item->name.get(), item->value.get(), name, value);
}

namespace {
bool EmptyAfterTrim(const char* text) {
    if (text == nullptr) return true;
    for (const char* p = text; *p != '\0'; ++p)
        if (*p != ' ' && *p != '\t') return false;
    return true;
}
}  // namespace

HRESULT CInternetAccess::AddReqHeader(const char* name, const char* value, std::int32_t* index) {
    if (EmptyAfterTrim(name) || EmptyAfterTrim(value))
        return Fail(kInvalidArg, "CInternetAccess::ValidateString");
    // A line break inside a header would let the caller's text start a new
    // header (or end the head early); such a header is refused.
    for (const char* t : {name, value})
        for (const char* p = t; *p != '\0'; ++p)
            if (*p == '\r' || *p == '\n')
                return Fail(kInvalidArg, "CInternetAccess::ValidateString");
    auto item = std::make_unique<HeaderItem>();
    HRESULT hr = item->SetName(name);
    if (SUCCEEDED(hr)) hr = item->SetValue(value);
    if (FAILED(hr)) return hr;
    std::int32_t at = -1;
    hr = req_headers_.Add(std::move(item), &at);
    if (FAILED(hr)) return hr;
    if (index != nullptr) *index = at;
    return S_OK;
}

HRESULT CInternetAccess::AddReqHeader(const OLECHAR* name, const OLECHAR* value,
                                      std::int32_t* index) {
    CStringHolder n, v;
    HRESULT hr = S_OK;
    if (name != nullptr) hr = GetStringFromWSTR(name, n.Out(), true);
    if (SUCCEEDED(hr) && value != nullptr) hr = GetStringFromWSTR(value, v.Out(), true);
    if (FAILED(hr)) return hr;
    return AddReqHeader(n.get(), v.get(), index);
}

HRESULT CInternetAccess::RemoveReqHeader(std::int32_t index) {
    // A bad index is refused (and reported once) by the list.
    return req_headers_.RemoveAt(index);
}

HRESULT CInternetAccess::RemoveAllReqHeaders() {
    return req_headers_.RemoveAll();
}

// ---- contents ---------------------------------------------------------

HRESULT CInternetAccess::ClearReqContent() {
    return req_content_->SetLength(0);
}

HRESULT CInternetAccess::SetReqContent(CContentStream* source) {
    HRESULT hr = ClearReqContent();
    return FAILED(hr) ? hr : req_content_->Write(source);
}
HRESULT CInternetAccess::SetReqContent(const char* path) {
    HRESULT hr = ClearReqContent();
    return FAILED(hr) ? hr : req_content_->Write(path);
}
HRESULT CInternetAccess::SetReqContent(const void* buffer, std::int32_t count) {
    HRESULT hr = ClearReqContent();
    if (FAILED(hr)) return hr;
    std::int32_t written = 0;
    return req_content_->Write(buffer, count, &written);
}

HRESULT CInternetAccess::GetReqContent(CContentStream** stream) {
    if (stream == nullptr) return Fail(kInvalidArg, "CInternetAccess::GetReqContent");
    *stream = req_content_.get();
    return S_OK;
}
HRESULT CInternetAccess::GetRespContent(CContentStream** stream) {
    if (stream == nullptr) return Fail(kInvalidArg, "CInternetAccess::GetRespContent");
    *stream = resp_content_.get();
    return S_OK;
}

HRESULT CInternetAccess::SetRespRedirect(const char* path) {
    return resp_content_->SetRedirect(path, false, false);
}
HRESULT CInternetAccess::SetRespRedirect(const OLECHAR* path) {
    CStringHolder p;
    HRESULT hr = GetStringFromWSTR(path, p.Out(), false);
    return FAILED(hr) ? hr : SetRespRedirect(p.get());
}
HRESULT CInternetAccess::CloseRespRedirect() {
    return resp_content_->CloseRedirect();
}

HRESULT CInternetAccess::SetRespSink(CContentSink* sink) {
    return resp_content_->SetSink(sink);
}
HRESULT CInternetAccess::CloseRespSink() {
    return resp_content_->CloseSink();
}

HRESULT CInternetAccess::SetReqRedirect(const char* path, bool append, bool read_only) {
    return req_content_->SetRedirect(path, append, read_only);
}
HRESULT CInternetAccess::SetReqRedirect(const OLECHAR* path, bool append, bool read_only) {
    CStringHolder p;
    HRESULT hr = GetStringFromWSTR(path, p.Out(), false);
    return FAILED(hr) ? hr : SetReqRedirect(p.get(), append, read_only);
}
HRESULT CInternetAccess::CloseReqRedirect() {
    return req_content_->CloseRedirect();
}
