// Scanning of the central side's documents: server list, query list and
// system information, as tables of documents against statuses and the
// registry records they leave.
#include <string>

#include "directory/server_directory.h"
#include "log/report.h"
#include "tests/directory/directory_fixture.h"

namespace {

using zel::test::SeedValue;
using zel::test::directory::kQueries;
using zel::test::directory::kServers;
namespace codes = zel::codes;

class ScanningTest : public zel::test::directory::DirectoryTest {};

std::string Record(const std::string& srvi, const std::string& srvv, const std::string& ip,
                   const std::string& sslr) {
    std::string r = "<R><SRVI>" + srvi + "</SRVI>";
    if (!srvv.empty()) r += "<SRVV>" + srvv + "</SRVV>";
    return r + "<SRVIP>" + ip + "</SRVIP><SURL>/sys.xml</SURL><SSLR>" + sslr +
           "</SSLR><SSLP>Y</SSLP></R>\r\n";
}

std::string Results(const std::string& records) {
    return "<?xml version=\"1.0\"?><m:Resp><m:Results>\r\n" + records + "</m:Results></m:Resp>";
}

TEST_F(ScanningTest, ServerListTable) {
    const struct {
        const char* what;
        std::string doc;
        bool limit_to_poll;
        HRESULT status;
        const char* poll_secure_port;  // "<missing>" when no POLL record is written
        const char* server_ip;
    } cases[] = {
        {"no results element", "<XML><R><SRVI>IPOLL</SRVI></R></XML>", false, S_FALSE, "<missing>",
         "<missing>"},
        {"opening without closing results", "<m:Results>" + Record("IPOLL", "001", "h", "Y"), false,
         codes::kServerXmlInvalid, "<missing>", "<missing>"},
        {"closing before opening", "</m:Results><m:Results>", false, codes::kServerXmlInvalid,
         "<missing>", "<missing>"},
        {"IPOLL with port", Results(Record("IPOLL", "001", " h.example : 8443 ", "Y")), false, S_OK,
         "8443", "<missing>"},
        {"ISERVER kept without limit", Results(Record("ISERVER", "001", "s.example", "N")), false,
         S_OK, "<missing>", "s.example"},
        {"ISERVER skipped with limit POLL",
         Results(Record("ISERVER", "001", "s.example", "N") + Record("IPOLL", "001", "h", "Y")),
         true, S_OK, "443", "<missing>"},
        {"record without SRVV, none later", Results(Record("IPOLL", "", "h", "Y")), false,
         codes::kServerXmlInvalid, "<missing>", "<missing>"},
        {"record without SRVV, a later one has it",
         Results(Record("IPOLL", "", "h", "Y") + Record("ISERVER", "001", "s", "N")), false,
         codes::kServerXmlInvalid, "<missing>", "<missing>"},
        {"record opening without closing", Results("<R><SRVI>IPOLL</SRVI>"), false,
         codes::kServerXmlInvalid, "<missing>", "<missing>"},
        {"name of the prefix alone", Results(Record("I", "001", "h", "Y")), false,
         codes::kServerXmlInvalid, "<missing>", "<missing>"},
        {"name reaching into a deeper key", Results(Record("IA\\B", "001", "h", "Y")), false,
         codes::kServerXmlInvalid, "<missing>", "<missing>"},
        {"empty version", Results(Record("IPOLL", " ", "h", "Y")), false, codes::kInvalidArg,
         "<missing>", "<missing>"},
        {"version reaching into a deeper key", Results(Record("IPOLL", "0\\1", "h", "Y")), false,
         codes::kServerXmlInvalid, "<missing>", "<missing>"},
        {"port number followed by other characters", Results(Record("IPOLL", "001", "h:44x", "Y")),
         false, S_OK, "44", "<missing>"},
        {"port text without digits", Results(Record("IPOLL", "001", "h:x", "Y")), false, S_OK,
         "443", "<missing>"},
        {"good record then a broken one",
         Results(Record("IPOLL", "001", "h:1", "Y") + Record("ISERVER", "", "s", "N")), false,
         codes::kServerXmlInvalid, "1", "<missing>"},
        {"port out of range", Results(Record("IPOLL", "001", "h:70000", "Y")), false,
         codes::kServerXmlInvalid, "<missing>", "<missing>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        zel::reg::Status ignored = zel::reg::DeleteTree(zel::reg::Hive::LocalMachine, kServers);
        (void)ignored;
        CQVReg reg(log_.get());
        const char* poll[] = {"POLL"};
        if (c.limit_to_poll) {
            ASSERT_EQ(reg.SetLimitServerInfoNames(poll, 1), S_OK);
        }
        EXPECT_EQ(reg.UpdateRegistryFromServerXMLData(c.doc.c_str()), c.status);
        EXPECT_EQ(Value(kServers + "\\POLL", "SecurePort"), c.poll_secure_port);
        EXPECT_EQ(Value(kServers + "\\SERVER", "IPAddress"), c.server_ip);
        EXPECT_FALSE(KeyExists(kServers + "\\I"));
        EXPECT_FALSE(KeyExists(kServers + "\\A"));
    }
}

TEST_F(ScanningTest, ServerRecordPortsFollowTheSslFlag) {
    CQVReg reg(log_.get());
    // A port with SSL required sets the secure port and leaves the port 80.
    ASSERT_EQ(reg.UpdateRegistryFromServerXMLData(
                  Results(Record("IPOLL", "001", "h.example:8443", "Y")).c_str()),
              S_OK);
    const std::string key = kServers + "\\POLL";
    EXPECT_EQ(Value(key, "IPAddress"), "h.example");
    EXPECT_EQ(Value(key, "SecurePort"), "8443");
    EXPECT_EQ(Value(key, "Port"), "80");
    EXPECT_EQ(Value(key, "SSLRequired"), "Y");
    EXPECT_EQ(Value(key, "SSLPublic"), "Y");
    EXPECT_EQ(Value(key, "SystemInfoLocation"), "/sys.xml");
    // The same server without port and without SSL: port 80, and the
    // secure port learned before stays (the info is updated, not replaced).
    ASSERT_EQ(reg.UpdateRegistryFromServerXMLData(
                  Results(Record("iPOLL", "001", "plain.example", "N")).c_str()),
              S_OK);
    EXPECT_EQ(reg.GetServerInfoCount(), 1);
    EXPECT_EQ(Value(key, "IPAddress"), "plain.example");
    EXPECT_EQ(Value(key, "Port"), "80");
    EXPECT_EQ(Value(key, "SecurePort"), "8443");
    EXPECT_EQ(Value(key, "SSLRequired"), "N");
    // The debug notes give the port taken as a number: the one named, or 0.
    const std::string log = ReadFile(LogPath());
    EXPECT_NE(log.find("Message: 8443\r\nContext: CQVReg::ExtractServerInfo - Port"),
              std::string::npos);
    EXPECT_NE(log.find("Message: 0\r\nContext: CQVReg::ExtractServerInfo - Port"),
              std::string::npos);
    // Names without the prefix stay whole.
    ASSERT_EQ(
        reg.UpdateRegistryFromServerXMLData(Results(Record("XSRV", "002", "x:81", "N")).c_str()),
        S_OK);
    EXPECT_EQ(Value(kServers + "\\XSRV\\002", "Port"), "81");
}

std::string Query(const std::string& name, const std::string& body) {
    return "<R><QN>" + name + "</QN>" + body + "</R>";
}

TEST_F(ScanningTest, QueryListTable) {
    const std::string full = "<QV>001</QV><QURL>/q/x</QURL><SSLP>Y</SSLP><SSLR>1</SSLR>";
    const struct {
        const char* what;
        std::string doc;
        HRESULT status;
        const char* location;
    } cases[] = {
        {"no results element", Query("GetFileFromQuvaro", full), S_FALSE, "<missing>"},
        {"opening without closing results", "<m:Results>" + Query("GetFileFromQuvaro", full),
         codes::kQueryXmlInvalid, "<missing>"},
        {"complete record", Results(Query("GetFileFromQuvaro", full)), S_OK, "/q/x"},
        {"record without QURL",
         Results(Query("GetFileFromQuvaro", "<QV>001</QV><SSLP>Y</SSLP><SSLR>Y</SSLR>")),
         codes::kQueryXmlInvalid, "<missing>"},
        {"name outside the limit list", Results(Query("SomethingElse", full)), S_OK, "<missing>"},
        {"empty version",
         Results(
             Query("GetFileFromQuvaro", "<QV> </QV><QURL>/q/x</QURL><SSLP>Y</SSLP><SSLR>Y</SSLR>")),
         codes::kInvalidArg, "<missing>"},
    };
    const char* ops[] = {"GetFileFromQuvaro"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        zel::reg::Status ignored = zel::reg::DeleteTree(zel::reg::Hive::LocalMachine, kQueries);
        (void)ignored;
        CQVReg reg(log_.get());
        ASSERT_EQ(reg.SetLimitQueryInfoNames(ops, 1), S_OK);
        EXPECT_EQ(reg.UpdateRegistryFromQueryXMLData(c.doc.c_str()), c.status);
        EXPECT_EQ(Value(kQueries + "\\GetFileFromQuvaro", "QueryLocation"), c.location);
        EXPECT_FALSE(KeyExists(kQueries + "\\SomethingElse"));
    }
    EXPECT_EQ(Value(kQueries + "\\GetFileFromQuvaro", "SSLRequired"), "<missing>");
}

TEST_F(ScanningTest, QueryRecordKeepsLoadedTimingValues) {
    SeedValue(kQueries + "\\GetFileFromQuvaro", "QueryLocation", "/old");
    SeedValue(kQueries + "\\GetFileFromQuvaro", "SSLRequired", "N");
    SeedValue(kQueries + "\\GetFileFromQuvaro", "SSLPublic", "N");
    SeedValue(kQueries + "\\GetFileFromQuvaro", "TimeInterval", 30);
    SeedValue(kQueries + "\\GetFileFromQuvaro", "RetryTimeOut", 5);
    CQVReg reg(log_.get());
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    ASSERT_EQ(reg.UpdateRegistryFromQueryXMLData(
                  Results(Query("GetFileFromQuvaro",
                                "<QV>001</QV><QURL> /new </QURL><SSLP>Y</SSLP><SSLR>Y</SSLR>"))
                      .c_str()),
              S_OK);
    const std::string key = kQueries + "\\GetFileFromQuvaro";
    EXPECT_EQ(Value(key, "QueryLocation"), "/new");
    EXPECT_EQ(Value(key, "SSLRequired"), "Y");
    EXPECT_EQ(Value(key, "TimeInterval"), "30");
    EXPECT_EQ(Value(key, "RetryTimeOut"), "5");
    EXPECT_EQ(Value(key, "QueryVersion"), "001");
}

TEST_F(ScanningTest, ValuesTheLoaderCannotReadBackAreRefused) {
    const std::string longest(255, 'a');
    const std::string too_long(256, 'a');
    CQVReg reg(log_.get());
    // An address of 255 characters is stored and loads back; one more
    // character refuses the record, so the store stays loadable.
    EXPECT_EQ(reg.UpdateRegistryFromServerXMLData(
                  Results(Record("IPOLL", "001", longest + ":81", "N")).c_str()),
              S_OK);
    EXPECT_EQ(reg.UpdateRegistryFromServerXMLData(
                  Results(Record("IOTHER", "001", too_long + ":81", "N")).c_str()),
              codes::kServerXmlInvalid);
    EXPECT_FALSE(KeyExists(kServers + "\\OTHER"));
    const std::string q = "<QV>001</QV><SSLP>Y</SSLP><SSLR>Y</SSLR><QURL>";
    EXPECT_EQ(reg.UpdateRegistryFromQueryXMLData(
                  Results(Query("GetFileFromQuvaro", q + longest + "</QURL>")).c_str()),
              S_OK);
    EXPECT_EQ(reg.UpdateRegistryFromQueryXMLData(
                  Results(Query("PutFileFromDealer", q + too_long + "</QURL>")).c_str()),
              codes::kQueryXmlInvalid);
    EXPECT_FALSE(KeyExists(kQueries + "\\PutFileFromDealer"));

    CQVReg loaded(log_.get());
    ASSERT_EQ(loaded.LoadInfoFromReg(), S_OK);
    EXPECT_EQ(Value(kServers + "\\POLL", "IPAddress"), longest);
    EXPECT_EQ(Value(kQueries + "\\GetFileFromQuvaro", "QueryLocation"), longest);
}

TEST_F(ScanningTest, OversizedDocumentsAreRefusedWhole) {
    std::string records;
    for (std::size_t i = 1; i <= kMaxDirectoryRecords + 1; ++i) {
        records += Record("IPOLL", std::to_string(i), "h", "N");
    }
    CQVReg reg(log_.get());
    EXPECT_EQ(reg.UpdateRegistryFromServerXMLData(Results(records).c_str()),
              codes::kServerXmlInvalid);
    std::string queries;
    for (std::size_t i = 1; i <= kMaxDirectoryRecords + 1; ++i) {
        queries +=
            Query("GetFileFromQuvaro",
                  "<QV>" + std::to_string(i) + "</QV><QURL>/q</QURL><SSLP>Y</SSLP><SSLR>Y</SSLR>");
    }
    EXPECT_EQ(reg.UpdateRegistryFromQueryXMLData(Results(queries).c_str()),
              codes::kQueryXmlInvalid);
    // One valid record padded beyond the size limit.
    const std::string padded =
        Results(Record("IPOLL", "001", "h", "N") + std::string(kMaxDirectoryDocumentBytes, ' '));
    EXPECT_EQ(reg.UpdateRegistryFromServerXMLData(padded.c_str()), codes::kServerXmlInvalid);
    // Nothing of a refused document is written, and each refusal says why.
    EXPECT_FALSE(KeyExists(kServers + "\\POLL"));
    EXPECT_FALSE(KeyExists(kQueries + "\\GetFileFromQuvaro"));
    const std::string log = ReadFile(LogPath());
    EXPECT_NE(log.find("Document of 1001 records refused: the limit is 1000 records."),
              std::string::npos);
    EXPECT_NE(log.find("bytes refused: the limit is 1048576 bytes."), std::string::npos);
}

TEST_F(ScanningTest, RepeatedRecordsLeaveWhatWritingEveryRecordWouldLeave) {
    // A cached version the document does not mention is still written back
    // in its normal form (port 0 read as 80, flags as Y/N).
    SeedValue(kServers + "\\POLL\\007", "IPAddress", "cached");
    SeedValue(kServers + "\\POLL\\007", "Port", 0);
    SeedValue(kServers + "\\POLL", "IPAddress", "old");
    CQVReg reg(log_.get());
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    ASSERT_EQ(reg.UpdateRegistryFromServerXMLData(Results(Record("IPOLL", "001", "first:1", "N") +
                                                          Record("IPOLL", "002", "b", "Y") +
                                                          Record("IPOLL", "001", "last", "Y"))
                                                      .c_str()),
              S_OK);
    const std::string key = kServers + "\\POLL";
    EXPECT_EQ(Value(key, "IPAddress"), "last");
    EXPECT_EQ(Value(key, "Port"), "1");  // from the first record, kept by the second
    EXPECT_EQ(Value(key, "SSLRequired"), "Y");
    EXPECT_EQ(Value(key + "\\002", "IPAddress"), "b");
    EXPECT_EQ(Value(key + "\\007", "Port"), "80");
    EXPECT_EQ(Value(key + "\\007", "SSLPublic"), "N");
    EXPECT_EQ(Value(key + "\\007", "IPAddress"), "cached");
}

TEST_F(ScanningTest, SystemInformationTable) {
    const struct {
        const char* what;
        const char* doc;
        HRESULT interface_status;
        HRESULT qurl_status;
    } cases[] = {
        {"supported, with QURL", "<S><IPOLL> Y </IPOLL><QURL>/ql.xml</QURL></S>", S_OK, S_OK},
        {"flag 1", "<IPOLL>1</IPOLL><QURL>/ql.xml</QURL>", S_OK, S_OK},
        {"interface N", "<IPOLL>N</IPOLL><QURL>/ql.xml</QURL>", codes::kInterfaceNotSupported,
         S_OK},
        {"interface missing", "<QURL>/ql.xml</QURL>", codes::kInterfaceNotSupported, S_OK},
        {"QURL missing", "<IPOLL>Y</IPOLL>", S_OK, codes::kNoQueryUrl},
        {"opening tags only", "<IPOLL>Y<QURL>/x", codes::kSystemInfoXmlInvalid,
         codes::kSystemInfoXmlInvalid},
        {"closing tags only", "Y</IPOLL>/x</QURL>", codes::kSystemInfoXmlInvalid,
         codes::kSystemInfoXmlInvalid},
    };
    CQVReg reg(log_.get());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(reg.CheckIfInterfaceSupported(c.doc, "IPOLL"), c.interface_status);
        CStringHolder url;
        EXPECT_EQ(reg.GetQURLFromSystemInfo(c.doc, url.Out()), c.qurl_status);
        if (c.qurl_status == S_OK) {
            EXPECT_STREQ(url.c_str(), "/ql.xml");
        } else {
            EXPECT_EQ(url.get(), nullptr);
        }
    }
}

TEST_F(ScanningTest, EntryPointDescriptionValuesAreNeverCut) {
    CQVReg reg(log_.get());
    const std::string long_host(260, 'h');
    const std::string description = "<SRVIP>" + long_host + "</SRVIP><SURL>/x</SURL><SSLR>N</SSLR>";
    EXPECT_EQ(reg.UpdateRegWithServerInfoFromServer(description.c_str()), codes::kServerXmlInvalid);
    EXPECT_EQ(
        reg.UpdateRegWithServerInfoFromServer("<SRVIP>h</SRVIP><SURL>/x</SURL><SSLR>Yes!</SSLR>"),
        codes::kServerXmlInvalid);
    EXPECT_EQ(reg.UpdateRegWithServerInfoFromServer(
                  "<SRVIP>h:70000</SRVIP><SURL>/x</SURL><SSLR>N</SSLR>"),
              codes::kServerXmlInvalid);
    EXPECT_EQ(reg.UpdateRegWithServerInfoFromServer("<SRVIP>h</SRVIP><SURL>/x</SURL>"),
              codes::kServerXmlInvalid);
    EXPECT_EQ(reg.UpdateRegWithServerInfoFromServer(nullptr), codes::kInvalidArg);
    EXPECT_FALSE(KeyExists(kServers));
}

}  // namespace

