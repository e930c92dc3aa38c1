// The Poll component as its clients meet it: the library registered with the
// real regsvr in a scratch system root, the object made by CoCreateInstance,
// and its requests against the real zelsim (HTTP and HTTPS).  This suite
// knows the component only through its public interface header and links
// none of its code; the registry is inspected with the real qvreg.
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/com_ptr.h"
#include "platform/com/library.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "poll/ipoll.h"
#include "tests/common/live_central.h"
#include "tests/common/records.h"
#include "tests/common/scratch.h"
#include "tests/common/spawn.h"
#include "tests/common/test_certs.h"
#include "tests/common/test_server.h"
#include "tests/directory/sim.h"

namespace {

using zel::com::ComPtr;
using zel::test::BuildPath;
using zel::test::directory::Simulator;

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());  // ASCII test texts only
}

struct Bstr {
    explicit Bstr(const std::string& s) : b(SysAllocString(Wide(s).c_str())) {}
    ~Bstr() { SysFreeString(b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR b;
};

std::string Narrow(BSTR b) {
    std::string out;
    for (const char16_t* p = b; p != nullptr && *p != 0; ++p) out.push_back(static_cast<char>(*p));
    return out;
}

// The thread's error object, taken: description, source and interface.
struct TakenError {
    bool present = false;
    std::string description;
    std::string source;
    GUID guid = GUID_NULL;
};
TakenError TakeErrorInfo() {
    TakenError e;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) != S_OK || !info) return e;
    e.present = true;
    BSTR text = nullptr;
    if (info->GetDescription(&text) == S_OK) e.description = Narrow(text);
    SysFreeString(text);
    text = nullptr;
    if (info->GetSource(&text) == S_OK) e.source = Narrow(text);
    SysFreeString(text);
    (void)info->GetGUID(&e.guid);
    return e;
}

const char kListEnvelope[] =
    "<SOAP:Envelope xmlns:SOAP=\"urn:schemas-xmlsoap-org:soap.v1\"><SOAP:Body>"
    "<m:GetFileListFromQuvaro xmlns:m=\"urn:poll-input\"><R1><!-- Dealer Name --><DN>DB</DN>"
    "</R1></m:GetFileListFromQuvaro></SOAP:Body></SOAP:Envelope>";

// A sink for _IPollEvents: answers the event interface and IUnknown.
class EventSink final : public IDispatch {
  public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != DIID__IPollEvents)
            return E_NOINTERFACE;
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    ULONG refs = 1;
};

class PollComponentTest : public zel::test::ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        ::signal(SIGPIPE, SIG_IGN);
        ::unsetenv("SSL_CERT_FILE");
        ::unsetenv("SSL_CERT_DIR");
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        WriteFile(CommPath("CONTROL"), "A,B,C,D,E");  // unit contract "DB"
    }
    void TearDown() override {
        (void)SetErrorInfo(0, nullptr);
        CoFreeUnusedLibraries();
        CoUninitialize();
    }

    static std::string Library() { return zel::test::PollLibrary(); }

    // Runs a built tool; its standard output in *out (may be null).
    int Tool(const std::string& tool, const std::vector<std::string>& args,
             std::string* out = nullptr) {
        const std::string file = Path("tool.out");
        const pid_t pid = zel::test::Spawn(BuildPath("tools/" + tool), args, file);
        const int rc = pid > 0 ? zel::test::Wait(pid) : -1;
        if (out != nullptr) *out = ReadFile(file);
        return rc;
    }
    std::string ExportClasses() {
        std::string text;
        EXPECT_EQ(Tool("qvreg", {"export", "HKCR"}, &text), 0);
        return text;
    }
    void Register() { ASSERT_TRUE(zel::test::RegisterPoll()); }

    ComPtr<IPoll> Create() {
        ComPtr<IPoll> poll;
        EXPECT_EQ(
            CoCreateInstance(CLSID_Poll, nullptr, CLSCTX_INPROC_SERVER, IID_IPoll, poll.OutVoid()),
            S_OK);
        return poll;
    }

    // zelsim requiring the dealer's credentials, published nothing, and the
    // component pointed at it through ISERVER.XML and its password file.
    void StartSimulator(bool tls, const std::vector<std::string>& extra = {}) {
        if (tls) {
            ASSERT_TRUE(zel::test::MakeTestCerts(dir_, &certs_));
            ::setenv("SSL_CERT_FILE", certs_.ca_file.c_str(), 1);
            ASSERT_TRUE(central_.Start(extra, certs_.leaf_cert, certs_.leaf_key));
        } else {
            ASSERT_TRUE(central_.Start(extra));
        }
        sim_ = central_.sim();
    }
    // zelsim's request-log lines for the list operation.
    std::vector<std::string> ListRequests() const {
        std::vector<std::string> lines;
        for (const auto& l : sim_->Requests())
            if (l.find("/GetFileListFromQuvaro") != std::string::npos) lines.push_back(l);
        return lines;
    }

    zel::test::TestCerts certs_;
    zel::test::LiveCentral central_;
    Simulator* sim_ = nullptr;
};

