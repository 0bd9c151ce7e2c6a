#include "status/run_lines.h"

#include "status/text_lines.h"
#include "util/shared_texts.h"

#include <cstring>

namespace {

// The local time of the cut marker's asctime text ("Tue Mar  5 09:41:07
// 2024"), or -1.
time_t dropped_time(const char* line, size_t len)
{
    constexpr size_t marker = sizeof DROPPED_LINE_TEXT - 1;
    char buf[64];
    if (len <= marker || len - marker >= sizeof buf || std::memcmp(line + len - marker, DROPPED_LINE_TEXT, marker) != 0)
        return -1;
    std::memcpy(buf, line, len - marker);
    buf[len - marker] = '\0';
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    const char* end = strptime(buf, "%a %b %d %H:%M:%S %Y", &tm);
    tm.tm_isdst = -1;
    return end != nullptr && *end == '\0' ? mktime(&tm) : -1;
}

} // namespace

void summarize_run_file(const char* text, size_t len, RunFileSummary* s)
{
    bool first = true;
    for_each_line(text, len, [&](const char* line, size_t line_len, size_t pos) {
        if (first) {
            s->directory = line;
            s->directory_len = line_len;
            first = false;
            return true;
        }
        if (line_len == 0)
            return true;
        if (s->tail_count == RUN_TAIL_LINES) {
            std::memmove(s->tail_start, s->tail_start + 1, sizeof s->tail_start - sizeof s->tail_start[0]);
            std::memmove(s->tail_len, s->tail_len + 1, sizeof s->tail_len - sizeof s->tail_len[0]);
            --s->tail_count;
        }
        s->tail_start[s->tail_count] = pos;
        s->tail_len[s->tail_count++] = line_len;
        time_t dropped = dropped_time(line, line_len);
        s->dropped_at = dropped >= 0 ? dropped : s->dropped_at;
        return true;
    });
}
