// The state of one HTTP exchange while libcurl runs it, and the RAII holders
// for the libcurl objects of one request.
//
// CInternetAccess::ProcessHTTPRequest (exchange.cpp) creates one Transfer and
// one fresh easy handle per request; the callbacks of curl_callbacks.h see
// the Transfer through their user pointer.  The Transfer owns the request's
// URL, header list, error buffer and body buffer; it borrows the engine and
// the easy handle, both of which outlive it.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/engine_internal.h"
#include "transport/internet_access.h"

namespace zel::transport {

struct CurlEasyFree {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
// Owns one easy handle; it lives only inside one ProcessHTTPRequest.
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyFree>;

struct CurlSlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistFree>;

// Appends a copy of line to list; false (list unchanged) when out of memory.
[[nodiscard]] bool AppendHeader(CurlSlistPtr& list, const std::string& line);

}  // namespace zel::transport

struct CInternetAccess::Transfer {
    CInternetAccess* engine = nullptr;  // borrowed
    CURL* curl = nullptr;               // borrowed from the request's CurlEasyPtr
    // Kept alive here because libcurl reads them during the transfer.
    std::string url;
    zel::transport::CurlSlistPtr headers;
    char error_text[CURL_ERROR_SIZE] = "";
    // The request goes out on a new connection, never on a kept one.
    bool fresh_connection = false;

    // Time limits, as read for this request, and when it began.
    zel::transport::RequestTimeouts limits{0, 0};
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool past_deadline = false;   // the progress callback ended the transfer
    double deadline_seconds = 0;  // the limit it passed

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

    // Forgets the head so far: a status line starts a new answer.
    void RestartHead();
    // Writes the buffered body piece to the response content.
    [[nodiscard]] HRESULT FlushBody();
    // The head of the final answer is complete: checks it and makes the
    // response content ready.  false ends the transfer (failure is set).
    [[nodiscard]] bool CompleteHead();

    CEventLog* log() const { return engine->log_; }
    CContentStream* request() const { return engine->req_content_.get(); }
};
