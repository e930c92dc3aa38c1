// Fuzz target: the job runner's reader of the component's result file.
// Input: the file's bytes; its first bytes also make one code and text for
// the component's line writer.  Checked: the reader always ends, every line
// moves it forward and holds no line end, each outcome has a four- or
// five-digit code and a name within the runner's line buffer, the file
// reader agrees with the line reader, and a line the component writes is
// read back with its own code and text.
#include "poll/result_file.h"

#include <cstdio>

#include "fuzz/fuzz_common.h"
#include "jobs/result_lines.h"

using namespace zel::fuzz;
using zel::jobs::ResultLine;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = AsText(data, size);

    std::vector<ResultLine> read;
    std::size_t pos = 0;
    std::string line;
    std::size_t steps = 0;
    while (zel::jobs::NextResultLine(bytes, &pos, &line)) {
        ZEL_FUZZ_CHECK(++steps <= size);
        ZEL_FUZZ_CHECK(pos <= size);
        ZEL_FUZZ_CHECK(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        ResultLine r;
        if (zel::jobs::ParseResultLine(line, &r)) {
            ZEL_FUZZ_CHECK(r.code.size() == 4 || r.code.size() == 5);
            ZEL_FUZZ_CHECK(r.name.size() + r.code.size() + 1 <= zel::jobs::kResultLineMax);
            read.push_back(r);
        }
    }

    const std::string path = zel::paths::Join(zel::paths::DownloadDir(), "POLL.RESULT");
    WriteBytes(path, bytes);
    std::size_t index = 0;
    const bool any = zel::jobs::ForEachResultLine(path, [&](const ResultLine& r) {
        ZEL_FUZZ_CHECK(index < read.size());
        ZEL_FUZZ_CHECK(r.code == read[index].code && r.name == read[index].name);
        ++index;
    });
    ZEL_FUZZ_CHECK(index == read.size());
    ZEL_FUZZ_CHECK(any == !bytes.empty());

    // A line as the component writes it comes back with its code and text.
    if (size >= 3) {
        const int code = static_cast<int>(((data[0] << 16) | (data[1] << 8) | data[2]) % 100000);
        const std::string text(bytes.substr(3, 400));
        const std::string written = zel::poll::FormatResultLine(code, text.c_str()) + "\r\n";
        std::size_t at = 0;
        std::string back;
        ZEL_FUZZ_CHECK(zel::jobs::NextResultLine(written, &at, &back));
        ZEL_FUZZ_CHECK(at == written.size());
        ResultLine r;
        ZEL_FUZZ_CHECK(zel::jobs::ParseResultLine(back, &r));
        char expected_code[16];
        std::snprintf(expected_code, sizeof expected_code, "%04d", code);
        ZEL_FUZZ_CHECK(r.code == expected_code);
        const std::size_t name_at = r.code.size() + 1;
        ZEL_FUZZ_CHECK(r.name == back.substr(name_at, zel::jobs::kResultLineMax - name_at));
    }
    return 0;
}
