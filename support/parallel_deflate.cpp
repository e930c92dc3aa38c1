// Parallel packing into one gzip member: see parallel_deflate.h.  The calling
// thread reads blocks and hands each (with the 32 KiB before it as its
// dictionary) to a pool of worker threads, then writes the deflated blocks
// out in their order.  At most 2 blocks per thread are in flight, so memory
// is bounded by the thread count, not by the file.  A failure of any kind
// (a read, a write, a block's deflate, memory) ends the call with its result
// once the workers have been joined; the caller deletes the partial member.
#include "support/parallel_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/system.h"
#include "support/compress.h"

namespace zel::pack {

namespace {

constexpr std::size_t kWindow = 32768;

// One block of the file: its input (after the dictionary), its compressed
// output and CRC-32, and whether deflating it worked.
struct Block {
    std::vector<unsigned char> dictionary;
    std::vector<unsigned char> input;
    std::vector<unsigned char> output;
    uLong crc = 0;
    bool last = false;
    bool ok = false;
    bool done = false;  // guarded by the pool's mutex once handed over
};

// Owns a deflate stream for one block.
class Deflater {
  public:
    Deflater() = default;
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater() {
        if (live_) (void)deflateEnd(&stream_);
    }
    // window_bits as deflateInit2 takes them: -15 for raw deflate, 31 for
    // a gzip stream.
    bool Begin(int level, int window_bits) {
        std::memset(&stream_, 0, sizeof stream_);
        live_ =
            deflateInit2(&stream_, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        return live_;
    }
    z_stream* get() { return &stream_; }

  private:
    z_stream stream_{};
    bool live_ = false;
};

void DeflateBlock(Block* block, int level) {
    block->ok = false;
    block->crc = crc32(0L, block->input.data(), static_cast<uInt>(block->input.size()));
    Deflater deflater;
    // Raw deflate: the gzip wrapper is written once for the whole file by
    // the caller.
    if (!deflater.Begin(level, -15)) return;
    z_stream* z = deflater.get();
    if (!block->dictionary.empty() &&
        deflateSetDictionary(z, block->dictionary.data(),
                             static_cast<uInt>(block->dictionary.size())) != Z_OK)
        return;
    // Room for the worst case, plus the sync flush's empty stored block.
    const uLong bound = deflateBound(z, static_cast<uLong>(block->input.size())) + 16;
    try {
        block->output.resize(bound);
    } catch (const std::bad_alloc&) {
        return;
    }
    z->next_in = block->input.data();
    z->avail_in = static_cast<uInt>(block->input.size());
    z->next_out = block->output.data();
    z->avail_out = static_cast<uInt>(block->output.size());
    // Z_SYNC_FLUSH ends every block but the last on a byte boundary without
    // marking it final, so the next block's bits may follow directly.
    const int rc = deflate(z, block->last ? Z_FINISH : Z_SYNC_FLUSH);
    // A flush that filled the buffer to its last byte may not be complete
    // (zlib asks for another call then); the bound leaves room, so such a
    // block is taken as failed rather than cut.
    const bool done =
        block->last ? rc == Z_STREAM_END : rc == Z_OK && z->avail_in == 0 && z->avail_out != 0;
    if (!done) return;
    block->output.resize(block->output.size() - z->avail_out);
    block->ok = true;
}

// The worker threads of one call: they take blocks from a queue in order and
// deflate them; the calling thread reads blocks in, and writes finished ones
// out in their order, so reading, deflating and writing overlap.  Joined by
// the destructor, whatever the calling thread's way out.
class WorkerPool {
  public:
    WorkerPool(int level, unsigned threads) : level_(level) {
        for (unsigned t = 0; t < threads; ++t) {
            try {
                threads_.emplace_back([this] { Work(); });
            } catch (const std::system_error&) {
                break;  // fewer threads; with none the caller deflates itself
            }
        }
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }
    // Hands block over; with no worker running it is deflated here and now.
    void Submit(Block* block) {
        if (threads_.empty()) {
            DeflateBlock(block, level_);
            block->done = true;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(block);
        }
        ready_.notify_one();
    }
    // Waits until block is deflated.
    void Await(Block* block) {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [block] { return block->done; });
    }

  private:
    void Work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            Block* block = queue_.front();
            queue_.pop_front();
            lock.unlock();
            DeflateBlock(block, level_);
            lock.lock();
            block->done = true;
            finished_.notify_all();
        }
    }

