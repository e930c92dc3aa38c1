// The download's list walk (CPoll::GetFilesInList) and the post-processing
// batch that follows a download which placed files.
//
// Each listed file passes through two names: a staging file (a temporary
// owned by TempFile, so that every way out of an entry removes it), which
// receives the body as it arrives (unpacked on the way for a ".dtz" file,
// its CRC-32 taken over the bytes as sent: see download_sink.h), and its
// target path in the working directory.  The target is replaced only by a
// staging file that was verified, completely written and flushed to disk,
// in one rename; the directory is flushed after it.  A name sent by the
// server never places a file outside the working directory, nor over the
// result file.  A walk claims all the names it may fetch on the download
// guard at once (renewing the claims of the names it has not reached when
// the walk lasts long) and gives back the failed ones together at its end,
// so that the guard file is rewritten once or twice per walk rather than
// once per file.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "log/event_log.h"
#include "log/report.h"
#include "platform/fs.h"
#include "platform/owned_temp.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "poll/download_sink.h"
#include "poll/poll.h"
#include "poll/poll_status.h"
#include "poll/result_file.h"
#include "poll/temp_names.h"
#include "support/compress.h"
#include "support/files.h"
#include "support/guard.h"
#include "support/result_codes.h"

using namespace zel::poll;
using namespace zel::codes;

