#pragma once

// Sleeps the whole number of seconds through the C library's sleep, going on
// after an early return so that a stray signal cannot shorten a delay.
void sleep_seconds(unsigned int seconds);
