// Names and numbers of the central side that zelsim plays: the document
// paths, the four transfer operations and the server's fault numbers.
#pragma once

namespace zelsim {

inline constexpr const char* kServerListPath = "/qvgqa/RetrieveServerInformation.xml";
inline constexpr const char* kSystemInfoPath = "/qvgqa/RetrieveSystemInformation.xml";
inline constexpr const char* kQueryListPath = "/qvgqa/RetrieveQueryInformation.xml";
inline constexpr const char* kOperationBase = "/qvgqa/poll/";

inline constexpr const char* kGetFileList = "GetFileListFromQuvaro";
inline constexpr const char* kGetFile = "GetFileFromQuvaro";
inline constexpr const char* kPutFile = "PutFileFromDealer";
inline constexpr const char* kPostProcess = "PostProcessQuvaroFile";
inline constexpr const char* kOperations[] = {kGetFileList, kGetFile, kPutFile, kPostProcess};

// Error numbers of the server's SOAP faults.  2001 is what the dealer side
// takes as "nothing published"; the others are this simulator's own.
inline constexpr int kErrNoFiles = 2001;
inline constexpr int kErrChecksum = 3001;
inline constexpr int kErrBadRequest = 3002;
inline constexpr int kErrNotPublished = 3003;
inline constexpr int kErrStore = 3004;

}  // namespace zelsim
