// The real Poll component in a scratch system root, served by the real
// zelsim: the library registered with the real regsvr, the dealer's
// credentials written with the real zelpasswd, "CONTROL" naming the unit
// contract "DB" and "ISERVER.XML" naming the simulator, so that a client (in
// this process or a child process) reaches zelsim through the component
// exactly as an installed system does.  Header-only; the simulator stops
// when the object goes.  Needs ZEL_BUILD_DIR (set by CTest) and QVIS_ROOT
// set to the scratch root (ScratchRoot does that).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tests/common/scratch.h"
#include "tests/common/spawn.h"
#include "tests/directory/sim.h"

namespace zel::test {

// The component library in the build tree.
inline std::string PollLibrary() {
    return BuildPath("poll/component/libPoll.so");
}

// Runs tools/<tool> of the build tree to its end; its standard output goes
// to out_file ("" for none).  The exit code, -1 when it could not start or
// did not exit normally.
inline int RunTool(const std::string& tool, const std::vector<std::string>& args,
                   const std::string& out_file = "") {
    const pid_t pid = Spawn(BuildPath("tools/" + tool), args, out_file);
    return pid > 0 ? Wait(pid) : -1;
}

inline bool RegisterPoll() {
    return RunTool("regsvr", {"/s", PollLibrary()}) == 0;
}
inline bool UnregisterPoll() {
    return RunTool("regsvr", {"/u", "/s", PollLibrary()}) == 0;
}

// zelsim for the scratch root named by QVIS_ROOT.  Its files live below
// $QVIS_ROOT/central: users.txt (the one dealer account), data/DB/ (what is
// published to the dealer), uploads/DB/ (what the dealer sent), posted.log
// (acknowledged downloads), the ready file and the request log.
class LiveCentral {
  public:
    static constexpr const char* kCredentials = "dealer7:s3cret";

    // Starts the simulator with extra options (and HTTPS when cert and key
    // are given), then points the component at it.  False when the
    // simulator did not come up or a tool failed.
    [[nodiscard]] bool Start(const std::vector<std::string>& extra = {},
                             const std::string& cert = "", const std::string& key = "") {
        sim_.reset();
        const std::string dir = Dir();
        std::error_code ec;
        std::filesystem::create_directories(Published(""), ec);
        std::filesystem::create_directories(Uploaded(""), ec);
        WriteFile(dir + "/users.txt", std::string(kCredentials) + "\n");
        std::vector<std::string> args = {"--users",     dir + "/users.txt", "--data-dir",
                                         dir + "/data", "--upload-dir",     dir + "/uploads",
                                         "--post-log",  dir + "/posted.log"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<directory::Simulator>(dir, args, cert, key);
        if (!sim_->ok()) return false;
        const std::string comm = paths::CommDir();
        std::filesystem::create_directories(comm, ec);
        WriteFile(paths::Join(comm, "CONTROL"), "A,B,C,D,E");  // unit contract "DB"
        WriteFile(paths::Join(comm, "ISERVER.XML"), sim_->Description());
        return RunTool("zelpasswd", {kCredentials}) == 0;
    }
    void Stop() { sim_.reset(); }

    // A file published to the dealer ("" for the directory itself).
    std::string Published(const std::string& name) const { return Dir() + "/data/DB/" + name; }
    // A file the dealer uploaded.
    std::string Uploaded(const std::string& name) const { return Dir() + "/uploads/DB/" + name; }
    void Publish(const std::string& name, const std::string& bytes) const {
        WriteFile(Published(name), bytes);
    }

    directory::Simulator* sim() const { return sim_.get(); }

    // Requests of one operation (such as "GetFileFromQuvaro") so far.
    std::size_t Count(const std::string& operation) const {
        std::size_t n = 0;
        if (!sim_) return n;
        for (const auto& line : sim_->Requests())
            if (line.find("/qvgqa/poll/" + operation + "?") != std::string::npos) ++n;
        return n;
    }

  private:
    static std::string Dir() {
        const char* root = ::getenv("QVIS_ROOT");
        return std::string(root != nullptr ? root : ".") + "/central";
    }
    std::unique_ptr<directory::Simulator> sim_;
};

}  // namespace zel::test