namespace {

constexpr const char* kContext = "CPoll::GetFilesInList";
constexpr const char* kBatchName = "postprocessdealerfiles.bat";

// The text between open and close, both searched from `from`; npos in
// *after when either tag is missing.  *after is the position behind close.
bool TagText(std::string_view text, std::size_t from, std::string_view open, std::string_view close,
             std::string* value, std::size_t* after) {
    const std::size_t start = text.find(open, from);
    if (start == std::string_view::npos) return false;
    const std::size_t end = text.find(close, start + open.size());
    if (end == std::string_view::npos) return false;
    *value = std::string(text.substr(start + open.size(), end - start - open.size()));
    *after = end + close.size();
    return true;
}

std::string Trim(const std::string& s) {
    const char* ws = " \t\r\n\f\v";
    const std::size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The name as one short line for the log: control characters become "?".
std::string Printable(const std::string& name) {
    std::string out = name.substr(0, 300);
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return out;
}

// How many "<FN>" elements the text holds, counting no further than limit
// + 1.
std::size_t CountListEntries(std::string_view text, std::size_t limit) {
    std::size_t n = 0;
    for (std::size_t at = text.find("<FN>"); at != std::string_view::npos && n <= limit;
         at = text.find("<FN>", at + 4)) {
        ++n;
    }
    return n;
}

}  // namespace

// Why a listed entry is not fetched, decided from the entry alone, before
// any name of the list is claimed on the download guard.
enum class ListedRefusal {
    kNone,
    kIncomplete,  // FT or FC missing: a malformed list
    kEmptyName,   // nothing after the last "/": the name names no file
    kUnsafeName,  // would leave the working directory or cannot be a file here
    kResultFile,  // would take the place of the result file
};

// One entry of the list walk as it was judged: its names and its place
// among the walk's claims on the download guard.
struct ListedFile {
    ListedRefusal refusal = ListedRefusal::kNone;
    std::string base;
    std::string final_name;
    bool claimed = false;
    std::size_t claim = 0;  // index of its name in the claims
};

namespace {

ListedRefusal JudgeListedEntry(const FileListEntry& entry, const char* result_name,
                               ListedFile* file) {
    if (!entry.complete) return ListedRefusal::kIncomplete;
    const bool usable = ListedFileNames(entry.fn, &file->base, &file->final_name);
    if (file->base.empty()) return ListedRefusal::kEmptyName;
    if (!usable) return ListedRefusal::kUnsafeName;
    // Names are compared as the upload's selection compares them with the
    // result file, without regard to case.
    if (EqualsNoCase(file->final_name, result_name)) return ListedRefusal::kResultFile;
    return ListedRefusal::kNone;
}

}  // namespace

std::uint32_t ParseListChecksum(const char* text) {
    const char* p = text != nullptr ? text : "";
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    std::uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<std::uint32_t>(*p - '0');
    return negative ? 0u - value : value;
}

bool IsSafeLocalName(const std::string& name) {
    if (!zel::fs::IsEntryName(name)) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

std::vector<FileListEntry> ScanFileList(std::string_view text) {
    std::vector<FileListEntry> entries;
    std::size_t pos = text.find("<FN>");
    while (pos != std::string_view::npos) {
        std::string fn_raw;
        std::size_t fn_end = 0;
        if (!TagText(text, pos, "<FN>", "</FN>", &fn_raw, &fn_end)) break;
        const std::size_t next = text.find("<FN>", fn_end);
        // The entry ends where the next one begins.
        const std::string_view entry = text.substr(0, next);
        FileListEntry e;
        e.fn = Trim(fn_raw);
        std::string ft_raw;
        std::string fc_raw;
        std::size_t ft_end = 0;
        std::size_t fc_end = 0;
        e.complete = TagText(entry, fn_end, "<FT>", "</FT>", &ft_raw, &ft_end) &&
                     TagText(entry, ft_end, "<FC>", "</FC>", &fc_raw, &fc_end);
        if (e.complete) {
            e.ft = Trim(ft_raw);
            e.fc = Trim(fc_raw);
            std::string fp_raw;
            std::size_t fp_end = 0;
            e.has_fp = TagText(entry, fn_end, "<FP>", "</FP>", &fp_raw, &fp_end);
            if (e.has_fp) e.fp = Trim(fp_raw);
        }
        entries.push_back(std::move(e));
        pos = next;
    }
    return entries;
}

bool ListedFileNames(const std::string& fn, std::string* base, std::string* final_name) {
    // Only the base name is cut, never the working directory (which may
    // itself hold ".dtz").
    const std::size_t slash = fn.rfind('/');
    *base = slash == std::string::npos ? fn : fn.substr(slash + 1);
    *final_name = *base;
    const std::size_t dtz = final_name->find(".dtz");
    if (dtz != std::string::npos) final_name->resize(dtz);
    // A file under a name of our temporaries' form would be taken for a
    // killed run's leftover and removed by the next sweep: never placed.
    return IsSafeLocalName(*base) && IsSafeLocalName(*final_name) &&
           !zel::fs::IsOwnedTempName(*final_name);
}

HRESULT CPoll::GetFilesInList(const char* list) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    HRESULT hr = CheckXMLResponse(list);
    if (FAILED(hr)) {
        if (StatusCategory(hr) == kCategoryServerResponseData && StatusNumber(hr) == 2001) {
            const char* text = log_.Catalogue().Find(kMsgNoPollFiles);
            WriteResult(kDownload, 1000, text != nullptr ? text : "");
            return S_OK;
        }
        return hr;
    }
    // A list beyond the bounds is refused whole before anything is done
    // for it: its entries would cost memory, requests and guard entries.
    const std::string_view text(list);
    if (text.size() > kMaxFileListBytes) {
        zel::log::Note(&log_, kCategoryClientApplication, kContext,
                       "File list of %zu bytes refused: the limit is %zu bytes.", text.size(),
                       kMaxFileListBytes);
        return zel::log::ReportStatus(&log_, kXmlInvalid, kContext);
    }
    const std::size_t listed = CountListEntries(text, kMaxFileListEntries);
    if (listed > kMaxFileListEntries) {
        zel::log::Note(&log_, kCategoryClientApplication, kContext,
                       "File list of more than %zu entries refused.", kMaxFileListEntries);
        return zel::log::ReportStatus(&log_, kXmlInvalid, kContext);
    }
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgDownloadingListed);

    const std::string work_dir = WorkingDirectory(kDownload);
    const std::string temp_dir = TempDirectoryFor(work_dir);
    // What a killed run left behind goes first; names of live transfers stay.
    (void)RemoveOrphanedTemporaries(temp_dir);
    if (temp_dir != work_dir) (void)RemoveOrphanedTemporaries(work_dir);

