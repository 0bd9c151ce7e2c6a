#include "bootdata/upgrade.h"

#include "bootdata/boot_record.h"
#include "bootdata/version_stamp.h"
#include "util/fd_util.h"
#include "util/fixed_paths.h"
#include "util/json_file.h"
#include "util/unique_fd.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <unistd.h>

int copy_file(const char* from, const char* to)
{
    // Both opens come first: the destination is created or emptied even when
    // the source cannot be read.
    unique_fd in(open(from, O_RDONLY | O_CLOEXEC));
    unique_fd out(open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700));
    if (!in || !out) {
        std::printf("Failed to read or write, in, %d, out, %d\n", in.get(), out.get());
        return -1;
    }
    std::array<char, 1024> buf;
    for (;;) {
        ssize_t n = read_retry(in.get(), buf.data(), buf.size());
        if (n <= 0)
            return 0;
        if (write_all(out.get(), buf.data(), static_cast<size_t>(n)) != 0)
            return -1;
    }
}

namespace {

using temp_path = std::array<char, 8192 + 8>;

// The temporary name beside path that a replacement is written under;
// false when it does not fit.
bool temporary_name(const char* path, temp_path* tmp)
{
    int n = std::snprintf(tmp->data(), tmp->size(), "%s.tmp", path);
    return n >= 0 && static_cast<size_t>(n) < tmp->size();
}

// Makes a rename in path's directory durable.
void sync_parent_directory(const char* path)
{
    std::array<char, 8192> copy{};
    std::snprintf(copy.data(), copy.size(), "%s", path);
    unique_fd dir(open(dirname(copy.data()), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        fsync(dir.get());
}

// Puts the fully written temporary file in place of path, or, when the
// writing failed or the rename does, removes it and leaves path alone. A
// power cut at any moment leaves path either old or new, whole.
int commit_temporary(const temp_path& tmp, const char* path, bool written)
{
    if (!written || rename(tmp.data(), path) != 0) {
        unlink(tmp.data());
        return -1;
    }
    sync_parent_directory(path);
    return 0;
}

// Flushes the filesystem that holds dir, so that files written there by
// another program (tar) are on the medium before anything records them.
void sync_filesystem_of(const char* dir)
{
    unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || syncfs(fd.get()) != 0)
        sync();
}

bool sync_file(const char* path)
{
    unique_fd fd(open(path, O_WRONLY | O_CLOEXEC));
    return fd && fsync(fd.get()) == 0 && close(fd.release()) == 0;
}

} // namespace

int write_whole_file(const char* path, const char* buf, size_t len)
{
    temp_path tmp;
    if (!temporary_name(path, &tmp))
        return -1;
    unique_fd fd(open(tmp.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd)
        return -1;
    bool ok = write_all(fd.get(), buf, len) == 0 && fsync(fd.get()) == 0;
    ok = close(fd.release()) == 0 && ok;
    return commit_temporary(tmp, path, ok);
}

int install_copy(const char* from, const char* to)
{
    temp_path tmp;
    if (!temporary_name(to, &tmp))
        return -1;
    bool ok = copy_file(from, tmp.data()) == 0 && sync_file(tmp.data());
    return commit_temporary(tmp, to, ok);
}

namespace {

void add_number_one(cJSON* record, const char* key)
{
    cJSON* one = cJSON_CreateNumber(1);
    if (one != nullptr)
        cJSON_AddItemToObject(record, key, one);
}

// The stored record extended in place; an unusable one (missing, not JSON, or
// not an object, which no reader could find a key in) is replaced by a new
// empty object.
json_ptr load_record_for_update(const char* path)
{
    json_ptr record = load_json_file(path);
    if (record && cJSON_IsObject(record.get()))
        return record;
    return json_ptr(cJSON_CreateObject());
}

} // namespace

void apply_upgrade_package(int code)
{
    std::array<char, 510> package{};
    std::array<char, 8192> record_path{};
    std::array<char, 2048> command{};
    std::array<char, 8192> destination{};
    std::snprintf(package.data(), package.size(), "%s/%s", UCI_DIR, UPGRADE_PACKAGE_NAME);
    if (access(package.data(), R_OK) != 0)
        return;

    std::snprintf(record_path.data(), record_path.size(), "%s/%s", DATA_DIR, BOOT_RECORD_NAME);
    json_ptr record = load_record_for_update(record_path.data());
    if (!record)
        return;
    if (json_get_string(record.get(), "version") == nullptr) {
        cJSON* version = cJSON_CreateString(BUILTIN_VERSION);
        if (version != nullptr)
            cJSON_AddItemToObject(record.get(), "version", version);
    }

    if (code == 130) {
        std::snprintf(command.data(), command.size(), "tar -zxf %s -C %s", package.data(), DATA_DIR);
        if (std::system(command.data()) == 0) {
            sync_filesystem_of(DATA_DIR);
            add_number_one(record.get(), "plugindata");
        }
    } else if (code == 131) {
        std::snprintf(destination.data(), destination.size(), "%s/%s", DATA_DIR, LUA_IMAGE_NAME);
        install_copy(package.data(), destination.data());
        add_number_one(record.get(), "luadata");
    }
    unlink(package.data());

    json_text text(cJSON_PrintUnformatted(record.get()));
    if (text)
        write_whole_file(record_path.data(), text.get(), std::strlen(text.get()));
}