TEST_F(PollComponentTest, RegistrationWritesItsKeysAndRemovesExactlyThem) {
    // Keys another component owns, in the shared parents, must survive.
    for (const char* key : {"HKCR\\CLSID\\{11111111-2222-3333-4444-555555555555}",
                            "HKCR\\Interface\\{11111111-2222-3333-4444-555555555556}",
                            "HKCR\\TypeLib\\{11111111-2222-3333-4444-555555555557}\\1.0",
                            "HKCR\\Other.Thing.1\\CLSID"}) {
        ASSERT_EQ(Tool("qvreg", {"add", key, "/ve", "/d", "kept"}), 0) << key;
    }
    const std::string before = ExportClasses();
    ComPtr<IPoll> none;
    EXPECT_EQ(
        CoCreateInstance(CLSID_Poll, nullptr, CLSCTX_INPROC_SERVER, IID_IPoll, none.OutVoid()),
        REGDB_E_CLASSNOTREG);

    Register();
    const std::string after = ExportClasses();
    const std::string clsid = "[HKEY_CLASSES_ROOT\\CLSID\\{06DE18F4-8B93-4C8C-8CC1-BF782D8944EC}";
    const std::string path = std::filesystem::canonical(Library()).string();
    for (const std::string& expected : {
             clsid + "]\r?\n@=\"Poll Class\"",
             clsid + "\\InprocServer32]\r?\n@=\"" + path + "\"\r?\n\"ThreadingModel\"=\"Both\"",
             clsid + "\\ProgID]\r?\n@=\"Poll.Poll.1\"",
             clsid + "\\VersionIndependentProgID]\r?\n@=\"Poll.Poll\"",
             clsid + "\\Programmable]",
             clsid + "\\TypeLib]\r?\n@=\"{269FBA65-9180-4C43-B695-A2EE61B149A6}\"",
             std::string("[HKEY_CLASSES_ROOT\\Poll.Poll.1\\CLSID]\r?\n@=\"{06DE18F4"),
             std::string("[HKEY_CLASSES_ROOT\\Poll.Poll\\CurVer]\r?\n@=\"Poll.Poll.1\""),
             "\\{269FBA65-9180-4C43-B695-A2EE61B149A6}\\1.0\\409\\linux64]\r?\n@=\"" + path,
         }) {
        std::string pattern;
        for (char c : expected) {
            if (std::string("[]\\{}.()").find(c) != std::string::npos) pattern += '\\';
            pattern += c;
        }
        EXPECT_TRUE(std::regex_search(after, std::regex(pattern))) << expected;
    }
    CLSID by_progid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(kPollProgId, &by_progid), S_OK);
    EXPECT_TRUE(by_progid == CLSID_Poll);

    // Registering twice changes nothing; removal restores the store exactly.
    Register();
    EXPECT_EQ(ExportClasses(), after);
    ASSERT_EQ(Tool("regsvr", {"/u", "/s", Library()}), 0);
    EXPECT_EQ(ExportClasses(), before);
    EXPECT_EQ(
        CoCreateInstance(CLSID_Poll, nullptr, CLSCTX_INPROC_SERVER, IID_IPoll, none.OutVoid()),
        REGDB_E_CLASSNOTREG);
}

