// RC4, the published stream cipher, used to turn the stored credential text
// into user name and password.  Encrypting and decrypting are the same
// operation.  Nothing is allocated and nothing is reported.
#pragma once

#include <cstddef>

// Length of the key RC4CryptString takes.
inline constexpr std::size_t kRC4StringKeyLength = 8;

// Applies RC4 with key (key_length bytes, 1 to 256) to length bytes of input
// and writes as many bytes to output (which may be input itself).  Does
// nothing for a missing key or a key length outside 1..256.
void RC4Crypt(const unsigned char* key, std::size_t key_length, const unsigned char* input,
              std::size_t length, unsigned char* output);

// Applies RC4 with the 8-byte key to the bytes of the zero-terminated text,
// writes as many bytes to output followed by a zero byte (output must hold
// the text's length + 1 bytes), and returns the text's length.  A missing
// argument gives 0 and writes nothing.  Output bytes may themselves be zero.
int RC4CryptString(const unsigned char* key, const char* text, char* output);
