# Cross build for the gateway with a device SDK's musl toolchain. Point
# PLUGWATCH_SDK_PREFIX at the SDK's compiler prefix and PLUGWATCH_SYSROOT at
# its sysroot (which must hold cJSON), e.g.
#   cmake -S . -B build-device -DCMAKE_TOOLCHAIN_FILE=cmake/device-musl.cmake \
#     -DPLUGWATCH_SDK_PREFIX=/opt/sdk/bin/arm-openwrt-linux-muslgnueabi- \
#     -DPLUGWATCH_SYSROOT=/opt/sdk/staging_dir/target -DCMAKE_BUILD_TYPE=MinSizeRel \
#     -DPLUGWATCH_BUILD_TESTS=OFF
set(PLUGWATCH_SDK_PREFIX "" CACHE STRING "Compiler prefix of the device SDK, e.g. /opt/sdk/bin/arm-linux-musleabihf-")
set(PLUGWATCH_SYSROOT "" CACHE PATH "Sysroot of the device SDK")
if(NOT PLUGWATCH_SDK_PREFIX)
  message(FATAL_ERROR "set PLUGWATCH_SDK_PREFIX to the device SDK's compiler prefix")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER ${PLUGWATCH_SDK_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${PLUGWATCH_SDK_PREFIX}g++)
if(PLUGWATCH_SYSROOT)
  set(CMAKE_SYSROOT ${PLUGWATCH_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${PLUGWATCH_SYSROOT})
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${PLUGWATCH_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} ${PLUGWATCH_SYSROOT}/usr/lib/pkgconfig:${PLUGWATCH_SYSROOT}/usr/share/pkgconfig)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
