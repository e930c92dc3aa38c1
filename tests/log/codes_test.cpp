// The result-code table: every code and every named message has its
// catalogue text, codes keep the catalogue numbers they were always reported
// with, the generator refuses malformed data, and the reporting bridge writes
// each kind of record with the right words and numbers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "log/catalogue.h"
#include "log/event_log.h"
#include "log/report.h"
#include "support/result_codes.h"
#include "tests/common/scratch.h"

namespace {

namespace codes = zel::codes;

// The constants serve as case labels and in constant expressions.
static_assert(codes::MessageIdFor(codes::kSendFailed) == 123);
constexpr const char* Kind(HRESULT hr) {
    switch (hr) {
        case codes::kInvalidArg:
            return "argument";
        case codes::kOutOfMemory:
            return "memory";
        default:
            return "other";
    }
}
static_assert(std::char_traits<char>::compare(Kind(codes::kOutOfMemory), "memory", 6) == 0);

TEST(ResultCodes, EveryCodeAndMessageHasACatalogueText) {
    const CMessageCatalogue& catalogue = ComponentCatalogue();
    std::set<HRESULT> seen;
    for (const codes::CodeEntry& e : codes::kCodeTable) {
        EXPECT_TRUE(seen.insert(e.code).second) << e.name << " given twice";
        if (e.code == codes::kFail) {
            // The system's own E_FAIL: never reported with a text of ours.
            EXPECT_EQ(e.message_id, 0u);
            continue;
        }
        const char* text = catalogue.Find(e.message_id);
        ASSERT_NE(text, nullptr) << e.name << " -> " << e.message_id;
        // Failures are reported with error texts (class, "~~", detail), never
        // with a progress text.
        EXPECT_NE(std::strstr(text, "~~"), nullptr) << e.name << ": " << text;
        // Our codes are failures with bit 15 of the code set, so they decode
        // to severity Error and class digit 2.
        const DecodedResult d = DecodeResultCode(e.code);
        EXPECT_EQ(d.severity, kSeverityError) << e.name;
        EXPECT_EQ(d.class_digit, 2) << e.name;
    }
    for (const codes::MessageEntry& m : codes::kMessageTable) {
        EXPECT_NE(catalogue.Find(m.id), nullptr) << m.name << " -> " << m.id;
    }
}

TEST(ResultCodes, CodesKeepTheirCatalogueNumbers) {
    struct Sample {
        std::uint32_t bits;
        unsigned id;
    };
    // A sample from each layer (the component's table comes first), the codes
    // that several layers share, the gap at 138 and codes without a text.
    const Sample samples[] = {
        {0x801F811D, 225}, {0x8020811E, 223}, {0x80208113, 142}, {0x80208118, 224},
        {0x8020811C, 147}, {0x802080FA, 101}, {0x802080CF, 118}, {0x801F80C8, 111},
        {0x802180D4, 123}, {0x802480D7, 152}, {0x802480D8, 280}, {0x8020812C, 126},
        {0x80208138, 139}, {0x8020813A, 141}, {0x8020813B, 153}, {0x80248145, 239},
        {0x80004005, 0},   {0x80208162, 159}, {0x80248165, 230}, {0x80258000 + 404, 0}};
    for (const Sample& s : samples) {
        EXPECT_EQ(codes::MessageIdFor(MakeResult(s.bits)), s.id) << std::hex << s.bits;
    }
    EXPECT_EQ(HttpStatusResult(503), MakeResult(0x802581F7));
}

// Runs the generator on data; the generated header, or "" when it refused.
class CodesGenerator : public zel::test::ScratchRoot {
  protected:
    std::string Generate(const std::string& data) {
        WriteFile(Path("codes.txt"), data);
        const std::string out = Path("codes.h");
        std::filesystem::remove(out);
        const std::string command = std::string("\"") + ZEL_CMAKE_COMMAND + "\" -DINPUT=\"" +
                                    Path("codes.txt") + "\" -DOUTPUT=\"" + out + "\" -P \"" +
                                    ZEL_CODES_GENERATOR + "\" >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return "";
        return ReadFile(out);
    }
};

TEST_F(CodesGenerator, WritesConstantsAndTheTableInFileOrder) {
    const std::string header = Generate(
        "# comment\n"
        "code\tkSecond 0x8020abcd  7\r\n"
        "\n"
        "code kFirst 0x801F0001 -\n"
        "message kMsgHello 42\n");
    EXPECT_NE(header.find("inline constexpr HRESULT kSecond = MakeResult(0x8020ABCDu);"),
              std::string::npos)
        << header;
    EXPECT_NE(header.find("inline constexpr unsigned kMsgHello = 42;"), std::string::npos);
    const std::size_t second = header.find("{kSecond, 7, \"kSecond\"}");
    const std::size_t first = header.find("{kFirst, 0, \"kFirst\"}");
    ASSERT_NE(second, std::string::npos) << header;
    ASSERT_NE(first, std::string::npos) << header;
    EXPECT_LT(second, first);
}

TEST_F(CodesGenerator, RefusesMalformedData) {
    const std::string ok = "code kOk 0x8020000A 1\n";
    ASSERT_NE(Generate(ok), "");
    EXPECT_EQ(Generate(ok + "code kOk 0x80200002 2\n"), "");       // name twice
    EXPECT_EQ(Generate(ok + "code kOther 0x8020000A 2\n"), "");    // code twice
    EXPECT_EQ(Generate(ok + "code kOther 0x8020000a 2\n"), "");    // in other letters
    EXPECT_EQ(Generate(ok + "code kWide 0x180200003 3\n"), "");    // over 32 bits
    EXPECT_EQ(Generate(ok + "code kBad 80200003 3\n"), "");        // not hexadecimal
    EXPECT_EQ(Generate(ok + "code kNoId 0x80200003\n"), "");       // missing field
    EXPECT_EQ(Generate(ok + "code kZero 0x80200003 0\n"), "");     // 0 is "none"
    EXPECT_EQ(Generate(ok + "code lower 0x80200003 3\n"), "");     // not a constant name
    EXPECT_EQ(Generate(ok + "message kMsgX 3 extra\n"), "");       // extra field
    EXPECT_EQ(Generate(ok + "status kOther 0x80200003 3\n"), "");  // unknown kind
    EXPECT_EQ(Generate("message kMsgOnly 3\n"), "");               // no codes at all
}

// The bridge writes into a log file of the scratch root.
class ReportBridge : public zel::test::ScratchRoot {
  protected:
    void SetUp() override {
        zel::test::ScratchRoot::SetUp();
        path_ = Path("bridge.log");
        ASSERT_TRUE(log_.Open(path_.c_str(), false));
        log_.SetDebugMessages(true);
    }
    std::string Written() { return ReadFile(path_); }
    std::string path_;
    CEventLog log_;
};

TEST_F(ReportBridge, ReportsAStatusOnceWithItsTextAndReturnsIt) {
    using namespace zel::log;
    EXPECT_EQ(ReportStatus(&log_, codes::kServerXmlInvalid, "CQVReg::Scan"),
              codes::kServerXmlInvalid);
    EXPECT_EQ(ReportStatus(&log_, codes::kSendFailed, "CInternetAccess::SendHTTPRequest"),
              codes::kSendFailed);
    EXPECT_EQ(ReportStatus(&log_, codes::kOutOfMemory, "CopyString"), codes::kOutOfMemory);
    // Without a text nothing is written, and the status still comes back.
    EXPECT_EQ(ReportStatus(&log_, codes::kFail, "RegCreateKeyEx"), codes::kFail);
    EXPECT_EQ(ReportStatus(nullptr, codes::kInvalidArg, "C"), codes::kInvalidArg);

    const std::string text = Written();
    EXPECT_NE(text.find("Category: Server Response Data\r\nMessageId: 13620325\r\n"
                        "Message: XML data error\r\nContext: CQVReg::Scan\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("MessageId: 13320212\r\nMessage: Communication error\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("MessageId: 13220286\r\nMessage: System resource error\r\n"
                        "Context: CopyString\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("RegCreateKeyEx"), std::string::npos) << text;
}

TEST_F(ReportBridge, TracesNotesAndInformationRecords) {
    using namespace zel::log;
    Trace(&log_, kCategoryClientCommunication, "T", codes::kMsgRequestSent, 12);
    Note(&log_, kCategoryServerResponse, "N", "n=%d", 5);
    ReportInfo(&log_, "I", 7, nullptr);
    DebugNote(&log_, kCategoryClientApplication, "D", "100%d literal");
    const std::string text = Written();
    EXPECT_NE(text.find("Severity: Information\r\nCategory: Client Communication\r\n"
                        "MessageId: 43320000\r\nMessage: Request has been sent to the server. "
                        "Bytes sent: 12.\r\nContext: T\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Category: Server Response\r\nMessageId: 33720000\r\nMessage: n=5\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Category: Client Application\r\nMessageId: 33220007\r\nMessage: \r\n"
                        "Context: I\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("MessageId: 43220000\r\nMessage: 100%d literal\r\nContext: D\r\n"),
              std::string::npos)
        << text;

    // Traces and debug notes need debug messages; notes and information
    // records do not.
    std::filesystem::remove(path_);
    log_.SetDebugMessages(false);
    Trace(&log_, kCategoryClientCommunication, "T2", codes::kMsgSendingRequest);
    DebugNote(&log_, kCategoryClientApplication, "D2", "x");
    Note(&log_, kCategoryClientApplication, "N2", "y");
    const std::string quiet = Written();
    EXPECT_EQ(quiet.find("T2"), std::string::npos) << quiet;
    EXPECT_EQ(quiet.find("D2"), std::string::npos) << quiet;
    EXPECT_NE(quiet.find("Context: N2"), std::string::npos) << quiet;
}

}  // namespace
