// The fixed directories, file names and built-in version that the supervisor
// and the data layer share. Paths are joined to the directories with "%s/%s",
// which keeps the doubled slash workers see on their command lines.
#pragma once

constexpr const char* UCI_DIR = "/tmp/.uci/";
constexpr const char* DATA_DIR = "../data/";
constexpr const char* UPGRADE_PACKAGE_NAME = "ttupgrade.tgz";
constexpr const char* LUA_IMAGE_NAME = "init.bin";
constexpr const char* BOOT_RECORD_NAME = ".bootchk";
constexpr const char* BUILTIN_VERSION = "24.01.11.17";
// Room for a name or path held in the supervisor record, terminator included.
constexpr int PATH_TEXT_SIZE = 4096;
