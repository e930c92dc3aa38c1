// Result codes of the support library and their catalogue entries.
//
// Owns the table that ties each support failure code to the number of its
// text in the message catalogue, and those texts (the deliverables' catalogues
// carry them under these numbers; the console client renumbers them).
#pragma once

#include "support/result.h"

// Result codes reported by the support routines.
inline constexpr HRESULT ZEL_E_INVALID_PARAMETER = MakeResult(0x801F811D);
inline constexpr HRESULT ZEL_E_TEMP_DIR = MakeResult(0x80208113);
inline constexpr HRESULT ZEL_E_TEMP_FILE = MakeResult(0x80208114);
inline constexpr HRESULT ZEL_E_OPEN_FILE = MakeResult(0x80208115);
inline constexpr HRESULT ZEL_E_WRITE_FILE = MakeResult(0x80208116);
inline constexpr HRESULT ZEL_E_WIDE_TO_MULTIBYTE = MakeResult(0x80208117);
inline constexpr HRESULT ZEL_E_MULTIBYTE_TO_WIDE = MakeResult(0x80208118);
inline constexpr HRESULT ZEL_E_FILE_LENGTH = MakeResult(0x80208119);
inline constexpr HRESULT ZEL_E_READ_FILE = MakeResult(0x8020811A);
inline constexpr HRESULT ZEL_E_INVALID_DIRECTORY = MakeResult(0x8020811B);
inline constexpr HRESULT ZEL_E_CREATE_DIRECTORY = MakeResult(0x8020811C);
inline constexpr HRESULT ZEL_E_OUT_OF_MEMORY = MakeResult(0x8020811E);

// Catalogue numbers of their texts.
inline constexpr unsigned ZEL_MSG_TEMP_DIR = 142;
inline constexpr unsigned ZEL_MSG_TEMP_FILE = 143;
inline constexpr unsigned ZEL_MSG_OPEN_FILE = 144;
inline constexpr unsigned ZEL_MSG_WRITE_FILE = 145;
inline constexpr unsigned ZEL_MSG_WIDE_TO_MULTIBYTE = 146;
inline constexpr unsigned ZEL_MSG_CREATE_DIRECTORY = 147;
inline constexpr unsigned ZEL_MSG_INVALID_DIRECTORY = 148;
inline constexpr unsigned ZEL_MSG_OUT_OF_MEMORY = 223;
inline constexpr unsigned ZEL_MSG_MULTIBYTE_TO_WIDE = 224;
inline constexpr unsigned ZEL_MSG_INVALID_PARAMETER = 225;
inline constexpr unsigned ZEL_MSG_FILE_LENGTH = 226;
inline constexpr unsigned ZEL_MSG_READ_FILE = 227;

// Catalogue number of the text for a support code, or 0 for any other code
// (a record with number 0 is not written).
[[nodiscard]] unsigned SupportMessageId(HRESULT code);

// The catalogue text under a number returned by SupportMessageId, or nullptr
// for any other number.  Static storage; never freed.
[[nodiscard]] const char* SupportMessageText(unsigned message_id);
