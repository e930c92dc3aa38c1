// The HTTP transport: CInternetAccess, one HTTP/HTTPS exchange at a time,
// and its file-backed content streams.
//
// CInternetAccess carries one exchange between the component and a server:
// the caller configures the target (server, port, secure flag, resource,
// verb, HTTP version), fills the request header list and the request
// content, and calls Process; the engine sends the headers and the body in
// 256 KiB chunks, reads the status line, the selected response headers and
// the whole body into the response content.  It does not choose the way to
// the Internet: Initialize takes an access type code and a proxy list
// (transport/access_method.h).  The HTTP client underneath is the system's
// (transport/http_engine.h): WinInet on Windows, whose Internet handle lives
// from Initialize to Uninitialize; libcurl on Linux, where each request runs
// on its own easy handle and a share handle made by the first Initialize
// keeps connections, TLS sessions and resolved names for the engine's life,
// across Uninitialize and Initialize, so later requests reuse a kept-alive
// connection and resume their TLS sessions.
// The engine owns every text it keeps, both header lists and both content
// streams (callers borrow them); its log is borrowed.  Every failure is
// logged once where it arises and returned; a failed setter keeps the
// previous value.  Text getters return new heap strings (FreeString) or
// BSTRs (SysFreeString) that the caller owns; a null field gives null.
//
// CInternetAccess::CContentStream holds one request or response body.  It is
// always backed by a file: an anonymous temporary file that vanishes when
// closed, or, on demand, a named "redirect" file (an upload is sent straight
// from the dealer's file, a download lands straight in its target).  A mode
// (1 read-only, 2 write-only, 3 read-write) guards the direction of use.  The
// stream owns both descriptors; its log is borrowed.  Every failure is
// written once to the log and returned; the stream stays usable.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/com/bstr.h"
#include "platform/fs.h"
#include "support/list.h"
#include "support/result.h"
#include "support/strings.h"
#include "transport/content_sink.h"
#include "transport/transfer_observer.h"

class CEventLog;
namespace zel::transport {
class HttpEngine;
struct EngineRequest;
}  // namespace zel::transport

// Protocol, verb and HTTP version codes of the engine.
inline constexpr std::int32_t INTERNET_PROTOCOL_HTTP = 1;
inline constexpr std::int32_t INTERNET_PROTOCOL_FTP = 2;
inline constexpr std::int32_t INTERNET_PROTOCOL_GOPHER = 3;
inline constexpr std::int32_t HTTP_VERB_GET = 1;
inline constexpr std::int32_t HTTP_VERB_POST = 2;
inline constexpr std::int32_t HTTP_VERB_PUT = 3;
inline constexpr std::int32_t HTTP_VERB_DELETE = 4;
inline constexpr std::int32_t HTTP_VERB_HEAD = 5;
inline constexpr std::int32_t HTTP_VERSION_1_0 = 1;
inline constexpr std::int32_t HTTP_VERSION_1_1 = 2;

class CInternetAccess {
  public:
    class CContentStream;
    struct Transfer;  // the state of one request while the HTTP client runs it

    explicit CInternetAccess(CEventLog* log);
    virtual ~CInternetAccess();
    CInternetAccess(const CInternetAccess&) = delete;
    CInternetAccess& operator=(const CInternetAccess&) = delete;

    // Opens the Internet handle.  Already initialised: 1, nothing changes.
    // access_type: 1 direct, 2 and 3 the machine's proxy settings, 4 the
    // proxy list (http=host:port;https=host:port, or host:port for both).
    // bypass: hosts never sent through the proxy ("<local>": names without a
    // dot); the loopback names never are.  Failure: 0x802080CD.
    [[nodiscard]] virtual HRESULT Initialize(const char* agent, std::int32_t access_type,
                                             const char* proxy, const char* bypass);
    // Closes the Internet handle (and its cached connections); 0.
    virtual HRESULT Uninitialize();

