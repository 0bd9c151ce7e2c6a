// A plug-in's configuration read the way the supervisor reads it (whole
// file, cJSON, the worker list under "__watch"), with the reason it would
// refuse it in words a field engineer can act on: the supervisor itself only
// says "failed to init daemon".
#pragma once

#include "util/json_file.h"

#include <cstddef>

// The config at path, parsed; nothing, with why (size bytes) filled, when
// the supervisor would refuse it.
json_ptr read_config(const char* path, char* why, size_t size);
