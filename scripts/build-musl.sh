#!/bin/sh
# Builds plugwatch for the gateway's own C library, musl, on 32-bit ARM, from
# Debian's packages only: the arm-linux-gnueabihf cross compiler driven at
# musl-dev:armhf through the GCC driver file that package ships.
#   scripts/build-musl.sh [DIR]            (default DIR: build-musl)
# Leaves in DIR:
#   plugwatch              dynamically linked against musl (for the tests)
#   plugwatch-static       statically linked, stripped: the device binary
#   plugwatch-status-static  the status tool, likewise
#   plugwatch-verify-static  the signature check of keyed plug-ins, likewise
#   libplugwatch_worker.a  the worker kit for musl
#   libfaketimeMT.so.1     libfaketime for musl ARM (for the tests)
# cJSON, libsodium and libfaketime are compiled from Debian's source packages, fetched
# through apt with a private source list and cached under DIR/sources, so the
# machine's own apt configuration is left alone.
set -e
cd "$(dirname "$0")/.."
top=$(pwd)
dir=${1:-build-musl}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
scripts/setup.sh --musl
jobs=${PLUGWATCH_JOBS:-$(nproc)}
triple=arm-linux-gnueabihf
# The GCC driver file musl-dev:armhf ships; GCC takes it through the option
# named as its extension.
musl_driver=$(dpkg -L musl-dev:armhf | grep '/musl-gcc\.[a-z]*$' | head -n 1)
[ -n "$musl_driver" ] || { echo "build-musl: musl-dev:armhf ships no GCC driver file" >&2; exit 1; }
cc="$triple-gcc -${musl_driver##*.}=$musl_driver"
mkdir -p "$dir"
printf '#!/bin/sh\n# The cross compiler driven at musl, for small helpers.\nexec %s "$@"\n' "$cc" >"$dir/musl-cc"
chmod +x "$dir/musl-cc"

# Debian source packages, unpacked with Debian's patches applied.
fetch_source() {
    name=$1
    src=$dir/sources
    [ -d "$src/$name" ] && return 0
    mkdir -p "$src/apt/parts" "$src/apt/lists/partial" "$src/apt/cache/archives/partial" "$src/dl"
    if [ ! -f "$src/apt/updated" ]; then
        # The machine's own package sources, as source-package sources.
        : >"$src/apt/sources.list"
        [ -f /etc/apt/sources.list ] && sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$src/apt/sources.list"
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] && sed 's/^Types: *deb$/Types: deb-src/' "$f" >"$src/apt/parts/$(basename "$f")"
        done
        for f in /etc/apt/sources.list.d/*.list; do
            [ -f "$f" ] && sed -n 's/^deb /deb-src /p' "$f" >"$src/apt/parts/$(basename "$f")"
        done
        apt_private update -qq
        : >"$src/apt/updated"
    fi
    (cd "$src/dl" && apt_private source --download-only -qq "$name" >/dev/null 2>&1) ||
        { echo "build-musl: cannot fetch Debian's source package $name" >&2; exit 1; }
    # apt checked the download against the signed source index already.
    dpkg-source -x "$src/dl/${name}"_*.dsc "$src/$name" >"$src/$name.log" 2>&1 ||
        { cat "$src/$name.log" >&2; exit 1; }
}

apt_private() {
    apt-get -o Dir::Etc::SourceList="$dir/sources/apt/sources.list" \
        -o Dir::Etc::SourceParts="$dir/sources/apt/parts" \
        -o Dir::State::Lists="$dir/sources/apt/lists" \
        -o Dir::Cache="$dir/sources/apt/cache" "$@"
}

# cJSON for musl: a shared library for the dynamic binary, and a sysroot of
# its own for the static one holding only the static library (the linker
# would otherwise take the shared one); pkg-config files for CMake.
build_cjson() {
    root=$dir/sysroot/usr
    [ -f "$dir/sysroot-static/usr/lib/libcjson.a" ] && return 0
    fetch_source cjson
    mkdir -p "$root/lib/pkgconfig" "$root/include/cjson" "$dir/obj"
    $cc -Os -fPIC -ffunction-sections -fdata-sections -c "$dir/sources/cjson/cJSON.c" -o "$dir/obj/cJSON.o"
    $cc -shared -Wl,-soname,libcjson.so.1 "$dir/obj/cJSON.o" -o "$root/lib/libcjson.so.1"
    ln -sf libcjson.so.1 "$root/lib/libcjson.so"
    cp "$dir/sources/cjson/cJSON.h" "$root/include/cjson/"
    version=$(sed -n 's/^Version: *\([0-9.]*\).*/\1/p' "$dir/sources/dl/"cjson_*.dsc | head -n 1)
    cat >"$root/lib/pkgconfig/libcjson.pc" <<EOF
prefix=/usr
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libcjson
Description: cJSON built for musl from Debian's source package
Version: $version
Libs: -L\${libdir} -lcjson
Cflags: -I\${includedir} -I\${includedir}/cjson
EOF
    static=$dir/sysroot-static/usr
    mkdir -p "$static/lib/pkgconfig"
    cp -r "$root/include" "$static/"
    cp "$root/lib/pkgconfig/libcjson.pc" "$static/lib/pkgconfig/"
    rm -f "$static/lib/libcjson.a"
    $triple-ar rcs "$static/lib/libcjson.a" "$dir/obj/cJSON.o"
}

