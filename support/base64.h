// CBase64: base64 (RFC 4648 alphabet, "=" padding, no line breaks) between a
// byte buffer and a text buffer, used for the HTTP Basic authorization value.
//
// The object owns both buffers; GetData / GetText hand out pointers into them
// that stay valid until the next Encode, Decode or destruction.  Buffers grow
// in 4096-byte steps and are zero-filled whenever reserved, so the text is
// always zero-terminated.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "support/result.h"

class CBase64 {
  public:
    CBase64() = default;
    virtual ~CBase64();
    CBase64(const CBase64&) = delete;
    CBase64& operator=(const CBase64&) = delete;

    // Encodes a zero-terminated input (its bytes without the terminator).
    // Missing text: 0x801F811D; out of memory: 0x8020811E.
    [[nodiscard]] virtual HRESULT Encode(const char* text);
    // Encodes length bytes into the text buffer.
    [[nodiscard]] virtual HRESULT Encode(const unsigned char* bytes, std::size_t length);
    // Decodes zero-terminated base64 text into the data buffer.
    [[nodiscard]] virtual HRESULT Decode(const char* text);
    // Decodes length characters of base64 text.  Line breaks, other control
    // characters of codes 7 to 13 and spaces are skipped; a final group of two
    // or three characters may lack its padding.  Any other character outside
    // the alphabet, data after padding, or a lone final character:
    // 0x801F811D with empty data.  Out of memory: 0x8020811E.
    [[nodiscard]] virtual HRESULT Decode(const unsigned char* bytes, std::size_t length);
    // The byte side (input of encoding, output of decoding); null before use.
    [[nodiscard]] virtual const unsigned char* GetData();
    // The base64 side, zero-terminated; null before use.
    [[nodiscard]] virtual const char* GetText();

    // Bytes in use on each side.
    [[nodiscard]] std::size_t GetDataLength() const { return data_length_; }
    [[nodiscard]] std::size_t GetTextLength() const { return text_length_; }

  protected:
    // Make room for size bytes (plus a zero byte), zero the buffer, length 0.
    [[nodiscard]] virtual HRESULT ReserveText(std::size_t size);
    [[nodiscard]] virtual HRESULT ReserveData(std::size_t size);
    // Copies base64 text into the text buffer without the skipped characters.
    [[nodiscard]] virtual HRESULT CopyTextFiltered(const unsigned char* bytes, std::size_t length);
    // Copies bytes into the data buffer.
    [[nodiscard]] virtual HRESULT CopyData(const unsigned char* bytes, std::size_t length);
    // Three bytes to four alphabet characters.
    virtual void EncodeGroup(const unsigned char* group, char* destination);
    // Four characters to up to three bytes: the number of bytes made (3, 2
    // or 1 when padded), or -1 when the group is not valid base64.
    virtual int DecodeGroup(const char* group, unsigned char* destination);
    // A 24-bit group: three bytes to four 6-bit values and back.
    virtual void SplitGroup(const unsigned char* three, unsigned char* four);
    virtual void JoinGroup(const unsigned char* four, unsigned char* three);
    // True for the characters that decoding passes over.
    virtual bool IsSkippedChar(unsigned char c);

  private:
    // malloc'd blocks, freed with free.
    struct FreeBlock {
        void operator()(void* p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char[], FreeBlock> data_;
    std::unique_ptr<char[], FreeBlock> text_;
    std::size_t data_capacity_ = 0;
    std::size_t text_capacity_ = 0;
    std::size_t data_length_ = 0;
    std::size_t text_length_ = 0;
};
