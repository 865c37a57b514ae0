#!/usr/bin/env bash
# Builds the Windows (x86_64, mingw-w64 posix threads) dependencies from
# Debian's own source packages: OpenSSL 3.0 and Qt 6.4.2 qtbase with its
# OpenSSL backend. Prints the prefix on the last line. The result is kept in
# a cache outside the work tree, keyed by the versions, so only the first run
# on a machine pays for it (qtbase: about half an hour on 2 cores).
set -euo pipefail

cache=${ZENTAVO_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zentavo-windows}
jobs=${ZENTAVO_JOBS:-$(nproc)}
triplet=x86_64-w64-mingw32
log() { echo "== $*" >&2; }

# Debian's sources for the archive the machine already uses, in a private
# apt state, so the system's own sources stay as they are.
apt_dir=$cache/apt
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/sources"
          -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache")
apt_ready() {
    [ -d "$apt_dir/lists" ] && ls "$apt_dir/lists" | grep -q Sources && return
    mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    local f out=$apt_dir/sources/deb-src.sources
    : >"$out"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # Every stanza of type deb becomes the same stanza of type deb-src.
        sed -n 's/^Types:.*\bdeb\b.*/Types: deb-src/; /^\(Types\|URIs\|Suites\|Components\|Signed-By\):/p; /^$/p' "$f" >>"$out"
        echo >>"$out"
    done
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >"$apt_dir/sources/deb-src.list"
    fi
    log "apt source lists"
    apt-get "${apt_opts[@]}" update -q >&2
}
src_versions() { # source versions of a package, newest first
    apt-cache "${apt_opts[@]}" showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -rVu
}
fetch_source() { # name version dir; fails when the archive lacks that version's files
    [ -d "$3" ] && return
    local tmp=$3.tmp
    rm -rf "$tmp" && mkdir -p "$tmp"
    log "apt-get source $1=$2"
    if ! (cd "$tmp" && apt-get "${apt_opts[@]}" source -q --download-only "$1=$2" &&
          dpkg-source -x --no-check ./*.dsc src) >"$cache/fetch-$1.log" 2>&1; then
        log "the archive does not serve $1 $2 whole (see $cache/fetch-$1.log)"
        rm -rf "$tmp"
        return 1
    fi
    mv "$tmp" "$3"
}

apt_ready
# qtbase must be the version of the host tools (moc, rcc, uic) it borrows.
qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
gcc_version=$($triplet-g++-posix -dumpversion)
[ -n "$qt_version" ] || { echo "qt6-base-dev-tools is not installed" >&2; exit 1; }
mkdir -p "$cache"
# Where the Windows OpenSSL looks for its configuration, engines and modules.
# (OPENSSLDIR is its ssl folder: Configure takes no drive letter as absolute.)
ssl_windows_prefix="C:/Program Files/OpenSSL"
key_of() { echo "qt $qt_version ssl $1 gcc $gcc_version paths 2" | tr -c 'A-Za-z0-9.\n' '_'; }

# The newest OpenSSL the archive serves whole (a mirror may list a version
# whose files it lacks); a build already cached for it is taken as it is.
key="" ssl_version=""
for v in $(src_versions openssl); do
    if [ -f "$cache/$(key_of "$v")/.done" ] ||
       fetch_source openssl "$v" "$cache/work-$(key_of "$v")/openssl"; then
        ssl_version=$v key=$(key_of "$v")
        break
    fi
done
[ -n "$key" ] || { echo "no OpenSSL source could be fetched" >&2; exit 1; }
prefix=$cache/$key

if [ ! -f "$prefix/.done" ]; then
    work=$cache/work-$key
    mkdir -p "$work" "$prefix"

    cat >"$prefix/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $triplet-gcc-posix)
set(CMAKE_CXX_COMPILER $triplet-g++-posix)
set(CMAKE_RC_COMPILER $triplet-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet $prefix/openssl $prefix/qt)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF

    if [ ! -f "$prefix/openssl/.done" ]; then
        fetch_source openssl "$ssl_version" "$work/openssl"
        log "OpenSSL $ssl_version for mingw"
        # The library keeps its install paths (OPENSSLDIR for openssl.cnf,
        # ENGINESDIR, MODULESDIR) compiled in. Left at this machine's paths they
        # would be drive-relative on Windows ("\root\.cache\..."), creatable by
        # any user; OpenSSL's own Windows defaults under Program Files are
        # writable by administrators only. Installed through DESTDIR, then moved;
        # OpenSSL joins DESTDIR and a drive-letter prefix without a separator.
        local_stage=$work/openssl-stage
        (cd "$work/openssl/src" &&
            CC=gcc-posix ./Configure mingw64 --cross-compile-prefix=$triplet- \
                --prefix="$ssl_windows_prefix" \
                --libdir=lib no-tests shared >&2 &&
            make -j"$jobs" build_libs >&2 && make DESTDIR="$local_stage/" install_dev >&2)
        rm -rf "$prefix/openssl"
        mv "$local_stage/$ssl_windows_prefix" "$prefix/openssl"
        touch "$prefix/openssl/.done"
    fi

    if [ ! -f "$prefix/qt/.done" ]; then
        fetch_source qt6-base "$qt_version" "$work/qtbase"
        log "qtbase $qt_version for mingw (long)"
        rm -rf "$work/qtbase-build" && mkdir -p "$work/qtbase-build"
        # Only what the program and its tests use; the +dfsg source lacks wintab.
        (cd "$work/qtbase-build" &&
            "$work/qtbase/src/configure" -prefix "$prefix/qt" -xplatform win32-g++ -qt-host-path /usr \
                -release -nomake tests -nomake examples -no-opengl -openssl-linked -no-dbus \
                -no-feature-tabletevent -no-feature-sql -no-feature-printsupport -no-feature-concurrent \
                -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$prefix/toolchain.cmake" \
                -DOPENSSL_ROOT_DIR="$prefix/openssl" \
                -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >&2 &&
            cmake --build . --parallel "$jobs" >&2 && cmake --install . >&2)
        touch "$prefix/qt/.done"
    fi
    rm -rf "$work"
    touch "$prefix/.done"
fi
echo "$prefix"
