// zelsim's command line: parsing and the usage text.
#include "tools/zelsim/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

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

int ParseArgs(int argc, char** argv, Settings* s) {
    bool interfaces_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto need = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zelsim: %s needs %s\n", a.c_str(), what);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 1;
        } else if (a == "--version") {
            std::printf("zelsim %s\n", zel::kVersion);
            return 1;
        } else if (a == "--address") {
            if (!(v = need("an address"))) return 2;
            s->address = v;
        } else if (a == "--http-port" || a == "--https-port") {
            if (!(v = need("a port"))) return 2;
            int port = 0;
            if (!ParseNumber(v, 0, 65535, &port)) {
                std::fprintf(stderr, "zelsim: bad port '%s'\n", v);
                return 2;
            }
            (a == "--http-port" ? s->http_port : s->https_port) = port;
        } else if (a == "--cert") {
            if (!(v = need("a file"))) return 2;
            s->cert = v;
        } else if (a == "--key") {
            if (!(v = need("a file"))) return 2;
            s->key = v;
        } else if (a == "--poll-host") {
            if (!(v = need("a host"))) return 2;
            s->poll_host = v;
        } else if (a == "--poll-secure") {
            if (!(v = need("Y or N"))) return 2;
            s->poll_secure = (v[0] == 'Y' || v[0] == 'y' || v[0] == '1');
        } else if (a == "--extra-server") {
            if (!(v = need("a name"))) return 2;
            s->extra_servers.push_back(v);
        } else if (a == "--interface") {
            if (!(v = need("NAME=VALUE"))) return 2;
            std::string name, value;
            if (!SplitAt(v, '=', &name, &value) || name.empty()) {
                std::fprintf(stderr, "zelsim: bad interface '%s'\n", v);
                return 2;
            }
            if (!interfaces_given) s->interfaces.clear();
            interfaces_given = true;
            s->interfaces.emplace_back(name, value);
        } else if (a == "--omit-qurl") {
            s->omit_qurl = true;
        } else if (a == "--document") {
            if (!(v = need("PATH=FILE"))) return 2;
            std::string path, file;
            if (!SplitAt(v, '=', &path, &file) || path.empty() || file.empty()) {
                std::fprintf(stderr, "zelsim: bad document '%s'\n", v);
                return 2;
            }
            s->documents[path] = file;
        } else if (a == "--fault") {
            if (!(v = need("PATH=KIND[xN]"))) return 2;
            std::string path, spec;
            Fault f;
            if (!SplitAt(v, '=', &path, &spec) || path.empty() || !ParseFault(spec, &f)) {
                std::fprintf(stderr, "zelsim: bad fault '%s'\n", v);
                return 2;
            }
            // A bare operation name stands for its location.
            if (path[0] != '/') path = std::string(kOperationBase) + path;
            s->faults[path].push_back(f);
        } else if (a == "--ready-file") {
            if (!(v = need("a file"))) return 2;
            s->ready_file = v;
        } else if (a == "--request-log") {
            if (!(v = need("a file"))) return 2;
            s->request_log = v;
        } else if (a == "--data-dir") {
            if (!(v = need("a directory"))) return 2;
            s->data_dir = v;
        } else if (a == "--users") {
            if (!(v = need("a file"))) return 2;
            s->users_file = v;
        } else if (a == "--upload-dir") {
            if (!(v = need("a directory"))) return 2;
            s->upload_dir = v;
        } else if (a == "--no-sync") {
            s->no_sync = true;
        } else if (a == "--post-log") {
            if (!(v = need("a file"))) return 2;
            s->post_log = v;
        } else {
            std::fprintf(stderr, "zelsim: unknown option '%s' (see --help)\n", a.c_str());
            return 2;
        }
    }
    if (s->https_port >= 0 && (s->cert.empty() || s->key.empty())) {
        std::fprintf(stderr, "zelsim: --https-port needs --cert and --key\n");
        return 2;
    }
    if (s->poll_host.empty()) s->poll_host = s->address;
    return 0;
}

}  // namespace zelsim
