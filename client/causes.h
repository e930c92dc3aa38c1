// ferrun's cause lines: one line on standard error that says why the
// component could not be created or why its operation failed, naming the
// file concerned, so a dealer or support person need not dig through the
// log first.  Standard output and the exit code are not touched by them.
//
// ferrun knows the component only through its interface: a cause is worked
// out from the status, the rich error information's description and a look
// at the files the component reads first (the control file and the password
// file in the install directory).  Nothing here prints or logs.
#pragma once

#include <string>

#include "platform/hresult.h"

namespace zel::client {

// Why CoCreateInstance failed with status: the runtime's description (which
// names the registry store or the library and the cause) when there is one,
// else the status's text; with the code in hexadecimal.
[[nodiscard]] std::string CreationFailureCause(HRESULT status, const std::string& description);

// What the operation's failure means, for the line "ferrun: <operation>
// failed: <cause>".  install_dir is the component's install directory (its
// control and password files are there); contract_given is true when "-u"
// named the dealer, so the control file was never read.  The description is
// the component's rich error text ("class~~detail"), may be empty.
[[nodiscard]] std::string TransferFailureCause(HRESULT status, const std::string& description,
                                               const std::string& install_dir, bool contract_given);

}  // namespace zel::client
