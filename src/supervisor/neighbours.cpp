#include "supervisor/neighbours.h"

#include "supervisor/config.h"
#include "util/json_file.h"
#include "util/run_log.h"
#include "util/shared_texts.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <libgen.h>
#include <sys/stat.h>

namespace {

// Whether the plug-in in apps/other is another one than ours.
bool is_other_plugin(const char* other, const struct stat& own)
{
    std::array<char, 512> files;
    struct stat st;
    int n = std::snprintf(files.data(), files.size(), "../../%s/files", other);
    return n > 0 && static_cast<size_t>(n) < files.size() && stat(files.data(), &st) == 0 &&
           (st.st_dev != own.st_dev || st.st_ino != own.st_ino);
}

// Moves slot's alive file to a name of its own, once.
void separate(SupervisorState* state, WatchedProcess& slot, const char* name, const char* other)
{
    // A name and base too long for the path leave it cut, as every path in
    // the record is.
    if (std::snprintf(slot.alive_path, sizeof slot.alive_path, "%s/%s.%s.alive", UCI_DIR, name, slot.name) < 0)
        return;
    write_run_line(state->run_fd, SHARED_ALIVE_LINE_FORMAT, slot.name, slot.alive_path, other);
}

void compare_with(SupervisorState* state, const char* name, const char* other, unsigned* moved)
{
    std::array<char, 512> config;
    std::snprintf(config.data(), config.size(), "../../%s/files/config", other);
    json_ptr tree = load_json_file(config.data());
    int count = 0;
    const cJSON* list = tree ? watch_entries(tree.get(), &count) : nullptr;
    for (int e = 0; e < count; ++e) {
        const cJSON* entry = cJSON_GetArrayItem(list, e);
        const char* base = json_get_string(entry, "base");
        if (base == nullptr || !json_is_true(entry, "excheck"))
            continue;
        for (int i = 0; i < state->process_count && i < MAX_PROCESSES; ++i) {
            WatchedProcess& slot = state->processes[i];
            if ((*moved & (1U << i)) == 0 && slot.alive_path[0] != '\0' && std::strcmp(slot.name, base) == 0) {
                separate(state, slot, name, other);
                *moved |= 1U << i;
            }
        }
    }
}

} // namespace

void separate_shared_alive_files(SupervisorState* state, const char* argv0)
{
    std::array<char, PATH_TEXT_SIZE> copy{};
    std::snprintf(copy.data(), copy.size(), "%s", argv0);
    const char* name = basename(copy.data());
    struct stat own;
    if (stat(".", &own) != 0)
        return;
    DIR* apps = opendir("../..");
    if (apps == nullptr)
        return;
    unsigned moved = 0;
    while (const dirent* entry = readdir(apps)) {
        if (entry->d_name[0] != '.' && is_other_plugin(entry->d_name, own))
            compare_with(state, name, entry->d_name, &moved);
    }
    closedir(apps);
}