    [[nodiscard]] virtual HRESULT SetProtocol(std::int32_t protocol);
    [[nodiscard]] virtual HRESULT GetProtocol(std::int32_t* protocol);
    [[nodiscard]] virtual HRESULT SetSecure(bool secure);
    [[nodiscard]] virtual HRESULT GetSecure(bool* secure);
    [[nodiscard]] virtual HRESULT SetHTTPVersion(std::int32_t version);
    [[nodiscard]] virtual HRESULT GetHTTPVersion(std::int32_t* version);
    [[nodiscard]] virtual HRESULT SetServer(const char* server);
    [[nodiscard]] virtual HRESULT GetServer(char** server);
    [[nodiscard]] virtual HRESULT SetServer(const OLECHAR* server);
    [[nodiscard]] virtual HRESULT GetServer(BSTR* server);
    [[nodiscard]] virtual HRESULT SetPort(std::int32_t port);
    [[nodiscard]] virtual HRESULT GetPort(std::int32_t* port);
    [[nodiscard]] virtual HRESULT SetResource(const char* resource);
    [[nodiscard]] virtual HRESULT GetResource(char** resource);
    [[nodiscard]] virtual HRESULT SetResource(const OLECHAR* resource);
    [[nodiscard]] virtual HRESULT GetResource(BSTR* resource);
    [[nodiscard]] virtual HRESULT SetVerb(std::int32_t verb);
    [[nodiscard]] virtual HRESULT GetVerb(std::int32_t* verb);
    [[nodiscard]] virtual HRESULT SetUserName(const char* user);
    [[nodiscard]] virtual HRESULT GetUserName(char** user);
    [[nodiscard]] virtual HRESULT SetUserName(const OLECHAR* user);
    [[nodiscard]] virtual HRESULT GetUserName(BSTR* user);
    [[nodiscard]] virtual HRESULT SetPassword(const char* password);
    [[nodiscard]] virtual HRESULT GetPassword(char** password);
    [[nodiscard]] virtual HRESULT SetPassword(const OLECHAR* password);
    [[nodiscard]] virtual HRESULT GetPassword(BSTR* password);
    [[nodiscard]] virtual HRESULT SetReqContentType(const char* type);
    [[nodiscard]] virtual HRESULT GetReqContentType(char** type);
    [[nodiscard]] virtual HRESULT SetReqContentType(const OLECHAR* type);
    [[nodiscard]] virtual HRESULT GetReqContentType(BSTR* type);
    [[nodiscard]] virtual HRESULT GetRespContentType(char** type);
    [[nodiscard]] virtual HRESULT GetRespContentType(BSTR* type);
    [[nodiscard]] virtual HRESULT GetStatusText(char** text);
    [[nodiscard]] virtual HRESULT GetStatusText(BSTR* text);

    // Header lists: by index, name and value as new strings.  Bad index:
    // 0x801F811D.  The response header list is never filled by the engine.
    [[nodiscard]] virtual HRESULT GetHeaderCount(std::int32_t* count);
    [[nodiscard]] virtual HRESULT GetHeader(std::int32_t index, char** name, char** value);
    [[nodiscard]] virtual HRESULT GetHeaderByBSTR(std::int32_t index, BSTR* name, BSTR* value);
    [[nodiscard]] virtual HRESULT GetReqHeaderCount(std::int32_t* count);
    [[nodiscard]] virtual HRESULT GetReqHeader(std::int32_t index, char** name, char** value);
    [[nodiscard]] virtual HRESULT GetReqHeaderByBSTR(std::int32_t index, BSTR* name, BSTR* value);
    // Appends a request header (name and value trimmed; null or empty:
    // 0x801F811D).  index (may be null) receives its position.
    [[nodiscard]] virtual HRESULT AddReqHeader(const char* name, const char* value,
                                               std::int32_t* index);
    [[nodiscard]] virtual HRESULT AddReqHeader(const OLECHAR* name, const OLECHAR* value,
                                               std::int32_t* index);
    [[nodiscard]] virtual HRESULT RemoveReqHeader(std::int32_t index);
    virtual HRESULT RemoveAllReqHeaders();

    // Request content: cleared first, then filled from the source.
    [[nodiscard]] virtual HRESULT ClearReqContent();
    [[nodiscard]] virtual HRESULT SetReqContent(CContentStream* source);
    [[nodiscard]] virtual HRESULT SetReqContent(const char* path);
    [[nodiscard]] virtual HRESULT SetReqContent(const void* buffer, std::int32_t count);
    // The engine's streams, borrowed (valid as long as the engine).
    [[nodiscard]] virtual HRESULT GetReqContent(CContentStream** stream);
    [[nodiscard]] virtual HRESULT GetRespContent(CContentStream** stream);

