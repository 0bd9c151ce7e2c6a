// Feeds arbitrary bytes to the status tool's state-file reader: every value
// it takes must stay within its bounds, every text terminated, and what the
// supervisor writes must read back the same.
#include "status/state_reader.h"
#include "util/shared_texts.h"

#include <cstdint>
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
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
