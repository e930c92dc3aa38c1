// ferrun's cause lines worked out from a status, the component's error text
// and the files in the install directory: which file is named for which
// failure, and that the answer of the server is told apart from the network.
#include "client/causes.h"

#include <gtest/gtest.h>

#include "platform/com/com.h"
#include "support/result.h"
#include "support/result_codes.h"
#include "tests/common/scratch.h"

namespace zel::test::client {
namespace {

using zel::client::CreationFailureCause;
using zel::client::TransferFailureCause;

class Causes : public ScratchRoot {
  protected:
    std::string Cause(HRESULT status, const std::string& description = "",
                      bool contract_given = false) {
        return TransferFailureCause(status, description, zel::paths::CommDir(), contract_given);
    }
    static bool Has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(Causes, FileErrorsNameTheControlOrThePasswordFile) {
    const std::string control = CommPath("CONTROL");
    const std::string password = CommPath("IACCESS");
    for (HRESULT status : {codes::kOpenFile, codes::kReadFile, codes::kFileLength}) {
        EXPECT_EQ(Cause(status),
                  "cannot read the control file " + control + ": No such file or directory");
    }
    // With "-u" the control file is never read: it is not the cause then.
    std::string cause = Cause(codes::kOpenFile, "File system error~~Unable to open file.", true);
    EXPECT_FALSE(Has(cause, control)) << cause;
    EXPECT_TRUE(Has(cause, "File system error: Unable to open file. (0x80208115)")) << cause;
    // A missing password file means the dealer's credentials were never set.
    EXPECT_TRUE(Has(cause, "no credentials: the password file " + password + " is missing"));

    WriteFile(control, "A,B,C,D");
    WriteFile(password, "cipher");
    EXPECT_EQ(
        Cause(codes::kPasswordFormat),
        "the password file " + password + " holds no valid credentials (zelpasswd writes it)");
    cause = Cause(codes::kOpenFile);
    EXPECT_FALSE(Has(cause, "CONTROL")) << cause;
    EXPECT_FALSE(Has(cause, "IACCESS")) << cause;
}

TEST_F(Causes, ServerAnswersAreToldApartFromTheNetwork) {
    WriteFile(CommPath("IACCESS"), "cipher");
    EXPECT_EQ(Cause(HttpStatusResult(401)), "refused by the server: the credentials of " +
                                                CommPath("IACCESS") +
                                                " were not accepted (HTTP 401)");
    EXPECT_EQ(Cause(HttpStatusResult(503)), "refused by the server: HTTP status 503");
    EXPECT_EQ(Cause(MakeResult(0x80244000u + 2001), "Server Error~~No files published."),
              "refused by the server: fault 2001: Server Error: No files published.");
    const std::string network = Cause(codes::kConnectFailed);
    EXPECT_EQ(network.rfind("cannot reach the central side", 0), 0u) << network;
    EXPECT_TRUE(Has(network, "(0x802180D2)")) << network;
}

TEST_F(Causes, CreationFailureKeepsTheRuntimesWords) {
    EXPECT_EQ(CreationFailureCause(REGDB_E_READREGDB, "cannot use the registry store /r: x"),
              "cannot use the registry store /r: x (0x80040150)");
    const std::string bare = CreationFailureCause(REGDB_E_CLASSNOTREG, "");
    EXPECT_TRUE(Has(bare, "Class not registered")) << bare;
    EXPECT_TRUE(Has(bare, "regsvr LIBRARY")) << bare;
}

}  // namespace
}  // namespace zel::test::client
