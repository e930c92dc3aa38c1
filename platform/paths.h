// System root and the fixed locations below it.
//
// The system keeps every fixed file below one directory that stands for the
// Windows drive "C:".  It is taken from the environment variable QVIS_ROOT
// (default /var/lib/qvis) at each call, so tests and the demo can point it at
// a scratch directory.  This is the only module that spells a root path.
// All functions return owned std::string values and never fail.
#pragma once

#include <string>

namespace zel::paths {

// The system root: $QVIS_ROOT, or /var/lib/qvis when unset or empty.
// A trailing "/" is removed (except for "/" itself).
std::string Root();

// Root()/relative; relative uses "/" and must not start with one.
std::string UnderRoot(const std::string& relative);

// C:\Apps\QVIS
std::string AppsDir();
// C:\Apps\QVIS\PROG\COMM: install directory of the component and the job runner.
std::string CommDir();
// C:\Apps\QVIS\PROG\CMN: the Olmar side's common directory.
std::string CmnDir();
// C:\Apps\QVIS\PROG\COMM\DOWNLOAD
std::string DownloadDir();
// C:\Apps\QVIS\PROG\COMM\UPLOAD
std::string UploadDir();
// C:\Apps\QVIS\home\anon_ftp\pub
std::string PubDir();
// c:\qvzel.log: the job runner's debug trace.
std::string JobLogFile();
// C:\response.txt
std::string ResponseFile();
// The registry database file: $QVIS_ROOT/registry.db.
std::string RegistryFile();

// Joins a directory and a name with exactly one "/" between them.
std::string Join(const std::string& dir, const std::string& name);

}  // namespace zel::paths
