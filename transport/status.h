// Result codes of the HTTP transport (content streams, request engine) and
// the catalogue text each one is reported with.
//
// The codes are part of the component's observable behaviour: callers and
// stored result files compare them, so they are never renumbered.
#pragma once

#include "support/result.h"

namespace zel::transport {

// Content stream.
inline constexpr HRESULT kStreamReadOnly = MakeResult(0x802080FA);   // 101
inline constexpr HRESULT kStreamWriteOnly = MakeResult(0x802080FB);  // 102
inline constexpr HRESULT kStreamLength = MakeResult(0x802080FC);     // 103
inline constexpr HRESULT kStreamRead = MakeResult(0x802080FD);       // 104
inline constexpr HRESULT kStreamWrite = MakeResult(0x802080FE);      // 105
inline constexpr HRESULT kFileOpen = MakeResult(0x802080FF);         // 106
inline constexpr HRESULT kFileRead = MakeResult(0x80208100);         // 107
inline constexpr HRESULT kStreamSeek = MakeResult(0x80208101);       // 108
inline constexpr HRESULT kStreamPos = MakeResult(0x80208102);        // 109
inline constexpr HRESULT kStreamSetLength = MakeResult(0x80208103);  // 110
inline constexpr HRESULT kStreamRedirect = MakeResult(0x802080CF);   // 118
inline constexpr HRESULT kStreamInit = MakeResult(0x802080D0);       // 119

// Request engine.
inline constexpr HRESULT kBadProtocol = MakeResult(0x801F80C8);          // 111
inline constexpr HRESULT kUnsupportedProtocol = MakeResult(0x802080C9);  // 112
inline constexpr HRESULT kBadPort = MakeResult(0x801F80CA);              // 113
inline constexpr HRESULT kBadVersion = MakeResult(0x801F80CB);           // 114
inline constexpr HRESULT kBadVerb = MakeResult(0x801F80CC);              // 115
inline constexpr HRESULT kInitFailed = MakeResult(0x802080CD);           // 116
inline constexpr HRESULT kNotInitialized = MakeResult(0x802080CE);       // 117
inline constexpr HRESULT kRespStreamWrite = MakeResult(0x802080D1);      // 120
inline constexpr HRESULT kConnectFailed = MakeResult(0x802180D2);        // 121
inline constexpr HRESULT kOpenRequestFailed = MakeResult(0x802180D3);    // 122
inline constexpr HRESULT kSendFailed = MakeResult(0x802180D4);           // 123
inline constexpr HRESULT kNoStatusCode = MakeResult(0x802480D5);         // 124
inline constexpr HRESULT kNoContentType = MakeResult(0x802480D6);        // 125
inline constexpr HRESULT kNoContentLength = MakeResult(0x802480D7);      // 152
inline constexpr HRESULT kNoStatusText = MakeResult(0x802480D8);         // 280

// Shared with the support library.
inline constexpr HRESULT kInvalidArg = MakeResult(0x801F811D);   // 225
inline constexpr HRESULT kOutOfMemory = MakeResult(0x8020811E);  // 223

// Catalogue ID of the text a transport status is reported with; 0 for a
// status this table does not know.
unsigned TransportMessageId(HRESULT status);

}  // namespace zel::transport
