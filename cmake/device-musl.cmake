# Cross build for the gateway with a device SDK's musl toolchain. Point
# PLUGWATCH_SDK_PREFIX at the SDK's compiler prefix and PLUGWATCH_SYSROOT at
# its sysroot (which must hold cJSON), e.g.
#   cmake -S . -B build-device -DCMAKE_TOOLCHAIN_FILE=cmake/device-musl.cmake \
#     -DPLUGWATCH_SDK_PREFIX=/opt/sdk/bin/arm-openwrt-linux-muslgnueabi- \
#     -DPLUGWATCH_SYSROOT=/opt/sdk/staging_dir/target -DCMAKE_BUILD_TYPE=MinSizeRel \
#     -DPLUGWATCH_BUILD_TESTS=OFF
# Debian's own arm-linux-gnueabihf compiler serves as such an SDK with
# musl-dev:armhf: give the prefix arm-linux-gnueabihf- and PLUGWATCH_MUSL_DRIVER
# the GCC driver file that package ships (scripts/build-musl.sh does this).
set(PLUGWATCH_SDK_PREFIX "" CACHE STRING "Compiler prefix of the device SDK, e.g. /opt/sdk/bin/arm-linux-musleabihf-")
set(PLUGWATCH_SYSROOT "" CACHE PATH "Sysroot of the device SDK")
set(PLUGWATCH_MUSL_DRIVER "" CACHE FILEPATH "GCC driver file for musl with a glibc cross compiler (musl-dev:armhf ships one)")
# CMake's compiler checks read this file again in projects of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PLUGWATCH_SDK_PREFIX PLUGWATCH_SYSROOT PLUGWATCH_MUSL_DRIVER)
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

# A glibc compiler driven at musl through a GCC driver file: libstdc++'s headers
# still serve the header-only parts the supervisor uses, and programs are
# linked by the C driver, since the toolchain's libstdc++ is built for glibc
# (the supervisor needs none of it at run time).
if(PLUGWATCH_MUSL_DRIVER)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE _pw_triple OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion OUTPUT_VARIABLE _pw_version OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(_pw_cxx_include /usr/${_pw_triple}/include/c++/${_pw_version})
  if(NOT EXISTS ${_pw_cxx_include}/cstdio)
    message(FATAL_ERROR "libstdc++ headers for ${_pw_triple} not found in ${_pw_cxx_include}")
  endif()
  # GCC takes a driver file through the option named as the file's extension.
  get_filename_component(_pw_kind ${PLUGWATCH_MUSL_DRIVER} LAST_EXT)
  string(SUBSTRING "${_pw_kind}" 1 -1 _pw_kind)
  set(_pw_driver "-${_pw_kind}=${PLUGWATCH_MUSL_DRIVER}")
  set(CMAKE_C_FLAGS_INIT "${_pw_driver}")
  set(CMAKE_CXX_FLAGS_INIT "${_pw_driver} -isystem ${_pw_cxx_include} -isystem ${_pw_cxx_include}/${_pw_triple} -include ${CMAKE_CURRENT_LIST_DIR}/musl-compat.h")
  set(CMAKE_CXX_LINK_EXECUTABLE "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
  set(CMAKE_CXX_CREATE_SHARED_LIBRARY "<CMAKE_C_COMPILER> <CMAKE_SHARED_LIBRARY_CXX_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_LIBRARY_CREATE_CXX_FLAGS> <SONAME_FLAG><TARGET_SONAME> -o <TARGET> <OBJECTS> <LINK_LIBRARIES>")
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
