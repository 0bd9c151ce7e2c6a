// pwdemo-heart: keeps its alive file from its own loop with the kit. The
// upgraded copy (started from the data directory) hangs after two beats, so
// the watchdog kills it at its third missed check and it is started again
// with -r 199, after which it beats for good.
#include "demo.h"

#include <ctime>

int main(int argc, char** argv)
{
    pw_options opts;
    demo_begin(&argc, argv, &opts);
    const char* name = "pwdemo-heart";
    demo_say(name, &opts, "started, restart code %d (%s), alive file %s", opts.restart_code,
             pw_reason_text(pw_restart_reason(opts.restart_code)), opts.alive_path ? opts.alive_path : "none");

    const bool will_hang = opts.data_dir != nullptr && opts.restart_code != PW_RESTART_WATCHDOG;
    pw_alive alive;
    pw_alive_init(&alive, opts.alive_path, 30);
    int beats = 0;
    for (;;) {
        if (will_hang && beats == 2) {
            demo_say(name, &opts, "hanging: no more alive files");
            ++beats;
        }
        if (!will_hang || beats < 2) {
            if (pw_alive_tick(&alive, std::time(nullptr)) == 1)
                ++beats;
        }
        unsigned wait = pw_alive_due_in(&alive, std::time(nullptr));
        if (!demo_nap(wait > 0 ? wait : 1))
            break;
    }
    demo_say(name, &opts, "got SIGTERM, leaving");
    return 0;
}
