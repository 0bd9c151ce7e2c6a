/* A worker that stages the package named by PW_KIT_PACKAGE with the kit and
 * asks for it to be unpacked. */
#include "plugwatch/worker.h"
#include "record.h"

int main(int argc, char **argv)
{
    struct pw_options opts;
    char err[PW_ERROR_SIZE];
    record_start("kitstage", argc, argv);
    if (pw_parse_options(&argc, argv, &opts, err, sizeof err) != 0) {
        fprintf(stderr, "kitstage: %s\n", err);
        return 2;
    }
    if (opts.restart_code == 0 && opts.data_dir == NULL) {
        if (pw_stage_package_file(getenv("PW_KIT_PACKAGE"), opts.run_dir, err, sizeof err) != 0) {
            fprintf(stderr, "kitstage: %s\n", err);
            return 3;
        }
        return PW_EXIT_UNPACK_UPGRADE;
    }
    for (;;)
        sleep(100);
}
