// Fuzz target: the file-list answer of "GetFileListFromQuvaro" (its FN, FT,
// FC and FP entries), the server-fault check of every answer
// (CPoll::CheckXMLResponse) and the FC checksum reader.  Checked: an entry
// never takes elements from beyond the next FN, the names a listed file is
// placed under stay inside the working directory, a fault is reported
// exactly when the answer holds one, and a checksum written as a decimal
// number reads back as itself.
#include <string>

#include "fuzz/fuzz_common.h"
#include "poll/poll.h"
#include "poll/poll_status.h"
#include "support/files.h"
#include "support/result_codes.h"

using namespace zel::fuzz;

namespace {

bool IsTrimmed(const std::string& s) {
    const char* ws = " \t\r\n\f\v";
    return s.empty() || (std::string(ws).find(s.front()) == std::string::npos &&
                         std::string(ws).find(s.back()) == std::string::npos);
}

std::size_t Occurrences(std::string_view text, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos;
         at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

CPoll* Poll() {
    static CPoll* poll = [] {
        auto* p = new CPoll();
        // The checks' reports go to no file: thousands of them a second
        // would only fill the disk.
        p->Log().SetEnabled(false);
        return p;
    }();
    return poll;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(AsText(data, size));
    const std::string text = raw.substr(0, raw.find('\0'));

    const std::vector<FileListEntry> entries = ScanFileList(text);
    ZEL_FUZZ_CHECK(entries.size() <= Occurrences(text, "<FN>"));
    const std::string work_dir = "/work/dir";
    for (const FileListEntry& e : entries) {
        ZEL_FUZZ_CHECK(IsTrimmed(e.fn) && IsTrimmed(e.ft) && IsTrimmed(e.fc) && IsTrimmed(e.fp));
        // An element's text would hold "<FN>" only if it ran into the next
        // entry.
        for (const std::string* field : {&e.ft, &e.fc, &e.fp}) {
            ZEL_FUZZ_CHECK(field->find("<FN>") == std::string::npos);
        }
        if (!e.complete) ZEL_FUZZ_CHECK(e.ft.empty() && e.fc.empty() && !e.has_fp);
        if (!e.has_fp) ZEL_FUZZ_CHECK(e.fp.empty());

        std::string base;
        std::string final_name;
        if (ListedFileNames(e.fn, &base, &final_name)) {
            ZEL_FUZZ_CHECK(base.find('/') == std::string::npos);
            ZEL_FUZZ_CHECK(final_name.find('/') == std::string::npos);
            ZEL_FUZZ_CHECK(final_name.find(".dtz") == std::string::npos);
            ZEL_FUZZ_CHECK(final_name != "." && final_name != ".." && !final_name.empty());
            CStringHolder target;
            ZEL_FUZZ_CHECK(
                SUCCEEDED(GetFullFileName(work_dir.c_str(), final_name.c_str(), target.Out())));
            ZEL_FUZZ_CHECK(std::string(target.get()) == work_dir + "/" + final_name);
        }
        (void)ParseListChecksum(e.fc.c_str());
    }

    // The fault check: a failure exactly when the answer holds a fault, and
    // then either an invalid answer or a server fault number.
    const HRESULT status = Poll()->CheckXMLResponse(text.c_str());
    if (text.find("<faultcode>") == std::string::npos) {
        ZEL_FUZZ_CHECK(status == S_OK);
    } else {
        ZEL_FUZZ_CHECK(FAILED(status));
        ZEL_FUZZ_CHECK(status == zel::codes::kXmlInvalid ||
                       (ResultBits(status) & 0xFFFFC000u) == 0x80244000u);
    }

    // A checksum as the central side writes it (the unsigned CRC-32 in
    // decimal, or its signed form) reads back as itself.
    if (size >= 4) {
        std::uint32_t crc = 0;
        for (int i = 0; i < 4; ++i) crc = (crc << 8) | data[i];
        ZEL_FUZZ_CHECK(ParseListChecksum(std::to_string(crc).c_str()) == crc);
        const std::int32_t as_signed = static_cast<std::int32_t>(crc);
        ZEL_FUZZ_CHECK(ParseListChecksum(std::to_string(as_signed).c_str()) == crc);
        ZEL_FUZZ_CHECK(ParseListChecksum((" " + std::to_string(crc)).c_str()) == crc);
    }
    return 0;
}
