#include "status/package_view.h"

#include "bootdata/package_fit.h"
#include "util/fixed_paths.h"
#include "util/shared_texts.h"
#include "util/unique_fd.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool note_package_file(InstanceStatus* st, const char* path)
{
    struct stat package;
    if (lstat(path, &package) != 0 || !S_ISREG(package.st_mode))
        return false;
    st->has_package = true;
    st->package_bytes = static_cast<long long>(package.st_size);
    st->package_mtime = package.st_mtime;
    std::snprintf(st->package_path, sizeof st->package_path, "%s", path);
    return true;
}

// Whether the package on fd fits the workers a state file names.
bool fits_instance(int fd, const char* state_path)
{
    unique_fd state(open(state_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    std::array<char, 16 * 1024> text;
    ssize_t len = state ? read(state.get(), text.data(), text.size()) : -1;
    void* memory = len > 0 ? std::malloc(sizeof(StateFacts)) : nullptr;
    if (memory == nullptr)
        return false;
    auto* facts = new (memory) StateFacts();
    parse_state_file(text.data(), static_cast<size_t>(len), facts);
    const char* names[MAX_PROCESSES] = {};
    PackageFit fit;
    fit.workers = names;
    for (int i = 0; i < facts->worker_count; ++i)
        names[fit.count++] = facts->workers[i].name;
    char why[8];
    bool fits = fit.count > 0 && list_package(fd, &fit) && fit.programs &&
                package_fits(fit, (1U << MAX_PROCESSES) - 1, why, sizeof why);
    facts->~StateFacts();
    std::free(memory);
    return fits;
}

// The running instance, other than st's, whose workers the package fits.
void find_package_owner(InstanceStatus* st, int fd)
{
    DIR* dir = opendir(UCI_DIR);
    while (dir != nullptr && st->package_owner[0] == '\0') {
        const dirent* e = readdir(dir);
        if (e == nullptr)
            break;
        size_t len = std::strlen(e->d_name);
        size_t suffix = sizeof STATE_FILE_SUFFIX - 1;
        if (len <= suffix || std::strcmp(e->d_name + len - suffix, STATE_FILE_SUFFIX) != 0 ||
            (std::strncmp(e->d_name, st->name, len - suffix) == 0 && st->name[len - suffix] == '\0'))
            continue;
        std::array<char, 512> path;
        std::snprintf(path.data(), path.size(), "%s%s", UCI_DIR, e->d_name);
        if (fits_instance(fd, path.data()))
            std::snprintf(st->package_owner, sizeof st->package_owner, "%.*s", static_cast<int>(len - suffix),
                          e->d_name);
    }
    if (dir != nullptr)
        closedir(dir);
}

void check_shared_package(InstanceStatus* st)
{
    // During an install the supervisor itself reads the package.
    if (st->trusted && st->facts.install && st->facts.install_outcome == static_cast<int>(InstallOutcome::running))
        return;
    const char* names[MAX_PROCESSES] = {};
    PackageFit fit;
    fit.workers = names;
    unsigned in_data = 0;
    for (int i = 0; i < st->worker_count; ++i) {
        names[fit.count] = st->workers[i].name;
        std::array<char, 2 * PATH_TEXT_SIZE + 16> program;
        std::snprintf(program.data(), program.size(), "%s/%s/%s", st->directory, DATA_DIR, names[fit.count]);
        if (access(program.data(), F_OK) == 0)
            in_data |= 1U << fit.count;
        ++fit.count;
    }
    unique_fd fd(open(st->package_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd || fit.count == 0 || !list_package(fd.get(), &fit) ||
        package_fits(fit, in_data, st->package_misfit, sizeof st->package_misfit))
        return;
    find_package_owner(st, fd.get());
}

} // namespace

void read_package(InstanceStatus* st)
{
    std::snprintf(st->own_package, sizeof st->own_package, "%s%s%s", UCI_DIR, st->name, PACKAGE_FILE_SUFFIX);
    if (note_package_file(st, st->own_package))
        return;
    std::array<char, 64> shared;
    std::snprintf(shared.data(), shared.size(), "%s/%s", UCI_DIR, UPGRADE_PACKAGE_NAME);
    if (note_package_file(st, shared.data()))
        check_shared_package(st);
}
