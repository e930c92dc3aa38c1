// zelconfig: the connection tool.  Interactive, it shows the dialogs (on
// the terminal on Linux, as Win32 dialogs on Windows: front_end.h); with
// --test it runs one connection test for scripts and support over a slow
// line, printing every message instead of showing it, and exits 0 when the
// test passed, 1 otherwise.
#include <getopt.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "connection_tool/fetch.h"
#include "connection_tool/main/front_end.h"
#include "connection_tool/utility.h"
#include "platform/version.h"

namespace {

using zel::conn::ConnectionUtility;
using zel::conn::Group;
using zel::conn::Method;
using zel::conn::TestOutcome;

void PrintHelp() {
    std::printf(
        "Usage: zelconfig [--http-server HOST[:PORT]] [--https-server HOST[:PORT]]\n"
        "       zelconfig --test http|https --method direct|preconfig|preconfig-no-auto|proxy\n"
        "                 [--save] [--http-server ...] [--https-server ...]\n"
        "       zelconfig --help | --version\n"
        "\n"
        "Checks that this machine reaches the central servers and chooses how the\n"
        "transfer system reaches the Internet (\"AccessMethod\" in the registry).\n"
        "%s\n"
        "\n"
        "  --http-server HOST[:PORT]   target of the HTTP test (default: the entry\n"
        "                              point the system uses, else %s:80)\n"
        "  --https-server HOST[:PORT]  target of the HTTPS test (default: the cached\n"
        "                              transfer server, else %s:443)\n"
        "  --test http|https           run one test without dialogs; messages are\n"
        "                              printed; exit status 0 when it passed\n"
        "  --method M                  the test's access method: direct (0),\n"
        "                              preconfig (1), preconfig-no-auto (2), proxy (3)\n"
        "  --save                      store the method as \"AccessMethod\" when the\n"
        "                              test passed (without it nothing is written)\n"
        "  --help                      this text\n"
        "  --version                   the program's version\n"
        "\n"
        "Exit status: 0 when the dialogs were closed or the test passed, 1 when the\n"
        "test failed or the network library could not start, 2 for a bad command\n"
        "line.\n",
        zel::conn::kDialogHelp, zel::conn::kDefaultHttpServer, zel::conn::kDefaultHttpsServer);
}

// The message boxes of --test mode: printed on standard output, the
// confirmation answered by --save.
class PrintingUi : public zel::conn::UserInterface {
  public:
    explicit PrintingUi(bool save) : save_(save) {}
    void ShowMessage(const std::string& text, const std::string& caption) override {
        Print(text, caption);
    }
    void ShowNote(const std::string& text) override {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
    bool AskYesNo(const std::string& text, const std::string& caption) override {
        Print(text, caption);
        std::printf("%s: %s\n", caption.c_str(), save_ ? "Yes" : "No");
        return save_;
    }

  private:
    static void Print(const std::string& text, const std::string& caption) {
        std::string one_line = text;
        for (char& c : one_line) {
            if (c == '\n') c = ' ';
        }
        std::string squeezed;
        for (char c : one_line) {
            if (c == ' ' && !squeezed.empty() && squeezed.back() == ' ') continue;
            squeezed.push_back(c);
        }
        std::printf("%s: %s\n", caption.c_str(), squeezed.c_str());
        std::fflush(stdout);
    }
    bool save_;
};

int Usage(const char* why) {
    std::fprintf(stderr, "zelconfig: %s (see zelconfig --help)\n", why);
    return 2;
}

// What the command line asks for.
struct CommandLine {
    std::string http_server;
    std::string https_server;
    std::string test;
    std::string method_name;
    bool save = false;
    Method method = Method::Direct;
    Group group = Group::Http;
};

// Reads the options into *cl.  -1 to go on, otherwise the exit status
// (after the help, the version or a message on standard error).
int ReadOptions(int argc, char** argv, CommandLine* cl) {
    static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {"http-server", required_argument, nullptr, 'H'},
                                      {"https-server", required_argument, nullptr, 'S'},
                                      {"test", required_argument, nullptr, 't'},
                                      {"method", required_argument, nullptr, 'm'},
                                      {"save", no_argument, nullptr, 's'},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;  // the messages below name the option as it was given
    optind = 1;
    for (int at = optind, c; (c = getopt_long(argc, argv, "+:h", kOptions, nullptr)) != -1;
         at = optind) {
        switch (c) {
            case 'h':
                PrintHelp();
                return 0;
            case 'V':
                std::printf("zelconfig %s\n", zel::kVersion);
                return 0;
            case 'H':
                cl->http_server = optarg;
                break;
            case 'S':
                cl->https_server = optarg;
                break;
            case 't':
                cl->test = optarg;
                break;
            case 'm':
                cl->method_name = optarg;
                break;
            case 's':
                cl->save = true;
                break;
            case ':': {
                // A value missing at the end of the line: say what it should be.
                const std::string given = argv[at];
                if (given == "--http-server") return Usage("--http-server needs HOST[:PORT]");
                if (given == "--https-server") return Usage("--https-server needs HOST[:PORT]");
                if (given == "--test") return Usage("--test needs http or https");
                return Usage("--method needs a method");
            }
            default:
                return Usage(("unknown option " + std::string(argv[at])).c_str());
        }
    }
    if (optind < argc) return Usage(("unknown option " + std::string(argv[optind])).c_str());
    return -1;
}

// Reads the command line into *cl, with the group and method of --test.
// -1 to go on, otherwise the exit status.
int ReadCommandLine(int argc, char** argv, CommandLine* cl) {
    if (int rc = ReadOptions(argc, argv, cl); rc >= 0) return rc;
    if (cl->test.empty() && (!cl->method_name.empty() || cl->save))
        return Usage("--method and --save go with --test");
    if (cl->test.empty()) return -1;
    if (cl->test == "http")
        cl->group = Group::Http;
    else if (cl->test == "https")
        cl->group = Group::Https;
    else
        return Usage("--test takes http or https");
    if (cl->method_name == "direct")
        cl->method = Method::Direct;
    else if (cl->method_name == "preconfig")
        cl->method = Method::Preconfig;
    else if (cl->method_name == "preconfig-no-auto")
        cl->method = Method::PreconfigNoAutoProxy;
    else if (cl->method_name == "proxy")
        cl->method = Method::Proxy;
    else
        return Usage("--method takes direct, preconfig, preconfig-no-auto or proxy");
    return -1;
}

// The servers the system itself uses, unless given by hand.  False when a
// server given is not HOST or HOST:PORT.
bool Configure(const CommandLine& cl, ConnectionUtility* utility) {
    utility->UseSystemServers();
    std::string host;
    int port = 0;
    if (!cl.http_server.empty()) {
        if (!zel::conn::ParseServer(cl.http_server, 80, &host, &port)) return false;
        utility->SetHttpTarget(host, port);
    }
    if (!cl.https_server.empty()) {
        if (!zel::conn::ParseServer(cl.https_server, 443, &host, &port)) return false;
        utility->SetHttpsTarget(host, port);
    }
    return true;
}

// --test: one test with the messages printed.  The exit status.
int RunPrintedTest(const CommandLine& cl) {
    PrintingUi ui(cl.save);
    ConnectionUtility utility(&ui);
    if (!Configure(cl, &utility)) return Usage("a server is not HOST or HOST:PORT");
    const char* group = cl.group == Group::Http ? "HTTP" : "HTTPS";
    std::printf("zelconfig: %s test server %s\n", group, utility.TargetText(cl.group).c_str());
    const TestOutcome outcome = utility.RunTest(cl.group, cl.method);
    if (outcome == TestOutcome::Failed || outcome == TestOutcome::Cancelled) {
        std::printf("zelconfig: %s %s test failed\n", group, zel::conn::MethodLabel(cl.method));
        return 1;
    }
    std::printf(
        "zelconfig: %s %s test passed%s\n", group, zel::conn::MethodLabel(cl.method),
        outcome == TestOutcome::Saved
            ? ("; AccessMethod set to " + std::to_string(static_cast<unsigned>(cl.method))).c_str()
            : "; nothing saved");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Texts (command line, address field, registry) are in the locale's
    // encoding: the ANSI code page on Windows.
    std::setlocale(LC_CTYPE, "");
    CommandLine cl;
    // Anything printed (help, usage errors, --test) must reach the caller.
    zel::conn::PrepareOutput();
    if (int rc = ReadCommandLine(argc, argv, &cl); rc >= 0) return rc;

    const zel::conn::NetworkLibrary network;
    if (!network.ok()) {
        const char* text = "Windows sockets initialization failed.";
        if (cl.test.empty())
            zel::conn::ShowStartupFailure(text);
        else
            std::fprintf(stderr, "zelconfig: %s\n", text);
        return 1;
    }

    if (!cl.test.empty()) return RunPrintedTest(cl);
    {
        // Checked before the dialogs take the screen, so the error is
        // readable.
        PrintingUi probe(false);
        ConnectionUtility check(&probe);
        if (!Configure(cl, &check)) return Usage("a server is not HOST or HOST:PORT");
    }
    return zel::conn::RunDialogs([&](ConnectionUtility* utility) { (void)Configure(cl, utility); });
}
