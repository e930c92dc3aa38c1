// zelconfig: the connection tool.  Interactive, it shows the dialogs on the
// terminal (ncurses); with --test it runs one connection test for scripts
// and support over a slow line, printing every message instead of showing
// it, and exits 0 when the test passed, 1 otherwise.
#include <curl/curl.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "connection_tool/main/screen.h"
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
        "Without --test it shows the dialogs (Tab and arrows move, Enter presses,\n"
        "Space toggles, Esc cancels, \"a\" shows the about box).\n"
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
        zel::conn::kDefaultHttpServer, zel::conn::kDefaultHttpsServer);
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

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    std::string http_server;
    std::string https_server;
    std::string test;
    std::string method_name;
    bool save = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return 0;
        } else if (a == "--version") {
            std::printf("zelconfig %s\n", zel::kVersion);
            return 0;
        } else if (a == "--http-server") {
            if (!value(&http_server)) return Usage("--http-server needs HOST[:PORT]");
        } else if (a == "--https-server") {
            if (!value(&https_server)) return Usage("--https-server needs HOST[:PORT]");
        } else if (a == "--test") {
            if (!value(&test)) return Usage("--test needs http or https");
        } else if (a == "--method") {
            if (!value(&method_name)) return Usage("--method needs a method");
        } else if (a == "--save") {
            save = true;
        } else {
            return Usage(("unknown option " + a).c_str());
        }
    }
    if (test.empty() && (!method_name.empty() || save))
        return Usage("--method and --save go with --test");

    Method method = Method::Direct;
    Group group = Group::Http;
    if (!test.empty()) {
        if (test == "http")
            group = Group::Http;
        else if (test == "https")
            group = Group::Https;
        else
            return Usage("--test takes http or https");
        if (method_name == "direct")
            method = Method::Direct;
        else if (method_name == "preconfig")
            method = Method::Preconfig;
        else if (method_name == "preconfig-no-auto")
            method = Method::PreconfigNoAutoProxy;
        else if (method_name == "proxy")
            method = Method::Proxy;
        else
            return Usage("--method takes direct, preconfig, preconfig-no-auto or proxy");
    }

    // The network library's start-up stands for the sockets start-up.
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fprintf(stderr, "zelconfig: Windows sockets initialization failed.\n");
        return 1;
    }
    struct CurlGlobal {
        ~CurlGlobal() { curl_global_cleanup(); }
    } curl_global;

    // The servers the system itself uses, unless given by hand.
    auto configure = [&](ConnectionUtility* utility) {
        utility->UseSystemServers();
        std::string host;
        int port = 0;
        if (!http_server.empty()) {
            if (!zel::conn::ParseServer(http_server, 80, &host, &port)) return false;
            utility->SetHttpTarget(host, port);
        }
        if (!https_server.empty()) {
            if (!zel::conn::ParseServer(https_server, 443, &host, &port)) return false;
            utility->SetHttpsTarget(host, port);
        }
        return true;
    };

    if (!test.empty()) {
        PrintingUi ui(save);
        ConnectionUtility utility(&ui);
        if (!configure(&utility)) return Usage("a server is not HOST or HOST:PORT");
        std::printf("zelconfig: %s test server %s\n", group == Group::Http ? "HTTP" : "HTTPS",
                    utility.TargetText(group).c_str());
        const TestOutcome outcome = utility.RunTest(group, method);
        if (outcome == TestOutcome::Failed || outcome == TestOutcome::Cancelled) {
            std::printf("zelconfig: %s %s test failed\n", group == Group::Http ? "HTTP" : "HTTPS",
                        zel::conn::MethodLabel(method));
            return 1;
        }
        std::printf(
            "zelconfig: %s %s test passed%s\n", group == Group::Http ? "HTTP" : "HTTPS",
            zel::conn::MethodLabel(method),
            outcome == TestOutcome::Saved
                ? ("; AccessMethod set to " + std::to_string(static_cast<unsigned>(method))).c_str()
                : "; nothing saved");
        return 0;
    }

    {
        // Checked before the screen takes the terminal, so the error is
        // readable.
        PrintingUi probe(false);
        ConnectionUtility check(&probe);
        if (!configure(&check)) return Usage("a server is not HOST or HOST:PORT");
    }
    zel::conn::Screen screen;
    ConnectionUtility utility(&screen);
    (void)configure(&utility);
    screen.RunMainDialog(&utility);
    return 0;
}
