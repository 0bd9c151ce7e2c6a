// Owners for C resources, whole-file JSON loading and accessors for one key
// of a parsed object (key match ignoring case, first match wins, as
// cJSON_GetObjectItem finds it).
#pragma once

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <memory>

struct file_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};
struct json_deleter {
    void operator()(cJSON* tree) const { cJSON_Delete(tree); }
};
struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};
struct json_text_deleter {
    void operator()(char* text) const { cJSON_free(text); }
};

using malloc_ptr = std::unique_ptr<char, free_deleter>;
using file_ptr = std::unique_ptr<FILE, file_closer>;
using json_ptr = std::unique_ptr<cJSON, json_deleter>;
using json_text = std::unique_ptr<char, json_text_deleter>;

// Reads the whole file at path and parses it. Returns nothing when the file
// is missing, empty, unreadable, cannot be buffered or is not valid JSON.
json_ptr load_json_file(const char* path);

// The member's string, borrowed from the tree, or nullptr when the member is
// missing or not a string.
const char* json_get_string(const cJSON* object, const char* key);

// The member's valueint (a number cut toward zero, 1 for true, 0 for every
// other type), or 0 when the member is missing.
int json_get_int(const cJSON* object, const char* key);

// 1 when the member exists and is the literal true, else 0.
int json_is_true(const cJSON* object, const char* key);
