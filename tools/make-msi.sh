#!/bin/sh
# Makes the MSI with wixl (msitools), reproducibly:
#   make-msi.sh STAGE_DIR OUTPUT VERSION PRODUCT_CODE PACKAGE_CODE
# STAGE_DIR holds calendario.wxs and the files it installs. wixl stamps the package with the
# time of the build and a random package code; the time is taken from SOURCE_DATE_EPOCH
# (through faketime) and the code is replaced by PACKAGE_CODE, which is made from the version,
# so that two builds of one source give the same file.
set -eu
stage=$1 output=$2 version=$3 product=$4 package=$5
cd "$stage"
# The cabinet inside records each file's time.
[ -n "${SOURCE_DATE_EPOCH:-}" ] && touch -d "@$SOURCE_DATE_EPOCH" ./*
frozen() {
  if [ -n "${SOURCE_DATE_EPOCH:-}" ] && command -v faketime >/dev/null; then
    # -f and an absolute time: the clock stands still while the tool runs. Without -f it runs
    # on from that time, and a run that crosses a second stamps the next one.
    TZ=UTC faketime -f "$(TZ=UTC date -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')" "$@"
  else
    "$@"
  fi
}
frozen wixl -a x64 -D "Version=$version" -D "ProductCode=$product" -o "$output" calendario.wxs
random=$(msiinfo suminfo "$output" | sed -n 's/^Revision number (UUID): \({[0-9A-F-]*}\)$/\1/p')
[ -n "$random" ] || { echo "no package code in $output" >&2; exit 1; }
# The same number of characters in place of the old: the file's layout does not change.
OLD=$random NEW="{$package}" perl -0777 -pi -e 's/\Q$ENV{OLD}\E/$ENV{NEW}/g' "$output"
# wixl makes an immediate action of Execute="rollback" (type 2162), which would delete the task
# while the installation script is still being written. 3442 is the type it should have: an
# exe named by a property (50), its exit code ignored (64), rollback (256), deferred (1024),
# not impersonated (2048).
frozen msibuild "$output" -q "UPDATE CustomAction SET Type=3442 WHERE Action='UnregisterTaskOnRollback'"
msiinfo export "$output" CustomAction | grep -q "^UnregisterTaskOnRollback	3442	" ||
  { echo "$output: the rollback action is not of type 3442" >&2; exit 1; }
# wixl has no Secure attribute on a property. The options, and the two properties that carry
# what the user interface's sequence found to the execute sequence, are made secure here, so
# that they reach the server side of a managed or elevated installation.
secure="INSTALLDIR;ROOTFOLDER;REPORTFOLDER;MIRRORNAME;REPORTLOG;CALENDARIO_GIVEN;CALENDARIO_SEARCHED"
wixl_secure=$(msiinfo export "$output" Property | tr -d '\r' |
              sed -n 's/^SecureCustomProperties	//p')
frozen msibuild "$output" -q "UPDATE Property SET Value='$wixl_secure;$secure' WHERE Property='SecureCustomProperties'"
msiinfo export "$output" Property | tr -d '\r' | grep -q "^SecureCustomProperties	.*;$secure$" ||
  { echo "$output: $secure are not secure" >&2; exit 1; }
# wixl records no version for the program, so Windows Installer would treat it as an unversioned
# file (replaced by date and hash, not by version): the File table gets the version of its
# version resource, and its hash row goes, as a versioned file has none.
frozen msibuild "$output" -q "UPDATE File SET Version='$version.0' WHERE File='calendario.exe'" \
  -q "DELETE FROM MsiFileHash WHERE File_='calendario.exe'"
msiinfo export "$output" File | tr -d '\r' | grep -q "^calendario.exe	.*	$version.0	" ||
  { echo "$output: calendario.exe has no version $version.0 in the File table" >&2; exit 1; }
msiinfo suminfo "$output" | grep -qx "Revision number (UUID): {$package}" ||
  { echo "$output: the package code is not {$package}" >&2; exit 1; }
