// Starting Olmar, the dealer's business system, from the jobs.
#pragma once

#include <string>

namespace zel::jobs {

// Starts "olmar <args>" in the Olmar directory (paths::GetOlmarDirectory)
// and waits for it to end.  A key that did not exist is created with the
// default directory and nothing is started this time.  The command line is
// split into arguments by the Windows rules and never handed to a shell, so
// ">> file" reaches Olmar as two arguments.  Failures are logged.
void RunOlmar(const std::string& args);

}  // namespace zel::jobs
