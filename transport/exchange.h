// The state of one HTTP exchange while libcurl runs it.
//
// CInternetAccess::ProcessHTTPRequest (exchange.cpp) creates one Transfer and
// one fresh easy handle per request; the callbacks of curl_callbacks.h see
// the Transfer through their user pointer.  The Transfer owns the request's
// connection setup (URL, header list, error buffer, time limits; see
// connection_policy.h) and body buffer; it borrows the engine and the easy
// handle, both of which outlive it.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "transport/connection_policy.h"
#include "transport/internet_access.h"

struct CInternetAccess::Transfer {
    CInternetAccess* engine = nullptr;  // borrowed
    CURL* curl = nullptr;               // borrowed from the request's CurlEasyPtr
    // URL, headers, error text, time limits and deadline: kept alive here
    // because libcurl reads them during the transfer.
    zel::transport::ConnectionSetup setup;
    // The request goes out on a new connection, never on a kept one.
    bool fresh_connection = false;

    // Request body.
    std::int32_t request_length = 0;
    std::int32_t sent = 0;
    // The header block being sent, gathered for the request-header trace.
    std::string sent_head;

    // Response head, restarted at every status line.
    bool head_started = false;  // some header bytes of an answer arrived
    bool head_done = false;     // the head of the final answer is complete
    int status = 0;
    bool have_status = false;
    std::string reason;
    bool have_length = false;
    std::string length_text;
    std::string other_length_text;  // a second Content-Length that differs
    bool have_type = false;
    std::string type_text;

    // A failure found inside a callback, already logged; it ends the transfer.
    HRESULT failure = S_OK;

    // Response body, gathered in one 256 KiB buffer.
    std::unique_ptr<char[]> body;
    std::int32_t body_used = 0;
    bool body_open = false;  // the response content was made writable
    std::uint64_t body_bytes = 0;
    // The body length the final answer announced; -1 for none (yet).
    std::int64_t announced_body = -1;

    // Forgets the head so far: a status line starts a new answer.
    void RestartHead();
    // Writes the buffered body piece to the response content.
    [[nodiscard]] HRESULT FlushBody();
    // The head of the final answer is complete: checks it and makes the
    // response content ready.  false ends the transfer (failure is set).
    [[nodiscard]] bool CompleteHead();
    // Tells the engine's transfer observer, when there is one, the counts
    // so far.
    void ReportProgress() const;

    CEventLog* log() const { return engine->log_; }
    CContentStream* request() const { return engine->req_content_.get(); }
};
