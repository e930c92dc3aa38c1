// qvreg: command-line editor of the registry store, for support staff,
// scripts and tests.  Queries, adds, deletes and exports keys and values.
//
// Owns nothing beyond its run: every change is one store call, so a failed
// command leaves the store as it was.  Exit status 0 on success; otherwise
// one "qvreg: ERROR: ..." line on standard error and 2 for a wrong command
// line (found before the store is touched), 1 for any other failure.  A
// store that cannot be used is named with the reason.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/version.h"

namespace {

namespace reg = zel::reg;

constexpr const char* kUsage =
    "Usage:\n"
    "  qvreg query  KEY [/v NAME | /ve] [/s]\n"
    "  qvreg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD] [/d DATA] [/f]\n"
    "  qvreg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  qvreg export KEY\n"
    "  qvreg --help | --version\n"
    "\n"
    "KEY is HIVE\\path\\to\\key with HIVE one of HKLM (HKEY_LOCAL_MACHINE),\n"
    "HKCR (HKEY_CLASSES_ROOT) or HKCU (HKEY_CURRENT_USER, one per Unix login).\n"
    "Key and value names ignore case.  Options may start with \"/\" or \"-\".\n"
    "\n"
    "query   prints the key's values and the names of its sub-keys; /v NAME\n"
    "        prints one value, /ve the default value, /s every sub-key too.\n"
    "        REG_DWORD data is printed as 0x hexadecimal.\n"
    "add     creates the key (with any missing parent keys).  With /v NAME or\n"
    "        /ve it also sets that value: /t is the type (REG_SZ when absent),\n"
    "        /d the data (empty when absent for REG_SZ; required for\n"
    "        REG_DWORD, decimal or 0x hexadecimal).  An existing value is\n"
    "        replaced only with /f; without /f add refuses and exits with 1.\n"
    "delete  deletes the key with all its sub-keys and values, or with /v NAME\n"
    "        one value, /ve the default value, /va every value of the key.\n"
    "        It never asks for confirmation; /f is accepted and changes nothing.\n"
    "        A hive's root key cannot be deleted.\n"
    "export  writes the key and all its sub-keys, recursively, to standard\n"
    "        output: one [KEY] line per key, then \"name\"=\"text\" or\n"
    "        \"name\"=dword:XXXXXXXX lines (@ for the default value), with \\\\,\n"
    "        \\\" and control characters escaped.\n"
    "\n"
    "The store is $QVIS_ROOT/registry.db (QVIS_ROOT defaults to /var/lib/qvis).\n"
    "Exit status: 0 on success; 2 for a wrong command line (unknown operation or\n"
    "option, a missing or malformed KEY, type or data), found before the store is\n"
    "touched; 1 for any other error.  Errors are one line on standard error.\n";

constexpr int kFailed = 1;
constexpr int kUsageError = 2;

int Fail(const std::string& message, int status = kFailed) {
    std::fprintf(stderr, "qvreg: ERROR: %s\n", message.c_str());
    return status;
}

int UsageFail(const std::string& message) {
    return Fail(message, kUsageError);
}

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

std::string FullName(const reg::Key& key) {
    std::string name = reg::HiveName(key.GetHive());
    if (!key.Path().empty()) name += "\\" + key.Path();
    return name;
}

std::string FullName(reg::Hive hive, const std::string& subkey) {
    std::string name = reg::HiveName(hive);
    if (!subkey.empty()) name += "\\" + subkey;
    return name;
}

std::string ValueLabel(const std::string& name) {
    return name.empty() ? std::string("default value") : "value " + Quote(name);
}

// One line for a store failure that is not simply "missing"; call it right
// after the failing store call, whose reason it reports.
std::string StoreProblem(reg::Status st) {
    if (st == reg::kAccessDenied) {
        const std::string why = reg::LastStoreProblem();
        return why.empty() ? "cannot use the registry store " + zel::paths::RegistryFile() : why;
    }
    if (st == reg::kInvalidParameter) return "invalid name";
    return std::string("registry operation failed with status ").append(std::to_string(st));
}

bool LowerEquals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Decimal, or hexadecimal after "0x"; the whole text must be the number and
// it must fit 32 bits.
bool ParseDword(const std::string& text, std::uint32_t* out) {
    std::size_t pos = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        pos = 2;
    }
    if (pos >= text.size()) return false;
    // from_chars takes no sign and no second "0x" for an unsigned number, and
    // refuses a value beyond 32 bits.
    std::uint32_t value = 0;
    const char* last = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data() + pos, last, value, static_cast<int>(base));
    if (ec != std::errc() || stop != last) return false;
    *out = value;
    return true;
}

