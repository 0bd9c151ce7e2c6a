// Why the supervisor would refuse a plug-in's configuration, found the way
// it reads it (whole file, cJSON, the worker list under "__watch"), in words
// a field engineer can act on: the supervisor itself only says "failed to
// init daemon".
#pragma once

#include <cstddef>

// Fills why (size bytes) with the reason the config at path is refused and
// returns true; false when the supervisor would take it.
bool config_refused(const char* path, char* why, size_t size);
