#include "bootdata/version_stamp.h"

#include <gtest/gtest.h>

TEST(VersionStamp, Packing)
{
    struct {
        const char* stamp;
        uint32_t packed;
    } cases[] = {
        {"24.01.11.17", 0x18010B11},
        {"24.1.11.17", 0x18010B11},
        {"24.01.11", 0x18010B00},
        {"24.01.11.17.99", 0x18010B11},
        {"..24..01.11.17", 0x18010B11},
        {"24.01.267.17", 0x18010B11},
        {"256", 0x00000000},
        {"1a", 59u << 24},
        {"", 0},
        {"....", 0},
        {"255.255.255.255", 0xFFFFFFFF},
        {"1.2.3.4.", 0x01020304},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_version_stamp(c.stamp), c.packed) << c.stamp;
}

TEST(VersionStamp, Comparison)
{
    struct {
        const char* first;
        int sign;
    } cases[] = {
        {BUILTIN_VERSION, 0},   {"24.1.11.17", 0},   {"24.01.11", -1},       {"24.01.12", 1},
        {"23.12.31.23", -1},    {"25.0.0.0", 1},     {"24.01.11.17.99", 0},  {"..24..01.11.17", 0},
        {"24.01.267.17", 0},    {"", -1},            {"....", -1},
    };
    for (const auto& c : cases) {
        int32_t d = compare_version_stamps(c.first, BUILTIN_VERSION);
        EXPECT_EQ((d > 0) - (d < 0), c.sign) << c.first;
    }
    EXPECT_EQ(compare_version_stamps("24.01.11.16", BUILTIN_VERSION), -1);
    EXPECT_EQ(compare_version_stamps(BUILTIN_VERSION, BUILTIN_VERSION), 0);
    // Beyond a first part of 127 the signed difference wraps, as the packed
    // comparison has always done.
    EXPECT_LT(compare_version_stamps("200.0.0.0", "1.0.0.0"), 0);
}