    const int level_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable finished_;
    std::deque<Block*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Fills block with up to kParallelBlock bytes of in_fd.  Returns the count
// read (0 at the end of the file) or -1 on a read error.
long long ReadBlock(int in_fd, std::vector<unsigned char>* input) {
    input->resize(kParallelBlock);
    std::size_t got = 0;
    while (got < kParallelBlock) {
        const long n = zel::fs::ReadSome(in_fd, input->data() + got, kParallelBlock - got);
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    input->resize(got);
    return static_cast<long long>(got);
}

void PutLittleEndian(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The gzip header exactly as zlib's own gzip writer makes it at this level
// (no name, no time, the extra flags telling the level's kind, this
// system's code), so that a file packed in parallel starts as one packed in
// one stream: taken from an empty gzip stream of zlib's.
bool WriteHeader(int out_fd, int level) {
    Deflater deflater;
    if (!deflater.Begin(level, 15 + 16)) return false;
    z_stream* z = deflater.get();
    unsigned char empty[64];
    z->next_in = empty;
    z->avail_in = 0;
    z->next_out = empty;
    z->avail_out = sizeof empty;
    if (deflate(z, Z_FINISH) != Z_STREAM_END || sizeof empty - z->avail_out < 10) return false;
    return zel::fs::WriteAll(out_fd, empty, 10) == 0;
}

}  // namespace

unsigned PackingThreads() {
    // Asked once: the library reads the system's list of cores each time,
    // and the packing pass asks for every file it packs.
    static const unsigned n =
        std::clamp(std::thread::hardware_concurrency(), 1u, kMaxPackingThreads);
    return n;
}

namespace {

// The body of DeflateInParallel, which may meet bad_alloc.
int Deflate(int in_fd, int out_fd, int level, unsigned threads) {
    if (!WriteHeader(out_fd, level)) return kCompressWriteFailed;

    // Blocks in flight, oldest first: twice the threads keeps every worker
    // busy while the oldest is written out, and bounds the memory.
    const std::size_t in_flight = 2 * static_cast<std::size_t>(threads);
    std::deque<std::unique_ptr<Block>> flight;
    uLong crc = crc32(0L, Z_NULL, 0);
    std::uint64_t total = 0;
    // The last kWindow bytes read so far: the next block's dictionary.
    std::vector<unsigned char> tail;
    tail.reserve(2 * kWindow);
    // One block is read ahead, so that a block knows whether it is the last.
    std::vector<unsigned char> ahead;
    if (ReadBlock(in_fd, &ahead) < 0) return kCompressReadFailed;
    bool at_end = false;
    // Declared after the blocks: its destructor joins the workers before the
    // blocks they may still hold go away, whichever way this returns.
    WorkerPool pool(level, threads);
    while (!at_end || !flight.empty()) {
        while (!at_end && flight.size() < in_flight) {
            flight.push_back(std::make_unique<Block>());
            Block* block = flight.back().get();
            block->dictionary = tail;
            block->input.swap(ahead);
            if (ReadBlock(in_fd, &ahead) < 0) return kCompressReadFailed;
            // An empty file is one empty, final block.
            block->last = ahead.empty();
            at_end = block->last;
            // The window is the last 32 KiB of everything before the next
            // block: a block cut short by a file that grew while it was read
            // is followed by more, and still primes the next block with the
            // bytes that really precede it.
            const std::vector<unsigned char>& in = block->input;
            if (in.size() >= kWindow) {
                tail.assign(in.end() - static_cast<std::ptrdiff_t>(kWindow), in.end());
            } else {
                tail.insert(tail.end(), in.begin(), in.end());
                if (tail.size() > kWindow)
                    tail.erase(tail.begin(), tail.end() - static_cast<std::ptrdiff_t>(kWindow));
            }
            // Queued last: a block is in flight (and outlives the workers)
            // before any worker can see it.
            pool.Submit(block);
        }
        Block* oldest = flight.front().get();
        pool.Await(oldest);
        if (!oldest->ok) return kCompressWriteFailed;
        if (zel::fs::WriteAll(out_fd, oldest->output.data(), oldest->output.size()) != 0)
            return kCompressWriteFailed;
        crc = crc32_combine(crc, oldest->crc, static_cast<z_off_t>(oldest->input.size()));
        total += oldest->input.size();
        flight.pop_front();
        // The fault campaign may kill the packing here, with part of the
        // member written.
        zel::sys::StopPoint("pack-block-written");
    }
    unsigned char trailer[8];
    PutLittleEndian(trailer, static_cast<std::uint32_t>(crc));
    PutLittleEndian(trailer + 4, static_cast<std::uint32_t>(total & 0xffffffffu));
    return zel::fs::WriteAll(out_fd, trailer, sizeof trailer) == 0 ? kCompressOk
                                                                   : kCompressWriteFailed;
}

}  // namespace

int DeflateInParallel(int in_fd, int out_fd, int level, unsigned threads) {
    threads = std::clamp(threads, 1u, kMaxPackingThreads);
    level = std::clamp(level, 1, 9);
    try {
        return Deflate(in_fd, out_fd, level, threads);
    } catch (const std::bad_alloc&) {
        return kCompressWriteFailed;  // as zlib's own writer reports no memory
    }
}

}  // namespace zel::pack