struct Options {
    std::string op;
    std::string key;
    bool has_value = false;   // /v NAME or /ve given
    std::string value;        // "" for the default value
    bool all_values = false;  // /va
    bool has_type = false;
    std::string type;
    bool has_data = false;
    std::string data;
    bool force = false;
    bool recurse = false;
    bool help = false;
    bool version = false;
};

bool IsSwitch(const std::string& arg) {
    return arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-');
}

// Parses argv; on a mistake returns false with *error set.
bool ParseArgs(int argc, char** argv, Options* o, std::string* error) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h" || a == "/?" || a == "-?") {
            o->help = true;
            return true;
        }
        if (a == "--version") {
            o->version = true;
            return true;
        }
    }
    if (args.empty()) {
        *error = "no operation given (see qvreg --help)";
        return false;
    }
    o->op = args[0];
    for (char& c : o->op)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (o->op != "query" && o->op != "add" && o->op != "delete" && o->op != "export") {
        *error = "unknown operation " + Quote(args[0]) + " (see qvreg --help)";
        return false;
    }
    if (args.size() < 2 || IsSwitch(args[1])) {
        *error = o->op + ": KEY is missing (see qvreg --help)";
        return false;
    }
    o->key = args[1];
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string sw = IsSwitch(a) ? a.substr(1) : std::string();
        for (char& c : sw)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        auto take = [&](std::string* into, bool* flag) {
            if (i + 1 >= args.size()) {
                *error = "option " + a + " needs an argument";
                return false;
            }
            *into = args[++i];
            *flag = true;
            return true;
        };
        bool twice = false;
        if (sw == "v" || sw == "ve") {
            twice = o->has_value || o->all_values;
            if (sw == "v") {
                if (!take(&o->value, &o->has_value)) return false;
            } else {
                o->has_value = true;
                o->value.clear();
            }
        } else if (sw == "va" && o->op == "delete") {
            twice = o->has_value;
            o->all_values = true;
        } else if (sw == "t" && o->op == "add") {
            if (!take(&o->type, &o->has_type)) return false;
        } else if (sw == "d" && o->op == "add") {
            if (!take(&o->data, &o->has_data)) return false;
        } else if (sw == "f" && (o->op == "add" || o->op == "delete")) {
            o->force = true;
        } else if (sw == "s" && o->op == "query") {
            o->recurse = true;
        } else {
            *error = o->op + ": unexpected argument " + Quote(a) + " (see qvreg --help)";
            return false;
        }
        if (twice) {
            *error = o->op + ": give only one of /v, /ve and /va";
            return false;
        }
        if (o->op == "export" || (o->recurse && o->has_value)) {
            *error = o->op + ": unexpected argument " + Quote(a);
            return false;
        }
    }
    return true;
}

// Stored spelling of a value name, found by enumeration; name itself when
// it is not listed (it was just removed by someone else).
std::string StoredValueName(const reg::Key& key, const std::string& name) {
    std::string listed;
    for (std::uint32_t i = 0; reg::EnumValue(key, i, &listed, nullptr) == reg::kSuccess; ++i)
        if (LowerEquals(listed, name)) return listed;
    return name;
}

