#include "util/sleep_util.h"

#include <unistd.h>

void sleep_seconds(unsigned int seconds)
{
    while (seconds > 0)
        seconds = sleep(seconds);
}
