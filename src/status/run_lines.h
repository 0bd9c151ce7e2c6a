// Reading a supervisor's run file: its first line is the working directory,
// the rest are event lines (worker ends, watchdog notices, the cut marker).
// Any text is accepted: lines of other kinds are counted and passed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

enum class RunLineKind { exit, signal, watchdog, dropped, other };

struct RunLine {
    RunLineKind kind = RunLineKind::other;
    const char* name = nullptr; // the worker's name, not terminated
    size_t name_len = 0;
    int code = 0;
    time_t time = -1; // -1 when the line carries no time or it cannot be read
};

// Classifies one line (without its line end).
RunLine parse_run_line(const char* line, size_t len);

// Reads an asctime text ("Tue Mar  5 09:41:07 2024") as local time.
time_t parse_asctime(const char* text, size_t len);

// What the run file says of one worker.
struct WorkerEnds {
    uint32_t exits[256] = {};   // by exit status
    uint32_t signals[65] = {};  // by signal number
    uint32_t watchdog = 0;      // kills by the watchdog (notice, then signal 9)
    bool has_last = false;
    RunLineKind last_kind = RunLineKind::other;
    int last_code = 0;
    time_t last_time = -1;
};

struct RunFileSummary {
    size_t directory_len = 0;   // the first line
    const char* directory = nullptr;
    time_t dropped_at = -1;     // the newest cut marker, if any
    uint32_t segv_total = 0;    // SIGSEGV ends of all workers
    uint32_t other_lines = 0;   // lines of no known kind
    // The newest event lines, as offsets into the text (at most five).
    size_t tail_start[5] = {};
    size_t tail_len[5] = {};
    int tail_count = 0;
};

// The most names whose ends one walk of a run file counts.
constexpr int RUN_FILE_NAMES = 8;

// Walks the whole text; for each of the count names (at most
// RUN_FILE_NAMES), fills ends[i].
void summarize_run_file(const char* text, size_t len, const char* const* names, int count,
                        WorkerEnds* ends, RunFileSummary* summary);
