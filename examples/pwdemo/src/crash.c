/* pwdemo-crash: dies of SIGSEGV 20 seconds after its first start; restarted
 * with -r 11 after the segfault delay, it runs quietly. */
#include "demo.h"

int main(int argc, char **argv)
{
    struct pw_options opts;
    const char *name = "pwdemo-crash";
    demo_begin(&argc, argv, &opts);
    demo_say(name, &opts, "started, restart code %d", opts.restart_code);
    if (opts.restart_code == 0 && opts.data_dir == NULL && demo_nap(20)) {
        demo_say(name, &opts, "crashing with SIGSEGV");
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    }
    while (demo_nap(3600))
        ;
    demo_say(name, &opts, "got SIGTERM, leaving");
    return 0;
}
