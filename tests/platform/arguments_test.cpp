// Arguments reach a started program exactly as given: on Windows they go
// through one command line (QuoteArgument) that the program's C runtime
// splits again, so blanks, quotes and backslashes before quotes must
// survive that round trip; on Linux they are handed over as they are.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/common/scratch.h"

namespace {

TEST(Arguments, ReachTheStartedProgramExactly) {
    zel::test::ScratchDir dir;
    const std::string out = dir / "args.bin";
    const std::vector<std::string> args = {"plain",      "two words",
                                           "",           "quote\"inside",
                                           "trailing\\", "back\\\\slash\\\" mix",
                                           "tab\there",  "blank and backslash \\",
                                           "\"quoted\""};
    std::vector<std::string> argv = {zel::test::BuildPath("tests/platform/args_echo"), out};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = -1;
    ASSERT_EQ(zel::proc::StartArgv(argv, {}, &pid), 0);
    ASSERT_EQ(zel::proc::Wait(pid), 0);
    std::string expected;
    for (const std::string& a : args) expected += a + '\0';
    EXPECT_EQ(zel::test::ReadFile(out), expected);
}

}  // namespace
