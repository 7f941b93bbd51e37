#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh            -> build/        (RelWithDebInfo: program, tests, benchmarks)
#   scripts/build.sh asan       -> build-asan/   (ASan + UBSan: tests)
#   scripts/build.sh fuzz       -> build-fuzz/   (clang, libFuzzer targets, ASan + UBSan)
#   scripts/build.sh windows    -> build-windows/ (mingw-w64 cross build: programs, core tests for
#                                  wine, and the zip Quenlo-VERSION-win64.zip)
#   scripts/build.sh packager   -> build-packager/ (Release as a packager builds it: CMake's Release on
#                                  top of Debian's packaging flags with hardening=+all; CXX picks
#                                  another compiler, e.g. CXX=clang++-14)
#   scripts/build.sh deb        -> build-deb/    (the programs as the tests build them, installed
#                                  under /usr, stripped, and packed into
#                                  build-deb/quenlo_VERSION_ARCH.deb; prints its path)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
jobs=${JOBS:-$(nproc)}
# A compiler cache, when the machine has one, keeps rebuilds of several checkouts cheap. Paths
# below the checkout count as relative and the build folder is left out of the key, so the
# package's build takes the release build's objects (the same flags) instead of compiling again.
# Warnings are errors wherever the compiler is the one these scripts know.
launcher=(-DQUENLO_WERROR=ON)
if command -v ccache >/dev/null 2>&1; then
  launcher+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
fi
case "$flavour" in
  release)
    cmake -S . -B build -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j "$jobs" ;;
  asan)
    cmake -S . -B build-asan -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Debug -DQUENLO_SANITIZE=ON \
      -DQUENLO_BENCH=OFF >/dev/null
    cmake --build build-asan -j "$jobs" ;;
  fuzz)
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUENLO_FUZZ=ON -DQUENLO_SANITIZE=ON -DQUENLO_TESTS=OFF -DQUENLO_BENCH=OFF \
      -DQUENLO_APP=OFF >/dev/null
    cmake --build build-fuzz -j "$jobs" ;;
  windows)
    cmake -S . -B build-windows -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DQUENLO_BENCH=OFF >/dev/null
    cmake --build build-windows -j "$jobs"
    cmake --build build-windows --target package-zip ;;
  packager)
    # As debian/rules would: CPPFLAGS go with the compiler flags, since CMake reads no CPPFLAGS.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    cppflags=$(dpkg-buildflags --get CPPFLAGS)
    CFLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
      LDFLAGS=$(dpkg-buildflags --get LDFLAGS) \
      cmake -S . -B build-packager -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build-packager -j "$jobs" ;;
  deb)
    cmake -S . -B build-deb -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_INSTALL_PREFIX=/usr -DQUENLO_TESTS=OFF -DQUENLO_BENCH=OFF >/dev/null
    cmake --build build-deb -j "$jobs"
    cmake --build build-deb --target package-deb >/dev/null
    ls build-deb/quenlo_*.deb ;;
  *) echo "usage: scripts/build.sh [release|asan|fuzz|windows|packager|deb]" >&2; exit 2 ;;
esac