    [[nodiscard]] virtual HRESULT GetStatusCode(std::int32_t* code);
    [[nodiscard]] virtual HRESULT GetContentLength(std::int32_t* length);

    // Runs one exchange with the current configuration.  0 on success, also
    // for an HTTP error answer (see the status code); a failure status when
    // no usable answer arrived.
    [[nodiscard]] virtual HRESULT Process();

    // The response body goes straight into the file at path (truncated).
    [[nodiscard]] virtual HRESULT SetRespRedirect(const char* path);
    [[nodiscard]] virtual HRESULT SetRespRedirect(const OLECHAR* path);
    virtual HRESULT CloseRespRedirect();
    // The response body goes to sink (borrowed; the caller keeps it alive
    // until CloseRespSink) as it arrives, and to no file.
    [[nodiscard]] HRESULT SetRespSink(CContentSink* sink);
    HRESULT CloseRespSink();
    // Every later request reports its progress to observer (borrowed; the
    // caller keeps it alive until it sets another or null, which stops the
    // reports).  See transfer_observer.h.
    void SetTransferObserver(CTransferObserver* observer) { observer_ = observer; }
    // The request body comes from the file at path.
    [[nodiscard]] virtual HRESULT SetReqRedirect(const char* path, bool append, bool read_only);
    [[nodiscard]] virtual HRESULT SetReqRedirect(const OLECHAR* path, bool append, bool read_only);
    virtual HRESULT CloseReqRedirect();

    // The two response switches.  The registry bits replace them for the
    // duration of each response, so the registry decides.
    bool GetContentLengthSwitch() const { return query_content_length_; }
    void SetContentLengthSwitch(bool on) { query_content_length_ = on; }
    bool GetContentTypeSwitch() const { return query_content_type_; }
    void SetContentTypeSwitch(bool on) { query_content_type_ = on; }

  private:
    // One request header: a name and a value, trimmed copies owned here.
    struct HeaderItem {
        CStringHolder name;
        CStringHolder value;
        [[nodiscard]] HRESULT SetName(const char* text) { return CopyString(text, &name, true); }
        [[nodiscard]] HRESULT SetValue(const char* text) { return CopyString(text, &value, true); }
    };

    HRESULT Fail(HRESULT status, const char* context);
    HRESULT SetText(char** field, const char* text);
    HRESULT SetTextW(char** field, const OLECHAR* text);
    HRESULT GetText(const char* field, char** out);
    HRESULT GetTextW(const char* field, BSTR* out);
    HRESULT CheckProtocol(std::int32_t protocol);
    HRESULT CheckPort(std::int32_t port);
    HRESULT CheckHTTPVer(std::int32_t version);
    HRESULT CheckVerb(std::int32_t verb);
    void ResetResponse();
    // The exchange (exchange.cpp): one request through the HTTP client.
    HRESULT ProcessHTTPRequest();
    // One attempt at the request.  *may_resend is set (and the failure not
    // logged as an error) when a kept-alive connection broke before any
    // byte of an answer came back and fresh_connection was false: the
    // request never reached the server whole and may go out again.
    HRESULT PerformRequest(bool fresh_connection, bool* may_resend);
    // What goes out for the current configuration: the target, the
    // resource as it stands in the request line, and every header line.
    void DescribeRequest(const Transfer& transfer, zel::transport::EngineRequest* request) const;
    void LogSystemError(const char* context, int code, const char* message);

