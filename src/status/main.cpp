// plugwatch-status: how a gateway's plugwatch instances and their workers are
// doing, as each supervisor's state file tells it, checked against /proc,
// with the run file's newest lines. It only reads: it never writes, deletes,
// locks or signals anything.
#include "status/config_check.h"
#include "status/instance.h"
#include "status/report.h"
#include "util/fixed_paths.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <new>
#include <sys/stat.h>

namespace {

constexpr int STATUS_USAGE = 4;

void usage(FILE* out)
{
    std::fputs("usage: plugwatch-status [--json] [NAME | PATH]...\n"
               "Shows each plugwatch instance (every one with a run file in /tmp/.uci/\n"
               "when none is named): the supervisor, its boot and each worker.\n"
               "  NAME     the instance whose run file is /tmp/.uci/NAME.run\n"
               "  PATH     a plug-in program path, as the platform starts it\n"
               "  --json   one JSON object instead of the text\n"
               "  --version  this tool's release and version stamp (each instance's own\n"
               "           are in its status)\n"
               "Exit status: 0 all up, 1 a worker down, 3 not running, 4 usage or no such instance.\n",
               out);
}

struct Options {
    bool json = false;
    int first_operand = 0;
    int operand_count = 0;
};

bool parse_options(int argc, char** argv, Options* o)
{
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            o->json = true;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("plugwatch-status %s (plugwatch version stamp %s)\n", RELEASE_VERSION, BUILTIN_VERSION);
            std::exit(0);
        } else if (std::strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            std::exit(0);
        } else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "plugwatch-status: unknown option %s\n", argv[i]);
            usage(stderr);
            return false;
        } else {
            break;
        }
    }
    o->first_operand = i;
    o->operand_count = argc - i;
    return true;
}

// Without a run file the supervisor may have stopped at start-up, printing
// only "failed to init daemon": say what it found wrong with the config.
void explain_config(const char* operand)
{
    std::array<char, PATH_TEXT_SIZE + 64> path{};
    const char* slash = std::strrchr(operand, '/');
    if (slash != nullptr)
        std::snprintf(path.data(), path.size(), "%.*s/config", static_cast<int>(slash - operand), operand);
    else
        std::snprintf(path.data(), path.size(), "%s/%s/files/config", APPS_ROOT, operand);
    std::array<char, 160> why{};
    struct stat st;
    std::array<char, PATH_TEXT_SIZE + 64> dir = path;
    *std::strrchr(dir.data(), '/') = '\0';
    if (stat(dir.data(), &st) == 0 && !read_config(path.data(), why.data(), why.size()))
        print_config_refused(path.data(), why.data());
}

struct instance_deleter {
    void operator()(InstanceStatus* st) const
    {
        st->~InstanceStatus();
        std::free(st);
    }
};

// Shows one instance; returns its exit status.
int show(const char* name, const char* operand, bool json, cJSON* list)
{
    // Placement on malloc'd memory: the static build carries no C++ runtime.
    void* memory = std::malloc(sizeof(InstanceStatus));
    std::unique_ptr<InstanceStatus, instance_deleter> st(memory != nullptr ? new (memory) InstanceStatus() : nullptr);
    if (!st) {
        std::fprintf(stderr, "plugwatch-status: out of memory\n");
        return STATUS_USAGE;
    }
    if (!gather_instance(name, st.get())) {
        std::fprintf(stderr, "plugwatch-status: no such instance: %s (no %s%s.run)\n", name, UCI_DIR, name);
        explain_config(operand);
        return STATUS_USAGE;
    }
    if (json)
        cJSON_AddItemToArray(list, instance_json(*st));
    else
        print_instance(*st);
    return instance_exit_status(*st);
}

// Every instance with a run file in /tmp/.uci/, in the listing's order.
int show_all(bool json, cJSON* list)
{
    DIR* dir = opendir(UCI_DIR);
    int worst = -1;
    while (dir != nullptr) {
        struct dirent* e = readdir(dir);
        if (e == nullptr)
            break;
        size_t len = std::strlen(e->d_name);
        if (len <= 4 || std::strcmp(e->d_name + len - 4, ".run") != 0)
            continue;
        std::array<char, 256> name{};
        std::snprintf(name.data(), name.size(), "%.*s", static_cast<int>(len - 4), e->d_name);
        int status = show(name.data(), name.data(), json, list);
        worst = status > worst ? status : worst;
    }
    if (dir != nullptr)
        closedir(dir);
    if (worst < 0) {
        std::fprintf(stderr, "plugwatch-status: no instance: no run file in %s\n", UCI_DIR);
        return STATUS_USAGE;
    }
    return worst;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse_options(argc, argv, &o))
        return STATUS_USAGE;
    cJSON* root = o.json ? cJSON_CreateObject() : nullptr;
    cJSON* list = root != nullptr ? cJSON_AddArrayToObject(root, "instances") : nullptr;
    SharedDir shared;
    check_shared_dir(&shared);
    if (root != nullptr)
        cJSON_AddItemToObject(root, "shared_dir", shared_dir_json(shared));
    else
        print_shared_dir(shared);
    int worst = 0;
    if (o.operand_count == 0) {
        worst = show_all(o.json, list);
    } else {
        for (int i = 0; i < o.operand_count; ++i) {
            std::array<char, 256> name{};
            instance_name(argv[o.first_operand + i], name.data(), name.size());
            int status = show(name.data(), argv[o.first_operand + i], o.json, list);
            worst = status > worst ? status : worst;
        }
    }
    if (root != nullptr) {
        char* text = cJSON_Print(root);
        if (text != nullptr)
            std::printf("%s\n", text);
        cJSON_free(text);
        cJSON_Delete(root);
    }
    return worst;
}
