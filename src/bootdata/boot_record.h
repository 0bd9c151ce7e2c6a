// The boot-check record ".bootchk" in the data directory.
#pragma once

#include "util/fixed_paths.h"
#include "util/json_file.h"

#include <cstddef>

// The parsed record, or nothing when it is missing, empty, unreadable or not
// valid JSON.
json_ptr load_boot_record();

// Deletes a readable record. Returns 1 when it was readable and is gone
// afterwards, else 0.
int clear_boot_record();

// The data-directory mode the record gives: 1 for a current record with
// "plugindata" 1, else 0. A record older than BUILTIN_VERSION is deleted,
// with a run-file line on run_fd, and its version (control characters as
// '?', cut to fit) is left in outdated; otherwise outdated is left alone.
int check_boot_record(int run_fd, char* outdated, size_t size);
