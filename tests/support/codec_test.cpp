// Base64, RC4 and BSTR allocation against published vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/com/bstr.h"
#include "support/base64.h"
#include "support/rc4.h"
#include "support/result_codes.h"

namespace {

std::string Encoded(const std::string& in) {
    CBase64 b;
    EXPECT_EQ(b.Encode(reinterpret_cast<const unsigned char*>(in.data()), in.size()), S_OK);
    EXPECT_EQ(b.GetTextLength(), std::strlen(b.GetText()));
    return b.GetText();
}

TEST(Base64, Rfc4648Vectors) {
    const char* vectors[][2] = {{"", ""},
                                {"f", "Zg=="},
                                {"fo", "Zm8="},
                                {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="},
                                {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(Encoded(v[0]), v[1]) << v[0];
        CBase64 d;
        ASSERT_EQ(d.Decode(v[1]), S_OK) << v[1];
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.GetData()), d.GetDataLength()), v[0]);
    }
    CBase64 text;
    ASSERT_EQ(text.Encode("user:pass"), S_OK);
    EXPECT_STREQ(text.GetText(), "dXNlcjpwYXNz");
}

TEST(Base64, BinaryLargeAndReusedObject) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    std::string big;
    for (int i = 0; i < 40; ++i) big += all;  // 10240 bytes: several buffer steps
    CBase64 b;
    ASSERT_EQ(b.Encode(reinterpret_cast<const unsigned char*>(big.data()), big.size()), S_OK);
    EXPECT_EQ(b.GetTextLength(), (big.size() + 2) / 3 * 4);
    const std::string text = b.GetText();
    EXPECT_EQ(
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
        std::string::npos);
    ASSERT_EQ(b.Decode(text.c_str()), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.GetData()), b.GetDataLength()), big);
    // The same object, now smaller: no leftovers of the long text.
    ASSERT_EQ(b.Encode("a"), S_OK);
    EXPECT_STREQ(b.GetText(), "YQ==");
}

TEST(Base64, DecodeSkipsBreaksAndRejectsGarbage) {
    CBase64 d;
    ASSERT_EQ(d.Decode("Zm9v\r\nYm Fy\t"), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.GetData()), d.GetDataLength()), "foobar");
    ASSERT_EQ(d.Decode("Zm8"), S_OK);  // padding left out
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.GetData()), d.GetDataLength()), "fo");
    for (const char* bad : {"Zm9v!A==", "Z", "Zg==Zg==", "=Zg=", "Zg=A"}) {
        EXPECT_EQ(d.Decode(bad), zel::codes::kInvalidArg) << bad;
        EXPECT_EQ(d.GetDataLength(), 0u) << bad;
    }
}

std::string Hex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

TEST(RC4, PublishedVectors) {
    const char* vectors[][3] = {{"Key", "Plaintext", "BBF316E8D940AF0AD3"},
                                {"Wiki", "pedia", "1021BF0420"},
                                {"Secret", "Attack at dawn", "45A01F645FC35B383552544B9BF5"}};
    for (const auto& v : vectors) {
        const std::size_t n = std::strlen(v[1]);
        unsigned char out[32];
        RC4Crypt(reinterpret_cast<const unsigned char*>(v[0]), std::strlen(v[0]),
                 reinterpret_cast<const unsigned char*>(v[1]), n, out);
        EXPECT_EQ(Hex(out, n), v[2]);
    }
}

TEST(RC4, StringFormWithEightByteKeyRoundTrips) {
    // 64-bit key 0102030405060708: keystream starts 97 AB 8A 1B F0 AF B9 61.
    const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    char zeros_in[] = "\x01\x01\x01\x01";  // no zero byte inside the text
    char out[8];
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(RC4CryptString(key, zeros_in, out), 4);
    const unsigned char expected[4] = {0x97 ^ 1, 0xAB ^ 1, 0x8A ^ 1, 0x1B ^ 1};
    EXPECT_EQ(std::memcmp(out, expected, 4), 0);
    EXPECT_EQ(out[4], '\0');

    char cipher[32];
    char plain[32];
    ASSERT_EQ(RC4CryptString(key, "dealer:secret", cipher), 13);
    ASSERT_EQ(RC4CryptString(key, cipher, plain), static_cast<int>(std::strlen(cipher)));
    // A zero byte inside the cipher text would end it early; this key and
    // text give none.
    ASSERT_EQ(std::strlen(cipher), 13u);
    EXPECT_STREQ(plain, "dealer:secret");
    EXPECT_EQ(RC4CryptString(nullptr, "x", plain), 0);
}

TEST(Bstr, LengthPrefixAndEmbeddedZeros) {
    const char16_t with_zero[] = {u'x', 0, u'y'};
    zel::CBstr b(SysAllocStringLen(with_zero, 3));
    EXPECT_EQ(b.Length(), 3u);
    EXPECT_EQ(SysStringByteLen(b.get()), 6u);
    EXPECT_EQ(b.get()[2], u'y');
    EXPECT_EQ(b.get()[3], 0);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
}

}  // namespace
