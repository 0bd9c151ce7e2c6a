// Accessors for one key of a parsed JSON object (key match ignoring case,
// first match wins, as cJSON_GetObjectItem finds it).
#pragma once

#include <cjson/cJSON.h>

// The member's string, borrowed from the tree, or nullptr when the member is
// missing or not a string.
const char* json_get_string(const cJSON* object, const char* key);

// The member's valueint (a number cut toward zero, 1 for true, 0 for every
// other type), or 0 when the member is missing.
int json_get_int(const cJSON* object, const char* key);

// 1 when the member exists and is the literal true, else 0.
int json_is_true(const cJSON* object, const char* key);
