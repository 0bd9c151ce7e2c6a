// Reading the supervisor's state file (format in util/shared_texts.h). Any
// text is accepted: what is not a known, well-formed line is passed over,
// and a value that does not fit is cut.
#pragma once

#include "supervisor/state.h"

#include <cstddef>
#include <cstdint>

// A time pair as written: seconds since the epoch and on the monotonic clock.
struct StateTime {
    bool set = false;
    long long real = 0;
    long long mono = 0;
};

struct StateEnd {
    int how = 0;      // EndHow
    int code = 0;
    uint32_t count = 0;
};

constexpr int STATE_ENDS_MAX = 8;
constexpr size_t STATE_OPTIONS_SIZE = 2 * PATH_TEXT_SIZE;

struct StateWorker {
    char name[PATH_TEXT_SIZE] = {};
    bool has_pid = false;
    long long pid = 0;
    StateTime started;
    int start_code = 0;
    // The options it was given: texts each ended by a zero byte.
    char options[STATE_OPTIONS_SIZE] = {};
    size_t options_len = 0;
    StateTime ended;
    int end_how = 0;
    int end_code = 0;
    StateEnd ends[STATE_ENDS_MAX];
    int end_kinds = 0;
    uint32_t other_ends = 0;
    uint32_t misses = 0;
};

struct StateFacts {
    bool magic = false;           // the first line was the format's
    long long pid = 0;
    long long start_ticks = -1;   // the supervisor's start in clock ticks since boot; -1 not given
    StateTime written;
    unsigned long pass = 0;
    StateTime pass_started;
    int data_dir = -1;            // -1 not given
    int restart_code = 0;
    unsigned long segv_count = 0;
    bool delay = false;
    int delay_slot = -1;
    StateTime delay_due;
    bool install = false;
    int install_code = 0;
    int install_outcome = -1;     // InstallOutcome, -1 unknown text
    StateTime install_began;
    StateTime install_ended;
    unsigned long refusals = 0;   // packages refused since start-up
    StateTime refused_at;         // the newest one's time and reason
    char refusal[REFUSAL_TEXT_SIZE] = {};
    char release[32] = {};        // the supervisor's release and version stamp
    char version_stamp[32] = {};
    StateTime record_deleted_at;  // an outdated boot-check record it deleted
    char record_deleted[64] = {}; // its version; empty: none
    int worker_count = 0;         // 1 + the highest slot named
    StateWorker workers[MAX_PROCESSES];
};

// Fills facts (freshly constructed) from the len bytes of text.
void parse_state_file(const char* text, size_t len, StateFacts* facts);

// Undoes the file's text escapes ("\xHH") of [text, text + len) into out
// (size bytes, always terminated). Returns the decoded length, cut to fit.
size_t decode_state_text(const char* text, size_t len, char* out, size_t size);
