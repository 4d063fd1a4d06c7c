#!/bin/sh
# Makes the packages of a build and checks them as a new user would meet them.
#   check-packages.sh BUILD_DIR linux|windows
# Each check is a single-quoted snippet that check() evaluates, so that it is shown and run as
# written: the expansions in it are meant for eval (SC2016), and the names it uses are set for
# it (SC2034) or called only through it (SC2317).
# shellcheck disable=SC2016,SC2034,SC2317
set -u
build=$1 kind=$2
top=$(cd "$(dirname "$0")/.." && pwd)
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
  for file in calendario.exe README.md LICENSE THIRD-PARTY-NOTICES calendario.task.xml; do
    check "the ZIP holds calendario/$file" 'printf "%s\n" "$listing" | grep -qx "calendario/$file"'
  done
  task=$top/packaging/calendario.task.xml
  check "the task definition is well-formed XML" 'xmllint --noout "$task"'
  check "the task definition is UTF-16 with a byte-order mark" \
    '[ "$(head -c 2 "$task" | od -An -tx1 | tr -d " ")" = fffe ]'

  : "${WINEPREFIX:?set WINEPREFIX: the Windows checks run in the Wine prefix of the build}"
  wine() { "$top/tools/wine-run" "$@"; }
  c=$WINEPREFIX/drive_c
  # What the definition says, read as Task Scheduler reads it.
  setting() { xmllint --xpath "string(//*[local-name()='$1'])" "$task"; }
  check "the task starts as soon as it can after a missed start" '[ "$(setting StartWhenAvailable)" = true ]'
  check "the task starts on battery" '[ "$(setting DisallowStartIfOnBatteries)" = false ]'
  check "the task keeps running on battery" '[ "$(setting StopIfGoingOnBatteries)" = false ]'
  check "the task is stopped after five minutes" '[ "$(setting ExecutionTimeLimit)" = PT5M ]'
  check "a second start while one runs is ignored" '[ "$(setting MultipleInstancesPolicy)" = IgnoreNew ]'
  check "the task runs with the token of the user" \
    '[ "$(setting LogonType)" = InteractiveToken ] && [ "$(setting RunLevel)" = LeastPrivilege ]'
  check "the task runs the installed program" \
    '[ "$(setting Command)" = "\"C:\\Program Files\\calendario\\calendario.exe\"" ]'
  # Task Scheduler accepts the definition. Wine's keeps only the Settings part of what it is
  # given (triggers and actions are dropped), so those are what is read back from its store.
  # Where Wine's scheduler service cannot start (a prefix without 32-bit support), schtasks
  # cannot connect at all, and this part is said to be skipped.
  wine schtasks.exe /Delete /TN calendario /F >/dev/null 2>&1
  cp "$task" "$c/calendario.task.xml"
  if WINEDEBUG=fixme+schtasks wine schtasks.exe /Create /XML "C:\\calendario.task.xml" /TN calendario \
      >"$work/schtasks.log" 2>&1; then
    ok
    stored=$(iconv -f UTF-16 -t UTF-8 "$c/windows/system32/tasks/calendario" 2>/dev/null ||
             cat "$c/windows/system32/tasks/calendario" 2>/dev/null)
    for kept in "<StartWhenAvailable>true</StartWhenAvailable>" \
        "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>" \
        "<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>" \
        "<ExecutionTimeLimit>PT5M</ExecutionTimeLimit>"; do
      check "the registered task keeps $kept" 'printf "%s\n" "$stored" | grep -qF "$kept"'
    done
    wine schtasks.exe /Delete /TN calendario /F >/dev/null 2>&1
  elif grep -q "Connect failed: 80041315" "$work/schtasks.log"; then
    echo "SKIPPED: schtasks /Create /XML: Wine's Task Scheduler service does not start here"
  else
    cat "$work/schtasks.log"; bad "schtasks /Create /XML accepts the task"
  fi

  # The MSI: its tables, then installed, run, upgraded and removed, as an administrator would.
  cmake --build "$build" --target msi >"$work/msi.log" 2>&1 || cat "$work/msi.log"
  msi=$(ls "$build"/packages/*.msi)
  tables=$(msiinfo tables "$msi")
  for table in File Component Directory Feature Upgrade Media; do
    check "the MSI has its $table table" 'printf "%s\n" "$tables" | grep -qx "$table"'
  done
  files=$(msiinfo export "$msi" File)
  for file in calendario.exe README.md LICENSE THIRD-PARTY-NOTICES calendario.task.xml; do
    check "the MSI installs $file" 'printf "%s\n" "$files" | grep -q "	$file	"'
  done
  # The next version, made the same way, to upgrade to.
  "$top/tools/make-msi.sh" "$build/msi" "$work/next.msi" 1.0.1 \
    0F3C5E7A-9B1D-4F2E-8A6C-4D0B2E8F1A33 4C2A6E8F-1B3D-4A5C-9E7B-2D0F6A8C1E35 >/dev/null 2>&1
  cp "$msi" "$c/calendario.msi"; cp "$work/next.msi" "$c/next.msi"
  installed="$c/Program Files/calendario"
  rm -rf "$c/tmpCalendario"
  check "msiexec installs the MSI" 'wine msiexec.exe /i "C:\\calendario.msi" /qn >/dev/null 2>&1'
  for file in calendario.exe README.md LICENSE THIRD-PARTY-NOTICES calendario.task.xml; do
    check "the MSI put $file in C:\\Program Files\\calendario" '[ -f "$installed/$file" ]'
  done
  wine "C:\\Program Files\\calendario\\calendario.exe" >/dev/null 2>&1
  check "the installed program made today's folder" \
    '[ -f "$c/tmpCalendario/$(date +%Y%m%d)/Mirror.txt" ]'
  check "msiexec installs the next version over it" \
    'wine msiexec.exe /i "C:\\next.msi" /qn >/dev/null 2>&1'
  products=$(wine reg.exe query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
             grep -c "DisplayName.*calendario")
  check "the upgrade replaced the older version (one calendario installed, not $products)" '[ "$products" -eq 1 ]'
  check "msiexec removes it" 'wine msiexec.exe /x "C:\\next.msi" /qn >/dev/null 2>&1'
  check "every installed file is gone" '[ ! -e "$installed/calendario.exe" ] && [ ! -e "$installed/README.md" ]'
  check "the user's folders stay" '[ -d "$c/tmpCalendario" ]'
  rm -f "$c/calendario.msi" "$c/next.msi" "$c/calendario.task.xml"
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
for file in ./usr/bin/calendario ./usr/share/man/man1/calendario.1.gz \
    ./usr/share/doc/calendario/README.md ./usr/share/doc/calendario/copyright \
    ./usr/share/doc/calendario/changelog.gz ./usr/share/doc/calendario/THIRD-PARTY-NOTICES \
    ./usr/lib/systemd/user/calendario.service ./usr/lib/systemd/user/calendario.timer; do
  check "the .deb holds $file" 'printf "%s\n" "$contents" | grep -q " $file$"'
done
# Debian's own checker, at its most demanding: nothing but the tags the package overrides.
lintian_out=$(lintian -EvIL +pedantic --allow-root "$deb" 2>&1 | grep -v '^N: ')
check "lintian finds nothing in the .deb" '[ -z "$lintian_out" ]' || printf '%s\n' "$lintian_out"
# The .tar.gz: bin/, share/ and lib/ at its top, to be unpacked into a prefix.
listing=$(tar tzf "$tgz" | cut -d/ -f2 | sort -u | tr '\n' ' ')
check "the .tar.gz holds bin, lib and share at its top (not $listing)" \
  '[ "$listing" = " bin lib share " ] || [ "$listing" = "bin lib share " ]'
for file in bin/calendario share/man/man1/calendario.1.gz share/doc/calendario/LICENSE \
    share/doc/calendario/THIRD-PARTY-NOTICES lib/systemd/user/calendario.service; do
  check "the .tar.gz holds $file" 'tar tzf "$tgz" | grep -q "^[^/]*/$file$"'
done

# The man page renders without a warning in both man-page programs.
mkdir -p "$work/x" && dpkg-deb -x "$deb" "$work/x"
page=$work/page.1
gzip -dc "$work/x/usr/share/man/man1/calendario.1.gz" > "$page"
warnings=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null)
check "groff renders the man page without warnings" '[ -z "$warnings" ]'
lint=$(mandoc -Tlint "$page" 2>&1)
check "mandoc finds nothing in the man page" '[ -z "$lint" ]' || printf '%s\n' "$lint"
accented=$(printf 'Ya exist\303\255a')
check "mandoc renders the accented letters of the page" 'mandoc -Tutf8 "$page" | grep -q "$accented"'

