// The real ferrun against the stand-in component: the setters in their
// order with their arguments, the console lines, the file-log records of
// command-line errors, and the exit codes.
#include <filesystem>
#include <regex>

#include "platform/paths.h"
#include "platform/registry.h"
#include "poll/ipoll.h"
#include "tests/client/ferrun_fixture.h"
#include "tests/common/registry_seed.h"

namespace zel::test::client {
namespace {

namespace reg = zel::reg;

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
        // What is wrong, in one line on standard error.
        EXPECT_EQ(r.err.rfind("ferrun: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        if (c.logged != nullptr)
            EXPECT_TRUE(IsErrorLine(FileLog(), c.logged));
        else
            EXPECT_EQ(FileLog(), "");
    }
    EXPECT_EQ(Calls(), "");  // the component is never created
}

TEST_F(FerrunClient, HelpPrintsEveryOptionAndExitsZero) {
    const FerrunResult r = Ferrun({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Usage: ferrun ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("-u UserID"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("-z File.dtz"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(FileLog(), "");
}

// Without a usable registration the creation fails; one line on standard
// error (and in the file log) says why and names the file, while the
// console and the exit code stay as they were.
TEST_F(FerrunRoot, ComponentThatCannotBeCreatedIsExplained) {
    const std::string store = zel::paths::RegistryFile();
    const std::string failed = "Creating instance of Poll COM component...failed.\n";
    FerrunResult r = Ferrun({"-d"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, failed);
    EXPECT_EQ(r.err.rfind("ferrun: cannot create the Poll component: the class {", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("is not registered"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(store), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(FileLog().find("is not registered"), std::string::npos) << FileLog();

    // Registered, but the library is gone.
    SeedValue("CLSID\\" + zel::com::GuidToString(CLSID_Poll) + "\\InprocServer32", "",
              Path("gone/libPoll.so"), reg::Hive::ClassesRoot);
    r = Ferrun({"-d"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("library " + Path("gone/libPoll.so") + " is missing"), std::string::npos)
        << r.err;

    // A store that is no store.
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(store + suffix);
    WriteFile(store, std::string(4096, 'x'));
    r = Ferrun({"-d"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, failed);
    EXPECT_NE(r.err.find(store + ": the file is not a registry store"), std::string::npos) << r.err;
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
