#include "status/state_reader.h"

#include "status/text_lines.h"
#include "util/shared_texts.h"

#include <cstring>
#include <limits>

namespace {

constexpr int MAX_TOKENS = 40;

struct Tokens {
    const char* at[MAX_TOKENS];
    size_t len[MAX_TOKENS];
    int count = 0;

    bool is(int i, const char* word) const
    {
        return i < count && len[i] == std::strlen(word) && std::memcmp(at[i], word, len[i]) == 0;
    }
};

Tokens split(const char* line, size_t len)
{
    Tokens t;
    size_t pos = 0;
    while (pos < len && t.count < MAX_TOKENS) {
        const char* sp = static_cast<const char*>(std::memchr(line + pos, ' ', len - pos));
        size_t n = sp != nullptr ? static_cast<size_t>(sp - (line + pos)) : len - pos;
        t.at[t.count] = line + pos;
        t.len[t.count++] = n;
        pos += n + 1;
    }
    return t;
}

// A decimal number filling the whole text, in T's range; false for anything
// else.
template <typename T>
bool parse_number(const char* p, size_t len, T* out)
{
    using limits = std::numeric_limits<T>;
    const char* end = p + len;
    bool negative = len > 0 && *p == '-';
    p += negative ? 1 : 0;
    if (p == end || end - p > 18)
        return false;
    long long v = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + (*p - '0');
    }
    v = negative ? -v : v;
    if (v < 0 ? v < static_cast<long long>(limits::min()) : static_cast<unsigned long long>(v) > limits::max())
        return false;
    *out = static_cast<T>(v);
    return true;
}

template <typename T>
bool number(const Tokens& t, int i, T* out)
{
    return i < t.count && parse_number(t.at[i], t.len[i], out);
}

bool time_pair(const Tokens& t, int i, StateTime* out)
{
    StateTime s;
    if (!number(t, i, &s.real) || !number(t, i + 1, &s.mono))
        return false;
    s.set = true;
    *out = s;
    return true;
}

bool slot_number(const Tokens& t, int i, int* slot)
{
    return number(t, i, slot) && *slot >= 0 && *slot < MAX_PROCESSES;
}

int text_index(const char* const* texts, int count, const char* text, size_t len)
{
    for (int i = 0; i < count; ++i)
        if (std::strlen(texts[i]) == len && std::memcmp(texts[i], text, len) == 0)
            return i;
    return -1;
}

// "how:code=count" or "other=count".
void read_ends(const Tokens& t, StateWorker* w)
{
    for (int i = 3; i < t.count; ++i) {
        const char* p = t.at[i];
        const char* end = p + t.len[i];
        const char* colon = static_cast<const char*>(std::memchr(p, ':', t.len[i]));
        const char* equals = static_cast<const char*>(std::memchr(p, '=', t.len[i]));
        uint32_t count = 0;
        if (equals == nullptr || !parse_number(equals + 1, static_cast<size_t>(end - equals - 1), &count))
            continue;
        if (colon == nullptr && equals - p == 5 && std::memcmp(p, "other", 5) == 0) {
            w->other_ends = count;
            continue;
        }
        int code = 0;
        if (colon == nullptr || colon > equals || w->end_kinds == STATE_ENDS_MAX ||
            !parse_number(colon + 1, static_cast<size_t>(equals - colon - 1), &code))
            continue;
        int how = text_index(END_HOW_TEXTS, END_HOW_COUNT, p, static_cast<size_t>(colon - p));
        if (how > 0)
            w->ends[w->end_kinds++] = StateEnd{how, code, count};
    }
}

void read_options(const Tokens& t, StateWorker* w)
{
    w->options_len = 0;
    for (int i = 3; i < t.count; ++i) {
        size_t room = sizeof w->options - w->options_len;
        if (room < 2)
            break;
        size_t n = decode_state_text(t.at[i], t.len[i], w->options + w->options_len, room);
        w->options_len += n + 1;
    }
}

