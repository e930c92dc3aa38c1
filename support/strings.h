// Heap strings and their conversions: the string toolkit of every program.
//
// A "string" here is a heap block of zero-terminated multibyte text in the
// locale's encoding (the program's current LC_CTYPE), or nullptr for "none".
// Whoever holds the pointer owns the block and frees it with FreeString (or
// keeps it in a CStringHolder).  Routines that produce a string write it
// through a char** to the caller's variable.  Every routine validates its
// arguments, returns a result code (0 on success) and reports each failure it
// detects once through ReportFailure, with its own name as the context; a
// failure passed on from another routine is not reported again.
//
// Scanning steps over whole characters of the locale's encoding (a character
// of several bytes is never split, trimmed or matched by one of its bytes);
// an invalid byte counts as a one-byte character.  A character's value, where
// one is passed in (separators, EndsWithChar), is its bytes read as one
// big-endian number: ':' is 0x3A, the UTF-8 "é" (C3 A9) is 0xC3A9.
//
// Wide text is UTF-16 (char16_t), zero-terminated; BSTR comes from
// platform/com/bstr.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/bstr.h"
#include "support/result.h"
#include "support/result_codes.h"

// The byte-stream side of a content stream, as far as the string readers
// need it.  The transport's content stream implements it; results are 0 or a
// failure code that the stream has already reported.
class IByteStream {
  public:
    virtual ~IByteStream() = default;
    // Size of the stream's data in bytes.
    [[nodiscard]] virtual HRESULT GetLength(std::int32_t* length) = 0;
    // Moves the position: origin 2 = from the beginning, 3 = from the end,
    // anything else = from the current position.  new_position may be null.
    [[nodiscard]] virtual HRESULT Seek(int origin, std::int32_t offset,
                                       std::int32_t* new_position) = 0;
    // Reads up to count bytes at the position; *bytes_read is 0 at the end.
    [[nodiscard]] virtual HRESULT Read(void* buffer, std::int32_t count,
                                       std::int32_t* bytes_read) = 0;
};

// Owns one heap string and frees it with FreeString when it goes.
//   CStringHolder s;  CopyString("x", &s, false);   // in/out: may resize *s
//   GetString("y", s.Out(), false);                 // frees first, then out
class CStringHolder {
  public:
    CStringHolder() = default;
    explicit CStringHolder(char* owned) : str_(owned) {}
    ~CStringHolder();
    CStringHolder(CStringHolder&& o) noexcept : str_(o.release()) {}
    CStringHolder& operator=(CStringHolder&& o) noexcept;
    CStringHolder(const CStringHolder&) = delete;
    CStringHolder& operator=(const CStringHolder&) = delete;

    // The held text, or nullptr for none.  Stays owned by the holder.
    char* get() const { return str_; }
    // Text for printing: the held text, or "" for none.
    const char* c_str() const { return str_ != nullptr ? str_ : ""; }
    explicit operator bool() const { return str_ != nullptr; }
    // In/out access for routines that update an existing string
    // (CopyString, AppendString, TrimWithMemUseCheck...).
    char** operator&() { return &str_; }
    // Out access for routines that set the string to none before filling it
    // (GetString, MakeString, GetStringFromWSTR...): frees what is held first.
    char** Out();
    // Gives the string to the caller, who then owns it.
    [[nodiscard]] char* release();
    // Frees what is held and takes ownership of owned.
    void reset(char* owned = nullptr);

  private:
    char* str_ = nullptr;
};

// Bytes before the terminating zero; none gives 0.
[[nodiscard]] long StringLength(const char* text);

// Frees *str if any and sets it to none.  Always 0 (a null pointer is
// ignored).
HRESULT FreeString(char** str);

// Copies size bytes from source to destination.  Missing pointer or size
// below 0: 0x801F811D.
[[nodiscard]] HRESULT CopyValue(const void* source, void* destination, long size);

// Allocates length + 1 bytes (contents undefined, last byte zero) into *str,
// which must not own anything (it is overwritten).  Length below 0 or str
// missing: 0x801F811D; allocation failure: 0x8020811E (*str unchanged).
[[nodiscard]] HRESULT AllocStringLen(long length, char** str);

// Source none: frees *str (none) and returns 0.  Else resizes the existing
// block of *str to the source's length + 1, copies and trims when asked.
// str missing: 0x801F811D; allocation failure: 0x8020811E with the previous
// string left in place.  source may point into *str's own block.
[[nodiscard]] HRESULT CopyString(const char* source, char** str, bool trim);

// Sets *str to none first (without freeing: *str must be an empty out
// variable), then CopyString.
[[nodiscard]] HRESULT GetString(const char* source, char** str, bool trim);

// Appends source to *str (none counts as empty); source none changes nothing.
// str missing: 0x801F811D; allocation failure: 0x8020811E, *str unchanged.
[[nodiscard]] HRESULT AppendString(const char* source, char** str);

