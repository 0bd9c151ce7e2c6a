#include "supervisor/json_access.h"

const char* json_get_string(const cJSON* object, const char* key)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    return item != nullptr ? item->valuestring : nullptr;
}

int json_get_int(const cJSON* object, const char* key)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    return item != nullptr ? item->valueint : 0;
}

int json_is_true(const cJSON* object, const char* key)
{
    return cJSON_IsTrue(cJSON_GetObjectItem(object, key)) ? 1 : 0;
}
