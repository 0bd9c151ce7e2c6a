// Watch configuration: which workers are supervised.
#pragma once

#include "supervisor/state.h"

#include <cjson/cJSON.h>

// Fills the zero-filled record from the JSON file at path, or with the
// built-in default. Returns 0, or -1 when the file gives no JSON tree or an
// entry has no "base" string. Entries past the fourth are not kept.
int load_watch_config(const char* path, SupervisorState* state);

// One worker named DEFAULT_PROCESS_NAME, without an alive file.
void set_default_watch(SupervisorState* state);

// The "processes" list of a parsed config and its length (0 when missing).
const cJSON* watch_entries(const cJSON* tree, int* count);
