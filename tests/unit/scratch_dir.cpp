#include "scratch_dir.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

ScratchPlugin::ScratchPlugin()
{
    char cwd[PATH_MAX];
    old_cwd_ = getcwd(cwd, sizeof cwd) ? cwd : "/";
    char tmpl[] = "/tmp/pwunit-XXXXXX";
    root_ = mkdtemp(tmpl);
    mkdir(files().c_str(), 0777);
    mkdir(data().c_str(), 0777);
    mkdir("/tmp/.uci", 0777);
    if (chdir(files().c_str()) != 0)
        std::abort();
}

ScratchPlugin::~ScratchPlugin()
{
    if (chdir(old_cwd_.c_str()) != 0)
        return;
    std::string cmd = "rm -rf '" + root_ + "' /tmp/.uci/ttupgrade.tgz";
    if (std::system(cmd.c_str()) != 0)
        return;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
