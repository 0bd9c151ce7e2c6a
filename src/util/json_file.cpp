#include "util/json_file.h"

#include "util/fd_util.h"
#include "util/unique_fd.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

json_ptr load_json_file(const char* path)
{
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0 || st.st_size <= 0)
        return nullptr;
    // The buffer holds the size plus a terminator; refuse sizes that cannot
    // be held in memory at all (possible with a 64-bit off_t on 32 bits).
    if (static_cast<uintmax_t>(st.st_size) >= SIZE_MAX)
        return nullptr;
    size_t size = static_cast<size_t>(st.st_size);

    // Read with plain descriptors: the C library's buffered input would
    // cost every private copy of the static binary code for this one read.
    unique_fd file(open(path, O_RDONLY | O_CLOEXEC));
    if (!file)
        return nullptr;
    malloc_ptr buf(static_cast<char*>(std::malloc(size + 1)));
    if (!buf)
        return nullptr;
    size_t got = 0;
    ssize_t n = 0;
    while (got < size && (n = read_retry(file.get(), buf.get() + got, size - got)) > 0)
        got += static_cast<size_t>(n);
    if (got != size)
        return nullptr;
    buf.get()[size] = '\0';
    return json_ptr(cJSON_Parse(buf.get()));
}

const char* json_get_string(const cJSON* object, const char* key)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    return item != nullptr ? item->valuestring : nullptr;
}

int json_get_int(const cJSON* object, const char* key)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    return item != nullptr ? item->valueint : 0;
}

int json_is_true(const cJSON* object, const char* key)
{
    return cJSON_IsTrue(cJSON_GetObjectItem(object, key)) ? 1 : 0;
}
