// Text encodings on Linux (see charset.h): iconv between the locale's
// codeset (nl_langinfo) and UTF-16 in this machine's byte order.  Owns
// nothing beyond the conversion descriptor of one call.
#include "platform/charset.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace zel::charset {

namespace {

struct IconvCloser {
    iconv_t cd;
    ~IconvCloser() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
};

const char* Utf16Name() {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return "UTF-16LE";
#else
    return "UTF-16BE";
#endif
}

// Runs one whole conversion into a growing malloc'd block followed by
// `terminator` zero bytes.  Returns 0, EILSEQ (no form in the target
// encoding, including a truncated sequence) or ENOMEM.
int ConvertAll(const char* to, const char* from, const char* in, std::size_t in_bytes,
               std::size_t terminator, char** out, std::size_t* out_bytes) {
    IconvCloser conv{iconv_open(to, from)};
    if (conv.cd == reinterpret_cast<iconv_t>(-1)) return EILSEQ;
    std::size_t cap = in_bytes * 2 + 16;
    std::unique_ptr<char, decltype(&std::free)> buf(static_cast<char*>(std::malloc(cap)),
                                                    &std::free);
    if (!buf) return ENOMEM;
    char* inp = const_cast<char*>(in);
    std::size_t in_left = in_bytes;
    std::size_t used = 0;
    bool flushing = false;
    for (;;) {
        char* outp = buf.get() + used;
        std::size_t out_left = cap - used - terminator;
        const std::size_t r = flushing ? iconv(conv.cd, nullptr, nullptr, &outp, &out_left)
                                       : iconv(conv.cd, &inp, &in_left, &outp, &out_left);
        used = static_cast<std::size_t>(outp - buf.get());
        if (r != static_cast<std::size_t>(-1)) {
            if (flushing) break;
            flushing = true;  // emit any shift sequence that ends the text
            continue;
        }
        if (errno != E2BIG) return EILSEQ;  // EILSEQ or EINVAL (truncated input)
        const std::size_t grown = cap * 2;
        char* p = static_cast<char*>(std::realloc(buf.get(), grown));
        if (p == nullptr) return ENOMEM;
        (void)buf.release();
        buf.reset(p);
        cap = grown;
    }
    std::memset(buf.get() + used, 0, terminator);
    *out_bytes = used;
    *out = buf.release();
    return 0;
}

}  // namespace

int LocaleToUtf16(const char* in, std::size_t in_bytes, char16_t** out, std::size_t* out_units) {
    char* block = nullptr;
    std::size_t bytes = 0;
    const int rc = ConvertAll(Utf16Name(), nl_langinfo(CODESET), in, in_bytes, sizeof(char16_t),
                              &block, &bytes);
    if (rc != 0) return rc;
    *out = reinterpret_cast<char16_t*>(block);
    *out_units = bytes / sizeof(char16_t);
    return 0;
}

int Utf16ToLocale(const char16_t* in, std::size_t in_units, char** out, std::size_t* out_bytes) {
    return ConvertAll(nl_langinfo(CODESET), Utf16Name(), reinterpret_cast<const char*>(in),
                      in_units * sizeof(char16_t), 1, out, out_bytes);
}

}  // namespace zel::charset
