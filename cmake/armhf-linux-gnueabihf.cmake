# Cross build for 32-bit ARM with Debian's arm-linux-gnueabihf toolchain and
# armhf multiarch libraries (libcjson-dev:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Libraries and headers from the armhf multiarch folders; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# The loader and libraries come from the armhf multiarch packages
# (libc6:armhf, pulled in by libcjson-dev:armhf), matching each other; the
# cross toolchain's own loader in /usr/arm-linux-gnueabihf may be of another
# release, so no -L prefix is given.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
