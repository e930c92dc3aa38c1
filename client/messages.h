// The console client's message table: the numbers of its own texts in its
// catalogue (client/messages.txt, turned into a constant table at build
// time).  The same catalogue carries the event log's vocabulary and the
// support routines' error texts, so both of the client's logs can form
// their records from it.
#pragma once

#include "log/catalogue.h"

namespace zel::client {

inline constexpr unsigned kMsgCreatingInstance = 12;  // "Creating instance of Poll COM component."
inline constexpr unsigned kMsgDone = 44;              // "done"
inline constexpr unsigned kMsgFailed = 45;            // "failed."
inline constexpr unsigned kMsgEllipsis = 47;          // ".."
inline constexpr unsigned kMsgUsage = 50;             // the usage text
inline constexpr unsigned kMsgDownloading = 82;       // "Downloading files from server."
inline constexpr unsigned kMsgUploading = 83;         // "Uploading files to server."
inline constexpr unsigned kMsgCoInitializeFailed = 84;
inline constexpr unsigned kMsgNoRequest = 86;     // neither upload nor download
inline constexpr unsigned kMsgBothRequests = 87;  // both upload and download
inline constexpr unsigned kMsgInvalidArgument = 88;

}  // namespace zel::client

// The client's catalogue (static; never freed).  Global, like the
// component's: the build generates its definition.
const CMessageCatalogue& ClientCatalogue();