    TempFile staging(owner_only_files_);
    if (!staging.Reserve(temp_dir, kStagingPrefix)) {
        return zel::log::ReportStatus(&log_, kInvalidFileName, kContext);
    }
    const std::vector<FileListEntry> entries = ScanFileList(text);
    if (entries.empty()) return S_OK;

    // Every name the walk may fetch is claimed on the download guard at
    // once, with one rewrite of the guard file: an entry per file would
    // rewrite the whole file, which keeps other names for days, once per
    // listed file.  A concurrent run finds each name claimed from here on,
    // as it would once this walk had reached it.
    const char* result_name = result_file_ ? result_file_.get() : kDefaultResultFileName;
    std::vector<ListedFile> files(entries.size());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        files[i].refusal = JudgeListedEntry(entries[i], result_name, &files[i]);
        if (files[i].refusal == ListedRefusal::kNone) names.push_back(files[i].base);
    }
    GuardClaims claims(GetPollLayout().download_guard, kDownloadGuard);
    if (!names.empty()) {
        const std::vector<bool> claimed = claims.Claim(names);
        std::size_t k = 0;
        for (ListedFile& file : files) {
            if (file.refusal != ListedRefusal::kNone) continue;
            file.claim = k;
            file.claimed = claimed[k++];
        }
    }

    HRESULT call_status = S_OK;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const HRESULT entry_status =
            PlaceListedFile(entries[i], files[i], temp_dir, &staging, &claims);
        if (FAILED(entry_status)) call_status = entry_status;
    }
    // Names whose fetch failed are free again for the next run, all in one
    // rewrite.
    claims.Finish();
    return call_status;
}

