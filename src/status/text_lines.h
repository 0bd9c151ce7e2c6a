// Walking a text line by line; the last line may lack its line end.
#pragma once

#include <cstddef>
#include <cstring>

// Calls visit(line, length, offset) for each line of the len bytes at text,
// without its line end; stops early when visit returns false.
template <typename F>
void for_each_line(const char* text, size_t len, F visit)
{
    size_t pos = 0;
    while (pos < len) {
        const char* nl = static_cast<const char*>(std::memchr(text + pos, '\n', len - pos));
        size_t line_len = nl != nullptr ? static_cast<size_t>(nl - (text + pos)) : len - pos;
        if (!visit(text + pos, line_len, pos))
            return;
        pos += line_len + 1;
    }
}
