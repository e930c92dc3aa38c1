// Packing one large file on every core: a single gzip member whose deflate
// stream is cut into blocks that are compressed side by side.  Each block is
// primed with the last 32 KiB of the input before it, so the blocks compress
// almost as well as one stream; each but the last ends on a byte boundary
// (a sync flush), so their outputs simply follow one another, and the CRC-32
// of the whole is combined from the blocks' own.  Any gzip reader unpacks
// the result to the original bytes.  Owns its threads and buffers for the
// length of one call; memory stays within a few blocks per thread whatever
// the file's size.
#pragma once

#include <cstddef>

namespace zel::pack {

// Bytes of input per block.
inline constexpr std::size_t kParallelBlock = 256 * 1024;

// Files from this size up are worth the threads; smaller ones are packed in
// one stream as before.
inline constexpr long long kParallelThreshold = 1024 * 1024;

// At most this many threads pack one file.  Each holds about 1.5 MiB (two
// blocks in and out, its window and zlib's state), so this keeps a
// packing run's memory near 12 MiB on any machine; past a few cores the
// disk and the network, not deflate, set the pace of an upload.
inline constexpr unsigned kMaxPackingThreads = 8;

// The number of threads worth using on this machine: its cores, at least 1
// and at most kMaxPackingThreads.
[[nodiscard]] unsigned PackingThreads();

// Reads in_fd from its current position to its end and writes one gzip
// member of it at level (1 to 9) to out_fd, with up to threads (at most
// kMaxPackingThreads) blocks compressed at once.  Returns kCompressOk, kCompressReadFailed (reading
// in_fd failed), or kCompressWriteFailed (writing out_fd failed, or zlib or
// the system could not give the memory); on failure out_fd holds a partial
// member that the caller deletes.
[[nodiscard]] int DeflateInParallel(int in_fd, int out_fd, int level, unsigned threads);

}  // namespace zel::pack
