// Fuzz target: base64, the encoding of the Authorization value.  Input: any
// bytes, encoded and also decoded as base64 text.  Checked: encoding then
// decoding gives the bytes back, encoded text has the padded length and only
// alphabet characters, and text that decodes re-encodes to text that decodes
// to the same bytes.
#include "support/base64.h"

#include <cstring>

#include "fuzz/fuzz_common.h"

using namespace zel::fuzz;

namespace {

bool IsAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        CBase64 codec;
        ZEL_FUZZ_CHECK(codec.Encode(data, size) == S_OK);
        const std::string text(codec.GetText(), codec.GetTextLength());
        ZEL_FUZZ_CHECK(text.size() == (size + 2) / 3 * 4);
        ZEL_FUZZ_CHECK(std::strlen(codec.GetText()) == text.size());
        for (char c : text) ZEL_FUZZ_CHECK(IsAlphabet(c));
        CBase64 back;
        ZEL_FUZZ_CHECK(back.Decode(text.c_str()) == S_OK);
        ZEL_FUZZ_CHECK(back.GetDataLength() == size);
        ZEL_FUZZ_CHECK(size == 0 || std::memcmp(back.GetData(), data, size) == 0);
    }
    {
        CBase64 codec;
        if (codec.Decode(data, size) != S_OK) {
            ZEL_FUZZ_CHECK(codec.GetDataLength() == 0);
            return 0;
        }
        const std::string bytes(reinterpret_cast<const char*>(codec.GetData()),
                                codec.GetDataLength());
        // At most three bytes for every four characters.
        ZEL_FUZZ_CHECK(bytes.size() <= (size / 4 + 1) * 3);
        CBase64 again;
        ZEL_FUZZ_CHECK(again.Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                    bytes.size()) == S_OK);
        CBase64 twice;
        ZEL_FUZZ_CHECK(twice.Decode(again.GetText()) == S_OK);
        ZEL_FUZZ_CHECK(std::string(reinterpret_cast<const char*>(twice.GetData()),
                                   twice.GetDataLength()) == bytes);
    }
    return 0;
}
