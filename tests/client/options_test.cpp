// ferrun's command-line reading in process: the optional values of "-d" and
// "-p", the directory/filter/destination split, repeated options, the
// buffer limits and the arguments that end the reading early.
#include "client/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/messages.h"

namespace zel::client {
namespace {

struct Parsed {
    CommandOutcome outcome;
    FerrunOptions options;
};

Parsed Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "ferrun");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    Parsed p;
    p.outcome = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &p.options);
    return p;
}

void ExpectUsage(const std::vector<std::string>& args, unsigned message_id) {
    const Parsed p = Parse(args);
    EXPECT_EQ(p.outcome.action, CommandAction::kUsage) << args.size();
    EXPECT_EQ(p.outcome.exit_code, 1);
    EXPECT_EQ(p.outcome.message_id, message_id);
}

TEST(FerrunOptions, OptionalValuesOfDownloadAndUpload) {
    Parsed p = Parse({"-d"});
    ASSERT_EQ(p.outcome.action, CommandAction::kTransfer);
    EXPECT_TRUE(p.options.download);
    EXPECT_EQ(p.options.directory, "");
    EXPECT_EQ(p.options.filter, "");

    // "-t" right after "-d" is the next option, not the directory.
    p = Parse({"-d", "-t"});
    ASSERT_EQ(p.outcome.action, CommandAction::kTransfer);
    EXPECT_TRUE(p.options.download);
    EXPECT_TRUE(p.options.debug);
    EXPECT_FALSE(p.options.quiet);
    EXPECT_EQ(p.options.directory, "");

    // "--quiet" likewise ends an optional value, anywhere on the line.
    p = Parse({"-d", "--quiet"});
    ASSERT_EQ(p.outcome.action, CommandAction::kTransfer);
    EXPECT_TRUE(p.options.quiet);
    EXPECT_EQ(p.options.directory, "");
    p = Parse({"--quiet", "-p", "/out"});
    ASSERT_EQ(p.outcome.action, CommandAction::kTransfer);
    EXPECT_TRUE(p.options.quiet);
    EXPECT_EQ(p.options.directory, "/out");

    p = Parse({"-p", "/out:*.TXT::/inbound"});
    ASSERT_EQ(p.outcome.action, CommandAction::kTransfer);
    EXPECT_TRUE(p.options.upload);
    EXPECT_EQ(p.options.directory, "/out");
    EXPECT_EQ(p.options.filter, "*.TXT");
    EXPECT_EQ(p.options.destination, "/inbound");
}

TEST(FerrunOptions, DirectoryFilterAndDestinationSplit) {
    struct Case {
        const char* value;
        bool upload;
        const char* dir;
        const char* filter;
        const char* dest;
    };
    const Case cases[] = {
        {"C:\\IN:*.DAT", false, "C:\\IN", "*.DAT", ""},
        {"C:\\IN", false, "C:\\IN", "", ""},  // a drive name keeps its ":"
        {"C:/IN", false, "C:/IN", "", ""},
        {"/in:/", false, "/in:/", "", ""},       // ":" then "/": no filter
        {"/a:b:*.X", false, "/a:b", "*.X", ""},  // the last ":" splits
        {"/out:", false, "/out", "", ""},
        {"  /in  :  *.DAT  ", false, "/in", "*.DAT", ""},
        {"/out::/inbound", true, "/out", "", "/inbound"},
        {"::/inbound", true, "", "", "/inbound"},
        {"/o:*.X::/d::e", true, "/o", "*.X", "/d::e"},  // the first "::" ends the part
        {"/o::", true, "/o", "", ""},
        // For a download "::" is no separator: the last ":" splits.
        {"/o::x", false, "/o:", "x", ""},
    };
    for (const Case& c : cases) {
        FerrunOptions o;
        ApplyDirectoryValue(c.value, c.upload, &o);
        EXPECT_EQ(o.directory, c.dir) << c.value;
        EXPECT_EQ(o.filter, c.filter) << c.value;
        EXPECT_EQ(o.destination, c.dest) << c.value;
    }
}

TEST(FerrunOptions, RepeatedOptionOverwritesOnlyTheFieldsItSets) {
    Parsed p = Parse({"-d", "/a:*.X", "-d", "/b"});
    EXPECT_EQ(p.options.directory, "/b");
    EXPECT_EQ(p.options.filter, "*.X");

    p = Parse({"-p", "/a:*.X::/dest", "-p", ":*.Y", "-p"});
    EXPECT_EQ(p.options.directory, "/a");
    EXPECT_EQ(p.options.filter, "*.Y");
    EXPECT_EQ(p.options.destination, "/dest");

    p = Parse({"-r", "one", "-r", "two", "-d"});
    EXPECT_EQ(p.options.result_file, "two");
}

TEST(FerrunOptions, CommandLineErrors) {
    ExpectUsage({}, kMsgNoRequest);
    ExpectUsage({"-t"}, kMsgNoRequest);
    ExpectUsage({"-d", "C:\\IN", "-p", "C:\\OUT"}, kMsgBothRequests);
    ExpectUsage({"-x"}, kMsgInvalidArgument);
    ExpectUsage({"-D"}, kMsgInvalidArgument);  // options are case-sensitive
    ExpectUsage({"-d", "/in", "extra"}, kMsgInvalidArgument);
    // A missing required value: usage only, no message.
    ExpectUsage({"-d", "-r"}, 0);
    ExpectUsage({"-d", "-r", "-t"}, 0);
    ExpectUsage({"-d", "-u"}, 0);
    ExpectUsage({"-z"}, 0);
    // An unknown argument before "-z" is found first; one after it is
    // never read.
    ExpectUsage({"-x", "-z", "a.dtz"}, kMsgInvalidArgument);
    const Parsed p = Parse({"-d", "-z", "a.dtz", "-x"});
    EXPECT_EQ(p.outcome.action, CommandAction::kDecompress);
    EXPECT_EQ(p.outcome.decompress_name, "a.dtz");
    EXPECT_EQ(Parse({"-x", "--help"}).outcome.action, CommandAction::kUsage);
    EXPECT_EQ(Parse({"-d", "--help"}).outcome.action, CommandAction::kHelp);
}

TEST(FerrunOptions, ValuesLongerThanTheirBuffersAreRefused) {
    const std::string path_max(kMaxPathValue, 'a');
    const std::string user_max(kMaxUserIdValue, 'u');
    Parsed p = Parse({"-d", path_max, "-r", path_max, "-u", user_max});
    ASSERT_EQ(p.outcome.action, CommandAction::kTransfer);
    EXPECT_EQ(p.options.directory, path_max);
    EXPECT_EQ(p.options.result_file, path_max);
    EXPECT_EQ(p.options.user_id, user_max);

    ExpectUsage({"-d", path_max + "a"}, kMsgInvalidArgument);
    ExpectUsage({"-p", "/o:*.X::" + path_max}, kMsgInvalidArgument);
    ExpectUsage({"-d", "-r", path_max + "a"}, kMsgInvalidArgument);
    ExpectUsage({"-d", "-u", user_max + "u"}, kMsgInvalidArgument);
    ExpectUsage({"-z", path_max + ".dtz"}, kMsgInvalidArgument);
}

}  // namespace
}  // namespace zel::client
