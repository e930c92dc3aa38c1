// The registry keys of the system, spelled once.
//
// Every key path the programs open below HKEY_LOCAL_MACHINE or
// HKEY_CURRENT_USER is named here, beside the fixed file locations of
// platform/paths.h, so that no two modules can disagree on a spelling.
// Paths are relative to their hive; names compare case-insensitively in the
// registry store, but are written here as the keys are created.
#pragma once

namespace zel::keys {

// HKLM: the install key with "InstallDir".
inline constexpr const char* kZelwayKey = "SOFTWARE\\Quvaro Information Systems\\Quvaro Zelway";
// HKLM: the server directory's cache and the access values below it.
inline constexpr const char* kQVDataAccessKey =
    "SOFTWARE\\Quvaro Information Systems\\QVDataAccess";
inline constexpr const char* kServersKey =
    "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Servers";
inline constexpr const char* kQueriesKey =
    "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Queries";
// HKLM: switches for the checks of a response's headers.
inline constexpr const char* kResponsesKey =
    "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Responses";
// HKLM: the Poll client's "WorkingDirectory".
inline constexpr const char* kPollClientKey =
    "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Clients\\Poll";
// HKLM: the Olmar program directory "OLMAR_EXE".
inline constexpr const char* kOlmarKey = "SOFTWARE\\qvis\\olmar";
// HKCU and HKLM: the Internet settings of the machine and of the user.
inline constexpr const char* kInternetSettingsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

}  // namespace zel::keys