void read_worker(const Tokens& t, StateFacts* f)
{
    int slot = -1;
    if (!slot_number(t, 1, &slot) || t.count < 3)
        return;
    StateWorker& w = f->workers[slot];
    f->worker_count = slot + 1 > f->worker_count ? slot + 1 : f->worker_count;
    if (t.is(2, STATE_NAME) && t.count == 4) {
        decode_state_text(t.at[3], t.len[3], w.name, sizeof w.name);
    } else if (t.is(2, STATE_WORKER_PID) && number(t, 3, &w.pid)) {
        w.has_pid = true;
    } else if (t.is(2, STATE_START) && time_pair(t, 3, &w.started)) {
        number(t, 5, &w.start_code);
    } else if (t.is(2, STATE_OPTIONS)) {
        read_options(t, &w);
    } else if (t.is(2, STATE_END) && t.count > 5 && time_pair(t, 3, &w.ended)) {
        w.end_how = text_index(END_HOW_TEXTS, END_HOW_COUNT, t.at[5], t.len[5]);
        number(t, 6, &w.end_code);
    } else if (t.is(2, STATE_ENDS)) {
        read_ends(t, &w);
    } else if (t.is(2, STATE_MISSES)) {
        number(t, 3, &w.misses);
    }
}

void read_instance(const Tokens& t, StateFacts* f)
{
    long long n = 0;
    unsigned long count = 0;
    if (t.is(0, STATE_PID) && number(t, 1, &f->pid)) {
        if (number(t, 2, &n) && n > 0)
            f->start_ticks = n;
    } else if (t.is(0, STATE_WRITTEN)) {
        time_pair(t, 1, &f->written);
    } else if (t.is(0, STATE_PASS) && number(t, 1, &f->pass)) {
        time_pair(t, 2, &f->pass_started);
    } else if (t.is(0, STATE_DATA_DIR)) {
        number(t, 1, &f->data_dir);
    } else if (t.is(0, STATE_RESTART_CODE)) {
        number(t, 1, &f->restart_code);
    } else if (t.is(0, STATE_SEGV_COUNT)) {
        number(t, 1, &f->segv_count);
    } else if (t.is(0, STATE_DELAY)) {
        int slot = -1;
        StateTime due;
        if (slot_number(t, 1, &slot) && number(t, 2, &n) && n >= 0 && time_pair(t, 3, &due)) {
            f->delay = true;
            f->delay_slot = slot;
            f->delay_due = due;
        }
    } else if (t.is(0, STATE_INSTALL) && t.count > 2 && number(t, 1, &f->install_code)) {
        f->install = true;
        f->install_outcome = text_index(INSTALL_OUTCOME_TEXTS, INSTALL_OUTCOME_COUNT, t.at[2], t.len[2]);
        time_pair(t, 3, &f->install_began);
        time_pair(t, 5, &f->install_ended);
    } else if (t.is(0, STATE_REFUSED) && t.count > 4 && number(t, 1, &count) && count > 0 &&
               time_pair(t, 2, &f->refused_at)) {
        f->refusals = count;
        decode_state_text(t.at[4], t.len[4], f->refusal, sizeof f->refusal);
    } else if (t.is(0, STATE_VERSION) && t.count == 3) {
        decode_state_text(t.at[1], t.len[1], f->release, sizeof f->release);
        decode_state_text(t.at[2], t.len[2], f->version_stamp, sizeof f->version_stamp);
    } else if (t.is(0, STATE_RECORD_DELETED) && t.count == 4 && time_pair(t, 1, &f->record_deleted_at)) {
        decode_state_text(t.at[3], t.len[3], f->record_deleted, sizeof f->record_deleted);
    }
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

size_t decode_state_text(const char* text, size_t len, char* out, size_t size)
{
    size_t n = 0;
    if (size == 0)
        return 0;
    for (size_t i = 0; i < len && n + 1 < size; ++i) {
        int hi = i + 3 < len && text[i] == '\\' && text[i + 1] == 'x' ? hex_digit(text[i + 2]) : -1;
        int lo = hi >= 0 ? hex_digit(text[i + 3]) : -1;
        if (lo >= 0) {
            out[n++] = static_cast<char>(hi * 16 + lo);
            i += 3;
        } else {
            out[n++] = text[i];
        }
    }
    out[n] = '\0';
    return n;
}

void parse_state_file(const char* text, size_t len, StateFacts* facts)
{
    bool first = true;
    for_each_line(text, len, [&](const char* line, size_t line_len, size_t) {
        if (first) {
            first = false;
            facts->magic = line_len == sizeof STATE_MAGIC - 1 && std::memcmp(line, STATE_MAGIC, line_len) == 0;
            return facts->magic;
        }
        Tokens t = split(line, line_len);
        if (t.is(0, STATE_WORKER))
            read_worker(t, facts);
        else
            read_instance(t, facts);
        return true;
    });
}
