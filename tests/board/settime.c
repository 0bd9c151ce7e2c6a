/* Sets the board's clock to the given seconds since the epoch and prints the
 * year it reads back. BusyBox's date in Debian is built on glibc with a 32-bit
 * time_t and cannot go past 2038; this is built against musl, whose time_t
 * has 64 bits. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char **argv)
{
    struct timespec ts = {0, 0};
    struct tm utc;
    if (argc != 2) {
        fputs("usage: settime SECONDS\n", stderr);
        return 2;
    }
    ts.tv_sec = (time_t)strtoll(argv[1], NULL, 10);
    if (clock_settime(CLOCK_REALTIME, &ts) != 0 || clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        perror("clock");
        return 1;
    }
    gmtime_r(&ts.tv_sec, &utc);
    printf("%d\n", utc.tm_year + 1900);
    return 0;
}