TEST_F(PollComponentTest, ObjectAnswersItsInterfacesAndFollowsTheObjectCount) {
    Register();
    zel::com::DynamicLibrary library;  // the same handle activation loads
    ASSERT_EQ(library.Load(Library(), nullptr), zel::com::DynamicLibrary::LoadError::None);
    auto can_unload = reinterpret_cast<HRESULT (*)()>(library.Symbol("DllCanUnloadNow"));
    auto get_class = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(
        library.Symbol("DllGetClassObject"));
    ASSERT_NE(can_unload, nullptr);
    ASSERT_NE(get_class, nullptr);
    EXPECT_EQ(library.Symbol("_ZN5CPollC1Ev"), nullptr);  // the core stays hidden
    EXPECT_EQ(can_unload(), S_OK);

    ComPtr<IClassFactory> wrong;
    EXPECT_EQ(get_class(IID_IPoll, IID_IClassFactory, wrong.OutVoid()), CLASS_E_CLASSNOTAVAILABLE);

    {
        ComPtr<IPoll> poll = Create();
        ASSERT_TRUE(poll);
        EXPECT_EQ(can_unload(), S_FALSE);

        // One identity; IDispatch is IPoll.
        ComPtr<IUnknown> unknown;
        ComPtr<IDispatch> dispatch;
        ASSERT_EQ(poll->QueryInterface(IID_IUnknown, unknown.OutVoid()), S_OK);
        ASSERT_EQ(poll->QueryInterface(IID_IDispatch, dispatch.OutVoid()), S_OK);
        EXPECT_EQ(static_cast<IDispatch*>(poll.get()), dispatch.get());
        ComPtr<IClassFactory> not_answered;
        EXPECT_EQ(poll->QueryInterface(IID_IClassFactory, not_answered.OutVoid()), E_NOINTERFACE);

        ComPtr<ISupportErrorInfo> support;
        ASSERT_EQ(poll->QueryInterface(IID_ISupportErrorInfo, support.OutVoid()), S_OK);
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IPoll), S_OK);
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

        // The event connection point keeps an advised sink until Unadvise.
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(poll->QueryInterface(IID_IConnectionPointContainer, container.OutVoid()), S_OK);
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(container->FindConnectionPoint(IID_IPoll, point.Out()), CONNECT_E_NOCONNECTION);
        ASSERT_EQ(container->FindConnectionPoint(DIID__IPollEvents, point.Out()), S_OK);
        ComPtr<IEnumConnectionPoints> points;
        ASSERT_EQ(container->EnumConnectionPoints(points.Out()), S_OK);
        IConnectionPoint* listed[2] = {nullptr, nullptr};
        ULONG fetched = 0;
        EXPECT_EQ(points->Next(2, listed, &fetched), S_FALSE);
        ASSERT_EQ(fetched, 1u);
        EXPECT_EQ(listed[0], point.get());
        listed[0]->Release();
        EventSink sink;
        DWORD cookie = 0;
        ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
        EXPECT_GT(sink.refs, 1u);
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
        EXPECT_EQ(sink.refs, 1u);

        // Every setter answers S_OK; an empty log name leaves message 157.
        Bstr log(Path("client.log"));
        Bstr result("R.TXT");
        Bstr user("DEALER9");
        Bstr empty("");
        EXPECT_EQ(poll->SetDebugMode(1), S_OK);
        EXPECT_EQ(poll->SetLogFile(log.b), S_OK);
        EXPECT_FALSE(TakeErrorInfo().present);
        EXPECT_EQ(poll->EnableLogging(1), S_OK);
        EXPECT_EQ(poll->SetResultFile(result.b), S_OK);
        EXPECT_EQ(poll->SetUserID(user.b), S_OK);
        EXPECT_EQ(poll->ReleaseLogFile(), S_OK);
        EXPECT_EQ(poll->SetDebugMode(0), S_OK);
        EXPECT_EQ(poll->SetLogFile(nullptr), S_OK);
        const TakenError e = TakeErrorInfo();
        ASSERT_TRUE(e.present);
        EXPECT_EQ(e.description, "Input data error~~File name  is invalid.");
        EXPECT_EQ(e.source, "Poll.Poll.1");
        EXPECT_TRUE(e.guid == IID_IPoll);
        EXPECT_EQ(poll->SetResultFile(empty.b), S_OK);
        EXPECT_TRUE(TakeErrorInfo().present);
        EXPECT_NE(ReadFile(Path("client.log")).find("SetResultFile"), std::string::npos);
    }
    EXPECT_EQ(can_unload(), S_OK);

    // A server lock and a held factory keep the library, as objects do.
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_Poll, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               factory.OutVoid()),
              S_OK);
    EXPECT_EQ(can_unload(), S_FALSE);
    ASSERT_EQ(factory->LockServer(1), S_OK);
    factory.Reset();
    EXPECT_EQ(can_unload(), S_FALSE);
    CoFreeUnusedLibraries();
    EXPECT_EQ(zel::com::LoadedLibraryCount(), 1);
    ASSERT_EQ(CoGetClassObject(CLSID_Poll, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               factory.OutVoid()),
              S_OK);
    EXPECT_EQ(factory->LockServer(0), S_OK);
    factory.Reset();
    EXPECT_EQ(can_unload(), S_OK);
    CoFreeUnusedLibraries();
    EXPECT_EQ(zel::com::LoadedLibraryCount(), 0);
}

