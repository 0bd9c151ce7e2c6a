// Version stamps: up to four dotted numbers packed 8 bits a part.
#pragma once

#include "util/fixed_paths.h"

#include <cstdint>

// Packs stamp: the first four parts, split at runs of "." as strtok_r splits
// them, each worked out as value * 10 + (byte - 48) modulo 256, the first part
// in the top byte. No stamp is rejected; one without parts packs to 0.
uint32_t parse_version_stamp(const char* stamp);

// The packed first minus the packed second, modulo 2^32, as a signed value:
// negative when first is older.
int32_t compare_version_stamps(const char* first, const char* second);