namespace {

// A server or query published only in versions other than "001" is stored in
// version sub-keys alone; the stored directory must still load, with those
// versions and no empty "001".
TEST_F(ScanningTest, InfosWithoutVersion001LoadBack) {
    CQVReg reg(log_.get());
    ASSERT_EQ(reg.UpdateRegistryFromServerXMLData(Results(Record("IPOLL", "001", "10.0.0.1", "N") +
                                                          Record("ISERVER", "002", "10.0.0.2", "N"))
                                                      .c_str()),
              S_OK);
    ASSERT_EQ(reg.UpdateRegistryFromQueryXMLData(
                  Results("<R><QN>GetFileFromQuvaro</QN><QV>002</QV><QURL>/q/get</QURL>"
                          "<SSLP>N</SSLP><SSLR>N</SSLR></R>\r\n")
                      .c_str()),
              S_OK);

    CQVReg loaded(log_.get());
    ASSERT_EQ(loaded.LoadInfoFromReg(), S_OK);
    EXPECT_EQ(loaded.GetServerInfoCount(), 2);
    CQVReg::CServerInfo* server = nullptr;
    ASSERT_EQ(loaded.GetServerInfoByName("SERVER", false, &server), S_OK);
    std::int32_t count = 0;
    EXPECT_EQ(server->GetCount(&count), S_OK);
    EXPECT_EQ(count, 1);
    std::int32_t index = -1;
    EXPECT_EQ(server->FindByVersion("002", &index), S_OK);
    CQVReg::CQueryInfo* query = nullptr;
    ASSERT_EQ(loaded.GetQueryInfoByName("GetFileFromQuvaro", false, &query), S_OK);
    EXPECT_EQ(query->FindByVersion("002", &index), S_OK);
    EXPECT_EQ(query->FindByVersion("001", &index), codes::kQueryVersionNotFound);
}

}  // namespace

