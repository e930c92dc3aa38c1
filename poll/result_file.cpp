// Result file lines: see result_file.h.
#include "poll/result_file.h"

#include <cstdio>

#include "log/report.h"
#include "support/files.h"
#include "support/result_codes.h"

namespace zel::poll {

std::string FormatResultLine(int code, const char* text) {
    char number[16];
    std::snprintf(number, sizeof number, "%04d ", code);
    std::string line = number;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        line.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
    if (line.size() > kResultLineMax) {
        std::size_t cut = kResultLineMax;
        // Step back over UTF-8 continuation bytes so that the last character
        // stays whole.
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        line.resize(cut);
    }
    return line;
}

ResultFileWriter::ResultFileWriter() {
    (void)writer_.SetOutputMode(kOutputFile);
    (void)writer_.SetFormatMode(kFormatBare);
    // The file stays open between lines, yet a line never goes to a file
    // that was removed or replaced under the name in the meantime.
    writer_.HoldFile();
}

HRESULT ResultFileWriter::Write(const char* directory, const char* name, int code,
                                const char* text) {
    CStringHolder path;
    HRESULT hr =
        GetFullFileName(directory, name != nullptr ? name : kDefaultResultFileName, path.Out());
    if (FAILED(hr)) return hr;
    if (path_ != path.get()) {
        Close();
        // A file that cannot be opened (a symbolic link in its place among
        // them: the writer never follows one) loses the line, and that must
        // not pass unseen: the line was the transfer's only word to its
        // caller.
        if (!writer_.Open(path.get(), false)) {
            return zel::log::ReportStatus(GetCurrentLog(), zel::codes::kOpenFile,
                                          "WriteResultLine");
        }
        path_ = path.get();
    }
    const std::string line = FormatResultLine(code, text);
    writer_.WriteLine(kSeverityInformation, "%s", line.c_str());
    return S_OK;
}

void ResultFileWriter::Close() {
    writer_.Close();
    path_.clear();
}

HRESULT WriteResultLine(const char* directory, const char* name, int code, const char* text) {
    ResultFileWriter writer;
    return writer.Write(directory, name, code, text);
}

}  // namespace zel::poll