TEST_F(PollComponentTest, ComponentJoinsTheClientsRegistryTransaction) {
    // The component and this program use one registry store connection: a
    // transaction the client holds covers what the object writes on the same
    // thread, instead of making it wait for the client's write lock.
    Register();
    zel::reg::Key key;
    ASSERT_EQ(zel::reg::OpenKey(zel::reg::Hive::LocalMachine, zel::keys::kZelwayKey, &key),
              zel::reg::kNotFound);
    {
        zel::reg::Transaction transaction;
        ASSERT_EQ(transaction.Begin(), zel::reg::kSuccess);
        const auto start = std::chrono::steady_clock::now();
        ComPtr<IPoll> poll = Create();  // names its install directory in the store
        ASSERT_TRUE(poll);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        std::string install_dir;
        ASSERT_EQ(zel::reg::OpenKey(zel::reg::Hive::LocalMachine, zel::keys::kZelwayKey, &key),
                  zel::reg::kSuccess);
        EXPECT_EQ(zel::reg::QueryString(key, "InstallDir", &install_dir), zel::reg::kSuccess);
        EXPECT_EQ(install_dir, zel::paths::CommDir());
        key.Close();
        transaction.Rollback();
    }
    // Rolled back with the client's transaction.
    EXPECT_EQ(zel::reg::OpenKey(zel::reg::Hive::LocalMachine, zel::keys::kZelwayKey, &key),
              zel::reg::kNotFound);
}

TEST_F(PollComponentTest, ListRequestReachesZelsimOverHttpAndHttps) {
    Register();
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        StartSimulator(tls);
        ComPtr<IPoll> poll = Create();
        ASSERT_TRUE(poll);
        Bstr dir(Path(tls ? "down-tls" : "down"));
        Bstr filter(tls ? "*.DAT" : "");
        // Nothing is published: the answer is fault 2001, a success.
        EXPECT_EQ(poll->GetFiles(dir.b, filter.b), S_OK);
        EXPECT_EQ(ReadFile(Path(tls ? "down-tls/Poll.Result" : "down/Poll.Result")),
                  "1000 NO POLL FILES AVAILABLE.\r\n");
        const std::string length = std::to_string(std::strlen(kListEnvelope));
        const std::string target = tls ? "/qvgqa/poll/GetFileListFromQuvaro?UnitContract=DB"
                                         "&Filter=*.DAT&QueryVersion=001"
                                       : "/qvgqa/poll/GetFileListFromQuvaro?UnitContract=DB"
                                         "&QueryVersion=001";
        EXPECT_EQ(ListRequests(),
                  std::vector<std::string>{"POST " + target +
                                           " 200 auth=Y type=text/xml length=" + length});
        poll.Reset();
        central_.Stop();
        sim_ = nullptr;
    }
}

// Packs text into a ".dtz" (gzip) file as the central side publishes it.
bool WritePacked(const std::string& path, const std::string& text) {
    gzFile out = gzopen(path.c_str(), "wb6");
    if (out == nullptr) return false;
    const int written = gzwrite(out, text.data(), static_cast<unsigned>(text.size()));
    return gzclose(out) == Z_OK && written == static_cast<int>(text.size());
}

