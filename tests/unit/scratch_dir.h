// A scratch plug-in tree for unit tests: <dir>/files (the working directory
// while the object lives), <dir>/data, and /tmp/.uci/. The tests run in a
// private /tmp (run_isolated.sh).
#pragma once

#include <string>

class ScratchPlugin {
public:
    ScratchPlugin();
    ~ScratchPlugin();
    ScratchPlugin(const ScratchPlugin&) = delete;
    ScratchPlugin& operator=(const ScratchPlugin&) = delete;

    std::string files() const { return root_ + "/files"; }
    std::string data() const { return root_ + "/data"; }

private:
    std::string root_;
    std::string old_cwd_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
