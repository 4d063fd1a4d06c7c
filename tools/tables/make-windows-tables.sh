#!/bin/sh
# Makes fs/WindowsTables.inc again: builds make-windows-tables.c with MinGW-w64 and runs it
# under Wine, whose code-page and case tables are those Windows ships. Needs the packages that
# `tools/install-deps.sh tests` installs. Run from anywhere; the file is written in place.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
x86_64-w64-mingw32-gcc -O2 -o "$work/tables.exe" "$top/tools/tables/make-windows-tables.c"
WINEPREFIX=$work/prefix WINEDEBUG=-all /usr/lib/wine/wine64 "$work/tables.exe" \
  | tr -d '\r' > "$work/WindowsTables.inc"
mv "$work/WindowsTables.inc" "$top/fs/WindowsTables.inc"
