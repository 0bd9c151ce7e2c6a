#include "supervisor/neighbours.h"

#include "supervisor/config.h"
#include "supervisor/state_file.h"
#include "util/json_file.h"
#include "util/run_log.h"
#include "util/shared_texts.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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
    std::array<char, 3 * PATH_TEXT_SIZE> line;
    int n = std::snprintf(line.data(), line.size(), SHARED_ALIVE_LINE_FORMAT, slot.name, slot.alive_path, other);
    if (n > 0 && static_cast<size_t>(n) < line.size())
        write_run_log(state->run_fd, line.data(), static_cast<size_t>(n));
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

void separate_shared_alive_files(SupervisorState* state, const char* name)
{
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

void export_package_path(const SupervisorState* state)
{
    // The environment is replaced by a copy with the entry first, where
    // getenv finds it before any inherited one; on the heap like setenv's,
    // which would bring its own bookkeeping along.
    std::array<char, PATH_TEXT_SIZE + 32> path;
    if (!beside_run_file(state->run_file_path, PACKAGE_FILE_SUFFIX, path.data(), path.size()))
        return;
    size_t count = 0;
    while (environ != nullptr && environ[count] != nullptr)
        ++count;
    size_t entry_size = sizeof PACKAGE_ENV + 1 + std::strlen(path.data());
    auto** copy = static_cast<char**>(std::malloc((count + 2) * sizeof(char*)));
    auto* entry = static_cast<char*>(std::malloc(entry_size));
    if (copy == nullptr || entry == nullptr) {
        std::free(copy);
        std::free(entry);
        return;
    }
    std::snprintf(entry, entry_size, "%s=%s", PACKAGE_ENV, path.data());
    copy[0] = entry;
    std::memcpy(copy + 1, environ, count * sizeof(char*));
    copy[count + 1] = nullptr;
    environ = copy;
}
