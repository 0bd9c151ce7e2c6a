/* What a restart code says about why the worker was started. */
#include "plugwatch/worker.h"

enum pw_reason pw_restart_reason(int code)
{
    if (code < 0)
        return PW_REASON_INVALID;
    if (code == 0)
        return PW_REASON_FIRST_START;
    if (code == PW_EXIT_FAILED_BOOT)
        return PW_REASON_FAILED_BOOT;
    if (code >= PW_EXIT_UNPACK_UPGRADE && code <= PW_EXIT_DROP_UPGRADE)
        return PW_REASON_UPGRADE;
    if (code == PW_EXIT_RESTART_ALL)
        return PW_REASON_RESTART_ALL;
    if (code == PW_RESTART_WATCHDOG)
        return PW_REASON_WATCHDOG;
    /* Signal numbers and exit statuses share these values. */
    if (code <= 64)
        return PW_REASON_EXIT_OR_SIGNAL;
    return PW_REASON_EXIT;
}

const char *pw_reason_text(enum pw_reason reason)
{
    switch (reason) {
    case PW_REASON_FIRST_START:
        return "first start, or the previous run exited with 0";
    case PW_REASON_EXIT_OR_SIGNAL:
        return "the previous run exited with this status or was killed by this signal";
    case PW_REASON_EXIT:
        return "the previous run exited with this status";
    case PW_REASON_FAILED_BOOT:
        return "a boot failed; started again from the plug-in's own directory";
    case PW_REASON_UPGRADE:
        return "an upgrade package was handled";
    case PW_REASON_RESTART_ALL:
        return "a worker asked for a restart of all workers";
    case PW_REASON_WATCHDOG:
        return "killed by the watchdog for not keeping the alive file";
    case PW_REASON_INVALID:
        break;
    }
    return "not a restart code";
}