    bool initialised_ = false;
    // The HTTP client: the Internet handle, and whatever the system's client
    // keeps between requests.
    std::unique_ptr<zel::transport::HttpEngine> engine_;
    CStringHolder user_name_;
    CStringHolder password_;
    CStringHolder server_;
    CStringHolder resource_;
    std::int32_t protocol_ = INTERNET_PROTOCOL_HTTP;
    std::int32_t port_ = 80;
    std::int32_t status_code_ = 0;
    CStringHolder status_text_;
    std::int32_t content_length_ = 0;
    bool query_content_length_ = true;
    bool query_content_type_ = true;
    bool secure_ = false;
    std::int32_t http_version_ = HTTP_VERSION_1_0;
    COwningList<HeaderItem> req_headers_;
    COwningList<HeaderItem> resp_headers_;
    std::unique_ptr<CContentStream> req_content_;
    std::unique_ptr<CContentStream> resp_content_;
    CStringHolder req_content_type_;
    CStringHolder resp_content_type_;
    std::int32_t verb_ = HTTP_VERB_GET;
    CEventLog* log_;
    std::int32_t bytes_sent_ = 0;
    std::int32_t bytes_received_ = 0;
    CTransferObserver* observer_ = nullptr;  // borrowed, may be null
};

// It is also the byte stream that the string readers of the support library
// read whole texts from.
class CInternetAccess::CContentStream : public IByteStream {
  public:
    // Copies go through one buffer of this size; the data never sits whole
    // in memory.
    static constexpr std::int32_t kChunkSize = 262144;

    explicit CContentStream(CEventLog* log);
    ~CContentStream() override;
    CContentStream(const CContentStream&) = delete;
    CContentStream& operator=(const CContentStream&) = delete;

    // The mode that applies now (the redirect mode while redirected).
    [[nodiscard]] virtual HRESULT GetMode(std::int32_t* mode);
    // Size of the current file.  A size beyond 32 bits fails (0x802080FC)
    // rather than being reported wrapped.
    [[nodiscard]] HRESULT GetLength(std::int32_t* length) override;
    // Reads up to count bytes at the current position into buffer; *read
    // receives the count (0 at the end).
    [[nodiscard]] HRESULT Read(void* buffer, std::int32_t count, std::int32_t* read) override;
    // Appends the whole content of source, read from its current position.
    [[nodiscard]] virtual HRESULT Write(CContentStream* source);
    // Appends the whole content of the file at path.
    [[nodiscard]] virtual HRESULT Write(const char* path);
    // Writes count bytes at the current position (not flushed to disk: the
    // owner of a file that must survive a power loss flushes it once, when
    // it is complete).  written may be null.
    [[nodiscard]] virtual HRESULT Write(const void* buffer, std::int32_t count,
                                        std::int32_t* written);
    // origin 2 from the beginning, 3 from the end, any other value from the
    // current position; position (may be null) receives the new position.
    [[nodiscard]] HRESULT Seek(int origin, std::int32_t offset, std::int32_t* position) override;
    [[nodiscard]] virtual HRESULT GetCurrentPos(std::int32_t* position);
    // Truncates or zero-extends the current file; the position
    // moves to 0 (length 0) or to length - 1 when it was at or beyond length.
    [[nodiscard]] virtual HRESULT SetLength(std::int32_t length);
    // 1 read-only, 2 write-only, 3 read-write; sets the redirect mode while
    // redirected, else the temporary mode.
    [[nodiscard]] virtual HRESULT SetMode(std::int32_t mode);
    // Switches the stream to the named file (closing an earlier redirection
    // first).  On failure the stream stays on its temporary file.
    [[nodiscard]] virtual HRESULT SetRedirect(const char* path, bool append, bool read_only);
    // Back to the temporary file, whose content, position and mode are as
    // they were.  Always 0.
    virtual HRESULT CloseRedirect();
    // Sends what is written to sink (borrowed, not null) instead of a file,
    // closing a redirection first; SetLength(0) restarts the sink, Seek
    // keeps the position at the end, Read fails.  Until CloseSink.
    [[nodiscard]] HRESULT SetSink(CContentSink* sink);
    // Back to the temporary file.  Always 0.
    HRESULT CloseSink();

  private:
    int CurrentFd() const;
    std::int32_t& CurrentMode();
    HRESULT CheckInit(const char* context);
    HRESULT Fail(HRESULT status, const char* context);

    zel::fs::UniqueFd temp_file_;
    zel::fs::UniqueFd redirect_file_;
    CContentSink* sink_ = nullptr;  // borrowed from SetSink's caller
    std::int64_t sink_bytes_ = 0;
    std::int32_t temp_mode_ = 3;
    std::int32_t redirect_mode_ = 3;
    CEventLog* log_;
};
