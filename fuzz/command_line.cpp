// Fuzz target: splitting a Windows command line into arguments (the Olmar
// start and the schedule's batch files).  Input: arguments separated by NUL
// bytes, and the whole input as one command line.  Checked: arguments quoted
// by the Windows rules split back into exactly themselves, and a line split,
// quoted again and split once more gives the same arguments.
#include "fuzz/fuzz_common.h"
#include "platform/process.h"

using namespace zel::fuzz;
using zel::proc::SplitCommandLine;

namespace {

// The program name: quoted whole, it runs to the next quote with no escapes.
std::string QuoteProgram(const std::string& arg) {
    return "\"" + arg + "\"";
}

// Any other argument: quoted, with backslashes doubled before a quote
// (also the closing one) and each quote escaped.
std::string QuoteArgument(const std::string& arg) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

bool Quotable(const std::vector<std::string>& args) {
    return !args.empty() && args[0].find('"') == std::string::npos;
}

std::string Join(const std::vector<std::string>& args) {
    std::string line = QuoteProgram(args[0]);
    for (std::size_t i = 1; i < args.size(); ++i) line += " " + QuoteArgument(args[i]);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> args = SplitAtNul(data, size, 16);
    if (Quotable(args)) {
        const std::vector<std::string> back = SplitCommandLine(Join(args));
        ZEL_FUZZ_CHECK(back == args);
    }

    const std::string line(AsText(data, size));
    const std::vector<std::string> split = SplitCommandLine(line);
    ZEL_FUZZ_CHECK(split.size() <= line.size());
    if (line.find_first_not_of(" \t") == std::string::npos) ZEL_FUZZ_CHECK(split.empty());
    if (Quotable(split)) ZEL_FUZZ_CHECK(SplitCommandLine(Join(split)) == split);
    return 0;
}
