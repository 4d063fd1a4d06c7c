#!/bin/sh
# Makes the packages of a build and checks them as a new user would meet them.
#   check-packages.sh BUILD_DIR linux|windows
set -u
build=$1 kind=$2
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { echo "FAILED: $*"; failed=$((failed + 1)); }
check() { if eval "$2"; then ok; else bad "$1"; fi; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "0 passed, 1 failed"; exit 1; }

if [ "$kind" = windows ]; then
  zip=$(ls "$work"/out/*.zip)
  listing=$(cmake -E tar tf "$zip")
  check "the ZIP holds calendario.exe" 'printf "%s\n" "$listing" | grep -q "^calendario-[^/]*/calendario.exe$"'
  check "the ZIP holds the README" 'printf "%s\n" "$listing" | grep -q "^calendario-[^/]*/README.md$"'
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi

deb=$(ls "$work"/out/*.deb)
tgz=$(ls "$work"/out/*.tar.gz)
info=$(dpkg-deb --info "$deb")
contents=$(dpkg-deb --contents "$deb")
check "the .deb is named calendario" 'printf "%s\n" "$info" | grep -q "^ Package: calendario$"'
check "the .deb has the project's version" 'printf "%s\n" "$info" | grep -q "^ Version: 1.0.0$"'
check "the .deb is for amd64" 'printf "%s\n" "$info" | grep -q "^ Architecture: amd64$"'
for file in ./usr/bin/calendario ./usr/share/man/man1/calendario.1 \
    ./usr/share/doc/calendario/README.md ./usr/lib/systemd/user/calendario.service \
    ./usr/lib/systemd/user/calendario.timer; do
  check "the .deb holds $file" 'printf "%s\n" "$contents" | grep -q " $file$"'
done
check "the .tar.gz holds the program" 'tar tzf "$tgz" | grep -q "/bin/calendario$"'
check "the .tar.gz holds the man page" 'tar tzf "$tgz" | grep -q "/man1/calendario.1$"'

# The man page renders without a warning.
mkdir -p "$work/x" && dpkg-deb -x "$deb" "$work/x"
warnings=$(groff -ww -man -Tutf8 "$work/x/usr/share/man/man1/calendario.1" 2>&1 >/dev/null)
check "the man page renders without warnings" '[ -z "$warnings" ]'

# Installed for real, as root: the program runs and its units verify.
if [ "$(id -u)" = 0 ] && ! dpkg-query -W calendario >/dev/null 2>&1; then
  if dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    ok
    XDG_DATA_HOME="$work/home" /usr/bin/calendario
    check "the installed program exits 0" '[ $? -eq 0 ]'
    check "the installed program made today's folder" \
      '[ -f "$work/home/calendario/drives/c/tmpCalendario/$(date +%Y%m%d)/Mirror.txt" ]'
    check "man finds the installed page" 'man -w calendario >/dev/null 2>&1'
    if command -v systemd-analyze >/dev/null; then
      check "the installed units verify" \
        'systemd-analyze verify /usr/lib/systemd/user/calendario.service /usr/lib/systemd/user/calendario.timer'
    fi
    dpkg -r calendario >/dev/null 2>&1
    check "the package removes cleanly" '[ ! -e /usr/bin/calendario ]'
  else
    cat "$work/dpkg.log"; bad "dpkg -i"
  fi
else
  echo "not root, or calendario already installed: dpkg -i not tried"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
