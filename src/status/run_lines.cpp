#include "status/run_lines.h"

#include "util/shared_texts.h"

#include <cstring>

namespace {


// The last occurrence of needle in [text, text + len), or nullptr.
const char* find_last(const char* text, size_t len, const char* needle)
{
    size_t n = std::strlen(needle);
    for (size_t i = len >= n ? len - n + 1 : 0; i-- > 0;)
        if (std::memcmp(text + i, needle, n) == 0)
            return text + i;
    return nullptr;
}

bool ends_with(const char* text, size_t len, const char* suffix)
{
    size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(text + len - n, suffix, n) == 0;
}

// Reads "<digits>)" closing the line; false for anything else.
bool read_code(const char* p, const char* end, int* code)
{
    bool negative = p < end && *p == '-';
    if (negative)
        ++p;
    long value = 0;
    const char* digits = p;
    while (p < end && *p >= '0' && *p <= '9' && value < 100000)
        value = value * 10 + (*p++ - '0');
    if (p == digits || p + 1 != end || *p != ')')
        return false;
    *code = static_cast<int>(negative ? -value : value);
    return true;
}

// "<time>: <name><marker><code>)": the time ends at the first ": ".
bool parse_end(const char* line, size_t len, const char* marker, RunLine* out)
{
    const char* at = find_last(line, len, marker);
    const char* sep = static_cast<const char*>(memmem(line, len, ": ", 2));
    if (at == nullptr || sep == nullptr || sep + 2 > at)
        return false;
    if (!read_code(at + std::strlen(marker), line + len, &out->code))
        return false;
    out->time = parse_asctime(line, static_cast<size_t>(sep - line));
    out->name = sep + 2;
    out->name_len = static_cast<size_t>(at - out->name);
    return true;
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
    if (parse_end(line, len, EXIT_LINE_TEXT, &out)) {
        out.kind = RunLineKind::exit;
    } else if (parse_end(line, len, SIGNAL_LINE_TEXT, &out)) {
        out.kind = RunLineKind::signal;
    } else if (ends_with(line, len, NOTICE_LINE_TEXT)) {
        out.kind = RunLineKind::watchdog;
        out.name = line;
        out.name_len = len - (sizeof NOTICE_LINE_TEXT - 1);
        out.code = 9;
    } else if (ends_with(line, len, DROPPED_LINE_TEXT)) {
        out.kind = RunLineKind::dropped;
        out.time = parse_asctime(line, len - (sizeof DROPPED_LINE_TEXT - 1));
    }
    return out;
}

namespace {

int find_name(const RunLine& l, const char* const* names, int count)
{
    for (int i = 0; i < count; ++i)
        if (std::strlen(names[i]) == l.name_len && std::memcmp(names[i], l.name, l.name_len) == 0)
            return i;
    return -1;
}

// Counts one end; a signal 9 after the watchdog's notice is the watchdog's kill.
void count_end(const RunLine& l, bool* noticed, WorkerEnds* w)
{
    RunLineKind kind = l.kind;
    if (kind == RunLineKind::signal && l.code == 9 && *noticed)
        kind = RunLineKind::watchdog;
    *noticed = false;
    if (kind == RunLineKind::watchdog)
        ++w->watchdog;
    else if (kind == RunLineKind::exit && l.code >= 0 && l.code < 256)
        ++w->exits[l.code];
    else if (kind == RunLineKind::signal && l.code >= 0 && l.code < 65)
        ++w->signals[l.code];
    w->has_last = true;
    w->last_kind = kind;
    w->last_code = l.code;
    w->last_time = l.time;
}

void remember_tail(RunFileSummary* s, size_t start, size_t len)
{
    if (s->tail_count == 5) {
        for (int i = 1; i < 5; ++i) {
            s->tail_start[i - 1] = s->tail_start[i];
            s->tail_len[i - 1] = s->tail_len[i];
        }
        s->tail_count = 4;
    }
    s->tail_start[s->tail_count] = start;
    s->tail_len[s->tail_count++] = len;
}

} // namespace

void summarize_run_file(const char* text, size_t len, const char* const* names, int count,
                        WorkerEnds* ends, RunFileSummary* summary)
{
    bool noticed[RUN_FILE_NAMES] = {};
    if (count > RUN_FILE_NAMES)
        count = RUN_FILE_NAMES;
    size_t pos = 0;
    bool first = true;
    while (pos < len) {
        const char* nl = static_cast<const char*>(std::memchr(text + pos, '\n', len - pos));
        size_t line_len = nl != nullptr ? static_cast<size_t>(nl - (text + pos)) : len - pos;
        const char* line = text + pos;
        if (first) {
            summary->directory = line;
            summary->directory_len = line_len;
            first = false;
        } else if (line_len > 0) {
            remember_tail(summary, pos, line_len);
            RunLine l = parse_run_line(line, line_len);
            int i = l.kind == RunLineKind::other || l.kind == RunLineKind::dropped
                        ? -1 : find_name(l, names, count);
            if (l.kind == RunLineKind::signal && l.code == 11)
                ++summary->segv_total;
            if (l.kind == RunLineKind::dropped)
                summary->dropped_at = l.time;
            else if (l.kind == RunLineKind::other)
                ++summary->other_lines;
            else if (i >= 0 && l.kind == RunLineKind::watchdog)
                noticed[i] = true;
            else if (i >= 0)
                count_end(l, &noticed[i], &ends[i]);
        }
        pos += line_len + 1;
    }
}
