/* pwdemo-boss: drives the protocol. First it asks for a restart of all
 * workers (exit 160); restarted with -r 160, it packs the plug-in's programs,
 * stages the archive with the kit and asks for it to be unpacked (exit 130),
 * after which every worker runs from "../data/". */
#include "demo.h"

#include <stdlib.h>

static const char archive[] = "/tmp/.uci/pwdemo-upgrade.tgz";

int main(int argc, char **argv)
{
    struct pw_options opts;
    const char *name = "pwdemo-boss";
    char err[PW_ERROR_SIZE];
    demo_begin(&argc, argv, &opts);
    demo_say(name, &opts, "started, restart code %d", opts.restart_code);
    if (opts.data_dir == NULL && opts.restart_code == 0 && demo_nap(150)) {
        demo_say(name, &opts, "asking for a restart of all workers (exit %d)", PW_EXIT_RESTART_ALL);
        return PW_EXIT_RESTART_ALL;
    }
    if (opts.data_dir == NULL && opts.restart_code == PW_EXIT_RESTART_ALL && demo_nap(5)) {
        /* The working directory is the plug-in's files directory. */
        if (system("tar czf /tmp/.uci/pwdemo-upgrade.tgz pwdemo-heart pwdemo-crash pwdemo-boss") != 0 ||
            pw_stage_package_file(archive, opts.run_dir, err, sizeof err) != 0) {
            demo_say(name, &opts, "cannot stage the upgrade: %s", err);
        } else {
            unlink(archive);
            demo_say(name, &opts, "upgrade package staged, asking for it to be unpacked (exit %d)",
                     PW_EXIT_UNPACK_UPGRADE);
            return PW_EXIT_UNPACK_UPGRADE;
        }
    }
    while (demo_nap(3600))
        ;
    demo_say(name, &opts, "got SIGTERM, leaving");
    return 0;
}
