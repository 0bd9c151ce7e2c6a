#include "status/run_lines.h"
#include "supervisor/exit_policy.h"
#include "supervisor/reaper.h"
#include "util/run_log.h"
#include "util/shell_command.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int exit_status(int code) { return (code & 0xff) << 8; }
int signal_status(int sig, bool core = false) { return sig | (core ? 0x80 : 0); }

} // namespace

TEST(ExitPolicy, DecodeStatus)
{
    struct {
        int status, code, exited;
    } cases[] = {
        {exit_status(0), 0, 1},     {exit_status(5), 5, 1},
        {exit_status(255), 255, 1}, {exit_status(11), 11, 1},
        {signal_status(SIGSEGV), 11, 0}, {signal_status(SIGSEGV, true), 11, 0},
        {signal_status(SIGKILL), 9, 0},  {signal_status(SIGTERM), 15, 0},
    };
    for (const auto& c : cases) {
        int code = -1, exited = -1;
        decode_status(c.status, &code, &exited);
        EXPECT_EQ(code, c.code) << c.status;
        EXPECT_EQ(exited, c.exited) << c.status;
    }
}

TEST(ExitPolicy, SlotLookup)
{
    SupervisorState state;
    state.process_count = 2;
    state.processes[0].pid = 100;
    state.processes[1].pid = 200;
    state.processes[2].pid = 300;   // beyond process_count: never matched
    EXPECT_EQ(find_slot(200, &state), 1);
    EXPECT_EQ(find_slot(300, &state), 2);
}

TEST(ExitPolicy, Actions)
{
    struct {
        int code, exited;
        ExitAction action;
    } cases[] = {
        {129, 1, ExitAction::failed_boot}, {130, 1, ExitAction::upgrade},
        {131, 1, ExitAction::upgrade},     {132, 1, ExitAction::upgrade},
        {160, 1, ExitAction::restart_all}, {0, 1, ExitAction::restart_one},
        {5, 1, ExitAction::restart_one},   {11, 1, ExitAction::restart_one},
        {199, 1, ExitAction::restart_one}, {128, 1, ExitAction::restart_one},
        {133, 1, ExitAction::restart_one}, {11, 0, ExitAction::restart_one},
        {9, 0, ExitAction::restart_one},   {199, 0, ExitAction::restart_one},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exit_action(c.code, c.exited), c.action) << c.code << "/" << c.exited;
}

TEST(ExitPolicy, SegfaultBackoffIsSharedAndNeverReset)
{
    SupervisorState state;
    const unsigned int expected[] = {60, 660, 1260, 7200, 7200, 7200};
    for (unsigned int delay : expected)
        EXPECT_EQ(segv_restart_delay(&state), delay);
    EXPECT_EQ(state.segv_restart_count, 6u);
    EXPECT_EQ(segv_delay_for_count(1000000), 7200u);
}

TEST(ExitEventLine, Formats)
{
    char buf[256];
    const char* t = "Tue Mar  5 09:41:07 2024";
    ASSERT_GT(format_exit_event(buf, sizeof buf, t, "w1", 5, 1), 0);
    EXPECT_STREQ(buf, "Tue Mar  5 09:41:07 2024: w1 exited normally with code(5)\n");
    ASSERT_GT(format_exit_event(buf, sizeof buf, t, "w1", 9, 0), 0);
    EXPECT_STREQ(buf, "Tue Mar  5 09:41:07 2024: w1 killed by signal(9)\n");
    std::string longname(300, 'n');
    EXPECT_EQ(format_exit_event(buf, sizeof buf, t, longname.c_str(), 1, 1), -1);
}

TEST(RunLog, CutKeepsFirstLineMarkerAndNewestLinesWhole)
{
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    int fd = fileno(file);
    const std::string head = "/nodra/apps/p/files\n";
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    // Lines of varying length, up to the longest a name allows, each numbered.
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; ++i) {
        size_t filler = (i * 37) % 600 + (i % 97 == 0 ? 4000 : 0);
        std::string line = "line " + std::to_string(i) + " " + std::string(filler, 'x') + "\n";
        lines.push_back(line);
        ASSERT_EQ(write_run_log(fd, line.data(), line.size()), 0);
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        ASSERT_LE(st.st_size, static_cast<off_t>(RUN_LOG_LIMIT)) << i;
    }
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    std::string text(static_cast<size_t>(st.st_size), '\0');
    ASSERT_EQ(pread(fd, &text[0], text.size(), 0), st.st_size);
    std::fclose(file);

    ASSERT_EQ(text.compare(0, head.size(), head), 0);
    size_t marker_end = text.find('\n', head.size()) + 1;
    std::string marker = text.substr(head.size(), marker_end - head.size());
    // An asctime text of 24 characters, then the notice.
    EXPECT_EQ(marker.find(": earlier events dropped\n"), 24u) << marker;
    // What follows is the newest lines, whole and in order, ending with the last.
    std::string kept;
    size_t first = lines.size();
    while (first > 0 && kept.size() + lines[first - 1].size() <= text.size() - marker_end)
        kept = lines[--first] + kept;
    EXPECT_EQ(text.substr(marker_end), kept);
    EXPECT_LT(lines.size() - first, lines.size() / 2);
}

