#include "supervisor/config.h"

#include "util/json_file.h"

#include <cstdio>

void set_default_watch(SupervisorState* state)
{
    state->process_count = 1;
    std::snprintf(state->processes[0].name, sizeof state->processes[0].name, "%s",
                  DEFAULT_PROCESS_NAME);
}

const cJSON* watch_entries(const cJSON* tree, int* count)
{
    const cJSON* watch = cJSON_GetObjectItem(tree, "__watch");
    const cJSON* list = watch != nullptr ? cJSON_GetObjectItem(watch, "processes") : nullptr;
    *count = list != nullptr ? cJSON_GetArraySize(list) : 0;
    return list;
}

int load_watch_config(const char* path, SupervisorState* state)
{
    json_ptr tree = load_json_file(path);
    if (!tree)
        return -1;
    int count = 0;
    const cJSON* list = watch_entries(tree.get(), &count);
    if (count <= 0) {
        set_default_watch(state);
        return 0;
    }
    // Only four slots exist: later entries are ignored rather than written
    // past the end of the record.
    if (count > MAX_PROCESSES)
        count = MAX_PROCESSES;
    state->process_count = count;

    for (int i = 0; i < count; ++i) {
        const cJSON* entry = cJSON_GetArrayItem(list, i);
        const char* base = entry != nullptr ? json_get_string(entry, "base") : nullptr;
        if (base == nullptr)
            return -1;
        WatchedProcess& slot = state->processes[i];
        std::snprintf(slot.name, sizeof slot.name, "%s", base);
        slot.pid = 0;
        if (json_is_true(entry, "excheck"))
            std::snprintf(slot.alive_path, sizeof slot.alive_path, "%s/%s.alive", UCI_DIR, base);
    }
    return 0;
}