std::string ReadPacked(const std::string& path) {
    std::string text;
    gzFile in = gzopen(path.c_str(), "rb");
    if (in == nullptr) return text;
    char buffer[4096];
    for (int n; (n = gzread(in, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    gzclose(in);
    return text;
}

// A download and an upload through the registered component, as ferrun and
// the job runner make them, against zelsim over HTTP and HTTPS.
TEST_F(PollComponentTest, DownloadAndUploadThroughTheRegisteredComponent) {
    Register();
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        const std::string down = Path(tls ? "down-tls" : "down");
        const std::string up = Path(tls ? "up-tls" : "up");
        std::filesystem::create_directories(down);
        std::filesystem::create_directories(up);
        // Each round publishes and fetches the same name afresh.
        StartSimulator(tls);
        std::filesystem::remove_all(central_.Published(".acknowledged"));
        std::remove(CommPath("qvzel.down.guard").c_str());
        std::filesystem::create_directories(central_.Published("a/b"));
        const std::string text = "dealer prices\r\n" + std::string(20000, 'p');
        ASSERT_TRUE(WritePacked(central_.Published("a/b/X.DAT.dtz"), text));
        WriteFile(up + "/A.TXT", std::string(8000, 'a'));
        ComPtr<IPoll> poll = Create();
        ASSERT_TRUE(poll);
        const std::string client_log = Path(tls ? "client-tls.log" : "client.log");
        Bstr log(client_log);
        ASSERT_EQ(poll->SetLogFile(log.b), S_OK);

        Bstr down_dir(down);
        Bstr none("");
        ASSERT_EQ(poll->GetFiles(down_dir.b, none.b), S_OK);
        EXPECT_EQ(ReadFile(down + "/Poll.Result"), "0000 X.DAT\r\n");
        EXPECT_TRUE(ReadFile(down + "/X.DAT") == text);
        // Acknowledged: the next download finds nothing published.
        ASSERT_EQ(poll->GetFiles(down_dir.b, none.b), S_OK);
        EXPECT_EQ(ReadFile(down + "/Poll.Result"),
                  "0000 X.DAT\r\n1000 NO POLL FILES AVAILABLE.\r\n");

        Bstr up_dir(up);
        ASSERT_EQ(poll->PutFiles(up_dir.b, none.b, none.b), S_OK);
        EXPECT_EQ(ReadFile(up + "/Poll.Result"), "0000 A.TXT.dtz\r\n");
        EXPECT_FALSE(FileExists(up + "/A.TXT"));
        EXPECT_FALSE(FileExists(up + "/A.TXT.dtz"));
        EXPECT_TRUE(ReadPacked(central_.Uploaded("A.TXT.dtz")) == std::string(8000, 'a'));
        // Finding the password file in place is no failure: nothing about
        // it is logged.  The first download logs the empty directory cache
        // and the "no files" answer as errors; the upload, with the cache
        // filled, logs none.
        const std::string records = ReadFile(client_log);
        EXPECT_EQ(records.find("IsCreateDirReqd"), std::string::npos) << records;
        EXPECT_EQ(records.find("Input data error"), std::string::npos) << records;
        const std::size_t upload = records.rfind("Context: GetFiles:CPoll::GetFiles");
        ASSERT_NE(upload, std::string::npos);
        EXPECT_NE(records.find("Context: PutFiles:CPoll::PutFiles", upload), std::string::npos);
        EXPECT_EQ(records.find("Severity: Error", upload), std::string::npos) << records;
        poll.Reset();
        central_.Stop();
        sim_ = nullptr;
    }

    // Refused with HTTP 500: the line carries the status, the file stays,
    // and the call fails with the HTTP status's code.
    StartSimulator(false, {"--fault", "PutFileFromDealer=500x10"});
    WriteFile(Path("up/F.TXT"), "refused");
    std::remove(Path("up/Poll.Result").c_str());
    ComPtr<IPoll> poll = Create();
    ASSERT_TRUE(poll);
    Bstr up_dir(Path("up"));
    EXPECT_EQ(poll->PutFiles(up_dir.b, nullptr, nullptr), MakeResult(0x80258000 + 500));
    EXPECT_EQ(ReadFile(Path("up/Poll.Result")), "0500 F.TXT.dtz\r\n");
    EXPECT_EQ(ReadPacked(Path("up/F.TXT.dtz")), "refused");
    EXPECT_FALSE(FileExists(central_.Uploaded("F.TXT.dtz")));
}

// A sink that records every Progress event; with unadvise_at_first set it
// unadvises itself from inside the first event it gets.
class ProgressRecorder final : public IPollEvents {
  public:
    struct Event {
        std::string name;
        LONGLONG bytes;
        LONGLONG total;
        LONG direction;
        bool finished;
    };

    HRESULT QueryInterface(REFIID riid, void** object) override {
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != DIID__IPollEvents)
            return E_NOINTERFACE;
        *object = static_cast<IPollEvents*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                   EXCEPINFO*, UINT*) override {
        EXPECT_EQ(id, DISPID__IPollEvents_Progress);
        EXPECT_TRUE(riid == IID_NULL);
        EXPECT_EQ(flags, DISPATCH_METHOD);
        PollProgress p;
        EXPECT_EQ(ReadPollProgress(params, &p), S_OK);
        events.push_back({Narrow(p.file_name), p.bytes, p.total, p.direction, p.finished});
        if (unadvise_at_first != nullptr) {
            EXPECT_EQ(unadvise_at_first->Unadvise(cookie), S_OK);
        }
        unadvise_at_first = nullptr;
        return E_FAIL;  // ignored by the object
    }

    // The events of one file, in order.
    std::vector<Event> Of(const std::string& name) const {
        std::vector<Event> out;
        for (const Event& e : events)
            if (e.name == name) out.push_back(e);
        return out;
    }

    ULONG refs = 1;
    std::vector<Event> events;
    IConnectionPoint* unadvise_at_first = nullptr;
    DWORD cookie = 0;
};

// What a sink on _IPollEvents hears: for every file fetched or sent, a
// first event with no bytes, counts that never go down, and one last
// event with Finished set that gives the whole size; the events of one file
// are not mixed with another's, and few enough to cost nothing.
TEST_F(PollComponentTest, ProgressEventsFollowEveryFile) {
    Register();
    StartSimulator(false);
    std::string big(5 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
    central_.Publish("BIG.DAT", big);
    central_.Publish("SMALL.TXT", "small\n");
    std::filesystem::create_directories(Path("down"));
    std::filesystem::create_directories(Path("up"));
    WriteFile(Path("up/U.TXT"), std::string(100000, 'u'));

    ComPtr<IPoll> poll = Create();
    ASSERT_TRUE(poll);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(poll->QueryInterface(IID_IConnectionPointContainer, container.OutVoid()), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(DIID__IPollEvents, point.Out()), S_OK);
    ProgressRecorder sink;
    ASSERT_EQ(point->Advise(&sink, &sink.cookie), S_OK);

    Bstr down(Path("down"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(poll->GetFiles(down.b, nullptr), S_OK);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(ReadFile(Path("down/BIG.DAT")) == big);
    Bstr up(Path("up"));
    ASSERT_EQ(poll->PutFiles(up.b, nullptr, nullptr), S_OK);

    const std::pair<std::string, LONG> files[] = {
        {"BIG.DAT", kPollDownload}, {"SMALL.TXT", kPollDownload}, {"U.TXT.dtz", kPollUpload}};
    std::size_t counted = 0;
    for (const auto& [name, direction] : files) {
        SCOPED_TRACE(name);
        const auto events = sink.Of(name);
        ASSERT_GE(events.size(), 2u);
        counted += events.size();
        EXPECT_EQ(events.front().bytes, 0);
        for (std::size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i].direction, direction);
            EXPECT_EQ(events[i].finished, i + 1 == events.size());
            if (i > 0) {
                EXPECT_GE(events[i].bytes, events[i - 1].bytes);
            }
        }
        EXPECT_GT(events.back().bytes, 0);
        EXPECT_EQ(events.back().bytes, events.back().total);
        // An upload's size is known before it is sent; a download's only
        // once the answer comes.
        EXPECT_EQ(events.front().total, direction == kPollUpload ? events.back().total : -1);
    }
    EXPECT_EQ(counted, sink.events.size());  // no event for anything else
    EXPECT_EQ(sink.Of("BIG.DAT").back().total, static_cast<LONGLONG>(big.size()));
    EXPECT_EQ(sink.Of("SMALL.TXT").back().total, 6);
    // One file's events in one run: the first of the other file comes after
    // the last of this one.
    std::vector<std::string> order;
    for (const auto& e : sink.events)
        if (order.empty() || order.back() != e.name) order.push_back(e.name);
    EXPECT_EQ(order.size(), 3u);
    // At most one event per 100 ms while the body moves, besides the first
    // and the last.
    const auto in_between = sink.Of("BIG.DAT").size() - 2;
    EXPECT_LE(in_between,
              static_cast<std::size_t>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(took).count() / 100 + 1));

    // A sink may leave from inside an event: it hears nothing after that,
    // and the transfer goes on.
    sink.events.clear();
    sink.unadvise_at_first = point.get();
    central_.Publish("LATE.DAT", "late\n");
    ASSERT_EQ(poll->GetFiles(down.b, nullptr), S_OK);
    EXPECT_EQ(ReadFile(Path("down/LATE.DAT")), "late\n");
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0].name, "LATE.DAT");
    EXPECT_EQ(sink.refs, 1u);
}

