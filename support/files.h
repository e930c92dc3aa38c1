// Files, directories and checksums: the small file-system routines shared by
// the component and the console client.
//
// Directory creation level by level, joining a directory and a file name,
// the CRC-32 of a file, and pulling the text between a pair of XML tags.
// Conventions as in strings.h: heap strings, result codes, one report per
// failure with the routine's name as the context.  GetTmpFileName lives in
// strings.h (included here).
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/result.h"
#include "support/strings.h"

// 0: nothing exists at path (it must be created); 1: path is an existing
// directory; 0x8020811B: path exists but is no directory; 0x801F811D: path
// missing or empty.  A trailing "/" does not change the answer.
[[nodiscard]] HRESULT IsCreateDirReqd(const char* path);

// Makes sure the directory exists, creating every missing level (parents
// first), and stores its full path in *out (set to none first, without
// freeing; heap string owned by the caller).  A relative path is made
// absolute against the current directory; "." and ".." are resolved by name;
// blanks after the path are dropped before anything is created.
// Missing argument: 0x801F811D; a level that names a file: 0x8020811B; a
// path too long or a level that cannot be created: 0x8020811C.  Levels made
// before a failure stay.
[[nodiscard]] HRESULT CheckDirectory(const char* path, char** out);

// *out (set to none first, without freeing) becomes the directory (trimmed),
// "/" unless it already ends with one, and the name (untrimmed).  Missing
// argument: 0x801F811D; out of memory: 0x8020811E.  On failure *out is none.
[[nodiscard]] HRESULT GetFullFileName(const char* directory, const char* name, char** out);

// CRC-32 (as in gzip) of the file's bytes into *crc; an empty file gives 0.
// Missing argument: 0x801F811D; open failure, also for anything but a regular
// file (a directory, a FIFO): 0x80208115; read failure:
// 0x8020811A (no checksum of part of a file is ever given); memory:
// 0x8020811E.  *crc is written only on success.
[[nodiscard]] HRESULT ComputeCheckSumCRC32(const char* path, std::uint32_t* crc);

// Copies the text between the first "<name>" and the first "</name>" after it
// into buffer (zero-terminated) and returns 1.  Returns 0, buffer untouched,
// when either tag is missing, an argument is missing, name is longer than 60
// characters, or the value with its terminator does not fit buffer_size.
[[nodiscard]] int GetTagValue(const char* name, const char* text, char* buffer,
                              std::size_t buffer_size);
