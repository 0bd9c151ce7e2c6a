// Feeds arbitrary bytes to the watch-configuration loader as the "config"
// file and checks that the record it leaves is always usable.
#include "supervisor/config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static char path[] = "/tmp/pwfuzz-config-XXXXXX";
    static bool made = false;
    if (!made) {
        int fd = mkstemp(path);
        if (fd < 0)
            return 0;
        close(fd);
        made = true;
    }
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    auto state = std::make_unique<SupervisorState>();
    int result = load_watch_config(path, state.get());
    if (result != 0 && result != -1)
        __builtin_trap();
    if (result == 0 && (state->process_count < 1 || state->process_count > MAX_PROCESSES))
        __builtin_trap();
    for (const auto& slot : state->processes) {
        if (std::memchr(slot.name, '\0', sizeof slot.name) == nullptr ||
            std::memchr(slot.alive_path, '\0', sizeof slot.alive_path) == nullptr)
            __builtin_trap();
    }
    return 0;
}