TEST_F(PollComponentTest, DispatchByNameCallsTheSetters) {
    Register();
    StartSimulator(false);
    ComPtr<IPoll> poll = Create();
    ASSERT_TRUE(poll);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(poll->QueryInterface(IID_IDispatch, dispatch.OutVoid()), S_OK);

    const char16_t* names[] = {u"SetLogFile", u"releaselogfile", u"EnableLogging", u"SetDebugMode",
                               u"GetFiles",   u"PutFiles",       u"SetResultFile", u"SETUSERID"};
    for (int i = 0; i < 8; ++i) {
        LPOLESTR name = const_cast<LPOLESTR>(names[i]);
        DISPID id = 0;
        ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
        EXPECT_EQ(id, i + 1);
    }
    auto call = [&](const char16_t* member, std::vector<std::string> args) {
        LPOLESTR name = const_cast<LPOLESTR>(member);
        DISPID id = DISPID_UNKNOWN;
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
        std::vector<VARIANT> v(args.size());
        for (std::size_t i = 0; i < args.size(); ++i) {  // the last argument first
            VariantInit(&v[i]);
            v[i].vt = VT_BSTR;
            v[i].bstrVal = SysAllocString(Wide(args[args.size() - 1 - i]).c_str());
        }
        DISPPARAMS params{v.data(), nullptr, static_cast<UINT>(v.size()), 0};
        const HRESULT hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                            &params, nullptr, nullptr, nullptr);
        for (VARIANT& x : v) EXPECT_EQ(VariantClear(&x), S_OK);
        return hr;
    };
    // The contract and result file set through Invoke are the ones used.
    EXPECT_EQ(call(u"SetResultFile", {"BYNAME.TXT"}), S_OK);
    EXPECT_EQ(call(u"SetUserID", {"VIADISPATCH"}), S_OK);
    EXPECT_EQ(call(u"SetUserID", {}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(call(u"GetFiles", {Path("down"), ""}), S_OK);
    EXPECT_EQ(ReadFile(Path("down/BYNAME.TXT")), "1000 NO POLL FILES AVAILABLE.\r\n");
    const auto lines = ListRequests();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("POST /qvgqa/poll/GetFileListFromQuvaro?UnitContract=VIADISPATCH"
                             "&QueryVersion=001 200 auth=Y",
                             0),
              0u);
}

