// Feeds arbitrary bytes to the status tool's state-file reader: every value
// it takes must stay within its bounds, every text terminated, and what the
// supervisor writes must read back the same.
#include "status/state_reader.h"
#include "supervisor/state_file.h"
#include "util/shared_texts.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(const StateFacts& f)
{
    if (f.worker_count < 0 || f.worker_count > MAX_PROCESSES)
        __builtin_trap();
    if (f.delay && (f.delay_slot < 0 || f.delay_slot >= MAX_PROCESSES))
        __builtin_trap();
    if (f.install_outcome < -1 || f.install_outcome >= INSTALL_OUTCOME_COUNT)
        __builtin_trap();
    for (const StateWorker& w : f.workers) {
        if (std::memchr(w.name, '\0', sizeof w.name) == nullptr || w.options_len > sizeof w.options)
            __builtin_trap();
        if (w.options_len > 0 && w.options[w.options_len - 1] != '\0')
            __builtin_trap();
        if (w.end_kinds < 0 || w.end_kinds > STATE_ENDS_MAX || w.end_how < -1 || w.end_how >= END_HOW_COUNT)
            __builtin_trap();
        for (int i = 0; i < w.end_kinds; ++i)
            if (w.ends[i].how <= 0 || w.ends[i].how >= END_HOW_COUNT)
                __builtin_trap();
    }
}

// Writes a state file through the supervisor's own writer for a worker
// named with the input's first bytes, reads it back and checks the name and
// pid came through unchanged.
void round_trip(const uint8_t* data, size_t size)
{
    static SupervisorState* state = [] {
        auto* s = new SupervisorState();
        std::snprintf(s->run_file_path, sizeof s->run_file_path, "/tmp/pwfuzz.run");
        s->process_count = 1;
        return s;
    }();
    size_t len = 0;
    while (len < size && len < 255 && data[len] != 0)
        ++len;
    WatchedProcess& slot = state->processes[0];
    std::memcpy(slot.name, data, len);
    slot.name[len] = '\0';
    slot.pid = static_cast<int32_t>(len + 1);
    publish_state(state);
    FILE* f = std::fopen("/tmp/pwfuzz.state", "r");
    if (f == nullptr)
        __builtin_trap();
    static char text[64 * 1024];
    size_t got = std::fread(text, 1, sizeof text, f);
    std::fclose(f);
    auto facts = std::make_unique<StateFacts>();
    parse_state_file(text, got, facts.get());
    check(*facts);
    const StateWorker& w = facts->workers[0];
    if (facts->worker_count != 1 || std::strcmp(w.name, slot.name) != 0 || !w.has_pid || w.pid != slot.pid)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    round_trip(data, size);
    // An exact-size copy, so that any read past the end is caught.
    char* text = static_cast<char*>(std::malloc(size + 1));
    if (text == nullptr)
        return 0;
    std::memcpy(text, data, size);
    auto facts = std::make_unique<StateFacts>();
    parse_state_file(text, size, facts.get());
    check(*facts);
    // The same lines after the format's first line.
    static const char magic[] = "plugwatch-state 1\n";
    char* whole = static_cast<char*>(std::malloc(sizeof magic - 1 + size));
    if (whole != nullptr) {
        std::memcpy(whole, magic, sizeof magic - 1);
        std::memcpy(whole + sizeof magic - 1, data, size);
        *facts = StateFacts();
        parse_state_file(whole, sizeof magic - 1 + size, facts.get());
        check(*facts);
        std::free(whole);
    }
    std::free(text);
    return 0;
}
