// ".dtz" files: single files packed in the gzip format through zlib.
//
// Upload files are packed before sending, downloaded ".dtz" files are
// unpacked, and the console client unpacks one by hand.  Neither routine
// reports to the log: callers turn the small result numbers below into their
// own records or messages.  A destination that a failure deleted is never
// left behind; one that was never created is not touched.
#pragma once

#include <cstdint>

#include "platform/fs.h"

// Compression level used when ferrun.conf has no usable "compression" value.
inline constexpr int kDefaultCompressionLevel = 6;

// Results of CompressFile and DecompressFile.
enum : int {
    kCompressOk = 0,
    kCompressSourceOpenFailed = 1,  // the source cannot be opened
    kCompressDestCreateFailed = 2,  // the destination cannot be created
    kCompressWriteFailed = 3,       // writing failed (destination deleted)
    kCompressReadFailed = 4,        // reading/inflating failed (destination deleted)
};

// Packs source into destination (created or truncated) as one gzip member at
// level (0 to 9; values outside are brought into that range; 0 writes stored
// blocks).  Returns 0, 1 (source cannot be opened), 2 (destination cannot be
// created as a gzip file), 3 (writing, or finishing the gzip file, failed) or
// 4 (reading the source failed).  Only a regular file is taken as the source
// (anything else, a symbolic link too, gives 1: a link is never followed, so
// an upload cannot pack what a link in its directory points to) or replaced
// as the destination (anything else gives 2); a destination that is the
// source itself, under any name, gives 2 and leaves the source as it was.
[[nodiscard]] int CompressFile(const char* source, const char* destination, int level);

// What CompressFile knows of the packed file it has just written, so that
// its sender need not read it again: the CRC-32 of its bytes, and the
// version of the file it wrote them to.  Known only for a file packed in one
// stream (a file packed on every core is not: its CRC-32 would have to be
// combined from the written blocks).  The CRC-32 stands for the file only
// while the file still has that version.
struct PackedFacts {
    bool known = false;
    std::uint32_t crc = 0;
    zel::fs::FileVersion version;
};
// CompressFile, filling *facts (when given) on success.
[[nodiscard]] int CompressFile(const char* source, const char* destination, int level,
                               PackedFacts* facts);

// True when packed is a gzip file whose unpacked bytes are exactly the bytes
// of plain: a packed copy of it.  Neither name may be a symbolic link.  False
// when they differ, when packed is not in the gzip format or is damaged, or
// when either cannot be read.  Reads both in pieces; changes nothing.
[[nodiscard]] bool IsPackedCopyOf(const char* packed, const char* plain);

// Unpacks a gzip file into destination (created or truncated).  A source that
// is not in the gzip format is copied unchanged.  Returns 0, 1 (source cannot
// be opened, or is a directory; the destination is not touched), 2
// (destination cannot be created), 3 (writing the destination failed) or 4
// (reading or inflating the source failed, including a gzip file that ends
// early or fails its check).  A source that is not a regular file gives 1;
// a destination that is not a regular file, or is the source itself under
// any name, gives 2, with the source left as it was.
[[nodiscard]] int DecompressFile(const char* source, const char* destination);

// The "compression" value of the configuration file at conf_path: the level
// for packing upload files, 0 meaning "send unpacked".  Read afresh at each
// call; kDefaultCompressionLevel when the file or a usable value is missing.
[[nodiscard]] int ReadCompressionLevel(const char* conf_path);
