// The fixture of the job runner's process tests: a scratch system root with
// the COMM, DOWNLOAD, UPLOAD and CMN directories, the olmar stand-in in the
// Olmar directory (it records its starts in olmar.log), and qvzel_nt run as
// a real process.  Register() puts the Poll test double under the Poll
// class; the end-to-end suite registers the real component instead.
#pragma once

#include <filesystem>
#include <string>

#include "platform/paths.h"
#include "platform/registry.h"
#include "tests/common/fake_poll.h"
#include "tests/common/registry_seed.h"
#include "tests/common/scratch.h"
#include "tests/common/spawn.h"

namespace zel::test {

class Jobs : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        namespace sfs = std::filesystem;
        for (const std::string& d : {paths::DownloadDir(), paths::UploadDir(), paths::CmnDir()})
            sfs::create_directories(d);
        ::setenv(fake_poll::kCalls, Path("calls.log").c_str(), 1);
        ::setenv("ZEL_OLMAR_LOG", Path("olmar.log").c_str(), 1);
        sfs::copy_file(ZEL_OLMAR, Cmn("olmar"));
        SetOlmarDir(paths::CmnDir());
    }
    void Register() { ASSERT_EQ(Wait(Spawn(ZEL_REGSVR, {"/s", ZEL_FAKE_POLL})), 0); }
    static void SetOlmarDir(const std::string& dir) {
        SeedValue("SOFTWARE\\qvis\\olmar", "OLMAR_EXE", dir);
    }
    static std::string Cmn(const std::string& n) { return paths::Join(paths::CmnDir(), n); }
    static std::string Down(const std::string& n) { return paths::Join(paths::DownloadDir(), n); }
    static std::string Up(const std::string& n) { return paths::Join(paths::UploadDir(), n); }
    void Enable() { WriteFile(Cmn("INIT_CTRL"), "QVZEL=Y\r\n"); }
    void Dump() { WriteFile(CommPath("ferrun.conf"), "dumpmsg=1\n"); }
    void Script(const char* variable, const std::string& name, const std::string& lines) {
        WriteFile(Path(name), lines);
        ::setenv(variable, Path(name).c_str(), 1);
    }
    static int Run(const std::string& arg) { return Wait(Spawn(ZEL_QVZEL_NT, {arg})); }
    std::string JobLogText() const { return ReadFile(paths::JobLogFile()); }
    std::string Calls() const { return ReadFile(Path("calls.log")); }
    static bool NoLocks() {
        for (const char* l : {"UPLOCK", "DOWNLOCK", "PROCLOCK"})
            if (FileExists(paths::Join(paths::CommDir(), std::string(l) + ".qvzel_lock")))
                return false;
        return true;
    }

  private:
    fake_poll::Controls fake_poll_controls_;
};

}  // namespace zel::test
