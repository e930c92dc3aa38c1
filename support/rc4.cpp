// RC4: see rc4.h.
#include "support/rc4.h"

#include <cstring>
#include <utility>

void RC4Crypt(const unsigned char* key, std::size_t key_length, const unsigned char* input,
              std::size_t length, unsigned char* output) {
    if (key == nullptr || key_length == 0 || key_length > 256) return;
    if (length > 0 && (input == nullptr || output == nullptr)) return;
    unsigned char s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
    unsigned j = 0;
    for (unsigned i = 0; i < 256; ++i) {
        j = (j + s[i] + key[i % key_length]) & 0xFF;
        std::swap(s[i], s[j]);
    }
    unsigned i = 0;
    j = 0;
    for (std::size_t k = 0; k < length; ++k) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        output[k] = static_cast<unsigned char>(input[k] ^ s[(s[i] + s[j]) & 0xFF]);
    }
}

int RC4CryptString(const unsigned char* key, const char* text, char* output) {
    if (key == nullptr || text == nullptr || output == nullptr) return 0;
    const std::size_t length = std::strlen(text);
    RC4Crypt(key, kRC4StringKeyLength, reinterpret_cast<const unsigned char*>(text), length,
             reinterpret_cast<unsigned char*>(output));
    output[length] = '\0';
    return static_cast<int>(length);
}
