// ferrun's command line: the options, their value rules and the checks that
// end a run before the component is touched.
//
// Pure: nothing here prints, logs or touches a file; the caller acts on the
// outcome (usage text, file-log message, decompress mode, the transfer).
#pragma once

#include <string>

namespace zel::client {

// The fixed option buffers of the client hold at most these many bytes of
// text (the buffers are one byte larger, for the terminator).  A longer value
// is refused rather than cut, so a run never works on a name other than the
// one given.
inline constexpr std::size_t kMaxPathValue = 259;
inline constexpr std::size_t kMaxUserIdValue = 63;

// What the command line asks for.  Empty texts stand for "not given": the
// transfer then passes a null string and the component uses its default.
struct FerrunOptions {
    std::string directory;    // download or upload directory, trimmed
    std::string filter;       // trimmed
    std::string destination;  // upload destination directory, trimmed
    std::string result_file;  // "-r" value, as given
    std::string user_id;      // "-u" value, as given
    bool download = false;
    bool upload = false;
    bool debug = false;
    bool quiet = false;  // "--quiet": no progress line on a terminal
};

enum class CommandAction {
    kTransfer,    // run one download or upload with the options
    kUsage,       // print the usage text, log message_id (when not 0), exit
    kHelp,        // "--help": print the full help text, exit 0
    kVersion,     // "--version": print the program's version, exit 0
    kDecompress,  // "-z": unpack decompress_name and stop
};

struct CommandOutcome {
    CommandAction action = CommandAction::kTransfer;
    int exit_code = 0;            // for kUsage
    unsigned message_id = 0;      // for kUsage: the file-log message, 0 for none
    std::string problem;          // for kUsage: what is wrong, for standard error
    std::string decompress_name;  // for kDecompress
};

// Reads argv[1..argc-1] left to right into *options (which the caller passes
// in cleared).  "--quiet" may stand anywhere.  "-z", "--help" and
// "--version" are acted on when they are read, after the options before
// them; an unknown argument, a missing "-r"/"-u"/"-z" value or a value
// longer than its buffer ends the reading at once.  With no arguments, or after reading all of
// them, the download and upload requests are checked (message 86 for neither, 87 for both).  Every
// kUsage outcome says in `problem` what is wrong.
[[nodiscard]] CommandOutcome ParseCommandLine(int argc, const char* const* argv,
                                              FerrunOptions* options);

// Applies one "-d" (with_destination false) or "-p" value to *options: for
// "-p" the first "::" ends the directory-and-filter part and the rest is the
// destination; in that part the last ":" separates directory and filter
// unless "\" or "/" follows it (a drive name such as C:\IN keeps its ":").
// Every field is trimmed of blanks; a field that comes out empty leaves the
// earlier text of that field in place.
void ApplyDirectoryValue(const std::string& value, bool with_destination, FerrunOptions* options);

}  // namespace zel::client