TEST_F(PollComponentTest, MissingServerListIsWrittenWithTheDefault) {
    Register();
    ASSERT_EQ(Tool("zelpasswd", {"dealer7:s3cret"}), 0);
    // Every request goes to a loopback proxy, so the default entry point is
    // never looked up or reached; the proxy refuses it.
    zel::test::TestServer proxy(zel::test::TestServer::Options{});
    std::string error;
    ASSERT_TRUE(proxy.Start(&error)) << error;
    const std::string servers = "HKLM\\SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Servers";
    ASSERT_EQ(Tool("qvreg", {"add", servers, "/v", "AccessOverride", "/t", "REG_DWORD", "/d", "1"}),
              0);
    ASSERT_EQ(Tool("qvreg", {"add", servers, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1"}),
              0);
    ASSERT_EQ(Tool("qvreg", {"add", servers, "/v", "ProxyServer", "/d",
                             "127.0.0.1:" + std::to_string(proxy.port())}),
              0);
    for (int i = 0; i < 4; ++i)
        proxy.Enqueue(zel::test::ScriptedResponse::Text(404, "Not Found", ""));
    ASSERT_FALSE(FileExists(CommPath("ISERVER.XML")));

    ComPtr<IPoll> poll = Create();
    ASSERT_TRUE(poll);
    Bstr dir(Path("down"));
    EXPECT_TRUE(FAILED(poll->GetFiles(dir.b, nullptr)));
    EXPECT_EQ(ReadFile(CommPath("ISERVER.XML")),
              "<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>entry.quvaro.example</SRVIP> "
              "<SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP>"
              "</R></XML>");
    const auto requests = proxy.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].target,
              "http://entry.quvaro.example/qvgqa/RetrieveServerInformation.xml");
}

// One record of the client log written inside GetFiles, less the time stamp.
std::string Record(const char* user, const char* severity, const char* category, const char* id,
                   const char* message, const char* context) {
    return zel::test::LogRecordOf(user, severity, category, id, message,
                                  std::string("GetFiles:") + context);
}

// The log's records with date, time and process id taken out.
std::string WithoutTimeStamps(const std::string& log) {
    return std::regex_replace(log, std::regex("TimeStamp: [^\r\n]*\r\n"), "");
}

