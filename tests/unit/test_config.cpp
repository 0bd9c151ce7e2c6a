#include "scratch_dir.h"
#include "supervisor/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <memory>
#include <string>
#include <vector>

namespace {

struct ConfigCase {
    const char* label;
    std::string text;
    int result;
    std::vector<std::string> names;   // expected slots
    std::vector<std::string> alive;   // expected alive paths, "" for none
};

std::unique_ptr<SupervisorState> load(const std::string* text, int* result)
{
    ScratchPlugin plugin;
    if (text != nullptr)
        write_file("config", *text);
    auto state = std::make_unique<SupervisorState>();
    *result = load_watch_config("config", state.get());
    return state;
}

} // namespace

TEST(WatchConfig, Table)
{
    const std::string longname(5000, 'n');
    const std::vector<ConfigCase> cases = {
        {"empty object", "{}", 0, {"quorin-dpi-inner"}, {""}},
        {"watch without processes", R"({"__watch": {}})", 0, {"quorin-dpi-inner"}, {""}},
        {"empty processes", R"({"__watch": {"processes": []}})", 0, {"quorin-dpi-inner"}, {""}},
        {"processes a string", R"({"__watch": {"processes": "w"}})", 0, {"quorin-dpi-inner"}, {""}},
        {"two entries, second watched",
         R"({"__watch": {"processes": [{"base": "a"}, {"base": "b", "excheck": true}]}})", 0,
         {"a", "b"}, {"", "/tmp/.uci//b.alive"}},
        {"excheck not the literal true",
         R"({"__watch": {"processes": [{"base": "a", "excheck": 1}, {"base": "b", "excheck": "true"},
             {"base": "c", "excheck": null}, {"base": "d", "excheck": false}]}})", 0,
         {"a", "b", "c", "d"}, {"", "", "", ""}},
        {"keys in capitals", R"({"__WATCH": {"PROCESSES": [{"BASE": "a", "EXCHECK": true}]}})", 0,
         {"a"}, {"/tmp/.uci//a.alive"}},
        {"first matching key wins",
         R"({"__watch": {"processes": [{"base": "a", "Base": "b"}]}, "__Watch": {}})", 0, {"a"}, {""}},
        {"processes as object", R"({"__watch": {"processes": {"x": {"base": "a"}}}})", 0, {"a"}, {""}},
        {"empty base accepted", R"({"__watch": {"processes": [{"base": ""}]}})", 0, {""}, {""}},
        {"more than four kept to four",
         R"({"__watch": {"processes": [{"base": "a"}, {"base": "b"}, {"base": "c"}, {"base": "d"},
             {"base": "e"}, {"base": 5}]}})", 0, {"a", "b", "c", "d"}, {"", "", "", ""}},
        {"exactly five kept to four",
         R"({"__watch": {"processes": [{"base": "a"}, {"base": "b"}, {"base": "c"}, {"base": "d"},
             {"base": "e"}]}})", 0, {"a", "b", "c", "d"}, {"", "", "", ""}},
        {"empty file", "", -1, {}, {}},
        {"not JSON", "{\"__watch\":", -1, {}, {}},
        {"entry without base", R"({"__watch": {"processes": [{"name": "a"}]}})", -1, {}, {}},
        {"base a number", R"({"__watch": {"processes": [{"base": 5}]}})", -1, {}, {}},
        {"entry a string", R"({"__watch": {"processes": ["a"]}})", -1, {}, {}},
        {"long base cut", R"({"__watch": {"processes": [{"base": ")" + longname + R"("}]}})", 0,
         {longname.substr(0, 4095)}, {""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        int result = 0;
        auto state = load(&c.text, &result);
        ASSERT_EQ(result, c.result);
        if (result != 0)
            continue;
        ASSERT_EQ(state->process_count, static_cast<int>(c.names.size()));
        for (size_t i = 0; i < c.names.size(); ++i) {
            EXPECT_EQ(state->processes[i].name, c.names[i]);
            EXPECT_EQ(state->processes[i].alive_path, c.alive[i]);
            EXPECT_EQ(state->processes[i].pid, 0);
        }
    }
}

TEST(WatchConfig, MissingFileFailsWithoutDefault)
{
    int result = 0;
    auto state = load(nullptr, &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(state->process_count, 0);
}

TEST(WatchConfig, DirectoryIsUnreadable)
{
    ScratchPlugin plugin;
    ASSERT_EQ(mkdir("config", 0777), 0);
    SupervisorState state;
    EXPECT_EQ(load_watch_config("config", &state), -1);
}
