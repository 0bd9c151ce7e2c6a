#include "plugwatch/worker.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Parsed {
    int rc;
    pw_options opts;
    std::vector<std::string> rest;
    std::string err;
    // The option texts point into the argument strings: they stay here.
    std::unique_ptr<std::vector<std::string>> storage;
};

Parsed parse(const std::vector<std::string>& args)
{
    Parsed p{};
    p.storage = std::make_unique<std::vector<std::string>>(args);
    std::vector<char*> argv;
    for (auto& a : *p.storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    char err[PW_ERROR_SIZE] = "";
    p.rc = pw_parse_options(&argc, argv.data(), &p.opts, err, sizeof err);
    p.err = err;
    for (int i = 0; i < argc; ++i)
        p.rest.emplace_back(argv[i]);
    EXPECT_EQ(argv[argc], nullptr);
    return p;
}

std::string text_or_null(const char* s) { return s ? s : "(null)"; }

} // namespace

TEST(KitOptions, EveryOption)
{
    Parsed p = parse({"../data//w", "-r", "160", "-d", "-A", "/tmp/.uci//w.alive", "-T", "/tmp/.uci/",
                      "-D", "../data/", "-O", "velmar_rtos510"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.restart_code, 160);
    EXPECT_EQ(p.opts.daemon, 1);
    EXPECT_EQ(text_or_null(p.opts.alive_path), "/tmp/.uci//w.alive");
    EXPECT_EQ(text_or_null(p.opts.run_dir), "/tmp/.uci/");
    EXPECT_EQ(text_or_null(p.opts.data_dir), "../data/");
    EXPECT_EQ(text_or_null(p.opts.platform), "velmar_rtos510");
    EXPECT_EQ(p.rest, std::vector<std::string>{"../data//w"});
}

TEST(KitOptions, NoOptionsAndUnknownOnes)
{
    Parsed p = parse({"w"});
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.opts.restart_code, 0);
    EXPECT_EQ(p.opts.daemon, 0);
    EXPECT_EQ(p.opts.alive_path, nullptr);
    EXPECT_EQ(p.opts.data_dir, nullptr);

    p = parse({"w", "--verbose", "-r", "-7", "x", "-d", "-z", "5"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.opts.restart_code, -7);
    EXPECT_EQ(p.rest, (std::vector<std::string>{"w", "--verbose", "x", "-z", "5"}));
}

TEST(KitOptions, MalformedInputIsRefused)
{
    struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"w", "-r"}, "option -r needs a value"},
        {{"w", "-A"}, "option -A needs a value"},
        {{"w", "-d", "-T"}, "option -T needs a value"},
        {{"w", "-r", "abc"}, "option -r needs a whole number, not 'abc'"},
        {{"w", "-r", "12x"}, "option -r needs a whole number, not '12x'"},
        {{"w", "-r", ""}, "option -r needs a whole number, not ''"},
        {{"w", "-r", "99999999999"}, "option -r needs a whole number, not '99999999999'"},
    };
    for (auto& c : cases) {
        Parsed p = parse(c.args);
        EXPECT_EQ(p.rc, -1);
        EXPECT_EQ(p.err, c.message);
        EXPECT_EQ(p.rest, c.args) << "argv must be left as it was";
    }
}

TEST(KitRestartReason, Table)
{
    struct {
        int code;
        pw_reason reason;
    } cases[] = {
        {0, PW_REASON_FIRST_START}, {5, PW_REASON_EXIT_OR_SIGNAL}, {11, PW_REASON_EXIT_OR_SIGNAL},
        {64, PW_REASON_EXIT_OR_SIGNAL}, {65, PW_REASON_EXIT}, {128, PW_REASON_EXIT},
        {129, PW_REASON_FAILED_BOOT}, {130, PW_REASON_UPGRADE}, {132, PW_REASON_UPGRADE},
        {133, PW_REASON_EXIT}, {160, PW_REASON_RESTART_ALL}, {199, PW_REASON_WATCHDOG},
        {255, PW_REASON_EXIT}, {-1, PW_REASON_INVALID},
    };
    for (auto& c : cases) {
        EXPECT_EQ(pw_restart_reason(c.code), c.reason) << c.code;
        EXPECT_NE(std::string(pw_reason_text(c.reason)), "");
    }
}

