// zelsim's command line: parsing and the usage text.
#include "tools/zelsim/options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/version.h"
#include "tools/zelsim/operations.h"

namespace zelsim {

void Usage(FILE* out) {
    std::fputs(
        "usage: zelsim [options]\n"
        "       zelsim --help | --version\n"
        "Central-side simulator: serves the server list, system information and\n"
        "query list documents and the four transfer operations under /qvgqa/poll/\n"
        "on a loopback address until SIGTERM/SIGINT.\n"
        "  --address A           address to listen on (default 127.0.0.1)\n"
        "  --http-port N         plain HTTP port, 0 = any free port (default 0)\n"
        "  --https-port N        HTTPS port, 0 = any free port (needs --cert, --key)\n"
        "  --cert FILE --key FILE  PEM certificate chain and key for HTTPS\n"
        "  --poll-host HOST      address advertised for server POLL (default --address)\n"
        "  --poll-secure Y|N     advertise POLL on HTTPS (default Y when HTTPS is on)\n"
        "  --extra-server NAME   also list server NAME (e.g. ISERVER) in the server list\n"
        "  --interface NAME=V    interface element of the system information (default\n"
        "                        IPOLL=Y; repeat; the first use replaces the default)\n"
        "  --omit-qurl           leave QURL out of the system information\n"
        "  --document PATH=FILE  serve FILE's bytes for PATH instead of the built document\n"
        "  --fault PATH=KIND[xN] misbehave on the next N (default 1) requests of PATH;\n"
        "                        KIND: an HTTP status (503), fault:NUMBER (a SOAP fault\n"
        "                        with that error number), cut (half the body, then the\n"
        "                        connection closes), stall[:SECONDS] (answer nothing for\n"
        "                        SECONDS, default 3600, or until stopped), garbage\n"
        "                        (bytes that are no HTTP answer, then the connection\n"
        "                        closes).  PATH may be an operation name alone.  Repeat\n"
        "                        for a sequence.\n"
        "  --data-dir DIR        DIR/<UnitContract>/ holds the files published to that\n"
        "                        dealer (sub-directories give FN with \"/\"); its file\n"
        "                        .filetypes has \"NAME TYPE [PERM]\" lines (FT default\n"
        "                        Static, FP default from the file's mode)\n"
        "  --users FILE          \"user:password\" lines; the operations then require\n"
        "                        Basic authentication (without it, none is required)\n"
        "  --upload-dir DIR      store accepted uploads as DIR/<UnitContract>/<FileName>\n"
        "                        (without it, uploads are checked and discarded)\n"
        "  --no-sync             store accepted uploads without flushing them to disk\n"
        "                        (benchmarks: the client's cost, not the disk's)\n"
        "  --post-log FILE       append \"<UnitContract> TAB <FileName>\" per acknowledged\n"
        "                        file (PostProcessQuvaroFile)\n"
        "  --ready-file FILE     when listening, write \"http_port=N\" and \"https_port=M\"\n"
        "                        lines to FILE (written whole, then renamed into place)\n"
        "  --request-log FILE    append \"METHOD TARGET STATUS auth=Y|N type=TYPE\n"
        "                        length=BYTES\" per request to FILE\n"
        "Server fault numbers: 2001 no files published, 3001 upload checksum mismatch,\n"
        "3002 request parameter missing or invalid, 3003 file not published, 3004 file\n"
        "could not be stored.  Faults of GetFileFromQuvaro and PutFileFromDealer come\n"
        "with HTTP status 500, the others with 200.\n"
        "Paths: "
        "/qvgqa/RetrieveServerInformation.xml, /qvgqa/RetrieveSystemInformation.xml,\n"
        "       /qvgqa/RetrieveQueryInformation.xml; operations under /qvgqa/poll/.\n"
        "Exit status: 0 after a stop by SIGTERM/SIGINT, 2 for a bad command line,\n"
        "1 when it cannot listen or run.\n",
        out);
}

namespace {

bool SplitAt(const std::string& text, char sep, std::string* left, std::string* right) {
    auto pos = text.find(sep);
    if (pos == std::string::npos) return false;
    *left = text.substr(0, pos);
    *right = text.substr(pos + 1);
    return true;
}

// A whole decimal number in [lo, hi].
bool ParseNumber(std::string_view text, long lo, long hi, int* out) {
    if (text.empty() || text.size() > 10) return false;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(copy.c_str(), &end, 10);
    if (errno != 0 || end == copy.c_str() || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

bool ParseFault(const std::string& text, Fault* fault) {
    Fault f;
    std::string_view kind = text;
    if (auto x = kind.rfind('x'); x != std::string_view::npos) {
        if (!ParseNumber(kind.substr(x + 1), 0, INT_MAX, &f.remaining)) return false;
        kind = kind.substr(0, x);
    }
    if (kind == "cut") {
        f.kind = Fault::Kind::Cut;
    } else if (kind == "garbage") {
        f.kind = Fault::Kind::Garbage;
    } else if (kind == "stall") {
        f.kind = Fault::Kind::Stall;
    } else if (kind.rfind("stall:", 0) == 0) {
        f.kind = Fault::Kind::Stall;
        if (!ParseNumber(kind.substr(6), 0, 86400 * 7, &f.seconds)) return false;
    } else if (kind.rfind("fault:", 0) == 0) {
        f.kind = Fault::Kind::SoapFault;
        // The dealer side keeps the low 14 bits of the number.
        if (!ParseNumber(kind.substr(6), 0, 16383, &f.error_number)) return false;
    } else {
        f.kind = Fault::Kind::Status;
        if (!ParseNumber(kind, 100, 599, &f.status)) return false;
    }
    *fault = f;
    return true;
}

namespace {

// The options and, for those that take a value, what the value is, for the
// message when it is missing.
enum Code : int {
    kAddress = 256,
    kHttpPort,
    kHttpsPort,
    kCert,
    kKey,
    kPollHost,
    kPollSecure,
    kExtraServer,
    kInterface,
    kOmitQurl,
    kDocument,
    kFault,
    kReadyFile,
    kRequestLog,
    kDataDir,
    kUsers,
    kUploadDir,
    kNoSync,
    kPostLog,
};
struct OptionText {
    option opt;
    const char* what;  // the value's description; null for a flag
};
constexpr OptionText kOptions[] = {
    {{"help", no_argument, nullptr, 'h'}, nullptr},
    {{"version", no_argument, nullptr, 'V'}, nullptr},
    {{"address", required_argument, nullptr, kAddress}, "an address"},
    {{"http-port", required_argument, nullptr, kHttpPort}, "a port"},
    {{"https-port", required_argument, nullptr, kHttpsPort}, "a port"},
    {{"cert", required_argument, nullptr, kCert}, "a file"},
    {{"key", required_argument, nullptr, kKey}, "a file"},
    {{"poll-host", required_argument, nullptr, kPollHost}, "a host"},
    {{"poll-secure", required_argument, nullptr, kPollSecure}, "Y or N"},
    {{"extra-server", required_argument, nullptr, kExtraServer}, "a name"},
    {{"interface", required_argument, nullptr, kInterface}, "NAME=VALUE"},
    {{"omit-qurl", no_argument, nullptr, kOmitQurl}, nullptr},
    {{"document", required_argument, nullptr, kDocument}, "PATH=FILE"},
    {{"fault", required_argument, nullptr, kFault}, "PATH=KIND[xN]"},
    {{"ready-file", required_argument, nullptr, kReadyFile}, "a file"},
    {{"request-log", required_argument, nullptr, kRequestLog}, "a file"},
    {{"data-dir", required_argument, nullptr, kDataDir}, "a directory"},
    {{"users", required_argument, nullptr, kUsers}, "a file"},
    {{"upload-dir", required_argument, nullptr, kUploadDir}, "a directory"},
    {{"no-sync", no_argument, nullptr, kNoSync}, nullptr},
    {{"post-log", required_argument, nullptr, kPostLog}, "a file"},
};

// Options whose value is stored as it stands.
struct TextOption {
    int code;
    std::string Settings::*field;
};
constexpr TextOption kTextOptions[] = {
    {kAddress, &Settings::address},
    {kCert, &Settings::cert},
    {kKey, &Settings::key},
    {kPollHost, &Settings::poll_host},
    {kReadyFile, &Settings::ready_file},
    {kRequestLog, &Settings::request_log},
    {kDataDir, &Settings::data_dir},
    {kUsers, &Settings::users_file},
    {kUploadDir, &Settings::upload_dir},
    {kPostLog, &Settings::post_log},
};

bool SetPort(const char* v, int* port) {
    if (!ParseNumber(v, 0, 65535, port)) {
        std::fprintf(stderr, "zelsim: bad port '%s'\n", v);
        return false;
    }
    return true;
}

// The first --interface replaces the default list, later ones add to it.
bool AddInterface(const char* v, Settings* s, bool* interfaces_given) {
    std::string name, value;
    if (!SplitAt(v, '=', &name, &value) || name.empty()) {
        std::fprintf(stderr, "zelsim: bad interface '%s'\n", v);
        return false;
    }
    if (!*interfaces_given) s->interfaces.clear();
    *interfaces_given = true;
    s->interfaces.emplace_back(name, value);
    return true;
}

bool AddDocument(const char* v, Settings* s) {
    std::string path, file;
    if (!SplitAt(v, '=', &path, &file) || path.empty() || file.empty()) {
        std::fprintf(stderr, "zelsim: bad document '%s'\n", v);
        return false;
    }
    s->documents[path] = file;
    return true;
}

bool AddFault(const char* v, Settings* s) {
    std::string path, spec;
    Fault f;
    if (!SplitAt(v, '=', &path, &spec) || path.empty() || !ParseFault(spec, &f)) {
        std::fprintf(stderr, "zelsim: bad fault '%s'\n", v);
        return false;
    }
    // A bare operation name stands for its location.
    if (path[0] != '/') path = std::string(kOperationBase) + path;
    s->faults[path].push_back(f);
    return true;
}

enum class Applied { kDone, kBadValue, kUnknown };

// Applies one of the settings options (v: its value, null for a flag).
// kBadValue after a message on standard error; kUnknown when c is none of
// them.
Applied ApplyOption(int c, const char* v, Settings* s, bool* interfaces_given) {
    for (const TextOption& t : kTextOptions) {
        if (t.code == c) {
            s->*t.field = v;
            return Applied::kDone;
        }
    }
    bool ok = true;
    switch (c) {
        case kHttpPort:
            ok = SetPort(v, &s->http_port);
            break;
        case kHttpsPort:
            ok = SetPort(v, &s->https_port);
            break;
        case kPollSecure:
            s->poll_secure = (v[0] == 'Y' || v[0] == 'y' || v[0] == '1');
            break;
        case kExtraServer:
            s->extra_servers.push_back(v);
            break;
        case kInterface:
            ok = AddInterface(v, s, interfaces_given);
            break;
        case kOmitQurl:
            s->omit_qurl = true;
            break;
        case kDocument:
            ok = AddDocument(v, s);
            break;
        case kFault:
            ok = AddFault(v, s);
            break;
        case kNoSync:
            s->no_sync = true;
            break;
        default:
            return Applied::kUnknown;
    }
    return ok ? Applied::kDone : Applied::kBadValue;
}

}  // namespace

int ParseArgs(int argc, char** argv, Settings* s) {
    std::vector<option> options;
    for (const OptionText& o : kOptions) options.push_back(o.opt);
    options.push_back({nullptr, 0, nullptr, 0});
    bool interfaces_given = false;
    opterr = 0;  // the messages below name the argument as it was given
    optind = 0;  // a fresh scan, also when called a second time
    int at = 1;
    for (int c; (c = getopt_long(argc, argv, "+:h", options.data(), nullptr)) != -1; at = optind) {
        switch (c) {
            case 'h':
                Usage(stdout);
                return 1;
            case 'V':
                std::printf("zelsim %s\n", zel::kVersion);
                return 1;
            case ':':
                for (const OptionText& o : kOptions) {
                    if (o.opt.val == optopt)
                        std::fprintf(stderr, "zelsim: --%s needs %s\n", o.opt.name, o.what);
                }
                return 2;
            default:
                switch (ApplyOption(c, optarg, s, &interfaces_given)) {
                    case Applied::kDone:
                        break;
                    case Applied::kBadValue:
                        return 2;
                    case Applied::kUnknown:
                        std::fprintf(stderr, "zelsim: unknown option '%s' (see --help)\n",
                                     argv[at]);
                        return 2;
                }
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "zelsim: unknown option '%s' (see --help)\n", argv[optind]);
        return 2;
    }
    if (s->https_port >= 0 && (s->cert.empty() || s->key.empty())) {
        std::fprintf(stderr, "zelsim: --https-port needs --cert and --key\n");
        return 2;
    }
    if (s->poll_host.empty()) s->poll_host = s->address;
    return 0;
}

}  // namespace zelsim
