// Feeds arbitrary bytes to the boot-check reader as "../data//.bootchk", then
// has the installer extend it, and checks that what it wrote reads back as an
// object holding a version string (not always the first "version" member: an
// earlier one of another type is kept), and that a deleted record's version
// is told safely. Runs in a private /tmp
// (tests/run_isolated.sh).
#include "bootdata/boot_record.h"
#include "bootdata/upgrade.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool write_bytes(const char* path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr)
        return false;
    std::fwrite(data, 1, size, f);
    return std::fclose(f) == 0;
}

bool enter_scratch_plugin()
{
    static bool entered = false;
    if (entered)
        return true;
    char root[] = "/tmp/pwfuzz-plugin-XXXXXX";
    if (mkdtemp(root) == nullptr || chdir(root) != 0)
        return false;
    mkdir("files", 0777);
    mkdir("data", 0777);
    mkdir("/tmp/.uci", 0777);
    entered = chdir("files") == 0;
    return entered;
}

bool has_version_string(const cJSON* record)
{
    if (!cJSON_IsObject(record))
        return false;
    for (const cJSON* item = record->child; item != nullptr; item = item->next)
        if (item->string != nullptr && strcasecmp(item->string, "version") == 0 && cJSON_IsString(item))
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!enter_scratch_plugin())
        return 0;
    if (!write_bytes("../data//.bootchk", data, size))
        return 0;
    // A deleted record's version, as the run file will name it: cut to
    // fit, no control character of its own.
    char told[32] = {};
    int mode = check_boot_record(-1, told, sizeof told);
    if (mode != 0 && mode != 1)
        __builtin_trap();
    for (size_t i = 0; i < sizeof told && told[i] != '\0'; ++i)
        if (static_cast<unsigned char>(told[i]) < ' ')
            __builtin_trap();
    if (told[sizeof told - 1] != '\0')
        __builtin_trap();

    if (!write_bytes("../data//.bootchk", data, size))
        return 0;
    static const uint8_t package[] = "package";
    if (!write_bytes("/tmp/.uci//ttupgrade.tgz", package, sizeof package))
        return 0;
    apply_upgrade_package(132, -1);
    json_ptr record = load_boot_record();
    if (!record || !has_version_string(record.get()))
        __builtin_trap();
    if (access("/tmp/.uci//ttupgrade.tgz", F_OK) == 0)
        __builtin_trap();
    return 0;
}
