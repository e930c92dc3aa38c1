// System root and the fixed locations below it.
//
// The system keeps every fixed file below one directory that stands for the
// Windows drive "C:".  It is taken from the environment variable QVIS_ROOT
// (default /var/lib/qvis) at each call, so tests and the demo can point it at
// a scratch directory.  This is the only module that spells a root path.
// All functions return owned std::string values and never fail.  The code
// lives in libzelcom.so (beside the registry store that uses it).
#pragma once

#include <string>

#include "platform/com/export.h"

namespace zel::paths {

// The system root: $QVIS_ROOT, or /var/lib/qvis when unset or empty.
// A trailing "/" is removed (except for "/" itself).
ZEL_COM_API std::string Root();

// Root()/relative; relative uses "/" and must not start with one.
ZEL_COM_API std::string UnderRoot(const std::string& relative);

// C:\Apps\QVIS\PROG\COMM: install directory of the component and the job runner.
ZEL_COM_API std::string CommDir();
// C:\Apps\QVIS\PROG\CMN: the Olmar side's common directory.
ZEL_COM_API std::string CmnDir();
// C:\Apps\QVIS\PROG\COMM\DOWNLOAD
ZEL_COM_API std::string DownloadDir();
// C:\Apps\QVIS\PROG\COMM\UPLOAD
ZEL_COM_API std::string UploadDir();
// C:\Apps\QVIS\home\anon_ftp\pub
ZEL_COM_API std::string PubDir();
// c:\qvzel.log: the job runner's debug trace.
ZEL_COM_API std::string JobLogFile();
// C:\response.txt
ZEL_COM_API std::string ResponseFile();
// The registry database file: $QVIS_ROOT/registry.db.
ZEL_COM_API std::string RegistryFile();

// Joins a directory and a name with exactly one "/" between them.
ZEL_COM_API std::string Join(const std::string& dir, const std::string& name);

// Whether path names the same place whatever the current directory is: on
// Linux it starts with "/"; on Windows it starts with a drive and a
// separator ("C:/", "Z:\\"), with two separators (a network share) or with
// one (the root of the current drive).  By name only: nothing need exist.
ZEL_COM_API bool IsAbsolute(const std::string& path);

}  // namespace zel::paths