// "    NAME    TYPE    DATA" as reg.exe prints it; false when the value is
// gone or unreadable.
bool PrintValue(const reg::Key& key, const std::string& name) {
    reg::ValueType type;
    if (reg::QueryType(key, name, &type) != reg::kSuccess) return false;
    const char* label = name.empty() ? "(Default)" : name.c_str();
    if (type == reg::ValueType::Dword) {
        std::uint32_t n = 0;
        if (reg::QueryDword(key, name, &n) != reg::kSuccess) return false;
        std::printf("    %s    REG_DWORD    0x%x\n", label, n);
    } else {
        std::string s;
        if (reg::QueryString(key, name, &s) != reg::kSuccess) return false;
        std::printf("    %s    REG_SZ    %s\n", label, s.c_str());
    }
    return true;
}

std::vector<std::string> SubKeys(const reg::Key& key) {
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; reg::EnumKey(key, i, &name) == reg::kSuccess; ++i)
        names.push_back(name);
    return names;
}

void QueryBlock(const reg::Key& key, bool recurse) {
    std::printf("%s\n", FullName(key).c_str());
    std::string name;
    for (std::uint32_t i = 0; reg::EnumValue(key, i, &name, nullptr) == reg::kSuccess; ++i)
        PrintValue(key, name);
    std::printf("\n");
    for (const std::string& child : SubKeys(key)) {
        reg::Key sub;
        if (reg::OpenKey(key, child, &sub) != reg::kSuccess) continue;  // deleted meanwhile
        if (recurse)
            QueryBlock(sub, true);
        else
            std::printf("%s\n", FullName(sub).c_str());
    }
}

std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

void ExportBlock(const reg::Key& key) {
    std::printf("[%s]\n", FullName(key).c_str());
    std::string name;
    reg::ValueType type;
    for (std::uint32_t i = 0; reg::EnumValue(key, i, &name, &type) == reg::kSuccess; ++i) {
        std::string label = "@";
        if (!name.empty()) {
            label = "\"";
            label += Escape(name);
            label += '"';
        }
        if (type == reg::ValueType::Dword) {
            std::uint32_t n = 0;
            if (reg::QueryDword(key, name, &n) == reg::kSuccess)
                std::printf("%s=dword:%08x\n", label.c_str(), n);
        } else {
            std::string s;
            if (reg::QueryString(key, name, &s) == reg::kSuccess)
                std::printf("%s=\"%s\"\n", label.c_str(), Escape(s).c_str());
        }
    }
    std::printf("\n");
    for (const std::string& child : SubKeys(key)) {
        reg::Key sub;
        if (reg::OpenKey(key, child, &sub) == reg::kSuccess) ExportBlock(sub);
    }
}

int OpenExisting(reg::Hive hive, const std::string& subkey, reg::Key* key) {
    reg::Status st = reg::OpenKey(hive, subkey, key);
    if (st == reg::kNotFound) return Fail("key " + FullName(hive, subkey) + " not found");
    if (st != reg::kSuccess) return Fail(FullName(hive, subkey) + ": " + StoreProblem(st));
    return 0;
}

int Query(const Options& o, reg::Hive hive, const std::string& subkey) {
    reg::Key key;
    if (int rc = OpenExisting(hive, subkey, &key)) return rc;
    if (!o.has_value) {
        QueryBlock(key, o.recurse);
        return 0;
    }
    reg::ValueType type;
    reg::Status st = reg::QueryType(key, o.value, &type);
    if (st == reg::kNotFound) return Fail(ValueLabel(o.value) + " not found in " + FullName(key));
    if (st != reg::kSuccess) return Fail(FullName(key) + ": " + StoreProblem(st));
    std::printf("%s\n", FullName(key).c_str());
    if (!PrintValue(key, StoredValueName(key, o.value)))
        return Fail(ValueLabel(o.value) + " not found in " + FullName(key));
    return 0;
}

