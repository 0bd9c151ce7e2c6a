// The fixed directories, file names and built-in version that the supervisor
// and the data layer share. Paths are joined to the directories with "%s/%s",
// which keeps the doubled slash workers see on their command lines.
#pragma once

// Where the platform keeps its plug-ins: /nodra/apps/NAME/files/NAME.
constexpr const char* APPS_ROOT = "/nodra/apps";
constexpr const char* UCI_DIR = "/tmp/.uci/";
constexpr const char* DATA_DIR = "../data/";
constexpr const char* UPGRADE_PACKAGE_NAME = "ttupgrade.tgz";
constexpr const char* LUA_IMAGE_NAME = "init.bin";
constexpr const char* BOOT_RECORD_NAME = ".bootchk";
constexpr const char* BUILTIN_VERSION = "24.01.11.17";
#ifndef PLUGWATCH_RELEASE
#define PLUGWATCH_RELEASE "unknown"
#endif
// The release this build belongs to (the project's version), unrelated to
// the version stamp above, which only boot-check records are compared with.
constexpr const char* RELEASE_VERSION = PLUGWATCH_RELEASE;
// Room for a name or path held in the supervisor record, terminator included.
constexpr int PATH_TEXT_SIZE = 4096;
// Room for a path of the shared directory: its last part is one file name
// (at most 255 bytes), so a longer one could never have been opened.
constexpr int UCI_PATH_SIZE = 320;
