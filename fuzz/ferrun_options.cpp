// Fuzz target: ferrun's command line.  Input: the arguments separated by NUL
// bytes.  Checked: a transfer is asked for exactly one direction, no value
// longer than its fixed buffer is ever taken, directory, filter and
// destination come out trimmed, and a usage outcome always exits with 1
// (--help with 0).
#include "client/options.h"
#include "fuzz/fuzz_common.h"

using namespace zel::fuzz;
using namespace zel::client;

namespace {

bool IsTrimmed(const std::string& s) {
    return s.empty() ||
           (s.front() != ' ' && s.front() != '\t' && s.back() != ' ' && s.back() != '\t');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args = SplitAtNul(data, size, 32);
    args.insert(args.begin(), "ferrun");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);

    FerrunOptions options;
    const CommandOutcome out =
        ParseCommandLine(static_cast<int>(args.size()), argv.data(), &options);

    ZEL_FUZZ_CHECK(options.directory.size() <= kMaxPathValue);
    ZEL_FUZZ_CHECK(options.filter.size() <= kMaxPathValue);
    ZEL_FUZZ_CHECK(options.destination.size() <= kMaxPathValue);
    ZEL_FUZZ_CHECK(options.result_file.size() <= kMaxPathValue);
    ZEL_FUZZ_CHECK(options.user_id.size() <= kMaxUserIdValue);
    ZEL_FUZZ_CHECK(IsTrimmed(options.directory) && IsTrimmed(options.filter) &&
                   IsTrimmed(options.destination));
    switch (out.action) {
        case CommandAction::kTransfer:
            ZEL_FUZZ_CHECK(options.download != options.upload);
            break;
        case CommandAction::kUsage:
            ZEL_FUZZ_CHECK(out.exit_code == 1);
            break;
        case CommandAction::kHelp:
        case CommandAction::kVersion:
            ZEL_FUZZ_CHECK(out.exit_code == 0);
            break;
        case CommandAction::kDecompress:
            ZEL_FUZZ_CHECK(out.decompress_name.size() <= kMaxPathValue);
            break;
    }
    return 0;
}
