// One run of the console client ferrun: its two logs, the command line, and
// either the unpack mode or one transfer through the Poll component.
#pragma once

namespace zel::client {

// Runs ferrun with its command line and returns the process exit code: 1
// for command-line errors and when the component cannot be created or
// given the dealer identity, 0 otherwise (also when the transfer itself
// failed: its outcome is on the console and in the component's log).
// Console output goes to standard output; command-line errors go to
// "qvzel.log" in the install directory.  A command-line error, a component
// that cannot be created and a failed transfer also get one line on
// standard error that names the cause (and the file concerned).  "--help"
// and "--version" print to standard output and return 0.
[[nodiscard]] int RunFerrun(int argc, const char* const* argv);

}  // namespace zel::client