TEST(RunLines, ReadsWhatTheSupervisorWrites)
{
    const char* t = "Tue Mar  5 09:41:07 2024";
    struct {
        std::string line;
        RunLineKind kind;
        const char* name;
        int code;
        bool timed;
    } cases[] = {
        {std::string(t) + ": w1 exited normally with code(5)", RunLineKind::exit, "w1", 5, true},
        {std::string(t) + ": w1 killed by signal(11)", RunLineKind::signal, "w1", 11, true},
        // A name may hold the separator and the texts themselves.
        {std::string(t) + ": a: b killed by signal(9) killed by signal(15)", RunLineKind::signal,
         "a: b killed by signal(9)", 15, true},
        {"w1 is not alive, and we will kill it.", RunLineKind::watchdog, "w1", 9, false},
        {std::string(t) + ": earlier events dropped", RunLineKind::dropped, "", 0, true},
        {"garbage: w1 exited normally with code(5)", RunLineKind::exit, "w1", 5, false},
        {std::string(t) + ": w1 exited normally with code(5", RunLineKind::other, "", 0, false},
        {std::string(t) + ": w1 exited normally with code()", RunLineKind::other, "", 0, false},
        {"create pthread check_alive failed", RunLineKind::other, "", 0, false},
        {"", RunLineKind::other, "", 0, false},
    };
    for (const auto& c : cases) {
        RunLine l = parse_run_line(c.line.data(), c.line.size());
        EXPECT_EQ(l.kind, c.kind) << c.line;
        EXPECT_EQ(std::string(l.name ? l.name : "", l.name_len), c.name) << c.line;
        EXPECT_EQ(l.code, c.code) << c.line;
        EXPECT_EQ(l.time >= 0, c.timed) << c.line;
    }
    struct tm tm = {};
    time_t parsed = parse_asctime(t, std::strlen(t));
    ASSERT_NE(localtime_r(&parsed, &tm), nullptr);
    EXPECT_EQ(tm.tm_year + 1900, 2024);
    EXPECT_EQ(tm.tm_mon * 100 + tm.tm_mday, 205);
    EXPECT_EQ(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, 9 * 3600 + 41 * 60 + 7);

    // Ends by kind; a signal 9 after the notice is the watchdog's kill.
    std::string text = "/p/files\n" + cases[0].line + "\n" + cases[3].line + "\n" + std::string(t) +
                       ": w1 killed by signal(9)\n" + cases[1].line + "\n" + std::string(t) +
                       ": w2 killed by signal(9)\nw2 is not alive, and we will kill it.\n";
    const char* names[] = {"w1", "w2"};
    WorkerEnds ends[2];
    RunFileSummary summary;
    summarize_run_file(text.data(), text.size(), names, 2, ends, &summary);
    EXPECT_EQ(std::string(summary.directory, summary.directory_len), "/p/files");
    EXPECT_EQ(ends[0].exits[5], 1u);
    EXPECT_EQ(ends[0].watchdog, 1u);
    EXPECT_EQ(ends[0].signals[9], 0u);
    EXPECT_EQ(ends[0].signals[11], 1u);
    EXPECT_EQ(ends[0].last_kind, RunLineKind::signal);
    EXPECT_EQ(summary.segv_total, 1u);
    // A SIGKILL nobody announced is a signal; a notice alone counts nothing.
    EXPECT_EQ(ends[1].signals[9], 1u);
    EXPECT_EQ(ends[1].watchdog, 0u);
    EXPECT_EQ(summary.tail_count, 5);
}

TEST(KillCommand, QuotesOnlyWhatNeedsIt)
{
    struct {
        const char* name;
        const char* command;
    } cases[] = {
        {"quorin-dpi-inner", "killall -9 quorin-dpi-inner >/dev/null 2>&1"},
        {"a.b_c+d-9", "killall -9 a.b_c+d-9 >/dev/null 2>&1"},
        {"", "killall -9  >/dev/null 2>&1"},
        {"w1;touch x", "killall -9 'w1;touch x' >/dev/null 2>&1"},
        {"w1;reboot", "killall -9 'w1;reboot' >/dev/null 2>&1"},
        {"$(touch x)", "killall -9 '$(touch x)' >/dev/null 2>&1"},
        {"it's", "killall -9 'it'\\''s' >/dev/null 2>&1"},
        {"a b", "killall -9 'a b' >/dev/null 2>&1"},
    };
    char buf[8192];
    for (const auto& c : cases) {
        ASSERT_EQ(format_kill_command(c.name, buf, sizeof buf), 0) << c.name;
        EXPECT_STREQ(buf, c.command);
    }
    std::string quotes(4095, '\'');
    EXPECT_EQ(format_kill_command(quotes.c_str(), buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "");
}
