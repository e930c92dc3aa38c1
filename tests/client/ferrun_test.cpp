// The real ferrun against the stand-in component: the setters in their
// order with their arguments, the console lines, the file-log records of
// command-line errors, and the exit codes.
#include <filesystem>
#include <regex>

#include "tests/client/ferrun_fixture.h"

namespace zel::test::client {
namespace {

const char kUsage[] =
    "Usage: ferrun [-d DownloadDir:Filter] [-p UploadDir:Fillter::DestDir] [-r ResultFile] "
    "[-t]\n\nOptions:\n  -d DownloadDir:Filter           To specify Download directory and "
    "filter.\n  -p UploadDir:Fillter::DestDir   To specify upload directory, filter and "
    "destination directory.\n  -r ResultFile                   To specify to which file result "
    "of download/upload operation is to be written.\n  -t                              To switch "
    "logging into debug mode.\n\n";

const char kCreated[] = "Creating instance of Poll COM component...done\n";

// One error line of the file log with the given text, CR LF ended.
::testing::AssertionResult IsErrorLine(const std::string& log, const std::string& text) {
    const std::regex line(R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d \(\d+\)\] \[Error\] : )" +
                          text + "\r\n");
    if (std::regex_match(log, line)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "file log: " << log;
}

TEST_F(FerrunClient, DownloadCallsTheSettersInOrderThenGetFiles) {
    const FerrunResult r = Ferrun({"-d"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string(kCreated) + "Downloading files from server...done\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Calls(), "Create\nSetDebugMode 0\nSetLogFile \"" + CommPath("qvzel.log") +
                           "\"\nGetFiles null null\nRelease\n");
    EXPECT_EQ(FileLog(), "");
}

TEST_F(FerrunClient, EverySetterWithItsValue) {
    const FerrunResult r =
        Ferrun({"-u", "DEALER 7", "-r", "res.txt", "-d", " /in : *.DAT ", "-t", "-d", "/in2"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(Calls(), "Create\nSetDebugMode 1\nSetLogFile \"" + CommPath("qvzel.log") +
                           "\"\nSetResultFile \"res.txt\"\nSetUserID \"DEALER 7\"\n"
                           "GetFiles \"/in2\" \"*.DAT\"\nRelease\n");
}

TEST_F(FerrunClient, UploadWithFilterAndDestination) {
    const FerrunResult r = Ferrun({"-p", "/out:*.TXT::/inbound"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string(kCreated) + "Uploading files to server...done\n");
    EXPECT_EQ(Calls(), "Create\nSetDebugMode 0\nSetLogFile \"" + CommPath("qvzel.log") +
                           "\"\nPutFiles \"/out\" \"*.TXT\" \"/inbound\"\nRelease\n");
}

TEST_F(FerrunClient, CommandLineErrorsPrintUsageAndLogTheMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* logged;  // nullptr: nothing in the file log
    };
    const Case cases[] = {
        {{}, "You must specify either an UPLOAD or DOWNLOAD request"},
        {{"-d", "C:\\IN", "-p", "C:\\OUT"},
         "You may not specify both an UPLOAD and a DOWNLOAD request"},
        {{"-x"}, "Invalid command-line argument was specified"},
        {{"-d", std::string(260, 'a')}, "Invalid command-line argument was specified"},
        {{"-d", "-r"}, nullptr},
        {{"-z"}, nullptr},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(CommPath("qvzel.log"));
        const FerrunResult r = Ferrun(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.args.size();
        EXPECT_EQ(r.out, kUsage);
        if (c.logged != nullptr)
            EXPECT_TRUE(IsErrorLine(FileLog(), c.logged));
        else
            EXPECT_EQ(FileLog(), "");
    }
    EXPECT_EQ(Calls(), "");  // the component is never created
}

TEST_F(FerrunClient, HelpPrintsUsageAndExitsZero) {
    const FerrunResult r = Ferrun({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(FileLog(), "");
}

TEST_F(FerrunClient, UserIdWithoutWideFormEndsAfterCreation) {
    const FerrunResult r = Ferrun({"-d", "-u", "\xff\xfe"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kCreated);
    EXPECT_EQ(Calls(),
              "Create\nSetDebugMode 0\nSetLogFile \"" + CommPath("qvzel.log") + "\"\nRelease\n");
    // The conversion's failure is reported to the client's file log.
    EXPECT_NE(FileLog().find("Conversion error"), std::string::npos) << FileLog();
}

TEST_F(FerrunClient, NoLogFileForTheComponentWhenTheInstallDirectoryCannotBeMade) {
    std::filesystem::remove_all(zel::paths::CommDir());
    WriteFile(zel::paths::CommDir(), "a file where the directory belongs");
    const FerrunResult r = Ferrun({"-d"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(Calls(), "Create\nSetDebugMode 0\nGetFiles null null\nRelease\n");
}

}  // namespace
}  // namespace zel::test::client
