// The packaged batch files run the job runner with their job's argument.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/process.h"
#include "tests/scheduler/cron_fixture.h"

namespace {

using zel::test::scheduler::ReadFile;
using zel::test::scheduler::WriteFile;

class BatchFiles : public zel::test::scheduler::ScratchRoot {};

TEST_F(BatchFiles, EachRunsTheJobRunnerWithItsArgument) {
    // A stand-in job runner on PATH that records how it was called.
    const std::string bin = root_ + "/bin";
    std::filesystem::create_directories(bin);
    WriteFile(bin + "/qvzel_nt", "#!/bin/sh\necho \"$# $*\" > \"$PWD/called\"\n", true);
    const char* path = ::getenv("PATH");
    const std::string saved = path ? path : "/usr/bin:/bin";
    ::setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);
    for (auto [file, arg] : {std::pair{"qvzelup.bat", "-u"}, std::pair{"qvzeldown.bat", "-d"},
                             std::pair{"qvzelproc.bat", "-p"}}) {
        SCOPED_TRACE(file);
        std::filesystem::copy_file(std::string(ZEL_BATCH_DIR) + "/" + file, cmn_ + "/" + file);
        zel::proc::StartOptions options;
        options.working_dir = cmn_;
        options.null_stdio = true;
        pid_t pid = -1;
        EXPECT_EQ(zel::proc::StartArgv({file}, options, &pid), 0);
        EXPECT_EQ(zel::proc::Wait(pid), 0);
        EXPECT_EQ(ReadFile(cmn_ + "/called"), std::string("1 ") + arg + "\n");
    }
    ::setenv("PATH", saved.c_str(), 1);
}

}  // namespace
