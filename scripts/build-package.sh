#!/usr/bin/env bash
# Builds the Debian package of quenZOR: quenzor_<version>-<release>_<arch>.deb in the build
# folder (default build-package), and prints its path as the last line.
# Usage: scripts/build-package.sh [build-dir]
#
# The program is built with Debian's hardening flags (dpkg-buildflags with every hardening
# feature on: it parses what devices on the network send it) and stripped; dependencies come
# from dpkg-shlibdeps.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-package}"

scripts/install-deps.sh >&2

export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
cppflags="$(dpkg-buildflags --get CPPFLAGS)"
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

# The package needs only the program, its raw-ARP helper and the packaging files; `cpack` then installs without
# building everything else first.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >&2
cmake --build "$build" -j"$(nproc)" --target quenzor quenzor-arp qz_packaging_files >&2

rm -f "$build"/quenzor_*.deb
(cd "$build" && cpack -G DEB >&2)
deb=("$build"/quenzor_*.deb)
[ -f "${deb[0]}" ] || { echo "build-package: no package was made" >&2; exit 1; }
realpath "${deb[0]}"
