// Packs arbitrary texts as version stamps.
#include "bootdata/version_stamp.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string stamp(reinterpret_cast<const char*>(data), size);
    const char* text = stamp.c_str();   // ends at the first zero byte, as a C text does
    uint32_t packed = parse_version_stamp(text);
    if (parse_version_stamp(text) != packed || compare_version_stamps(text, text) != 0)
        __builtin_trap();
    // Leading dots never count.
    std::string dotted = ".." + std::string(text);
    if (parse_version_stamp(dotted.c_str()) != packed)
        __builtin_trap();
    (void)compare_version_stamps(text, BUILTIN_VERSION);
    return 0;
}