TEST_F(PollComponentTest, FailingListRequestLogsThePrescribedRecords) {
    Register();
    // Both attempts of the list request are answered 404; the second one
    // runs after a forced refresh, which reaches zelsim through ISERVER.XML.
    StartSimulator(false, {"--fault", "GetFileListFromQuvaro=404x2"});
    ComPtr<IPoll> poll = Create();
    ASSERT_TRUE(poll);
    Bstr log(Path("client-404.log"));
    EXPECT_EQ(poll->SetLogFile(log.b), S_OK);
    Bstr dir(Path("down"));
    EXPECT_EQ(poll->GetFiles(dir.b, nullptr), MakeResult(0x80258000 + 404));
    const TakenError e = TakeErrorInfo();
    ASSERT_TRUE(e.present);
    EXPECT_EQ(e.description,
              "Server response error~~Error response from server. HTTP response code: 404.");
    EXPECT_EQ(e.source, "Poll.Poll.1");
    EXPECT_TRUE(e.guid == IID_IPoll);

    const char* u = "dealer7";
    const char* info = "Information";
    const char* app = "Client Application";
    const char* comm = "Client Communication";
    // The access method is decided afresh for every connection.
    auto access = [&](const char* agent, bool poll_request) {
        std::string r =
            Record(u, info, app, "33220000", "AccessOverride", "Get Registry Int(GetAccessType)") +
            Record(u, info, app, "33220000", "AccessMethod", "Get Registry Int(GetAccessType)") +
            Record(u, info, app, "33220000", "n/a", "Final Access Method(GetAccessType)") +
            Record(u, info, app, "33220001", "ACCESS_TYPE_DIRECT", "GetAccessType");
        if (poll_request) {
            r += Record(u, info, app, "33220001", "Access type: INTERNET_OPEN_TYPE_DIRECT",
                        "CPoll::Initialize");
        }
        return r +
               Record(u, info, app, "33220000", (std::string("Agent:") + agent).c_str(),
                      "CInternetAccess::Initialize") +
               Record(u, info, app, "33220000", "Proxy:no", "CInternetAccess::Initialize") +
               Record(u, info, app, "33220001", "INTERNET_OPEN_TYPE_DIRECT", "AccessType");
    };
    auto exchange = [&](bool with_body) {
        return Record(u, info, comm, "33320000", "calling InternetConnect",
                      "CInternetAccess::GetConnection") +
               Record(u, info, comm, "33320000", "calling HttpSendRequestEx",
                      "CInternetAccess::SendHTTPRequest") +
               (with_body ? Record(u, info, comm, "33320000", "calling InternetWriteFile",
                                   "CInternetAccess::SendHTTPRequest")
                          : std::string()) +
               Record(u, info, comm, "33320000", "calling HttpEndRequest",
                      "CInternetAccess::SendHTTPRequest");
    };
    const std::string no_server = Record(u, "Error", app, "13220300", "Server Info search error",
                                         "CQVReg::GetServerInfoByName");
    const std::string no_query = Record(u, "Error", app, "13220301", "Query Info search error",
                                        "CQVReg::GetQueryInfoByName");
    const std::string answer = Record(u, "Error", "Server Response", "13720404",
                                      "Server response error", "CPoll::SendRequest");
    std::string expected =
        // Finding the password file in place is no failure and writes
        // nothing.  Nothing cached yet: refresh (server list, system information and
        // query list), then the request itself.
        no_server + access("QVReg", false) + exchange(false) + no_server + access("QVReg", false) +
        exchange(false) + exchange(false) + no_query + no_query + no_query + no_query +
        access("Poll", true) + exchange(true) + answer +
        // The second attempt, after a forced refresh.
        access("QVReg", false) + exchange(false) + access("QVReg", false) + exchange(false) +
        exchange(false) + access("Poll", true) + exchange(true) + answer +
        // The frame's outcome record with the status's low 14 bits.
        Record(u, "Error", app, "13220404", "Operation is not successful.", "CPoll::GetFiles");
    EXPECT_EQ(WithoutTimeStamps(ReadFile(Path("client-404.log"))), expected);
    // Every record carries its own date, time and this process's id.
    const std::string text = ReadFile(Path("client-404.log"));
    const std::regex stamp("TimeStamp: \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\(" +
                           std::to_string(::getpid()) + "\\)\r\n");
    std::ptrdiff_t records = 0;
    for (std::size_t at = expected.find("User: "); at != std::string::npos;
         at = expected.find("User: ", at + 1))
        ++records;
    EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), stamp),
                            std::sregex_iterator()),
              records);
    EXPECT_EQ(sim_->Count("/qvgqa/poll/GetFileListFromQuvaro?UnitContract=DB&QueryVersion=001"),
              2u);
}

}  // namespace
