#include "bootdata/package_fit.h"

#include "bootdata/package_command.h"

#include "util/fd_util.h"
#include "util/shell_command.h"
#include "util/unique_fd.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The text after the first n fields of a line separated by blanks.
const char* after_fields(const char* line, int n)
{
    while (n-- > 0) {
        while (*line == ' ')
            ++line;
        while (*line != ' ' && *line != '\0')
            ++line;
    }
    while (*line == ' ')
        ++line;
    return line;
}

bool executable(const char* mode)
{
    for (int i : {3, 6, 9})
        if (mode[i] == 'x' || mode[i] == 's' || mode[i] == 't')
            return true;
    return false;
}

} // namespace

void note_package_member(PackageFit* fit, const char* line)
{
    if (std::strlen(line) < 10 || line[0] != '-' || !executable(line))
        return;
    const char* name = after_fields(line, 5);
    while (name[0] == '.' && name[1] == '/')
        name += 2;
    if (name[0] == '\0' || std::strchr(name, '/') != nullptr)
        return;
    fit->programs = true;
    for (int i = 0; i < fit->count; ++i) {
        if (std::strcmp(name, fit->workers[i]) == 0) {
            fit->carried |= 1U << i;
            return;
        }
    }
    if (fit->foreign[0] == '\0')
        std::snprintf(fit->foreign, sizeof fit->foreign, "%s", name);
}

bool package_fits(const PackageFit& fit, unsigned in_data, char* why, size_t size)
{
    if (fit.foreign[0] != '\0') {
        std::snprintf(why, size, "not for this plug-in (carries %s)", fit.foreign);
        return false;
    }
    for (int i = 0; fit.programs && i < fit.count; ++i) {
        if (((fit.carried | in_data) & (1U << i)) == 0) {
            std::snprintf(why, size, "not for this plug-in (lacks %.64s)", fit.workers[i]);
            return false;
        }
    }
    return true;
}

bool list_package(int fd, PackageFit* fit)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    unique_fd reader(ends[0]);
    unique_fd writer(ends[1]);
    pid_t pid = start_package_command(fd, "tar -tvzf -%s <&%d %d<&- 2>/dev/null", "", writer.get());
    writer.reset();
    // A line longer than the buffer is cut: no worker's name is that long,
    // so the cut name is foreign either way.
    std::array<char, 4096 + 256> line{};
    std::array<char, 512> chunk;
    size_t used = 0;
    ssize_t got = 0;
    while (pid > 0 && (got = read_retry(reader.get(), chunk.data(), chunk.size())) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            char c = chunk[static_cast<size_t>(i)];
            if (c != '\n' && used + 1 < line.size())
                line[used++] = c;
            if (c != '\n')
                continue;
            line[used] = '\0';
            note_package_member(fit, line.data());
            used = 0;
        }
    }
    reader.reset();
    bool listed = pid > 0 && finish_shell_command(pid) == 0;
    return lseek(fd, 0, SEEK_SET) == 0 && listed;
}
