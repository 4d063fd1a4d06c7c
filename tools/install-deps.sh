#!/bin/sh
# Installs what building and testing need, on Debian, as root. Safe to run again: it only
# calls apt-get for packages that are missing.
#   tools/install-deps.sh          the native build and its packages (rpm makes the RPM)
#   tools/install-deps.sh tests    the native build and its tests, and the Windows cross build
#                                  (MinGW-w64) with its tests under Wine, and the fuzzers (clang)
set -eu
packages="cmake ninja-build g++ rpm"
case "${1:-}" in
  tests) packages="$packages libgtest-dev googletest g++-mingw-w64-x86-64-posix wine64 clang-14 libclang-rt-14-dev groff-base man-db strace lintian mandoc libxml2-utils systemd init-system-helpers shellcheck rpmlint systemd-container wixl msitools faketime python3-fusepy fuse3" ;;
esac
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
