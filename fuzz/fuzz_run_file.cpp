// Feeds arbitrary bytes to the status tool's run-file reader and checks that
// every offset and count it reports stays inside the text.
#include "status/run_lines.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so that any read past the end is caught.
    char* text = static_cast<char*>(std::malloc(size + 1));
    if (text == nullptr)
        return 0;
    std::memcpy(text, data, size);
    RunFileSummary summary;
    summarize_run_file(text, size, &summary);
    if (summary.directory_len > size || summary.tail_count < 0 || summary.tail_count > RUN_TAIL_LINES)
        __builtin_trap();
    for (int i = 0; i < summary.tail_count; ++i)
        if (summary.tail_start[i] + summary.tail_len[i] > size)
            __builtin_trap();
    std::free(text);
    return 0;
}
