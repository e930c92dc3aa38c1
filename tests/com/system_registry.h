// Helpers of the suites that test the object model on Windows through the
// system's own tools: paths in the system's form, running regsvr32 and
// other programs, and snapshots of what a class registration may touch in
// HKEY_CLASSES_ROOT.  Header-only; Windows builds only.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace zel::test {

namespace reg = zel::reg;

// The system's form of a path the build passes: backslashes, absolute.
inline std::string SystemPath(const std::string& path) {
    std::string full;
    if (zel::fs::AbsolutePath(path, &full) != 0) full = path;
    std::replace(full.begin(), full.end(), '/', '\\');
    return full;
}

inline std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Runs a program found on PATH or by its path and waits for it; its exit
// code, or -1 when it could not be started.
inline int RunProgram(const std::vector<std::string>& argv) {
    zel::proc::StartOptions options;
    options.null_stdio = true;
    pid_t pid = -1;
    if (zel::proc::StartArgv(argv, options, &pid) != 0) return -1;
    return zel::proc::Wait(pid);
}

inline int Regsvr32(const std::string& library, bool unregister) {
    std::vector<std::string> argv = {"regsvr32", "/s"};
    if (unregister) argv.push_back("/u");
    argv.push_back(SystemPath(library));
    return RunProgram(argv);
}

// Every key and value below HKCR\subkey as text, in enumeration order;
// "<missing>" when the key is absent.
inline void DumpKey(const reg::Key& key, const std::string& path, std::string* out) {
    *out += "[" + path + "]\n";
    std::string name;
    for (std::uint32_t i = 0; reg::EnumValue(key, i, &name, nullptr) == reg::kSuccess; ++i) {
        std::string value;
        if (reg::QueryString(key, name, &value) != reg::kSuccess) value = "<not text>";
        *out += "  " + name + "=" + value + "\n";
    }
    std::vector<std::string> children;
    for (std::uint32_t i = 0; reg::EnumKey(key, i, &name) == reg::kSuccess; ++i)
        children.push_back(name);
    for (const std::string& child : children) {
        reg::Key sub;
        if (reg::OpenKey(key, child, &sub) == reg::kSuccess) DumpKey(sub, path + "\\" + child, out);
    }
}

inline std::string Dump(const std::string& subkey) {
    reg::Key key;
    if (reg::OpenKey(reg::Hive::ClassesRoot, subkey, &key) != reg::kSuccess) return "<missing>";
    std::string out;
    DumpKey(key, subkey, &out);
    return out;
}

// How many sub-keys HKCR\subkey has ("" for the hive itself).
inline std::size_t SubkeyCount(const std::string& subkey) {
    reg::Key key;
    const reg::Status st = subkey.empty() ? reg::OpenHive(reg::Hive::ClassesRoot, &key)
                                          : reg::OpenKey(reg::Hive::ClassesRoot, subkey, &key);
    if (st != reg::kSuccess) return 0;
    std::string name;
    std::size_t n = 0;
    while (reg::EnumKey(key, static_cast<std::uint32_t>(n), &name) == reg::kSuccess) ++n;
    return n;
}

// What registration of a class may touch, for comparing before and after.
struct Footprint {
    std::string class_key, progid, version_independent, typelib, interfaces;
    std::size_t root = 0, clsid = 0, typelibs = 0, interface_count = 0;
    bool operator==(const Footprint&) const = default;
};

inline Footprint Take(REFCLSID clsid, const std::string& progid, const std::string& vi,
                      REFGUID libid, const std::vector<IID>& iids) {
    Footprint f;
    f.class_key = Dump("CLSID\\" + zel::com::GuidToString(clsid));
    f.progid = Dump(progid);
    f.version_independent = Dump(vi);
    f.typelib = Dump("TypeLib\\" + zel::com::GuidToString(libid));
    for (const IID& iid : iids) f.interfaces += Dump("Interface\\" + zel::com::GuidToString(iid));
    f.root = SubkeyCount("");
    f.clsid = SubkeyCount("CLSID");
    f.typelibs = SubkeyCount("TypeLib");
    f.interface_count = SubkeyCount("Interface");
    return f;
}

// Runs a command line through the command interpreter and collects what it
// prints on standard output and standard error; *exit_code gets its exit
// code (-1 when it could not be run).
inline std::string RunCaptured(const std::string& command, int* exit_code) {
    std::string output;
    *exit_code = -1;
    FILE* pipe = ::_popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    *exit_code = ::_pclose(pipe);
    return output;
}

}  // namespace zel::test