# The service's sandbox, as systemd rates it (10 is no sandbox at all).
unit=$work/x/usr/lib/systemd/user/calendario.service
check "the service names the packaged program" 'grep -qx "ExecStart=/usr/bin/calendario" "$unit"'
exposure=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null |
           sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
check "the service's exposure is 6.0 or less (it is ${exposure:-unknown})" \
  'awk -v e="${exposure:-99}" "BEGIN { exit !(e <= 6.0) }"'

# Every shell script of the tree passes shellcheck.
scripts=$(cd "$top" && git ls-files | while read -r f; do
  case $f in *.sh) echo "$f" ;; *) head -n 1 "$f" 2>/dev/null | grep -q '^#!.*sh' && echo "$f" ;; esac
done)
sc_out=$(cd "$top" && printf '%s\n' "$scripts" | xargs shellcheck 2>&1)
check "shellcheck finds nothing in the shell scripts" '[ -z "$sc_out" ]' || printf '%s\n' "$sc_out"

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
    check "removing it leaves the user's folders" \
      '[ -d "$work/home/calendario/drives/c/tmpCalendario" ]'
  else
    cat "$work/dpkg.log"; bad "dpkg -i"
  fi
  # The .tar.gz unpacked into /usr/local as its README says: a working tree.
  if [ ! -e /usr/local/bin/calendario ]; then
    tar -xzf "$tgz" -C /usr/local --strip-components=1
    XDG_DATA_HOME="$work/local" /usr/local/bin/calendario
    check "the unpacked program runs" '[ $? -eq 0 ]'
    check "the unpacked unit names /usr/local/bin/calendario" \
      'grep -qx "ExecStart=/usr/local/bin/calendario" /usr/local/lib/systemd/user/calendario.service'
    if command -v systemd-analyze >/dev/null; then
      check "the unpacked units verify" 'MANPATH=/usr/local/share/man systemd-analyze verify \
        /usr/local/lib/systemd/user/calendario.service /usr/local/lib/systemd/user/calendario.timer'
    fi
    tar tzf "$tgz" | cut -d/ -f2- | grep -v '/$' | grep . | (cd /usr/local && xargs rm -f)
  fi
else
  echo "not root, or calendario already installed: dpkg -i not tried"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
