// The support library's code-to-catalogue table: see support_messages.h.
#include "support/support_messages.h"

namespace {

struct Entry {
    HRESULT code;
    unsigned id;
    const char* text;
};

constexpr Entry kEntries[] = {
    {ZEL_E_INVALID_PARAMETER, ZEL_MSG_INVALID_PARAMETER,
     "Input data error~~Parameter(s) supplied are invalid."},
    {ZEL_E_TEMP_DIR, ZEL_MSG_TEMP_DIR,
     "File system error~~Unable to get temporary directory path."},
    {ZEL_E_TEMP_FILE, ZEL_MSG_TEMP_FILE, "File system error~~Unable to get temporary file name."},
    {ZEL_E_OPEN_FILE, ZEL_MSG_OPEN_FILE, "File system error~~Unable to open file."},
    {ZEL_E_WRITE_FILE, ZEL_MSG_WRITE_FILE, "File system error~~Unable to write to file."},
    {ZEL_E_WIDE_TO_MULTIBYTE, ZEL_MSG_WIDE_TO_MULTIBYTE,
     "Conversion error~~Conversion from wide-char to multibyte-char failed."},
    {ZEL_E_MULTIBYTE_TO_WIDE, ZEL_MSG_MULTIBYTE_TO_WIDE,
     "Conversion error~~Conversion from multibyte-char to wide-char failed."},
    {ZEL_E_FILE_LENGTH, ZEL_MSG_FILE_LENGTH, "File system error~~Unable to get length of file."},
    {ZEL_E_READ_FILE, ZEL_MSG_READ_FILE, "File system error~~Unable to read file."},
    {ZEL_E_INVALID_DIRECTORY, ZEL_MSG_INVALID_DIRECTORY,
     "Input data error~~Invalid directory specified for working directory."},
    {ZEL_E_CREATE_DIRECTORY, ZEL_MSG_CREATE_DIRECTORY,
     "File system error~~Creation of working directory failed."},
    {ZEL_E_OUT_OF_MEMORY, ZEL_MSG_OUT_OF_MEMORY, "System resource error~~Out of memory."},
};

}  // namespace

unsigned SupportMessageId(HRESULT code) {
    for (const Entry& e : kEntries) {
        if (e.code == code) return e.id;
    }
    return 0;
}

const char* SupportMessageText(unsigned message_id) {
    for (const Entry& e : kEntries) {
        if (e.id == message_id) return e.text;
    }
    return nullptr;
}