# libsodium for musl (plugwatch-verify's Ed25519), a static library in both
# sysroots; position-independent, for the dynamic build's executables.
build_sodium() {
    [ -f "$dir/sysroot-static/usr/lib/libsodium.a" ] && return 0
    fetch_source libsodium
    # Debian's source carries no configure script: made as Debian's build makes it.
    [ -x "$dir/sources/libsodium/configure" ] ||
        (cd "$dir/sources/libsodium" && autoreconf -fi >"$dir/sources/libsodium-autoreconf.log" 2>&1) ||
        { tail -n 20 "$dir/sources/libsodium-autoreconf.log" >&2; exit 1; }
    rm -rf "$dir/obj/sodium" && mkdir -p "$dir/obj/sodium"
    (cd "$dir/obj/sodium" && CC="$cc" CFLAGS="-Os -ffunction-sections -fdata-sections" \
        "$dir/sources/libsodium/configure" --host=$triple --prefix=/usr --disable-shared --with-pic \
        --enable-minimal --disable-pie >configure.log 2>&1 &&
        make -j"$jobs" >make.log 2>&1) || { tail -n 20 "$dir/obj/sodium/"*.log >&2; exit 1; }
    for root in "$dir/sysroot" "$dir/sysroot-static"; do
        make -C "$dir/obj/sodium" install DESTDIR="$root" >/dev/null
        # The shared library's libtool record would point the linker elsewhere.
        rm -f "$root/usr/lib/libsodium.la"
    done
}

# libfaketime for musl, stateless: its shared-memory clock collides in fresh
# PID namespaces under musl.
build_faketime() {
    [ -f "$dir/libfaketimeMT.so.1" ] && return 0
    fetch_source faketime
    fsrc=$dir/sources/faketime/src
    $cc -O2 -std=gnu99 -fPIC -DFAKE_STATELESS -DPTHREAD_SINGLETHREADED_TIME -DFAKE_PTHREAD \
        -DFAKE_STAT -DFAKE_UTIME -DFAKE_SLEEP -DFAKE_TIMERS -DFAKE_INTERNAL_CALLS \
        -DPREFIX='"/usr"' -DLIBDIRNAME='"/lib/faketime"' -shared \
        -Wl,-soname,libfaketimeMT.so.1 -Wl,--version-script="$fsrc/libfaketime.map" \
        "$fsrc/libfaketime.c" -o "$dir/libfaketimeMT.so.1" -lpthread
}

configure() {
    build=$1
    sysroot=$2
    shift 2
    cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/device-musl.cmake" \
        -DPLUGWATCH_SDK_PREFIX=$triple- -DPLUGWATCH_MUSL_DRIVER="$musl_driver" \
        -DPLUGWATCH_SYSROOT="$sysroot" "$@" >/dev/null
    cmake --build "$build" -j"$jobs" >/dev/null
}

build_cjson
build_faketime
build_sodium

# The dynamic build carries the black-box tests (the unit tests need a C++
# runtime, which musl's side of Debian lacks; they run on glibc ARM).
configure "$dir/dynamic" "$dir/sysroot" -DPLUGWATCH_BUILD_TESTS=ON -DPLUGWATCH_UNIT_TESTS=OFF \
    -DCMAKE_BUILD_RPATH="$dir/sysroot/usr/lib" -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-arm \
    -DPLUGWATCH_FAKETIME_LIB="$dir/libfaketimeMT.so.1" \
    -DPLUGWATCH_STATIC_BIN="$dir/plugwatch-static"
# The device binary: cJSON and musl inside, nothing needed on the device.
configure "$dir/static" "$dir/sysroot-static" -DPLUGWATCH_BUILD_TESTS=OFF -DPLUGWATCH_DEVICE=ON \
    -DPLUGWATCH_STATIC=ON

cp "$dir/dynamic/plugwatch" "$dir/plugwatch"
cp "$dir/static/plugwatch" "$dir/plugwatch-static"
cp "$dir/static/plugwatch-status" "$dir/plugwatch-status-static"
cp "$dir/static/plugwatch-verify" "$dir/plugwatch-verify-static"
cp "$dir/static/kit/libplugwatch_worker.a" "$dir/libplugwatch_worker.a"
# Both device binaries: static, and within their size budgets (bytes).
for pair in plugwatch-static:81920 plugwatch-status-static:98304 plugwatch-verify-static:131072; do
    bin=${pair%%:*} limit=${pair#*:}
    size=$(stat -c %s "$dir/$bin")
    if readelf -l "$dir/$bin" | grep -q INTERP || readelf -d "$dir/$bin" | grep -q NEEDED; then
        echo "build-musl: $bin is not statically linked" >&2
        exit 1
    fi
    echo "musl build: $dir/$bin is $size bytes, static"
    [ "$size" -lt "$limit" ] || { echo "build-musl: $bin is over $((limit / 1024)) KiB" >&2; exit 1; }
done
# Each plug-in that keeps its own copy of the supervisor holds every page of
# its code privately: past sixteen pages, every copy costs a page more.
code=$(($(readelf -lW "$dir/plugwatch-static" | awk '$1 == "LOAD" && / R E / { print $5; exit }')))
echo "musl build: the supervisor's code and read-only data take $code bytes"
[ "$code" -le 65536 ] || { echo "build-musl: the supervisor's code is over 64 KiB (sixteen pages)" >&2; exit 1; }
# The data segment's first page is the file's page that holds the end of
# the code; code that reaches into the data's part of that page pushes the
# data a page further into the file, and a private copy maps two pages more.
data=$(($(readelf -lW "$dir/plugwatch-static" | awk '$1 == "LOAD" && / RW / { print $2; exit }')))
[ "$data" -lt 65536 ] || { echo "build-musl: the code reaches into the data segment's page (data at file offset $data)" >&2; exit 1; }
