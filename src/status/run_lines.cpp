#include "status/run_lines.h"

#include "status/text_lines.h"
#include "util/shared_texts.h"

#include <cstring>

namespace {

bool ends_with(const char* text, size_t len, const char* suffix)
{
    size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(text + len - n, suffix, n) == 0;
}

} // namespace

time_t parse_asctime(const char* text, size_t len)
{
    char buf[64];
    if (len == 0 || len >= sizeof buf)
        return -1;
    std::memcpy(buf, text, len);
    buf[len] = '\0';
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    const char* end = strptime(buf, "%a %b %d %H:%M:%S %Y", &tm);
    if (end == nullptr || *end != '\0')
        return -1;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

RunLine parse_run_line(const char* line, size_t len)
{
    RunLine out;
    if (ends_with(line, len, DROPPED_LINE_TEXT)) {
        out.kind = RunLineKind::dropped;
        out.time = parse_asctime(line, len - (sizeof DROPPED_LINE_TEXT - 1));
    }
    return out;
}

namespace {

void remember_tail(RunFileSummary* s, size_t start, size_t len)
{
    if (s->tail_count == RUN_TAIL_LINES) {
        for (int i = 1; i < RUN_TAIL_LINES; ++i) {
            s->tail_start[i - 1] = s->tail_start[i];
            s->tail_len[i - 1] = s->tail_len[i];
        }
        s->tail_count = RUN_TAIL_LINES - 1;
    }
    s->tail_start[s->tail_count] = start;
    s->tail_len[s->tail_count++] = len;
}

} // namespace

void summarize_run_file(const char* text, size_t len, RunFileSummary* summary)
{
    bool first = true;
    for_each_line(text, len, [&](const char* line, size_t line_len, size_t pos) {
        if (first) {
            summary->directory = line;
            summary->directory_len = line_len;
            first = false;
        } else if (line_len > 0) {
            remember_tail(summary, pos, line_len);
            RunLine l = parse_run_line(line, line_len);
            if (l.kind == RunLineKind::dropped)
                summary->dropped_at = l.time;
        }
        return true;
    });
}