TEST(KitAlive, DueTimes)
{
    pw_alive a;
    pw_alive_init(&a, "/nonexistent-dir/x.alive", 0);
    EXPECT_EQ(a.period, unsigned(PW_ALIVE_DEFAULT_PERIOD));
    EXPECT_EQ(pw_alive_due_in(&a, 1000), 0u);
    EXPECT_EQ(pw_alive_tick(&a, 1000), -1) << "failure is reported and retried";
    EXPECT_EQ(pw_alive_due_in(&a, 1000), 0u);

    pw_alive_init(&a, nullptr, 500);
    EXPECT_EQ(a.period, 119u);
    pw_alive_init(&a, nullptr, PW_ALIVE_CHECK_PERIOD);
    EXPECT_EQ(a.period, 119u) << "a period of a whole check interval could miss a check";
    EXPECT_EQ(pw_alive_tick(&a, 1000), 0) << "no alive file, nothing to do";

    char dir[] = "/tmp/pwkit-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/w.alive";
    pw_alive_init(&a, path.c_str(), 40);
    EXPECT_EQ(pw_alive_tick(&a, 1000), 1);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(pw_alive_due_in(&a, 1010), 30u);
    EXPECT_EQ(pw_alive_tick(&a, 1039), 0);
    EXPECT_EQ(pw_alive_due_in(&a, 1040), 0u) << "due exactly one period after the last";
    unlink(path.c_str());
    EXPECT_EQ(pw_alive_tick(&a, 1040), 1);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    // A clock that went back: due at once rather than never.
    EXPECT_EQ(pw_alive_due_in(&a, 500), 0u);

    // A link planted at the name is replaced, its target left as it was.
    std::string target = std::string(dir) + "/target";
    FILE* t = std::fopen(target.c_str(), "w");
    ASSERT_NE(t, nullptr);
    std::fputs("precious", t);
    std::fclose(t);
    unlink(path.c_str());
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(pw_alive_touch(path.c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8);
    unlink(target.c_str());

    pw_keeper k;
    unlink(path.c_str());
    ASSERT_EQ(pw_keeper_start(&k, path.c_str(), 1), 0);
    for (int i = 0; i < 200 && access(path.c_str(), F_OK) != 0; ++i)
        usleep(10000);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    pw_keeper_stop(&k);
    unlink(path.c_str());
    rmdir(dir);
}

TEST(KitStaging, PackageAppearsOnlyWholeUnderItsFinalName)
{
    char dir[] = "/tmp/pwkit-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string bytes(300000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 13 + 1);
    char err[PW_ERROR_SIZE] = "";
    ASSERT_EQ(pw_stage_package_bytes(bytes.data(), bytes.size(), dir, err, sizeof err), 0) << err;

    std::vector<std::string> names;
    DIR* d = opendir(dir);
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' || std::string(e->d_name).size() > 2)
            names.emplace_back(e->d_name);
    closedir(d);
    names.erase(std::remove(names.begin(), names.end(), ".."), names.end());
    EXPECT_EQ(names, std::vector<std::string>{"ttupgrade.tgz"});
    std::string final_path = std::string(dir) + "/ttupgrade.tgz";
    std::ifstream in(final_path, std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), bytes);
    struct stat st;
    ASSERT_EQ(stat(final_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "the supervisor must be able to read it";

    // From a file, replacing the earlier package.
    std::string source = std::string(dir) + "-source";
    std::ofstream(source, std::ios::binary) << "second package";
    ASSERT_EQ(pw_stage_package_file(source.c_str(), dir, err, sizeof err), 0) << err;
    std::ifstream again(final_path, std::ios::binary);
    std::stringstream second;
    second << again.rdbuf();
    EXPECT_EQ(second.str(), "second package");

    // Failures say why and leave nothing behind.
    EXPECT_EQ(pw_stage_package_file("/nonexistent/pkg", dir, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot read /nonexistent/pkg: No such file or directory");
    EXPECT_EQ(pw_stage_package_bytes("x", 1, "/nonexistent-dir", err, sizeof err), -1);
    EXPECT_EQ(std::string(err).rfind("cannot create /nonexistent-dir/.ttupgrade.tgz.", 0), 0u) << err;

    // Without a folder: the supervisor's own, /tmp/.uci/ (private to this test run).
    mkdir("/tmp/.uci", 0777);
    ASSERT_EQ(pw_stage_package_bytes("pkg", 3, nullptr, err, sizeof err), 0) << err;
    EXPECT_EQ(access("/tmp/.uci/ttupgrade.tgz", F_OK), 0);
    unlink("/tmp/.uci/ttupgrade.tgz");

    std::string cleanup = std::string("rm -rf ") + dir + " " + source;
    EXPECT_EQ(std::system(cleanup.c_str()), 0);
}

TEST(KitChildren, EndWithTheirWorkerHoweverItEnds)
{
    // Orphans must come to this process, so that the worker's child can be
    // waited for: as a subreaper, or as the first process of the private
    // namespace the unit tests run in (an emulator knows no subreapers).
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0 && getpid() != 1)
        GTEST_SKIP() << "orphans would not come to this process";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t worker = fork();
    ASSERT_GE(worker, 0);
    if (worker == 0) {
        pid_t self = getpid();
        pid_t child = fork();
        if (child == 0) {
            if (pw_end_with_parent(self) != 0)
                _exit(3);
            pid_t armed = getpid();
            (void)!write(fds[1], &armed, sizeof armed);
            for (;;)
                pause();
        }
        for (;;)
            pause();
    }
    pid_t child = 0;
    ASSERT_EQ(read(fds[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    kill(worker, SIGKILL);   // as a kill by name ends a worker
    int status = 0;
    ASSERT_EQ(waitpid(worker, &status, 0), worker);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    close(fds[0]);
    close(fds[1]);

    // A worker that is not the parent (gone already): the child must leave.
    pid_t late = fork();
    if (late == 0)
        _exit(pw_end_with_parent(getppid() + 1) == -1 ? 0 : 1);
    ASSERT_EQ(waitpid(late, &status, 0), late);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}
