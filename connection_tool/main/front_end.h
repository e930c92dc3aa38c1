// The interactive front end of zelconfig, one per system and chosen by
// CMake: the ncurses dialogs on Linux (screen.cpp), the dialogs of the
// resource script zelconfig.rc on Windows (dialogs_windows.cpp).  The
// program around it (zelconfig.cpp), the dialog logic and the --test mode
// are the same on both.
#pragma once

#include <functional>
#include <string>

#include "connection_tool/utility.h"

namespace zel::conn {

// How the dialogs are used, a sentence or two for --help.
extern const char* const kDialogHelp;

// Shows the main dialog "ZEL Connection Utility" until OK, Cancel or its
// closing; configure points the dialog logic at its servers (the servers
// are checked before).  The exit status: 0, or 1 when the dialog could not
// be shown (said on standard error).
int RunDialogs(const std::function<void(ConnectionUtility*)>& configure);

// Makes standard output and standard error reach the caller, for --help,
// usage errors and --test mode, which prints instead of showing (a Windows
// dialog program has no console of its own: it joins its parent's, when
// there is one and its output is not redirected already).
void PrepareOutput();

// A failure that ends the program before any dialog is shown.
void ShowStartupFailure(const std::string& text);

}  // namespace zel::conn
