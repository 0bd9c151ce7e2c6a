// plugwatch-status's two outputs: a compact block per instance for a serial
// console, and a JSON object for programs. Every text from outside is shown
// inert (see status/inert.h).
#pragma once

#include "status/instance.h"

#include <cjson/cJSON.h>

void print_instance(const InstanceStatus& st);
void print_shared_dir(const SharedDir& dir);
// On standard error: the config at path refused for why, by an instance that
// has no run file.
void print_config_refused(const char* path, const char* why);

// The instance as a JSON object (owned by the caller), or nullptr when
// memory runs out.
cJSON* instance_json(const InstanceStatus& st);
cJSON* shared_dir_json(const SharedDir& dir);
