#!/bin/sh
# Checks the built calendario.exe: a GUI-subsystem program (no console window) whose imports
# are only DLLs that every Windows has.
set -u
exe=$1
dump=$(x86_64-w64-mingw32-objdump -p "$exe") || { echo "cannot read $exe"; exit 1; }
passed=0 failed=0
if printf '%s\n' "$dump" | grep -Eq '^Subsystem[[:space:]]+0*2[[:space:]]+\(Windows GUI\)'; then
  passed=$((passed + 1))
else
  echo "not a Windows GUI program:"; printf '%s\n' "$dump" | grep '^Subsystem'
  failed=$((failed + 1))
fi
for dll in $(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p'); do
  case $(printf '%s' "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll | api-ms-win-*.dll)
      passed=$((passed + 1)) ;;
    *) echo "imports a DLL Windows does not have: $dll"; failed=$((failed + 1)) ;;
  esac
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
