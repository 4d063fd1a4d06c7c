#!/bin/sh
# Builds the release packages twice, from two clones in two folders, and compares them byte
# for byte: the .deb, the .tar.gz and the program, and with the Windows cross tools the ZIP,
# the MSI and calendario.exe.
#   check-reproducible.sh SOURCE_DIR
set -u
top=$(cd "$1" && pwd)
passed=0 failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One time for both builds, as a release sets it; without one, each takes the last commit's.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

build() {
  dir=$1
  git clone --quiet "$top" "$dir/src" || return 1
  # What is not committed yet is built too, so that the check is of the tree as it stands.
  (cd "$top" && git diff HEAD) | (cd "$dir/src" && git apply --allow-empty 2>/dev/null) || :
  (cd "$top" && git ls-files --others --exclude-standard) | while read -r f; do
    mkdir -p "$dir/src/$(dirname "$f")" && cp "$top/$f" "$dir/src/$f"
  done
  (cd "$dir/src" && cmake --preset release >/dev/null && cmake --build --preset release >/dev/null &&
     cpack --config out/release/CPackConfig.cmake -B "$dir/packages" >/dev/null) || return 1
  cp "$dir/src/out/release/calendario" "$dir/packages/calendario"
  if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wixl >/dev/null; then
    (cd "$dir/src" && cmake --preset windows -DCALENDARIO_TESTS=OFF >/dev/null &&
       cmake --build --preset windows --target calendario msi >/dev/null &&
       cpack --config out/windows/CPackConfig.cmake -B "$dir/packages" >/dev/null) || return 1
    cp "$dir/src/out/windows/calendario.exe" "$dir/src/out/windows/packages/"*.msi "$dir/packages/"
  fi
}

mkdir -p "$work/one" "$work/two/deeper"
if build "$work/one" && build "$work/two/deeper"; then
  for f in "$work/one/packages/"*; do
    [ -f "$f" ] || continue
    name=$(basename "$f")
    if cmp -s "$f" "$work/two/deeper/packages/$name"; then
      passed=$((passed + 1))
    else
      echo "FAILED: $name differs between the two builds"
      failed=$((failed + 1))
    fi
  done
else
  echo "FAILED: a build"; failed=$((failed + 1))
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
