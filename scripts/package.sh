#!/usr/bin/env bash
# Builds the Debian package: build-pkg/quorvane_<version>_<arch>.deb (install it with
# "sudo apt install ./build-pkg/quorvane_<version>_<arch>.deb").
#
# A build of the three programs with Debian's own compiler and hardening flags (dpkg-buildflags),
# installed into the package by CPack, which strips the programs and computes the package's
# dependencies from them with dpkg-shlibdeps. Extra arguments go to cmake's configure step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="${QUORVANE_PKG_BUILD:-$root/build-pkg}"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" --target quorvane quorvane-cli quorvane-drivesim packaging_docs
rm -f "$build"/quorvane_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/quorvane_*.deb
