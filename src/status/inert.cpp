#include "status/inert.h"

#include <cstdint>

namespace {

// The length of the valid UTF-8 sequence at p (at most left bytes), or 0.
size_t utf8_length(const unsigned char* p, size_t left)
{
    unsigned char c = p[0];
    size_t n = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
    if (n == 0 || n > left)
        return 0;
    uint32_t cp = n == 1 ? c : c & (0x7f >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3f);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return n;
}

bool is_control(const unsigned char* p, size_t n)
{
    return (n == 1 && (p[0] < 0x20 || p[0] == 0x7f)) || (n == 2 && p[0] == 0xc2 && p[1] < 0xa0);
}

size_t put_hex(unsigned char c, char* out, size_t pos, size_t size)
{
    static const char hex[] = "0123456789abcdef";
    const char piece[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
    if (pos + sizeof piece >= size)
        return size;
    for (char ch : piece)
        out[pos++] = ch;
    return pos;
}

size_t filter(const char* text, size_t len, char* out, size_t size, bool escape_controls)
{
    if (size == 0)
        return 0;
    auto p = reinterpret_cast<const unsigned char*>(text);
    size_t pos = 0;
    for (size_t i = 0; i < len && pos + 1 < size;) {
        size_t n = utf8_length(p + i, len - i);
        if (n == 0 || (escape_controls && is_control(p + i, n))) {
            size_t bytes = n == 0 ? 1 : n;
            size_t before = pos;
            for (size_t k = 0; k < bytes && pos < size; ++k)
                pos = put_hex(p[i + k], out, pos, size);
            if (pos >= size) {
                pos = before;
                break;
            }
            i += bytes;
            continue;
        }
        if (pos + n >= size)
            break;
        for (size_t k = 0; k < n; ++k)
            out[pos++] = text[i + k];
        i += n;
    }
    out[pos] = '\0';
    return pos;
}

} // namespace

size_t inert_text(const char* text, size_t len, char* out, size_t size)
{
    return filter(text, len, out, size, true);
}

size_t utf8_text(const char* text, size_t len, char* out, size_t size)
{
    return filter(text, len, out, size, false);
}
