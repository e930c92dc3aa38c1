// The state of one HTTP exchange while the engine underneath runs it.
//
// CInternetAccess::PerformRequest (exchange.cpp) makes one Transfer per
// request and hands it to the engine (http_engine.h) as the request's
// events: the request body is read from the request content, the head of
// the answer is checked and the body gathered into the response content
// here, the same for every engine.  The Transfer owns the body buffer; it
// borrows the CInternetAccess, which outlives it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/http_engine.h"
#include "transport/internet_access.h"

struct CInternetAccess::Transfer final : zel::transport::ExchangeEvents {
    CInternetAccess* engine = nullptr;  // borrowed
    // The request goes out on a new connection, never on a kept one.
    bool fresh_connection = false;

    // Request body.
    std::int32_t request_length = 0;
    std::int32_t sent = 0;

    bool head_started = false;  // some header bytes of an answer arrived
    bool head_done = false;     // the head of the final answer is complete

    // A failure found inside an event, already logged; it ends the transfer.
    HRESULT failure = S_OK;

    // Response body, gathered in one 256 KiB buffer.
    std::unique_ptr<char[]> body;
    std::int32_t body_used = 0;
    bool body_open = false;  // the response content was made writable
    std::uint64_t body_bytes = 0;
    // The body length the final answer announced; -1 for none (yet).
    std::int64_t announced_body = -1;

    // Writes the buffered body piece to the response content.
    [[nodiscard]] HRESULT FlushBody();

    // zel::transport::ExchangeEvents
    [[nodiscard]] bool StartSending() override;
    [[nodiscard]] long ReadBody(char* buffer, std::size_t max) override;
    [[nodiscard]] bool RewindBody(std::uint64_t offset) override;
    void Notify(zel::transport::Notification what, const std::string& info) override;
    void HeadStarted() override { head_started = true; }
    // Checks the head and makes the response content ready for the body.
    [[nodiscard]] bool HeadComplete(const zel::transport::ResponseHead& head,
                                    std::int64_t bytes_sent) override;
    [[nodiscard]] bool Body(const char* data, std::size_t size) override;
    // Tells the transfer observer, when there is one, the counts so far.
    void Progress() override;

    CEventLog* log() const { return engine->log_; }
    CContentStream* request() const { return engine->req_content_.get(); }
};