HRESULT CPoll::PlaceListedFile(const FileListEntry& entry, const ListedFile& file,
                               const std::string& temp_dir, TempFile* staging,
                               GuardClaims* claims) {
    const std::string& fn = entry.fn;
    switch (file.refusal) {
        case ListedRefusal::kIncomplete:
            return zel::log::ReportStatus(&log_, kXmlInvalid, kContext);
        case ListedRefusal::kEmptyName:
            // No file can be asked for by an empty name: refused as the
            // request would refuse it, without a result line.
            (void)ReportCodeText(&log_, kInvalidFileName, kContext,
                                 "File name from the server names no file: '%s'.",
                                 Printable(fn).c_str());
            return kInvalidFileName;
        case ListedRefusal::kUnsafeName:
        case ListedRefusal::kResultFile:
            // A name that would leave the working directory, cannot be a
            // file name here, or would replace the result file the caller
            // reads is refused for this entry only.
            (void)ReportCodeText(&log_, kInvalidFileName, kContext,
                                 file.refusal == ListedRefusal::kResultFile
                                     ? "File name from the server is the result file's: '%s'."
                                     : "File name from the server refused: '%s'.",
                                 Printable(fn).c_str());
            WriteResult(kDownload, 1003, fn.c_str());
            return S_OK;
        case ListedRefusal::kNone:
            break;
    }
    const std::string& ft = entry.ft;
    const std::uint32_t fc = ParseListChecksum(entry.fc.c_str());
    const bool has_fp = entry.has_fp;
    const std::string& fp = entry.fp;
    const std::string& final_name = file.final_name;
    // A claimed name that is not fetched after all is given back.
    auto give_back = [&] {
        if (file.claimed) claims->GiveBack(file.claim);
    };

    CStringHolder target_holder;
    HRESULT hr =
        GetFullFileName(WorkingDirectory(kDownload), final_name.c_str(), target_holder.Out());
    if (FAILED(hr)) {
        give_back();
        return hr;
    }
    const std::string target = target_holder.get();

    if (!staging->held() && !staging->Reserve(temp_dir, kStagingPrefix)) {
        give_back();
        WriteResult(kDownload, 1005, fn.c_str());
        return S_OK;
    }
    // Another run fetched or is fetching it (also when this walk's claim
    // lapsed before it was reached and another run took the name).
    if (!file.claimed || !claims->Hold(file.claim)) return S_OK;
    if (!EqualsNoCase(ft, "Static")) {
        // Nothing was fetched, so there is nothing to check or place.
        WriteResult(kDownload, 1001, fn.c_str());
        return S_OK;
    }
    // The body goes into the staging file as it arrives, unpacked on the
    // way for a ".dtz" file, with its checksum taken over the bytes as
    // sent.  What happens next is decided in the order of a body kept
    // whole: a wrong checksum first (no result line), then a body that
    // does not unpack (1003).
    zel::fs::UniqueFd out;
    if (zel::fs::CreateForWriting(staging->path(), &out) != 0) {
        WriteResult(kDownload, 1005, fn.c_str());
        return S_OK;
    }
    DownloadSink sink;
    if (!sink.Begin(out.get(), fn.find(".dtz") != std::string::npos)) {
        return zel::log::ReportStatus(&log_, kOutOfMemory, kContext);
    }
    hr = FetchListedFile(fn.c_str(), &sink);
    if (FAILED(hr)) {
        out.reset();
        staging->Discard();
        give_back();
        return hr;
    }
    const int unpacked = sink.Finish();
    if (sink.crc() != fc) {
        out.reset();
        staging->Discard();
        return zel::log::ReportStatus(&log_, kChecksumMismatch, kContext);
    }

    // The staging file must be whole on disk before it takes the final
    // name; the rename replaces the old target (read-only or not) at once,
    // so a reader sees the old file or the new one, never neither or half.
    int err = unpacked == kCompressOk ? zel::fs::FlushToDisk(out.get()) : EIO;
    const int closed = zel::fs::CloseFile(&out);
    if (err == 0) err = closed;
    if (err == 0) err = zel::fs::RenameReplace(staging->path(), target);
    if (err != 0) {
        staging->Discard();
        WriteResult(kDownload, 1003, fn.c_str());
        return S_OK;
    }
    staging->Release();
    (void)zel::fs::FlushDirectory(WorkingDirectory(kDownload));

    if (has_fp) {
        const bool writable = fp.find_first_of("Ww") != std::string::npos;
        (void)(writable ? zel::fs::ClearReadOnly(target) : zel::fs::SetReadOnly(target));
    }

    CStringHolder envelope;
    hr = BuildPostProcessEnvelope(&log_, unit_contract_.get(), fn.c_str(), envelope.Out());
    CStringHolder response;
    if (SUCCEEDED(hr)) hr = DoPostProcessQuvaroFile(envelope.get(), response.Out(), false);
    if (SUCCEEDED(hr)) hr = CheckXMLResponse(response.get());
    if (FAILED(hr)) {
        WriteResult(kDownload, 1004, fn.c_str());
        return hr;
    }
    post_processing_ = 1;
    WriteResult(kDownload, 0, final_name.c_str());
    return S_OK;
}

void CPoll::RunPostProcessBatch() {
    std::string dir = GetPollLayout().install_dir;
    zel::reg::Key key;
    if (zel::reg::OpenKey(zel::reg::Hive::LocalMachine, kZelwayKey, &key) == zel::reg::kSuccess) {
        std::string value;
        if (zel::reg::QueryString(key, "InstallDir", &value) == zel::reg::kSuccess &&
            !value.empty()) {
            dir = value;
        }
    }
    // The batch's own working directory is the install directory, and so is
    // ours from here on, as the job runner expects.
    if (zel::fs::SetCurrentDirectory(dir) != 0) return;
    CStringHolder batch;
    if (FAILED(GetFullFileName(dir.c_str(), kBatchName, batch.Out()))) return;
    zel::fs::FileInfo info;
    if (zel::fs::GetFileInfo(batch.get(), &info) != 0 ||
        info.type != zel::fs::FileInfo::Type::kRegular)
        return;
    zel::proc::StartOptions options;
    options.working_dir = dir;
    options.null_stdio = true;
    pid_t pid = -1;
    if (zel::proc::Start(kBatchName, options, &pid) != 0) return;  // a start failure is ignored
    (void)zel::proc::Wait(pid);
}
