// Reading a supervisor's run file for what only it holds: the working
// directory (its first line), the newest lines and the cut marker. Any text
// is accepted: lines of other kinds are passed over.
#pragma once

#include <cstddef>
#include <ctime>

constexpr int RUN_TAIL_LINES = 5;

struct RunFileSummary {
    size_t directory_len = 0;   // the first line
    const char* directory = nullptr;
    time_t dropped_at = -1;     // the newest cut marker's time, if one can be read
    // The newest lines after the first, as offsets into the text.
    size_t tail_start[RUN_TAIL_LINES] = {};
    size_t tail_len[RUN_TAIL_LINES] = {};
    int tail_count = 0;
};

// Walks the whole text.
void summarize_run_file(const char* text, size_t len, RunFileSummary* summary);
