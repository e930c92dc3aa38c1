// Where the jobs of qvzel_nt keep their files, and their tuning values from
// ferrun.conf.  Every path is owned by the caller; nothing here throws.
#pragma once

#include <string>

namespace zel::jobs {

// The files each job keeps in the COMM directory, named once here so that
// whatever reports on the jobs reads the very files they write.
inline constexpr char kLogfilName[] = "LOGFIL";  // cumulative outcome file
inline constexpr int kDefaultLockMinutes = 240;  // lock age limit without a configured one
struct JobFiles {
    const char* lock_base;     // lock file: this + ".qvzel_lock"
    const char* lock_minutes;  // ferrun.conf key of its age limit
    const char* outcome_file;  // this run's outcome lines; null for the day-end job
};
inline constexpr JobFiles kUploadJob{"UPLOCK", "uplock_minutes", "qvzelupfile"};
inline constexpr JobFiles kDownloadJob{"DOWNLOCK", "downlock_minutes", "qvzeldownfile"};
inline constexpr JobFiles kDayEndJob{"PROCLOCK", "proclock_minutes", nullptr};

// Owned paths below the system root.
std::string CommFile(const std::string& name);      // C:\Apps\QVIS\PROG\COMM\name
std::string DownloadFile(const std::string& name);  // ...\COMM\DOWNLOAD\name
std::string UploadFile(const std::string& name);    // ...\COMM\UPLOAD\name
std::string CmnFile(const std::string& name);       // C:\Apps\QVIS\PROG\CMN\name

// Reads one number of ferrun.conf into *value, which holds the default and
// changes only for a value of 0 or more: the first occurrence of the key
// anywhere, the one character after it skipped, the text up to the next
// line feed read like atoi.
void ReadConfigNumber(const char* key, int* value);

// Removes a file, ignoring errors (a missing file is fine).
void RemoveFile(const std::string& path);

}  // namespace zel::jobs
