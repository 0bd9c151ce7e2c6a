// Owners for C resources and whole-file JSON loading.
#pragma once

#include <cjson/cJSON.h>
#include <cstdio>
#include <memory>

struct file_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};
struct json_deleter {
    void operator()(cJSON* tree) const { cJSON_Delete(tree); }
};
struct json_text_deleter {
    void operator()(char* text) const { cJSON_free(text); }
};

using file_ptr = std::unique_ptr<FILE, file_closer>;
using json_ptr = std::unique_ptr<cJSON, json_deleter>;
using json_text = std::unique_ptr<char, json_text_deleter>;

// Reads the whole file at path and parses it. Returns nothing when the file
// is missing, empty, unreadable, cannot be buffered or is not valid JSON.
json_ptr load_json_file(const char* path);
