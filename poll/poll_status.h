// Result codes of the Poll component and the catalogue texts they are
// reported with.
//
// The codes are observable: callers compare them and the low 14 bits end up
// in result files, so they are never renumbered.  A status maps to a text by
// the first table that knows it: this component's, then the server
// directory's, the transport's and the support library's.  Nothing here
// fails or owns anything.
#pragma once

#include <cstdint>

#include "support/result.h"

class CEventLog;

namespace zel::poll {

inline constexpr HRESULT kInvalidFileName = MakeResult(0x801F8161);   // 157
inline constexpr HRESULT kOpenClientKey = MakeResult(0x8020815F);     // 150
inline constexpr HRESULT kGetWorkDir = MakeResult(0x80208160);        // 151
inline constexpr HRESULT kOpenLogFile = MakeResult(0x80208162);       // 159
inline constexpr HRESULT kPasswordFormat = MakeResult(0x80208164);    // 229
inline constexpr HRESULT kChecksumMismatch = MakeResult(0x80208166);  // 231
inline constexpr HRESULT kXmlInvalid = MakeResult(0x80248165);        // 230
// Shared with the support library.
inline constexpr HRESULT kInvalidArg = MakeResult(0x801F811D);   // 225
inline constexpr HRESULT kOutOfMemory = MakeResult(0x8020811E);  // 223
// A step of the operation that this build does not carry yet.  It is a
// failure, so a caller never mistakes a missing step for a transfer done.
inline constexpr HRESULT kNotImplemented = MakeResult(0x80004001);  // E_NOTIMPL

// A fault answered by the server: 0x80244000 plus its error number.
constexpr HRESULT ServerFaultResult(std::uint32_t number) {
    return MakeResult(0x80244000u + (number & 0x3FFFu));
}
// Category (bits 16-28) and number (bits 0-13) of a status.
constexpr int StatusCategory(HRESULT status) {
    return static_cast<int>((ResultBits(status) >> 16) & 0x1FFFu);
}
constexpr int StatusNumber(HRESULT status) {
    return static_cast<int>(ResultBits(status) & 0x3FFFu);
}

// Messages the component writes besides its error texts.
inline constexpr unsigned kMsgServerResponse = 158;  // "...HTTP response code: %d."
inline constexpr unsigned kMsgNoPollFiles = 243;
inline constexpr unsigned kMsgOperationOk = 267;
inline constexpr unsigned kMsgOperationFailed = 268;
inline constexpr unsigned kMsgHttpError = 278;
inline constexpr unsigned kMsgSupportNotConfigured = 281;

// Catalogue ID for status from this component's table alone; 0 when unknown.
[[nodiscard]] unsigned PollMessageId(HRESULT status);
// Catalogue ID for status from the four tables in order; 0 when none knows it.
[[nodiscard]] unsigned MessageIdFor(HRESULT status);

// Writes the error entry for status (its catalogue text) with the context
// and returns status unchanged.  A missing log or unknown status writes
// nothing.
HRESULT LogStatus(CEventLog* log, HRESULT status, const char* context);
// A progress entry: catalogue text message_id at severity 4, category Client
// Application, written only while the log's debug messages are on.
void Trace(CEventLog* log, const char* context, unsigned message_id, ...);

}  // namespace zel::poll
