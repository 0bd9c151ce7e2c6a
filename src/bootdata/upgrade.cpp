#include "bootdata/upgrade.h"

#include "bootdata/boot_record.h"
#include "bootdata/package_command.h"
#include "bootdata/package_fit.h"
#include "bootdata/version_stamp.h"
#include "util/fd_util.h"
#include "util/fixed_paths.h"
#include "util/json_file.h"
#include "util/run_log.h"
#include "util/shared_texts.h"
#include "util/shell_command.h"
#include "util/unique_fd.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

int copy_descriptor(int in, int out)
{
    std::array<char, 1024> buf;
    for (;;) {
        ssize_t n = read_retry(in, buf.data(), buf.size());
        if (n == 0)
            return 0;
        if (n < 0 || write_all(out, buf.data(), static_cast<size_t>(n)) != 0)
            return -1;
    }
}

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
    return copy_descriptor(in.get(), out.get());
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
// False when the medium reported an error: what tar wrote may not be there.
bool sync_filesystem_of(const char* dir)
{
    unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        sync();
        return true;
    }
    return syncfs(fd.get()) == 0;
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

int install_copy(int from, const char* to)
{
    temp_path tmp;
    if (!temporary_name(to, &tmp))
        return -1;
    unique_fd out(open(tmp.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700));
    if (!out) {
        std::printf("Failed to read or write, in, %d, out, %d\n", from, out.get());
        return -1;
    }
    bool ok = copy_descriptor(from, out.get()) == 0 && fsync(out.get()) == 0;
    ok = close(out.release()) == 0 && ok;
    return commit_temporary(tmp, to, ok);
}

