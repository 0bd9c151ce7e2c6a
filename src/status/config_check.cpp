#include "status/config_check.h"

#include "supervisor/config.h"
#include "util/fd_util.h"
#include "util/unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// A config is a few hundred bytes; this tool reads no more than this.
constexpr int CONFIG_READ_LIMIT = 1 << 20;

// The line and column (from 1) of offset in text.
void position(const char* text, size_t offset, unsigned long* line, unsigned long* column)
{
    *line = 1;
    *column = 1;
    for (size_t i = 0; i < offset; ++i) {
        *column = text[i] == '\n' ? 1 : *column + 1;
        *line += text[i] == '\n';
    }
}

// The file's bytes, terminated; nullptr with why filled when they cannot be had.
malloc_ptr read_bytes(const char* path, char* why, size_t size, size_t* len)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        std::snprintf(why, size, "%s", errno == ENOENT ? "missing" : std::strerror(errno));
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) || st.st_size <= 0) {
        std::snprintf(why, size, "%s", S_ISREG(st.st_mode) ? "empty" : "not a regular file");
        return nullptr;
    }
    if (st.st_size > CONFIG_READ_LIMIT) {
        std::snprintf(why, size, "larger than %d bytes, not read here", CONFIG_READ_LIMIT);
        return nullptr;
    }
    auto want = static_cast<size_t>(st.st_size);
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    malloc_ptr text(static_cast<char*>(std::calloc(want + 1, 1)));
    ssize_t n = fd && text ? read_retry(fd.get(), text.get(), want) : -1;
    if (n < 0 || static_cast<size_t>(n) != want) {
        std::snprintf(why, size, "unreadable (%s)", n < 0 && errno != 0 ? std::strerror(errno) : "short read");
        return nullptr;
    }
    *len = want;
    return text;
}

} // namespace

json_ptr read_config(const char* path, char* why, size_t size)
{
    size_t len = 0;
    auto text = read_bytes(path, why, size, &len);
    if (!text)
        return nullptr;
    // As the supervisor parses it: up to the first zero byte, trailing text
    // after the value allowed, a byte-order mark skipped.
    const char* end = nullptr;
    json_ptr tree(cJSON_ParseWithOpts(text.get(), &end, false));
    if (!tree) {
        const char* at = cJSON_GetErrorPtr();
        unsigned long line = 0, column = 0;
        size_t offset = at != nullptr && at >= text.get() && at <= text.get() + len ? at - text.get() : 0;
        position(text.get(), offset, &line, &column);
        std::snprintf(why, size, "not JSON at line %lu, column %lu", line, column);
        return nullptr;
    }
    int count = 0;
    const cJSON* list = watch_entries(tree.get(), &count);
    for (int i = 0; i < count && i < MAX_PROCESSES; ++i) {
        if (json_get_string(cJSON_GetArrayItem(list, i), "base") == nullptr) {
            std::snprintf(why, size, "no usable worker list: entry %d of __watch.processes has no \"base\" text",
                          i + 1);
            return nullptr;
        }
    }
    return tree;
}
