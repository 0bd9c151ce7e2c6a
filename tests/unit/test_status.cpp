// The state file from writer to reader, the run-file lines the status tool
// still reads, and the inert forms of outside texts.
#include "scratch_dir.h"
#include "status/inert.h"
#include "status/run_lines.h"
#include "status/state_reader.h"
#include "supervisor/state_file.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>
#include <sys/stat.h>

namespace {

std::string options_of(const StateWorker& w)
{
    std::string out;
    for (size_t i = 0; i < w.options_len; ++i)
        out += w.options[i] == '\0' ? '|' : w.options[i];
    return out;
}

} // namespace

TEST(StateFile, WhatTheSupervisorWritesIsWhatTheToolReads)
{
    ScratchPlugin plugin;
    auto state = std::make_unique<SupervisorState>();
    std::snprintf(state->run_file_path, sizeof state->run_file_path, "%s/pw x.run", plugin.files().c_str());
    state->process_count = 3;
    // Names the file must carry on one line each, and give back unchanged.
    const char* names[] = {"w1", "a b\\x41\n\x1b]0;t\x07\xc2\x9b\xff", "w3"};
    for (int i = 0; i < 3; ++i)
        std::snprintf(state->processes[i].name, PATH_TEXT_SIZE, "%s", names[i]);
    std::snprintf(state->processes[1].alive_path, PATH_TEXT_SIZE, "/tmp/.uci//%s.alive", names[1]);
    state->data_dir_mode = 1;
    note_startup(state.get());
    char outdated[RECORD_VERSION_SIZE] = "23.12.31.23";
    note_pass(state.get(), outdated);
    std::string path = plugin.files() + "/pw x.state";
    publish_state(state.get());
    std::string first = read_file(path);
    auto f = std::make_unique<StateFacts>();
    parse_state_file(first.data(), first.size(), f.get());
    EXPECT_STREQ(f->record_deleted, "23.12.31.23");
    EXPECT_EQ(f->record_deleted_at.real, f->pass_started.real);
    unlink(path.c_str());
    for (int i = 0; i < 3; ++i)
        note_start(state.get(), i, 160);
    state->processes[1].pid = 4242;
    state->processes[1].miss_count = 2;
    note_end(state.get(), 0, 11, EndHow::signal, 160);
    note_end(state.get(), 0, 11, EndHow::signal, 160);
    note_end(state.get(), 0, 9, EndHow::watchdog, 160);
    for (int code = 1; code <= 8; ++code)
        note_end(state.get(), 2, code, EndHow::exit, code);
    state->segv_restart_count = 2;
    note_delay(state.get(), 0, 660);
    note_install(state.get(), 130, InstallOutcome::running);
    note_install(state.get(), 130, InstallOutcome::unpack_failed);
    note_refusal(state.get(), "owned by uid 65534");
    note_refusal(state.get(), "not for this plug-in (carries a b)");
    // A link planted at the name is replaced, never followed; a file put in
    // place of the spare beside it is never swapped in.
    std::string spare = path + ".spare";
    ASSERT_EQ(symlink((plugin.files() + "/target").c_str(), path.c_str()), 0);
    ASSERT_EQ(unlink(spare.c_str()), 0);
    write_file(spare, "forged\n");
    publish_state(state.get());
    EXPECT_FALSE(file_exists(plugin.files() + "/target"));
    struct stat st;
    for (const std::string& name : {path, spare}) {
        ASSERT_EQ(lstat(name.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        EXPECT_EQ(read_file(name).find("forged"), std::string::npos);
    }

    std::string text = read_file(path);
    for (char c : text)
        EXPECT_TRUE(c == '\n' || (c >= ' ' && c < 0x7f)) << text;
    *f = StateFacts();
    parse_state_file(text.data(), text.size(), f.get());
    ASSERT_TRUE(f->magic);
    EXPECT_EQ(f->pid, getpid());
    EXPECT_EQ((f->pass), 1u);
    EXPECT_EQ(f->data_dir, 1);
    EXPECT_EQ(f->restart_code, 8);
    EXPECT_EQ(f->segv_count, 2u);
    EXPECT_TRUE(f->delay);
    EXPECT_EQ(f->delay_slot, 0);
    EXPECT_EQ(f->delay_due.real - f->written.real, 660);
    EXPECT_EQ(f->delay_due.mono - f->written.mono, 660);
    EXPECT_EQ(f->install_code, 130);
    EXPECT_EQ(f->install_outcome, static_cast<int>(InstallOutcome::unpack_failed));
    EXPECT_EQ(f->refusals, 2u);
    EXPECT_STREQ(f->refusal, "not for this plug-in (carries a b)");
    EXPECT_EQ(f->refused_at.real, f->written.real);
    EXPECT_STREQ(f->release, RELEASE_VERSION);
    EXPECT_STREQ(f->version_stamp, BUILTIN_VERSION);
    // The install that began since ended the tale of the deleted record.
    EXPECT_STREQ(f->record_deleted, "");
    EXPECT_EQ(f->start_ticks > 0, true);
    ASSERT_EQ(f->worker_count, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_STREQ(f->workers[i].name, names[i]);
    const StateWorker& w0 = f->workers[0];
    EXPECT_EQ((w0.pid), 0);
    EXPECT_EQ((w0.end_how), static_cast<int>(EndHow::watchdog));
    EXPECT_EQ(w0.end_code, 9);
    ASSERT_EQ(w0.end_kinds, 2);
    EXPECT_EQ((w0.ends[0].how * 1000 + w0.ends[0].code) * 10 + static_cast<int>(w0.ends[0].count), 20112);
    EXPECT_EQ((w0.ends[1].how * 1000 + w0.ends[1].code) * 10 + static_cast<int>(w0.ends[1].count), 30091);
    EXPECT_EQ(options_of(w0), "-r|160|-T|/tmp/.uci/|-D|../data/|-O|velmar_rtos510|");
    const StateWorker& w1 = f->workers[1];
    EXPECT_EQ((w1.pid), 4242);
    EXPECT_EQ(w1.misses, 2u);
    EXPECT_EQ(options_of(w1).substr(0, 10), "-r|160|-A|");
    EXPECT_STREQ(w1.options + 10, state->processes[1].alive_path);
    // Kinds beyond the table are counted together.
    EXPECT_EQ(f->workers[2].end_kinds, END_COUNT_KINDS);
    EXPECT_EQ(f->workers[2].other_ends, 2u);

    // The slot's start ends its delay: that line is gone.
    note_start(state.get(), 0, 11);
    publish_state(state.get());
    text = read_file(path);
    *f = StateFacts();
    parse_state_file(text.data(), text.size(), f.get());
    EXPECT_FALSE(f->delay);
    EXPECT_EQ(std::string(text).find("delay "), std::string::npos);
    // Each of the two files, refilled with the shorter text, holds just it.
    for (int i = 0; i < 2; ++i) {
        publish_state(state.get());
        EXPECT_EQ(read_file(path), text);
    }
}

TEST(StateFile, ReaderTakesOnlyWellFormedLines)
{
    auto f = std::make_unique<StateFacts>();
    std::string text = "plugwatch-state 1\npid 12x\nsegv_count -1\nworker 4 pid 5\nworker -1 pid 5\n"
                       "worker 0 pid 99999999999999999999\nworker 1 ends exit:3=2 bogus:1=1 exit:x=1 other=7\n"
                       "delay 9 10 1 1\nworker 1 end 1 2\ninstall 131 nonsense 1 2 3 4\nworker 2 name \\x4\n"
                       "worker 2 misses 4294967297\nrestart_code 2147483648\nrefused 3 1 x why\n";
    parse_state_file(text.data(), text.size(), f.get());
    EXPECT_EQ(f->pid, 0);
    EXPECT_EQ(f->segv_count, 0u);
    EXPECT_FALSE(f->workers[0].has_pid);
    EXPECT_EQ(f->worker_count, 3);
    EXPECT_EQ(f->workers[1].end_kinds, 1);
    EXPECT_EQ(f->workers[1].other_ends, 7u);
    EXPECT_FALSE(f->workers[1].ended.set);
    EXPECT_FALSE(f->delay);
    EXPECT_EQ(f->install_outcome, -1);
    EXPECT_STREQ(f->workers[2].name, "\\x4");
    // Numbers beyond their field's range, and a count whose time is broken.
    EXPECT_EQ(f->workers[2].misses, 0u);
    EXPECT_EQ(f->restart_code, 0);
    EXPECT_EQ(f->refusals, 0u);
    *f = StateFacts();
    text = "pid 5\n";
    parse_state_file(text.data(), text.size(), f.get());
    EXPECT_FALSE(f->magic);
    EXPECT_EQ(f->pid, 0);
}

TEST(Inert, ControlsAndBrokenUtf8AreEscaped)
{
    struct {
        const char* in;
        const char* console;
        const char* json;
    } cases[] = {
        {"plain ü €", "plain ü €", "plain ü €"},
        {"\x1b]0;x\x07", "\\x1b]0;x\\x07", "\x1b]0;x\x07"},
        {"a\xc2\x9b" "2J", "a\\xc2\\x9b2J", "a\xc2\x9b" "2J"},
        {"\x9b\xff\xc3", "\\x9b\\xff\\xc3", "\\x9b\\xff\\xc3"},
        {"\xed\xa0\x80\x7f", "\\xed\\xa0\\x80\\x7f", "\\xed\\xa0\\x80\x7f"},
        {"\xe2\x82", "\\xe2\\x82", "\\xe2\\x82"},
    };
    char out[64];
    for (const auto& c : cases) {
        inert_text(c.in, std::strlen(c.in), out, sizeof out);
        EXPECT_STREQ(out, c.console) << c.in;
        utf8_text(c.in, std::strlen(c.in), out, sizeof out);
        EXPECT_STREQ(out, c.json) << c.in;
    }
    // Cut at the buffer, never inside an escape.
    EXPECT_EQ(inert_text("\x1b\x1b", 2, out, 7), 4u);
    EXPECT_STREQ(out, "\\x1b");
}

TEST(RunLines, DirectoryCutAndTail)
{
    const char* t = "Tue Mar  5 09:41:07 2024";
    std::string refusal = std::string(t) + ": upgrade package /tmp/.uci//ttupgrade.tgz refused: owned by uid 65534";
    std::string text = "/p/files\n" + std::string(t) + ": earlier events dropped\n" + refusal + "\n" + std::string(t) +
                       ": upgrade package /tmp/.uci//ttupgrade.tgz refused: a FIFO\n" +
                       "w upgrade package y refused: z\nw1 is not alive, and we will kill it.\n";
    RunFileSummary s;
    summarize_run_file(text.data(), text.size(), &s);
    EXPECT_EQ(std::string(s.directory, s.directory_len), "/p/files");
    struct tm dropped = {};
    time_t dropped_at = static_cast<time_t>(s.dropped_at);
    ASSERT_NE(localtime_r(&dropped_at, &dropped), nullptr);
    EXPECT_EQ(std::vector<int>({dropped.tm_year + 1900, dropped.tm_mon, dropped.tm_mday, dropped.tm_hour,
                                dropped.tm_min, dropped.tm_sec}),
              std::vector<int>({2024, 2, 5, 9, 41, 7}));
    EXPECT_EQ(s.tail_count, 5);
    EXPECT_EQ(std::string(text.data() + s.tail_start[4], s.tail_len[4]), "w1 is not alive, and we will kill it.");
    RunFileSummary plain;
    std::string no_cut = "/p/files\n" + refusal + "\n";
    summarize_run_file(no_cut.data(), no_cut.size(), &plain);
    EXPECT_EQ(plain.dropped_at, -1);
}
