#include "supervisor/exit_policy.h"
#include "supervisor/reaper.h"
#include "supervisor/plugin_kill.h"
#include "util/run_log.h"

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

TEST(PluginKill, MatchesNamesAsKillallDoes)
{
    const std::string long_name = "a-worker-named-at-length";
    const std::string cut = long_name.substr(0, 15);
    struct {
        const char* comm;
        const char* program_base;
        const char* name;
        bool match;
    } cases[] = {
        {"agent", "agent", "agent", true},
        {"agent", "sh", "agent", true},          // a script: the kernel names it
        {"agent2", "agent", "agent", false},
        {"sleep", "agent", "agent", false},      // renamed: only the pid kill reaches it
        {cut.c_str(), long_name.c_str(), long_name.c_str(), true},
        {cut.c_str(), "a-worker-named-at-lengthy", long_name.c_str(), false},
        {cut.c_str(), "sh", long_name.c_str(), false},
        {"a-worker-named-", "x", "a-worker-named-", true},  // exactly fifteen
    };
    for (const auto& c : cases)
        EXPECT_EQ(process_has_name(c.comm, c.program_base, c.name), c.match) << c.comm << " " << c.name;
}

// A command line as /proc shows it: each text ended by a NUL byte.
std::string command_line(std::initializer_list<const char*> texts)
{
    std::string line;
    for (const char* t : texts)
        line.append(t).push_back('\0');
    return line;
}

TEST(PluginKill, ProgramPathOnACommandLine)
{
    struct {
        std::string args;
        const char* program;
    } cases[] = {
        {command_line({"agent", "-r", "160"}), "160"},
        {command_line({"/bin/sh", "./agent", "-r", "9"}), "./agent"},
        {command_line({"python3", "-u", "/nodra/apps/a/files/agent.py"}), "/nodra/apps/a/files/agent.py"},
        {command_line({"/usr/bin/python3.11", "-B", "-u"}), ""},
        {command_line({"../data//agent"}), ""},
        {std::string(), ""},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(program_argument(c.args.data(), c.args.size()), c.program) << c.args;
}
