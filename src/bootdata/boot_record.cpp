#include "bootdata/boot_record.h"

#include "bootdata/version_stamp.h"
#include "util/fixed_paths.h"
#include "util/run_log.h"
#include "util/shared_texts.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

std::array<char, 8192> boot_record_path()
{
    std::array<char, 8192> path{};
    std::snprintf(path.data(), path.size(), "%s/%s", DATA_DIR, BOOT_RECORD_NAME);
    return path;
}

} // namespace

json_ptr load_boot_record()
{
    return load_json_file(boot_record_path().data());
}

int clear_boot_record()
{
    auto path = boot_record_path();
    if (access(path.data(), R_OK) != 0)
        return 0;
    // Report success only when the record is really gone: a retry pass that
    // still found it would fail the same way again, for ever.
    if (unlink(path.data()) == 0 || errno == ENOENT)
        return 1;
    return 0;
}

int check_boot_record(int run_fd, char* outdated, size_t size)
{
    json_ptr record = load_boot_record();
    if (!record)
        return 0;
    const char* version = json_get_string(record.get(), "version");
    if (version == nullptr)
        return 0;
    if (compare_version_stamps(version, BUILTIN_VERSION) < 0) {
        // The upgrade the record names is abandoned: never without a word.
        // The version is any text a package left: no control character of
        // its own (a line end would forge a line); an empty one shows as "".
        std::snprintf(outdated, size, "%s", version[0] != '\0' ? version : "\"\"");
        for (char* c = outdated; *c != '\0'; ++c)
            *c = static_cast<unsigned char>(*c) < ' ' ? '?' : *c;
        clear_boot_record();
        write_run_line(run_fd, RECORD_DELETED_LINE_FORMAT, local_time_text().data(), outdated, BUILTIN_VERSION);
        return 0;
    }
    return json_get_int(record.get(), "plugindata") == 1 ? 1 : 0;
}
