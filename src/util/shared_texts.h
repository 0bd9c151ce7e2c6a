// The texts the supervisor writes (the run file's lines, the state file's
// keys, paths and commands its children show), shared with the status tool
// that reads them, so that writer and reader cannot drift apart.
#pragma once

#include <cstdint>

// Exit-event lines: the local time, the worker's name and the code.
constexpr const char* EXIT_LINE_FORMAT = "%s: %s exited normally with code(%d)\n";
constexpr const char* SIGNAL_LINE_FORMAT = "%s: %s killed by signal(%d)\n";
// The watchdog's kill notice: the worker's name, no time stamp.
constexpr const char* NOTICE_LINE_FORMAT = "%s is not alive, and we will kill it.\n";
// The marker a cut of the run file leaves: the local time.
constexpr const char* DROPPED_LINE_FORMAT = "%s: earlier events dropped\n";
// A package that is not ours to install: the local time, the path, the reason.
constexpr const char* REFUSED_LINE_FORMAT = "%s: upgrade package %s refused: %s\n";
// After the directory line, when the run-file path held a file of another
// account or with more than one link, made anew: its owner and link count.
constexpr const char* REPLACED_LINE_FORMAT = "replaced a run file of uid %u with %u links\n";
// At start-up, for a watched worker whose name another plug-in beside this
// one watches too: the name, the alive path it gets instead, the other.
constexpr const char* SHARED_ALIVE_LINE_FORMAT = "alive file of %s is %s: plug-in %s watches it too\n";
// A boot-check record older than this plugwatch, deleted at a pass's start
// (the upgrade it named is abandoned): the local time, the record's version,
// this plugwatch's.
constexpr const char* RECORD_DELETED_LINE_FORMAT = "%s: boot-check record of version %s deleted: older than %s\n";

// A plug-in that ships "files/upgrade.pub" installs only packages signed
// with that key; "plugwatch-verify" (on the search path) checks a package
// read from its standard input against "<package path>.sig" and exits with
// one of these (0: it verifies), each the reason a refusal line gives.
constexpr const char* UPGRADE_KEY_NAME = "upgrade.pub";
constexpr const char* SIGNATURE_SUFFIX = ".sig";
enum VerifyExit { VERIFY_OK, VERIFY_NO_SIGNATURE, VERIFY_KEY_DIFFERS, VERIFY_BAD_SIGNATURE, VERIFY_NO_KEY };
constexpr const char* SIGNATURE_REFUSALS[] = {"no verifier", "no signature", "key number differs", "bad signature",
                                              "no usable key"};
constexpr int SIGNATURE_REFUSAL_COUNT = 5;

// The pieces a reader looks for in those lines.
constexpr const char DROPPED_LINE_TEXT[] = ": earlier events dropped";

// How a worker's program path starts when it runs from the data directory:
// the data directory joined to the name with "%s/%s".
constexpr char DATA_PROGRAM_PREFIX[] = "../data//";

// The state file: "/tmp/.uci/NAME.state" beside "/tmp/.uci/NAME.run",
// replaced whole at every change. One fact a line: a key, then its values,
// separated by single spaces. Texts are written with every byte outside
// '!'..'~' and the backslash as "\xHH", so a line never holds a space or a
// control character of its own. Times are pairs: seconds since the epoch,
// then seconds of CLOCK_MONOTONIC.
constexpr char RUN_FILE_SUFFIX[] = ".run";
constexpr char STATE_FILE_SUFFIX[] = ".state";
// Beside the state file: the file the next write fills and swaps in.
constexpr char STATE_SPARE_SUFFIX[] = ".state.spare";
// The plug-in's own upgrade package, "/tmp/.uci/NAME.ttupgrade.tgz", which
// workers learn from PACKAGE_ENV; the shared "ttupgrade.tgz" is the fallback.
constexpr char PACKAGE_FILE_SUFFIX[] = ".ttupgrade.tgz";
constexpr char PACKAGE_ENV[] = "PLUGWATCH_PACKAGE";
constexpr char STATE_MAGIC[] = "plugwatch-state 1";
// Instance facts.
constexpr char STATE_PID[] = "pid";                    // the supervisor's pid
constexpr char STATE_STARTED[] = "started";            // start-up done: time
constexpr char STATE_WRITTEN[] = "written";            // the newest change it tells: time
constexpr char STATE_PASS[] = "pass";                  // pass count, its start time
constexpr char STATE_DATA_DIR[] = "data_dir";          // 0 or 1, the pass's mode
constexpr char STATE_RESTART_CODE[] = "restart_code";  // the cycle's restart code
constexpr char STATE_SEGV_COUNT[] = "segv_count";      // segfault restarts so far
constexpr char STATE_DELAY[] = "delay";                // slot, seconds, due time
constexpr char STATE_INSTALL[] = "install";            // code, outcome, start time, end time
constexpr char STATE_REFUSED[] = "refused";            // count, the newest's time and reason
constexpr char STATE_VERSION[] = "version";            // release, version stamp
constexpr char STATE_RECORD_DELETED[] = "record_deleted"; // time, the outdated record's version
// Worker facts: "worker N KEY values", N the slot.
constexpr char STATE_WORKER[] = "worker";
constexpr char STATE_NAME[] = "name";                  // text
constexpr char STATE_WORKER_PID[] = "pid";             // 0 none, -1 a failed start
constexpr char STATE_START[] = "start";                // time, restart code
constexpr char STATE_OPTIONS[] = "options";            // texts
constexpr char STATE_END[] = "end";                    // time, how, code
constexpr char STATE_ENDS[] = "ends";                  // how:code=count ..., other=count
constexpr char STATE_MISSES[] = "misses";              // watchdog checks missed in a row

// How an end came; a watchdog kill is its signal 9.
enum class EndHow : uint8_t { none, exit, signal, watchdog };
constexpr const char* END_HOW_TEXTS[] = {"none", "exit", "signal", "watchdog"};
constexpr int END_HOW_COUNT = 4;
// What an install did; "running" until it ends.
enum class InstallOutcome : uint8_t {
    running, no_package, refused, unpacked, unpack_failed, stored, store_failed, deleted, record_unreadable
};
constexpr const char* INSTALL_OUTCOME_TEXTS[] = {"running", "no_package", "refused", "unpacked", "unpack_failed",
                                                 "stored", "store_failed", "deleted", "record_unreadable"};
constexpr int INSTALL_OUTCOME_COUNT = 9;
