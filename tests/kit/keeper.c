/* A worker that keeps its alive file from its own loop with the kit. */
#include "plugwatch/worker.h"
#include "record.h"

#include <time.h>

int main(int argc, char **argv)
{
    struct pw_options opts;
    struct pw_alive alive;
    char err[PW_ERROR_SIZE];
    record_start("kitkeep", argc, argv);
    if (pw_parse_options(&argc, argv, &opts, err, sizeof err) != 0) {
        fprintf(stderr, "kitkeep: %s\n", err);
        return 2;
    }
    pw_alive_init(&alive, opts.alive_path, 0);
    for (;;) {
        unsigned wait;
        pw_alive_tick(&alive, time(NULL));
        wait = pw_alive_due_in(&alive, time(NULL));
        sleep(wait > 0 ? wait : 1);
    }
}