int Add(const Options& o, reg::Hive hive, const std::string& subkey) {
    if ((o.has_type || o.has_data) && !o.has_value)
        return UsageFail("add: /t and /d need /v NAME or /ve");
    // Everything is checked before the store is touched.
    bool dword = false;
    std::uint32_t number = 0;
    if (o.has_value) {
        std::string type = o.has_type ? o.type : "REG_SZ";
        for (char& c : type)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (type == "REG_DWORD") {
            dword = true;
            if (!o.has_data) return UsageFail(ValueLabel(o.value) + ": REG_DWORD needs /d DATA");
            if (!ParseDword(o.data, &number))
                return UsageFail(ValueLabel(o.value) + ": invalid REG_DWORD data " + Quote(o.data) +
                                 " (decimal or 0x hexadecimal, at most 0xffffffff)");
        } else if (type != "REG_SZ") {
            return UsageFail(ValueLabel(o.value) + ": unsupported type " + Quote(o.type) +
                             " (REG_SZ or REG_DWORD)");
        }
    }
    reg::Key key;
    reg::Status st = reg::CreateKey(hive, subkey, &key, nullptr);
    if (st != reg::kSuccess)
        return Fail("cannot create key " + FullName(hive, subkey) + ": " + StoreProblem(st));
    if (o.has_value) {
        reg::ValueType existing;
        if (!o.force && reg::QueryType(key, o.value, &existing) == reg::kSuccess)
            return Fail(ValueLabel(o.value) + " already exists in " + FullName(key) +
                        " (use /f to overwrite)");
        st = dword ? reg::SetDword(key, o.value, number)
                   : reg::SetString(key, o.value, o.has_data ? o.data : std::string());
        if (st != reg::kSuccess)
            return Fail("cannot set " + ValueLabel(o.value) + " in " + FullName(key) + ": " +
                        (st == reg::kNotFound ? std::string("key was deleted") : StoreProblem(st)));
    }
    std::printf("The operation completed successfully.\n");
    return 0;
}

int Delete(const Options& o, reg::Hive hive, const std::string& subkey) {
    if (!o.has_value && !o.all_values) {
        if (subkey.empty()) return Fail("cannot delete the root key " + FullName(hive, subkey));
        reg::Status st = reg::DeleteTree(hive, subkey);
        if (st == reg::kNotFound) return Fail("key " + FullName(hive, subkey) + " not found");
        if (st != reg::kSuccess) return Fail(FullName(hive, subkey) + ": " + StoreProblem(st));
        std::printf("The operation completed successfully.\n");
        return 0;
    }
    reg::Key key;
    if (int rc = OpenExisting(hive, subkey, &key)) return rc;
    std::vector<std::string> names;
    if (o.all_values) {
        std::string name;
        for (std::uint32_t i = 0; reg::EnumValue(key, i, &name, nullptr) == reg::kSuccess; ++i)
            names.push_back(name);
    } else {
        names.push_back(o.value);
    }
    for (const std::string& name : names) {
        reg::Status st = reg::DeleteValue(key, name);
        if (st == reg::kNotFound && !o.all_values)
            return Fail(ValueLabel(name) + " not found in " + FullName(key));
        if (st != reg::kSuccess && st != reg::kNotFound)
            return Fail(FullName(key) + ": " + StoreProblem(st));
    }
    std::printf("The operation completed successfully.\n");
    return 0;
}

int Export(reg::Hive hive, const std::string& subkey) {
    reg::Key key;
    if (int rc = OpenExisting(hive, subkey, &key)) return rc;
    ExportBlock(key);
    return 0;
}

int Main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!ParseArgs(argc, argv, &o, &error)) return UsageFail(error);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (o.version) {
        std::printf("qvreg %s\n", zel::kVersion);
        return 0;
    }
    reg::Hive hive;
    std::string subkey;
    if (!reg::ParseKeyName(o.key, &hive, &subkey))
        return UsageFail("invalid key name " + Quote(o.key) +
                         " (HKLM\\..., HKCR\\... or HKCU\\...)");
    if (o.op == "query") return Query(o, hive, subkey);
    if (o.op == "add") return Add(o, hive, subkey);
    if (o.op == "delete") return Delete(o, hive, subkey);
    return Export(hive, subkey);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        int rc = Main(argc, argv);
        if (std::fflush(stdout) != 0) return Fail("cannot write to standard output");
        return rc;
    } catch (...) {
        return Fail("out of memory");
    }
}
