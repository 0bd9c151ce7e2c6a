// Texts from files and processes made safe to show: nothing a worker, a
// config or a neighbour wrote can steer a terminal or break a JSON parser.
#pragma once

#include <cstddef>

// For a console: control characters (C0, DEL, the C1 range U+0080..U+009F)
// and every byte that is not part of valid UTF-8 become "\xHH"; the rest is
// copied. Fills out as far as size allows (always terminated); returns the
// length written.
size_t inert_text(const char* text, size_t len, char* out, size_t size);

// For JSON: bytes that are not part of valid UTF-8 become the four
// characters "\xHH"; the JSON writer escapes control characters itself.
size_t utf8_text(const char* text, size_t len, char* out, size_t size);
