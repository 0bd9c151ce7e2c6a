#include "bootdata/version_stamp.h"

// The text is walked in place, never changed, so no copy is needed: a part
// starts after any run of dots and ends at the next dot or the end.
uint32_t parse_version_stamp(const char* stamp)
{
    uint32_t packed = 0;
    const char* p = stamp;
    for (int shift = 24; shift >= 0; shift -= 8) {
        while (*p == '.')
            ++p;
        if (*p == '\0')
            break;
        uint32_t value = 0;
        for (; *p != '\0' && *p != '.'; ++p)
            value = value * 10 + static_cast<unsigned char>(*p) - 48;
        packed |= (value & 0xFFu) << shift;
    }
    return packed;
}

int32_t compare_version_stamps(const char* first, const char* second)
{
    uint32_t diff = parse_version_stamp(first) - parse_version_stamp(second);
    return static_cast<int32_t>(diff);
}