namespace {

// A record refused while it is written (its version cannot name a registry
// key) leaves no empty key behind that would keep the directory from
// loading; the records before it stay.
TEST_F(ScanningTest, RecordRefusedWhileWrittenLeavesNoEmptyKey) {
    const std::string long_version(300, 'v');
    CQVReg reg(log_.get());
    EXPECT_EQ(
        reg.UpdateRegistryFromServerXMLData(Results(Record("IPOLL", "001", "10.0.0.1", "N") +
                                                    Record("IOTHER", long_version, "10.0.0.2", "N"))
                                                .c_str()),
        codes::kCreateServerVersionKey);
    EXPECT_EQ(reg.UpdateRegistryFromQueryXMLData(
                  Results("<R><QN>Q</QN><QV>" + long_version +
                          "</QV><QURL>/q</QURL><SSLP>N</SSLP><SSLR>N</SSLR></R>\r\n")
                      .c_str()),
              codes::kCreateQueryVersionKey);

    CQVReg loaded(log_.get());
    ASSERT_EQ(loaded.LoadInfoFromReg(), S_OK);
    EXPECT_EQ(loaded.GetServerInfoCount(), 1);
    EXPECT_EQ(loaded.GetQueryInfoCount(), 0);
    CQVReg::CServerInfo* info = nullptr;
    EXPECT_EQ(loaded.GetServerInfoByName("POLL", false, &info), S_OK);
}

}  // namespace