int package_refusal(const struct stat& st, uid_t self, uid_t files_owner, char* why, size_t size)
{
    const char* kind = nullptr;
    if (S_ISDIR(st.st_mode))
        kind = "a directory";
    else if (S_ISFIFO(st.st_mode))
        kind = "a FIFO";
    else if (S_ISSOCK(st.st_mode))
        kind = "a socket";
    else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        kind = "a device";
    else if (S_ISLNK(st.st_mode))
        kind = "a symbolic link";
    else if (!S_ISREG(st.st_mode))
        kind = "not a regular file";
    if (kind != nullptr) {
        std::snprintf(why, size, "%s", kind);
        return 1;
    }
    if (st.st_uid != self && st.st_uid != files_owner) {
        std::snprintf(why, size, "owned by uid %u", static_cast<unsigned>(st.st_uid));
        return 1;
    }
    // Anyone could rewrite it while tar reads it, or it is a second name of
    // a file kept elsewhere, which the copy would hand to the plug-in.
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        kind = "writable by others";
    else if (st.st_nlink > 1)
        kind = "more than one link";
    else
        return 0;
    std::snprintf(why, size, "%s", kind);
    return 1;
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

void log_refusal(int run_fd, const char* path, const char* why, const PackageOwner* owner)
{
    if (owner != nullptr && owner->refusal_size > 0)
        std::snprintf(owner->refusal, owner->refusal_size, "%s", why);
    write_run_line(run_fd, REFUSED_LINE_FORMAT, local_time_text().data(), path, why);
}

// Opens the package without following a link or waiting on a FIFO, and
// keeps it only when it is a regular file of ours: /tmp/.uci/ is shared, and
// what another account left there must never be installed and run as root.
// Everything afterwards reads this descriptor, never the name again. An
// invalid descriptor means no package; a refusal leaves a run-file line.
unique_fd open_package(const char* path, int run_fd, bool* refused, const PackageOwner* owner)
{
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    std::array<char, 64> why{};
    struct stat st;
    if (!fd) {
        // Missing or unreadable: nothing to install, as always, silently.
        if (errno != ELOOP && errno != ENXIO)
            return unique_fd();
        std::snprintf(why.data(), why.size(), "%s", errno == ELOOP ? "a symbolic link" : "not a regular file");
    } else if (fstat(fd.get(), &st) != 0) {
        return unique_fd();
    } else {
        struct stat files;
        uid_t files_owner = stat(".", &files) == 0 ? files.st_uid : geteuid();
        if (package_refusal(st, geteuid(), files_owner, why.data(), why.size()) == 0) {
            fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
    }
    log_refusal(run_fd, path, why.data(), owner);
    *refused = true;
    return unique_fd();
}

// Deletes the package's name, unless someone has put another file there
// since it was opened.
void remove_package(const char* path, int fd)
{
    struct stat opened;
    struct stat named;
    if (fstat(fd, &opened) == 0 && lstat(path, &named) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino)
        unlink(path);
}

bool selects_data_directory(cJSON* record)
{
    return json_get_int(record, "plugindata") == 1;
}

// Before an unpack writes over the tree the workers boot from, the record
// on the medium stops selecting it: a power cut while tar runs then boots
// the plug-in's own programs, never a half-written tree. False when that
// could not be made durable.
bool deselect_data_directory(cJSON* record, const char* record_path)
{
    if (!selects_data_directory(record))
        return true;
    while (cJSON_GetObjectItem(record, "plugindata") != nullptr)
        cJSON_DeleteItemFromObject(record, "plugindata");
    json_text text(cJSON_PrintUnformatted(record));
    return text && write_whole_file(record_path, text.get(), std::strlen(text.get())) == 0;
}

// Unpacks the package read from fd into the data directory with tar, which
// reads it on its standard input; true when tar succeeded and what it wrote
// is on the medium.
bool unpack_package(int fd)
{
    pid_t pid = start_package_command(fd, "tar -zxf - -C %s <&%d %d<&-", DATA_DIR, -1);
    return pid > 0 && finish_shell_command(pid) == 0 && sync_filesystem_of(DATA_DIR);
}


// A package at the shared name that another plug-in's programs are in, or
// that lacks some of ours, is that plug-in's: refused, left for its owner.
bool foreign_package(int fd, const PackageOwner& owner, const char* path, int run_fd)
{
    PackageFit fit;
    fit.workers = owner.workers;
    fit.count = owner.count;
    if (!list_package(fd, &fit))
        return false;
    unsigned in_data = 0;
    std::array<char, 8192> program;
    for (int i = 0; i < owner.count; ++i) {
        std::snprintf(program.data(), program.size(), "%s/%s", DATA_DIR, owner.workers[i]);
        if (access(program.data(), F_OK) == 0)
            in_data |= 1U << i;
    }
    std::array<char, 160> why{};
    if (package_fits(fit, in_data, why.data(), why.size()))
        return false;
    log_refusal(run_fd, path, why.data(), &owner);
    return true;
}

// A plug-in that ships a public key installs only packages signed with it:
// plugwatch-verify checks the package read from this very descriptor (and
// removes the signature once it verifies). Anything at the key's name makes
// the plug-in a keyed one; a verifier that cannot run refuses too.
bool signed_as_required(int fd, const char* path, int run_fd, const PackageOwner* owner)
{
    struct stat key;
    if (lstat(UPGRADE_KEY_NAME, &key) != 0)
        return true;
    pid_t pid = start_package_command(fd, "exec plugwatch-verify%s <&%d %d<&-", "", -1);
    int status = pid > 0 ? finish_shell_command(pid) : -1;
    if (status == 0)
        return true;
    int code = status > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    log_refusal(run_fd, path, SIGNATURE_REFUSALS[code < SIGNATURE_REFUSAL_COUNT ? code : 0], owner);
    return false;
}

} // namespace

InstallOutcome apply_upgrade_package(int code, int run_fd, const PackageOwner* owner)
{
    std::array<char, 8192> package{};
    std::array<char, 8192> record_path{};
    std::array<char, 8192> destination{};
    bool refused = false;
    unique_fd fd;
    if (owner != nullptr && owner->own_path != nullptr) {
        std::snprintf(package.data(), package.size(), "%s", owner->own_path);
        fd = open_package(package.data(), run_fd, &refused, owner);
    }
    if (!fd && !refused) {
        std::snprintf(package.data(), package.size(), "%s/%s", UCI_DIR, UPGRADE_PACKAGE_NAME);
        fd = open_package(package.data(), run_fd, &refused, owner);
        if (fd && code == 130 && owner != nullptr && foreign_package(fd.get(), *owner, package.data(), run_fd))
            return InstallOutcome::refused;
    }
    if (!fd)
        return refused ? InstallOutcome::refused : InstallOutcome::no_package;
    if (!signed_as_required(fd.get(), package.data(), run_fd, owner))
        return InstallOutcome::refused;

    std::snprintf(record_path.data(), record_path.size(), "%s/%s", DATA_DIR, BOOT_RECORD_NAME);
    json_ptr record = load_record_for_update(record_path.data());
    if (!record)
        return InstallOutcome::record_unreadable;
    if (json_get_string(record.get(), "version") == nullptr) {
        cJSON* version = cJSON_CreateString(BUILTIN_VERSION);
        if (version != nullptr)
            cJSON_AddItemToObject(record.get(), "version", version);
    }

    InstallOutcome outcome = InstallOutcome::deleted;
    if (code == 130) {
        outcome = InstallOutcome::unpack_failed;
        if (deselect_data_directory(record.get(), record_path.data()) && unpack_package(fd.get())) {
            add_number_one(record.get(), "plugindata");
            outcome = InstallOutcome::unpacked;
        }
    } else if (code == 131) {
        std::snprintf(destination.data(), destination.size(), "%s/%s", DATA_DIR, LUA_IMAGE_NAME);
        outcome = install_copy(fd.get(), destination.data()) == 0 ? InstallOutcome::stored
                                                                   : InstallOutcome::store_failed;
        add_number_one(record.get(), "luadata");
    }
    remove_package(package.data(), fd.get());

    json_text text(cJSON_PrintUnformatted(record.get()));
    if (text)
        write_whole_file(record_path.data(), text.get(), std::strlen(text.get()));
    return outcome;
}
