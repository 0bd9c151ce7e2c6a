#include "supervisor/launcher.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> argv_of(const char* path, const char* alive, int code, int daemon, int data)
{
    WorkerArgv out;
    build_worker_argv(path, alive, code, daemon, data, &out);
    std::vector<std::string> v;
    for (int i = 0; i < out.argc; ++i)
        v.emplace_back(out.argv[i]);
    EXPECT_EQ(out.argv[out.argc], nullptr) << "vector must end with a null entry";
    return v;
}

using V = std::vector<std::string>;
const V data_tail = {"-T", "/tmp/.uci/", "-D", "../data/", "-O", "velmar_rtos510"};

V concat(V a, const V& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(WorkerArgv, EveryCombination)
{
    const char* alive = "/tmp/.uci//w.alive";
    for (int code : {0, 5, 129, 160, 199, -3}) {
        for (int daemon : {0, 1, 2}) {
            for (const char* a : {"", alive}) {
                for (int data : {0, 1}) {
                    const char* path = data ? "../data//w" : "w";
                    V expected = {path};
                    if (code != 0)
                        expected = concat(expected, {"-r", std::to_string(code)});
                    if (daemon == 1)
                        expected.push_back("-d");
                    if (a[0] != '\0')
                        expected = concat(expected, {"-A", a});
                    if (data)
                        expected = concat(expected, data_tail);
                    SCOPED_TRACE(testing::Message() << "code " << code << " daemon " << daemon
                                                    << " alive '" << a << "' data " << data);
                    EXPECT_EQ(argv_of(path, a, code, daemon, data), expected);
                }
            }
        }
    }
}

TEST(WorkerArgv, LongTextsAreNotCut)
{
    std::string path(3000, 'p');
    std::string alive = "/tmp/.uci//" + std::string(3000, 'a') + ".alive";
    V v = argv_of(path.c_str(), alive.c_str(), 7, 1, 1);
    EXPECT_EQ(v, concat({path, "-r", "7", "-d", "-A", alive}, data_tail));
}
