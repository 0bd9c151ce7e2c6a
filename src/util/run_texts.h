// The texts the supervisor writes into the run file, shared with the status
// tool that reads them, so that writer and reader cannot drift apart.
#pragma once

// Exit-event lines: the local time, the worker's name and the code.
constexpr const char* EXIT_LINE_FORMAT = "%s: %s exited normally with code(%d)\n";
constexpr const char* SIGNAL_LINE_FORMAT = "%s: %s killed by signal(%d)\n";
// The watchdog's kill notice: the worker's name, no time stamp.
constexpr const char* NOTICE_LINE_FORMAT = "%s is not alive, and we will kill it.\n";
// The marker a cut of the run file leaves: the local time.
constexpr const char* DROPPED_LINE_FORMAT = "%s: earlier events dropped\n";
// A package that is not ours to install: the local time, the path, the reason.
constexpr const char* REFUSED_LINE_FORMAT = "%s: upgrade package %s refused: %s\n";

// The pieces a reader looks for in those lines.
constexpr const char EXIT_LINE_TEXT[] = " exited normally with code(";
constexpr const char SIGNAL_LINE_TEXT[] = " killed by signal(";
constexpr const char NOTICE_LINE_TEXT[] = " is not alive, and we will kill it.";
constexpr const char DROPPED_LINE_TEXT[] = ": earlier events dropped";
constexpr const char REFUSED_LINE_TEXT[] = ": upgrade package ";
