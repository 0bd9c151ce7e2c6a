#include "verify/signify.h"

#include <cstring>
#include <sodium.h>

namespace {

constexpr char COMMENT[] = "untrusted comment: ";

} // namespace

bool decode_signify(const char* text, size_t len, uint8_t* out, size_t size)
{
    const size_t comment = sizeof COMMENT - 1;
    if (len < comment || std::memcmp(text, COMMENT, comment) != 0)
        return false;
    const char* nl = static_cast<const char*>(std::memchr(text, '\n', len));
    if (nl == nullptr)
        return false;
    const char* b64 = nl + 1;
    size_t rest = len - static_cast<size_t>(b64 - text);
    // One line of base64, its line end optional; nothing after it.
    const char* end = static_cast<const char*>(std::memchr(b64, '\n', rest));
    size_t b64_len = end != nullptr ? static_cast<size_t>(end - b64) : rest;
    if (end != nullptr && static_cast<size_t>(end - b64) + 1 != rest)
        return false;
    size_t got = 0;
    const char* b64_end = nullptr;
    if (sodium_base642bin(out, size, b64, b64_len, nullptr, &got, &b64_end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        b64_end != b64 + b64_len || got != size)
        return false;
    return out[0] == 'E' && out[1] == 'd';
}
