// The upload's packing pass (see upload_packing.h): each file packed under
// its packing name, one file-system flush, the ".dtz" names, one directory
// flush, then the originals deleted.  Small files are packed side by side
// on every core.  The points where the fault campaign may kill the pass are
// marked with StopPoint.
#include "poll/upload_packing.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "log/report.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "poll/temp_names.h"
#include "support/compress.h"
#include "support/lock.h"
#include "support/parallel_deflate.h"

namespace zel::poll {

namespace {

constexpr const char* kContext = "CPoll::SelectUploadFiles";

enum class PackOutcome {
    kPacked,     // "name.dtz" holds the whole packed file
    kNameTaken,  // something already had the name "name.dtz": left as it was
    kFailed,     // not packed; nothing left behind
};

// One file of the packing pass: its place in the list, its path, the
// packing name that holds its packed bytes until they are durable, and how
// it ended.
struct Packing {
    std::size_t index = 0;
    std::string path;
    std::string part;
    PackOutcome outcome = PackOutcome::kFailed;
    long long size = 0;
    int rc = kCompressWriteFailed;  // CompressFile's answer once packed
    PackedFacts facts;              // ... and what it knows of the packed file
};

// Packs one file of the pass into its packing name.
void PackOne(Packing* p, int level) noexcept {
    try {
        p->rc = CompressFile(p->path.c_str(), p->part.c_str(), level, &p->facts);
    } catch (const std::bad_alloc&) {
        p->rc = kCompressWriteFailed;  // what it wrote is removed with the rest
    }
    zel::sys::StopPoint("pack-file-packed");
}

// Packs every file of todo (each under its lock, into its packing name).  A
// file large enough to be packed on every core by itself goes alone; the
// small ones, one stream each, are packed side by side on as many threads
// as the machine has cores: for many small files deflate, not the disk, is
// the pass's cost.  Where no thread can be had the rest is packed here.
void PackAll(std::vector<Packing>* todo, int level) {
    std::vector<Packing*> small;
    for (Packing& p : *todo) {
        if (p.size >= zel::pack::kParallelThreshold) {
            PackOne(&p, level);
        } else {
            small.push_back(&p);
        }
    }
    std::atomic<std::size_t> next{0};
    const auto work = [&small, &next, level] {
        for (std::size_t i = next.fetch_add(1); i < small.size(); i = next.fetch_add(1))
            PackOne(small[i], level);
    };
    const std::size_t helpers =
        std::min<std::size_t>(zel::pack::PackingThreads(), small.size() / 2 + 1) - 1;
    std::vector<std::thread> threads;
    try {
        for (std::size_t i = 0; i < helpers; ++i) threads.emplace_back(work);
    } catch (const std::system_error&) {
        // fewer helpers, or none: this thread packs what is left
    } catch (const std::bad_alloc&) {
    }
    work();
    for (std::thread& t : threads) t.join();
}

// Gives each packed file its final name path + ".dtz", once every packed
// file's data is durable: a "name.dtz" that a power loss leaves is always
// whole.  That name is never taken over: a "name.dtz" already there is
// another file waiting to be sent (or a packed copy a stopped run left),
// which replacing would lose.  Then the directory is flushed once, so that
// no original is deleted before its packed copy's name is durable; where
// that flush fails, the packed copies go again and the originals are sent
// as they are.
void NamePackedFiles(const std::string& dir, CEventLog* log, std::vector<Packing>* packings) {
    if (packings->empty()) return;
    const int data_err = zel::fs::FlushFileSystemOf(dir);
    if (data_err != 0) {
        zel::log::Note(log, kCategoryClientApplication, kContext,
                       "Packed files could not be flushed to disk (error %d): %zu file(s) are "
                       "sent unpacked.",
                       data_err, packings->size());
    }
    zel::sys::StopPoint("pack-data-flushed");
    bool any_renamed = false;
    for (Packing& p : *packings) {
        const int err =
            data_err == 0 ? zel::fs::RenameNoReplace(p.part, p.path + ".dtz") : data_err;
        if (err != 0) {
            (void)zel::fs::RemoveFile(p.part);
            p.outcome = err == EEXIST ? PackOutcome::kNameTaken : PackOutcome::kFailed;
            if (data_err == 0 && err != EEXIST) {
                zel::log::Note(log, kCategoryClientApplication, kContext,
                               "'%s' is sent unpacked: its packed copy could not be named "
                               "(error %d).",
                               PrintableName(p.path).c_str(), err);
            }
        } else {
            p.outcome = PackOutcome::kPacked;
            any_renamed = true;
            zel::sys::StopPoint("pack-file-named");
        }
    }
    if (!any_renamed) return;
    const int dir_err = zel::fs::FlushDirectory(dir);
    if (dir_err == 0) {
        zel::sys::StopPoint("pack-names-flushed");
        return;
    }
    zel::log::Note(log, kCategoryClientApplication, kContext,
                   "The names of the packed files could not be flushed to disk (error %d): "
                   "they are sent unpacked.",
                   dir_err);
    for (Packing& p : *packings) {
        if (p.outcome != PackOutcome::kPacked) continue;
        (void)zel::fs::RemoveFile(p.path + ".dtz");
        p.outcome = PackOutcome::kFailed;
    }
}

}  // namespace

std::string PrintableName(std::string_view name) {
    std::string out(name.substr(0, 300));
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return out;
}

void PackUploadFiles(const std::string& dir, int level, CEventLog* log,
                     std::vector<std::string>* names, DeferredRemoval* removal,
                     std::vector<DeferredRemoval::Ticket>* waits,
                     std::unordered_map<std::string, PackedFacts>* facts) {
    // Every file is packed under its packing name first; one flush then
    // makes all of them durable before any gets its ".dtz" name or any
    // original goes.  Each file stays locked until its original is gone.
    std::vector<Packing> todo;
    CRecordedLocks locks(dir);
    for (std::size_t i = 0; i < names->size(); ++i) {
        const std::string& name = (*names)[i];
        if (name.find(".dtz") != std::string::npos) continue;
        std::string path = zel::paths::Join(dir, name);
        zel::fs::FileInfo info;
        if (zel::fs::GetEntryInfo(path, &info) != 0 || info.size == 0) continue;
        if (!locks.TryLock(path.c_str())) continue;
        std::string part = PackingName(path);
        todo.push_back(Packing{i, std::move(path), std::move(part), PackOutcome::kFailed, info.size,
                               kCompressWriteFailed, PackedFacts{}});
    }
    PackAll(&todo, level);
    std::vector<Packing> packings;  // in the list's order, as todo
    for (Packing& p : todo) {
        if (p.rc != kCompressOk) {
            (void)zel::fs::RemoveFile(p.part);
            Unlock(p.path.c_str());
            zel::log::Note(log, kCategoryClientApplication, kContext,
                           "'%s' is sent unpacked: packing it failed (%d).",
                           PrintableName((*names)[p.index]).c_str(), p.rc);
            continue;
        }
        packings.push_back(std::move(p));
    }
    NamePackedFiles(dir, log, &packings);
    std::vector<DeferredRemoval::Ticket> tickets(names->size(), 0);
    for (const Packing& p : packings) {
        std::string& name = (*names)[p.index];
        bool packed = p.outcome == PackOutcome::kPacked;
        if (p.outcome == PackOutcome::kNameTaken) {
            // A run killed after packing NAME.dtz but before deleting NAME
            // leaves both: NAME is then sent as that NAME.dtz.  Any other
            // NAME.dtz is a file of its own, and NAME goes unpacked.
            packed = IsPackedCopyOf((p.path + ".dtz").c_str(), p.path.c_str());
            if (!packed) {
                zel::log::Note(log, kCategoryClientApplication, kContext,
                               "'%s' is sent unpacked: another '%s.dtz' is waiting.",
                               PrintableName(name).c_str(), PrintableName(name).c_str());
            }
        }
        if (packed) {
            // The ".dtz" name is durable: the original may go, and its lock
            // after it.
            name += ".dtz";
            // Only a ".dtz" this pass wrote (not one a stopped run left).
            if (facts != nullptr && p.outcome == PackOutcome::kPacked && p.facts.known)
                (*facts)[name] = p.facts;
            tickets[p.index] = removal->Remove(p.path, p.path, "pack-original-deleted");
        } else {
            Unlock(p.path.c_str());
        }
    }
    // A NAME sent as the NAME.dtz a stopped run left names the same file as
    // NAME.dtz itself, which must be sent once only (after NAME is gone).
    // Looked up by hash: a comparison with every name kept so far would
    // cost the square of the number of files.
    std::vector<std::string> unique;
    std::vector<DeferredRemoval::Ticket> unique_waits;
    std::unordered_map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < names->size(); ++i) {
        std::string& name = (*names)[i];
        const auto [at, fresh] = seen.emplace(name, unique.size());
        if (fresh) {
            unique.push_back(std::move(name));
            unique_waits.push_back(tickets[i]);
        } else if (tickets[i] > unique_waits[at->second]) {
            unique_waits[at->second] = tickets[i];
        }
    }
    names->swap(unique);
    waits->swap(unique_waits);
}

}  // namespace zel::poll
