/* Start records of the kit's test workers, in the black-box harness's
 * format: an "argv.<pid>" file and a "start" line in "events", in the folder
 * named by PW_KIT_REC. */
#ifndef KIT_RECORD_H
#define KIT_RECORD_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void record_start(const char *name, int argc, char **argv)
{
    const char *rec = getenv("PW_KIT_REC");
    char path[4096];
    FILE *f;
    int i;
    if (rec == NULL)
        return;
    snprintf(path, sizeof path, "%s/argv.%d", rec, (int)getpid());
    f = fopen(path, "w");
    if (f != NULL) {
        for (i = 0; i < argc; ++i)
            fprintf(f, "%s\n", argv[i]);
        fclose(f);
    }
    snprintf(path, sizeof path, "%s/events", rec);
    f = fopen(path, "a");
    if (f != NULL) {
        fprintf(f, "start\t%s\t%d\t0\t\n", name, (int)getpid());
        fclose(f);
    }
}

#endif
