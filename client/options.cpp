// ferrun's command-line reading: the options table, the optional values of
// "-d" and "-p", the directory/filter/destination split and the length
// limits of the option buffers.
#include "client/options.h"

#include <cstring>
#include <string_view>

#include "client/messages.h"

namespace zel::client {
namespace {

std::string Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

// Sets field only when the new text is not empty: a repeated option keeps
// what its later value leaves out.
void SetIfGiven(std::string* field, std::string text) {
    if (!text.empty()) *field = std::move(text);
}

CommandOutcome Usage(int exit_code, unsigned message_id, std::string problem) {
    CommandOutcome out;
    out.action = CommandAction::kUsage;
    out.exit_code = exit_code;
    out.message_id = message_id;
    out.problem = std::move(problem);
    return out;
}

std::string TooLong(std::string_view option, std::size_t limit) {
    return "the value of " + std::string(option) + " is longer than " + std::to_string(limit) +
           " characters";
}

constexpr const char* kNoRequest = "give -d (download) or -p (upload)";

// A value for an option that may go without one: the next argument unless
// there is none or it is the next option.
bool HasOptionalValue(int next, int argc, const char* const* argv) {
    return next < argc && argv[next][0] != '-';
}

}  // namespace

void ApplyDirectoryValue(const std::string& value, bool with_destination, FerrunOptions* options) {
    std::string_view part = value;
    if (with_destination) {
        const std::size_t sep = part.find("::");
        if (sep != std::string_view::npos) {
            SetIfGiven(&options->destination, Trimmed(part.substr(sep + 2)));
            part = part.substr(0, sep);
        }
    }
    const std::size_t colon = part.rfind(':');
    const bool drive_colon = colon != std::string_view::npos && colon + 1 < part.size() &&
                             (part[colon + 1] == '\\' || part[colon + 1] == '/');
    if (colon == std::string_view::npos || drive_colon) {
        SetIfGiven(&options->directory, Trimmed(part));
        return;
    }
    SetIfGiven(&options->directory, Trimmed(part.substr(0, colon)));
    SetIfGiven(&options->filter, Trimmed(part.substr(colon + 1)));
}

CommandOutcome ParseCommandLine(int argc, const char* const* argv, FerrunOptions* options) {
    if (argc <= 1) return Usage(1, kMsgNoRequest, kNoRequest);
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-d" || arg == "-p") {
            const bool upload = arg == "-p";
            (upload ? options->upload : options->download) = true;
            if (!HasOptionalValue(i + 1, argc, argv)) continue;
            const std::string value = argv[++i];
            if (value.size() > kMaxPathValue)
                return Usage(1, kMsgInvalidArgument, TooLong(arg, kMaxPathValue));
            ApplyDirectoryValue(value, upload, options);
        } else if (arg == "-r" || arg == "-u") {
            const bool user = arg == "-u";
            if (!HasOptionalValue(i + 1, argc, argv))
                return Usage(1, 0,
                             std::string(arg) + (user ? " needs a user ID" : " needs a file name"));
            const std::string_view value = argv[++i];
            const std::size_t limit = user ? kMaxUserIdValue : kMaxPathValue;
            if (value.size() > limit) return Usage(1, kMsgInvalidArgument, TooLong(arg, limit));
            (user ? options->user_id : options->result_file) = std::string(value);
        } else if (arg == "-t") {
            options->debug = true;
        } else if (arg == "--quiet") {
            options->quiet = true;
        } else if (arg == "-z") {
            // Any next argument is the file name, even one that begins with
            // "-": the option exists to name one file.
            if (i + 1 >= argc) return Usage(1, 0, "-z needs a file name");
            const std::string_view name = argv[i + 1];
            if (name.size() > kMaxPathValue)
                return Usage(1, kMsgInvalidArgument, TooLong(arg, kMaxPathValue));
            CommandOutcome out;
            out.action = CommandAction::kDecompress;
            out.decompress_name = std::string(name);
            return out;
        } else if (arg == "--help" || arg == "--version") {
            CommandOutcome out;
            out.action = arg == "--help" ? CommandAction::kHelp : CommandAction::kVersion;
            return out;
        } else {
            return Usage(1, kMsgInvalidArgument, "unknown argument '" + std::string(arg) + "'");
        }
    }
    if (options->download && options->upload)
        return Usage(1, kMsgBothRequests, "give either -d or -p, not both");
    if (!options->download && !options->upload) return Usage(1, kMsgNoRequest, kNoRequest);
    return CommandOutcome{};
}

}  // namespace zel::client