// Sets *str to none (without freeing), then: begin and end both none: 0;
// end none: a copy of the whole text from begin; else a copy of the bytes
// [begin, end).  str missing, end without begin or end before begin:
// 0x801F811D; allocation failure: 0x8020811E.
[[nodiscard]] HRESULT MakeString(const char* begin, const char* end, char** str, bool trim);

// Removes leading and trailing blanks (space and tab only) in place.
// Returns 1, or 0 for a missing text (reported as 0x801F811D).
int Trim(char* text);

// Trim, then gives back the memory freed by trimming.  str or *str missing:
// 0x801F811D; shrinking failure: 0x8020811E (the trimmed text stays).
[[nodiscard]] HRESULT TrimWithMemUseCheck(char** str);

// True when text is not empty and its last character has the value ch.
[[nodiscard]] bool EndsWithChar(const char* text, unsigned int ch);

// Splits text at an occurrence of the separator character: count 0 or more
// splits at occurrence count + 1, a negative count at the last one.  Both
// outputs are set to none (without freeing) first.  Text none: 1, both stay
// none.  No occurrence to split at: *left gets a trimmed copy of the whole
// text, *right stays none.  Else both sides trimmed, separator in neither.
// Returns 0; a failure leaves both outputs none and returns its code.
[[nodiscard]] HRESULT SplitString(const char* text, unsigned int separator, long count, char** left,
                                  char** right);

// Converts zero-terminated UTF-16 text into *str, resizing its existing block
// (as CopyString).  Wide none: *str becomes the empty string.  No multibyte
// form: 0x80208117 with *str unchanged.
[[nodiscard]] HRESULT CopyStringFromWSTR(const char16_t* wide, char** str, bool trim);
// Sets *str to none first (without freeing), then CopyStringFromWSTR.
[[nodiscard]] HRESULT GetStringFromWSTR(const char16_t* wide, char** str, bool trim);

// Sets *out to none, then (text given) allocates a BSTR holding the text
// converted to UTF-16; the caller frees it with FreeBSTR / SysFreeString.
// Text none: 0 and none.  No wide form: 0x80208118; allocation failure:
// 0x8020811E.
[[nodiscard]] HRESULT GetBSTRFromString(const char* text, BSTR* out);
// Frees *bstr if any and sets it to none.  bstr missing: 0x801F811D.
HRESULT FreeBSTR(BSTR* bstr);

// Text given: CopyString(text, str, trim).  Text none: *str is freed (none).
[[nodiscard]] HRESULT GetStringFromANSISTR(const char* text, char** str, bool trim);
// Text given: CopyString(text, str, false).  Text none: *str is freed (none).
[[nodiscard]] HRESULT GetANSISTRFromString(const char* text, char** str);

// Reads the whole stream from its beginning into *out (set to none first,
// without freeing).  wide: the bytes are UTF-16 text and are converted.
// Stream or out missing: 0x801F811D; the stream's own failures are passed on;
// allocation failure: 0x8020811E.
[[nodiscard]] HRESULT GetStringFromByteStream(IByteStream* stream, bool wide, char** out);
// GetStringFromByteStream, then GetBSTRFromString into *out.
[[nodiscard]] HRESULT GetBSTRFromByteStream(IByteStream* stream, bool wide, BSTR* out);

// Reads a whole file in text mode (CR LF arrives as LF) into *out (set to
// none first, without freeing).  wide: the file is UTF-16 text.  Open
// failure, and anything but a regular file (a directory, a FIFO, which would
// otherwise block for ever): 0x80208115; length: 0x80208119; read: 0x8020811A; memory:
// 0x8020811E.  An empty file gives the empty string.
[[nodiscard]] HRESULT GetStringDataFromFile(const char* path, bool wide, char** out);

// Creates or truncates the file and writes text in text mode (each LF stored
// as CR LF), without its terminator.  Missing argument: 0x801F811D; open
// failure (also anything but a regular file in the name's place, which is
// left untouched): 0x80208115; write failure: 0x80208116.
[[nodiscard]] HRESULT WriteStringToFile(const char* path, const char* text);

// Creates a new empty file "TMP" + unique suffix in the temporary directory
// and puts its full name into *out (set to none first, without freeing).
// out missing: 0x801F811D; no temporary directory: 0x80208113; creation
// failure: 0x80208114.  The caller owns (and removes) the file.
[[nodiscard]] HRESULT GetTmpFileName(char** out);

// What OneLine makes of a line break (CR or LF) in a text from a peer.
enum class LineBreak {
    kEndsText,      // the text ends before its first line break
    kBecomesBlank,  // every run of line breaks becomes one blank
};

// text fit for a place that holds one line (a line of a log record, a header
// value), so that a peer's text can never start a line, and with it a
// record, of its own making; blanks (space, tab) at either end of the result
// are removed.  kEndsText suits a text that is one line by rule (a status
// line, a header); kBecomesBlank keeps every word of a free text (a server's
// fault description).  Nothing else is changed; never fails.
[[nodiscard]] std::string OneLine(std::string_view text, LineBreak how);
