/* Forced into every C++ unit compiled against musl with libstdc++'s headers
 * from a glibc toolchain: those headers ask __GLIBC_PREREQ, which only glibc
 * defines. musl is no glibc of any version. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
