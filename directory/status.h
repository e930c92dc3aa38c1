// Result codes of the server directory and the catalogue texts they are
// reported with, plus the directory's log entries.
//
// The codes are observable (callers and stored result files compare them),
// so they are never renumbered.  Looking up a text tries the directory's
// table first, then the transport's, then the support library's.
// Nothing here fails or owns anything.
#pragma once

#include <cstdint>

#include "support/result.h"

class CEventLog;

namespace zel::directory {

inline constexpr HRESULT kServerInfoNotFound = MakeResult(0x8020812C);      // 126
inline constexpr HRESULT kQueryInfoNotFound = MakeResult(0x8020812D);       // 127
inline constexpr HRESULT kOpenServersKey = MakeResult(0x8020812E);          // 128
inline constexpr HRESULT kOpenServerInfoKey = MakeResult(0x8020812F);       // 129
inline constexpr HRESULT kNoIPAddress = MakeResult(0x80208130);             // 130
inline constexpr HRESULT kNoProxy = MakeResult(0x80208131);                 // 131
inline constexpr HRESULT kOpenQueriesKey = MakeResult(0x80208132);          // 132
inline constexpr HRESULT kOpenQueryInfoKey = MakeResult(0x80208133);        // 133
inline constexpr HRESULT kNoQueryLocation = MakeResult(0x80208134);         // 134
inline constexpr HRESULT kNoQueryVersion = MakeResult(0x80208135);          // 135
inline constexpr HRESULT kNoSSLRequired = MakeResult(0x80208136);           // 136
inline constexpr HRESULT kNoSSLPublic = MakeResult(0x80208137);             // 137
inline constexpr HRESULT kCreateKey = MakeResult(0x80208138);               // 139
inline constexpr HRESULT kCreateQueryInfoKey = MakeResult(0x8020813A);      // 141
inline constexpr HRESULT kInterfaceNotSupported = MakeResult(0x8020813B);   // 153
inline constexpr HRESULT kQueryVersionNotFound = MakeResult(0x8020813E);    // 232
inline constexpr HRESULT kServerVersionNotFound = MakeResult(0x8020813F);   // 233
inline constexpr HRESULT kOpenServerVersionKey = MakeResult(0x80208140);    // 234
inline constexpr HRESULT kOpenQueryVersionKey = MakeResult(0x80208141);     // 235
inline constexpr HRESULT kCreateQueryVersionKey = MakeResult(0x80208142);   // 236
inline constexpr HRESULT kCreateServerInfoKey = MakeResult(0x80208143);     // 237
inline constexpr HRESULT kCreateServerVersionKey = MakeResult(0x80208144);  // 238
inline constexpr HRESULT kQueryXmlInvalid = MakeResult(0x80248139);         // 140
inline constexpr HRESULT kNoQueryUrl = MakeResult(0x8024813C);              // 155
inline constexpr HRESULT kSystemInfoXmlInvalid = MakeResult(0x8024813D);    // 156
inline constexpr HRESULT kServerXmlInvalid = MakeResult(0x80248145);        // 239

// A failure of the registry call itself (RegCreateKeyEx in CreateRegKey).
inline constexpr HRESULT kFail = MakeResult(0x80004005);  // E_FAIL
// Shared with the support library.
inline constexpr HRESULT kInvalidArg = MakeResult(0x801F811D);   // 225
inline constexpr HRESULT kOutOfMemory = MakeResult(0x8020811E);  // 223

// An HTTP error answer: 0x80258000 plus the HTTP status code.
constexpr HRESULT HttpStatusResult(std::int32_t http_status) {
    return MakeResult(0x80258000u + static_cast<std::uint32_t>(http_status & 0x3FFF));
}
// Catalogue text of an HTTP error answer (code and status text).
inline constexpr unsigned kMsgHttpError = 278;

// Catalogue ID of the text for status from the directory's table alone; 0
// when the table does not know it.
[[nodiscard]] unsigned DirectoryMessageId(HRESULT status);

// Catalogue ID for status from the directory's, the transport's and the
// support library's tables in that order; 0 when none knows it.
[[nodiscard]] unsigned MessageIdFor(HRESULT status);

// Writes the error entry for status (its catalogue text) with the context and
// returns status unchanged.  A missing log writes nothing.
HRESULT LogStatus(CEventLog* log, HRESULT status, const char* context);

// A trace: catalogue text message_id at severity 4 (debug mode only),
// category Client Application, with printf arguments.
void Trace(CEventLog* log, const char* context, unsigned message_id, ...);

// A note: a literal printf text at severity 3, category Client Application.
void Note(CEventLog* log, const char* context, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// A debug-level note: a literal text at severity 4 (debug mode only).
void DebugNote(CEventLog* log, const char* context, const char* text);

}  // namespace zel::directory
