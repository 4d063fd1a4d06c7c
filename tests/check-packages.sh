#!/bin/sh
# Makes the packages of a build and checks them as a new user would meet them.
#   check-packages.sh BUILD_DIR linux|windows
# For windows, the MSI is installed with options, repaired, upgraded and removed in the build's
# Wine prefix. For linux, as root, the .deb is installed and purged, the .tar.gz unpacked into
# /usr/local and removed, the RPM installed and erased by rpm, a throwaway user (calcheckPID) is
# made, with a user manager of its own, and removed again, and a system manager is booted in a
# container (systemd-nspawn) on this machine's /usr, where the packages are installed, upgraded
# and removed again beside a user's running manager. All of that happens in a mount namespace
# of its own, where /usr, /etc, /var and /home are overlays whose changes go when it ends: the
# machine's own files and package databases are left as they were.
# Each check is a single-quoted snippet that check() evaluates, so that it is shown and run as
# written: the expansions in it are meant for eval (SC2016), and the names it uses are set for
# it (SC2034) or called only through it (SC2317).
# shellcheck disable=SC2016,SC2034,SC2317
set -u
build=$1 kind=$2
top=$(cd "$(dirname "$0")/.." && pwd)
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { printf "FAILED: %s\n" "$*"; failed=$((failed + 1)); }
check() { if eval "$2"; then ok; else bad "$1"; return 1; fi; }

# As root on Linux, the script runs again in a mount namespace whose /usr, /etc, /var and /home
# are overlays on this machine's, and /usr/local is compared, names, modes, owners and times,
# before and after.
if [ "$kind" = linux ] && [ "$(id -u)" = 0 ] && [ -z "${CALENDARIO_LAYERS:-}" ]; then
  layers=$(mktemp -d)
  local_tree() { find /usr/local -printf '%p %m %u %g %T@\n' | sort; }
  before=$(local_tree)
  CALENDARIO_LAYERS=$layers unshare --mount --propagation private sh "$0" "$@"
  status=$?
  rm -rf "$layers"
  if [ "$(local_tree)" = "$before" ]; then
    echo "/usr/local is as it was"
  else
    echo "FAILED: /usr/local changed"; status=1
  fi
  exit "$status"
fi
if [ -n "${CALENDARIO_LAYERS:-}" ]; then
  for d in usr etc var home; do
    [ -d "/$d" ] || continue
    mkdir -p "$CALENDARIO_LAYERS/$d/upper" "$CALENDARIO_LAYERS/$d/work"
    mount -t overlay overlay \
      -o "lowerdir=/$d,upperdir=$CALENDARIO_LAYERS/$d/upper,workdir=$CALENDARIO_LAYERS/$d/work" "/$d" ||
      { echo "FAILED: no overlay on /$d: nothing is installed"; exit 1; }
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "0 passed, 1 failed"; exit 1; }

if [ "$kind" = windows ]; then
  shipped="calendario.exe README.md LICENSE THIRD-PARTY-NOTICES calendario.task.xml
    calendario-machine.task.xml"
  zip=$(ls "$work"/out/*.zip)
  listing=$(cmake -E tar tf "$zip")
  for file in $shipped; do
    check "the ZIP holds calendario/$file" 'printf "%s\n" "$listing" | grep -qx "calendario/$file"'
  done

  # The two task definitions, read as Task Scheduler reads them: the per-user one, registered
  # by hand, and the machine-wide one that the MSI registers. Wine keeps only the Settings of a
  # definition it is given, so the principal, the triggers and the action are checked here, in
  # the shipped files.
  user_task=$top/packaging/calendario.task.xml
  machine_task=$top/packaging/calendario-machine.task.xml
  # The text of the first element of that name, and how many there are (namespace aside).
  field() { xmllint --xpath "string((//*[local-name()='$2'])[1])" "$1" 2>/dev/null; }
  count() { xmllint --xpath "count(//*[local-name()='$2'])" "$1" 2>/dev/null; }
  attribute() { xmllint --xpath "string((//*[local-name()='$2'])[1]/@$3)" "$1" 2>/dev/null; }
  for task in "$user_task" "$machine_task"; do
    name=$(basename "$task")
    check "$name is well-formed XML" 'xmllint --noout "$task"'
    check "$name is UTF-16 with a byte-order mark" \
      '[ "$(head -c 2 "$task" | od -An -tx1 | tr -d " ")" = fffe ]'
    check "$name: a missed start is made as soon as it can be" \
      '[ "$(field "$task" StartWhenAvailable)" = true ]'
    check "$name: the task starts on battery" '[ "$(field "$task" DisallowStartIfOnBatteries)" = false ]'
    check "$name: the task keeps running on battery" '[ "$(field "$task" StopIfGoingOnBatteries)" = false ]'
    check "$name: the task is stopped after five minutes" '[ "$(field "$task" ExecutionTimeLimit)" = PT5M ]'
    check "$name: a second start while one runs is ignored" \
      '[ "$(field "$task" MultipleInstancesPolicy)" = IgnoreNew ]'
    check "$name: the task runs every day at 06:00" \
      '[ "$(count "$task" CalendarTrigger)" = 1 ] && [ "$(field "$task" DaysInterval)" = 1 ] &&
       case $(field "$task" StartBoundary) in *T06:00:00) true ;; *) false ;; esac'
    check "$name: the task runs the installed program, as its one principal" \
      '[ "$(field "$task" Command)" = "\"C:\\Program Files\\calendario\\calendario.exe\"" ] &&
       [ "$(count "$task" Principal)" = 1 ] &&
       [ "$(attribute "$task" Actions Context)" = "$(attribute "$task" Principal id)" ]'
  done
  check "the per-user task runs with the token of the user who registers it" \
    '[ "$(field "$user_task" LogonType)" = InteractiveToken ] &&
     [ "$(field "$user_task" RunLevel)" = LeastPrivilege ] && [ "$(count "$user_task" UserId)" = 0 ]'
  check "the per-user task runs also at each log-on" '[ "$(count "$user_task" LogonTrigger)" = 1 ]'
  check "the machine task runs as LOCAL SERVICE, with least privilege and no password" \
    '[ "$(field "$machine_task" UserId)" = S-1-5-19 ] &&
     [ "$(field "$machine_task" LogonType)" = ServiceAccount ] &&
     [ "$(field "$machine_task" RunLevel)" = LeastPrivilege ]'
  check "the machine task runs also a short while after each start of the PC" \
    '[ "$(count "$machine_task" BootTrigger)" = 1 ] &&
     case $(field "$machine_task" Delay) in PT[1-5]M) true ;; *) false ;; esac'
  check "the machine task has a name of its own" \
    '[ "$(field "$machine_task" URI)" = "\\calendario-machine" ] &&
     [ "$(field "$user_task" URI)" = "\\calendario" ]'

  : "${WINEPREFIX:?set WINEPREFIX: the Windows checks run in the Wine prefix of the build}"
  wine() { "$top/tools/wine-run" "$@"; }
  c=$WINEPREFIX/drive_c
  tasks=$c/windows/system32/tasks
  # What Wine's Task Scheduler stored for a task: UTF-8 with a byte-order mark.
  stored() { tail -c +4 "$tasks/$1" 2>/dev/null; }
  bom() { [ "$(head -c 3 "$tasks/$1" | od -An -tx1 | tr -d " ")" = efbbbf ]; }
  # The per-user task registered by hand, as the README says; it stays registered while the MSI
  # is installed, upgraded and removed, which must neither overwrite nor delete it. Under Wine,
  # schtasks /Query and /Run print a "fixme" and exit 0 without doing anything, so the task
  # store itself is read instead.
  wine schtasks.exe /Delete /TN calendario /F >/dev/null 2>&1
  wine schtasks.exe /Delete /TN calendario-machine /F >/dev/null 2>&1
  cp "$user_task" "$c/calendario.task.xml"
  check "schtasks /Create /XML registers the per-user task" \
    'wine schtasks.exe /Create /XML "C:\\calendario.task.xml" /TN calendario >/dev/null 2>&1'
  check "the per-user task is stored, as UTF-8 with a byte-order mark" 'bom calendario'
  for kept in "<StartWhenAvailable>true</StartWhenAvailable>" \
      "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>" \
      "<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>" \
      "<ExecutionTimeLimit>PT5M</ExecutionTimeLimit>" \
      "<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"; do
    check "the registered per-user task keeps $kept" 'stored calendario | grep -qF "$kept"'
  done
  user_stored=$(stored calendario)

  # The MSI: its tables, then installed, upgraded and removed, as an administrator would.
  cmake --build "$build" --target msi >"$work/msi.log" 2>&1 || cat "$work/msi.log"
  msi=$(ls "$build"/packages/*.msi)
  check "sha256sum -c SHA256SUMS passes beside the MSI" \
    '(cd "$build/packages" && sha256sum -c SHA256SUMS >/dev/null && grep -q "  ${msi##*/}$" SHA256SUMS)'
  tables=$(msiinfo tables "$msi")
  for table in File Component Directory Feature Upgrade Media CustomAction InstallExecuteSequence; do
    check "the MSI has its $table table" 'printf "%s\n" "$tables" | grep -qx "$table"'
  done
  files=$(msiinfo export "$msi" File)
  for file in $shipped; do
    check "the MSI installs $file" 'printf "%s\n" "$files" | grep -q "	$file	"'
  done
  # The custom actions as Windows Installer reads them (Wine's msiexec would run a package that
  # lacks them, or has them in the wrong place, without a word). A type is the sum of bits:
  # 50 an exe named by a property, 51 a property set, 64 the exit code ignored, 256 rollback,
  # 1024 deferred, 2048 not impersonated.
  actions=$(msiinfo export "$msi" CustomAction)
  sequence=$(msiinfo export "$msi" InstallExecuteSequence)
  column() { printf '%s\n' "$1" | tr -d '\r' | awk -F '\t' -v a="$2" -v n="$3" '$1 == a { print $n }'; }
  type_of() { column "$actions" "$1" 2; }
  target_of() { column "$actions" "$1" 4; }
  at() { column "$sequence" "$1" 3; }
  condition_of() { column "$sequence" "$1" 2; }
  bits() { t=$(type_of "$1"); [ -n "$t" ] && [ $((t & $2)) -eq "$3" ]; }
  check "SCHTASKS is set to schtasks.exe in the 64-bit system folder" \
    'bits SetSchtasks 63 51 && [ "$(target_of SetSchtasks)" = "[System64Folder]schtasks.exe" ]'
  check "RegisterTask registers the installed machine definition under its own name" \
    '[ "$(target_of RegisterTask)" = "/Create /XML \"[INSTALLDIR]calendario-machine.task.xml\" /TN calendario-machine /F" ]'
  check "RegisterTask runs schtasks, deferred, not impersonated, and its failure fails the install" \
    '[ "$(type_of RegisterTask)" = 3122 ]'
  check "UnregisterTask deletes the machine task, deferred, not impersonated" \
    '[ "$(target_of UnregisterTask)" = "/Delete /TN calendario-machine /F" ] && [ "$(type_of UnregisterTask)" = 3186 ]'
  check "UnregisterTaskOnRollback deletes it when the install is rolled back" \
    '[ "$(target_of UnregisterTaskOnRollback)" = "/Delete /TN calendario-machine /F" ] &&
     [ "$(type_of UnregisterTaskOnRollback)" = 3442 ]'
  for action in WriteTaskDefinition RegisterTask UnregisterTask UnregisterTaskOnRollback; do
    check "$action lies between InstallInitialize and InstallFinalize, after SetSchtasks" \
      '[ "$(at InstallInitialize)" -lt "$(at $action)" ] && [ "$(at $action)" -lt "$(at InstallFinalize)" ] &&
       [ "$(at SetSchtasks)" -lt "$(at InstallInitialize)" ]'
  done
  check "the task is registered after the files are installed, its rollback scheduled before it" \
    '[ "$(at InstallFiles)" -lt "$(at UnregisterTaskOnRollback)" ] &&
     [ "$(at UnregisterTaskOnRollback)" -lt "$(at RegisterTask)" ]'
  check "the task is registered on a first installation, and otherwise only when options are given" \
    '[ "$(condition_of RegisterTask)" = "NOT REMOVE=\"ALL\" AND ((NOT Installed AND NOT WIX_UPGRADE_DETECTED) OR CALENDARIO_GIVEN)" ]'
  # The product's own actions, from the DLL in its Binary table (type 1): the check, immediate,
  # before anything is changed, once INSTALLDIR is known; the writing, deferred and not
  # impersonated, after the files and just before the registration.
  check "the MSI carries its custom actions' DLL" \
    'msiinfo export "$msi" Binary | tr -d "\r" | grep -q "^TaskActions	"'
  check "PrepareTaskDefinition checks the task's action before anything is changed" \
    'bits PrepareTaskDefinition 1087 1 && [ "$(target_of PrepareTaskDefinition)" = PrepareTaskDefinition ] &&
     [ "$(at CostFinalize)" -lt "$(at PrepareTaskDefinition)" ] &&
     [ "$(at PrepareTaskDefinition)" -lt "$(at InstallValidate)" ] &&
     [ "$(condition_of PrepareTaskDefinition)" = "NOT REMOVE=\"ALL\"" ]'
  check "WriteTaskDefinition writes the definition after the files, just before the registration" \
    '[ "$(type_of WriteTaskDefinition)" = 3073 ] && [ "$(target_of WriteTaskDefinition)" = WriteTaskDefinition ] &&
     [ "$(at InstallFiles)" -lt "$(at WriteTaskDefinition)" ] &&
     [ "$(at WriteTaskDefinition)" -eq $(($(at RegisterTask) - 1)) ] &&
     [ "$(condition_of WriteTaskDefinition)" = "NOT REMOVE=\"ALL\"" ]'
  check "the uninstall entry offers no Modify, and names the install folder" \
    '[ "$(msiinfo export "$msi" Property | tr -d "\r" | sed -n "s/^ARPNOMODIFY	//p")" = 1 ] &&
     [ "$(target_of SetInstallLocation)" = "[INSTALLDIR]" ] &&
     [ "$(at CostFinalize)" -lt "$(at SetInstallLocation)" ]'
  check "the MSI records calendario.exe's version, 1.0.0.0, and no hash for it" \
    'msiinfo export "$msi" File | tr -d "\r" | grep -q "^calendario.exe	Program	calendario.exe	[0-9]*	1.0.0.0	" &&
     ! msiinfo export "$msi" MsiFileHash | tr -d "\r" | grep -q "^calendario.exe	"'
  mkdir "$work/msi-files"
  (cd "$work/msi-files" && msiextract "$msi" >/dev/null 2>&1)
  msi_exe=$(find "$work/msi-files" -name calendario.exe | head -n 1)
  check "the MSI and the ZIP ship the same calendario.exe, stripped" \
    '[ -n "$msi_exe" ] && (cd "$work" && cmake -E tar xf "$zip" calendario/calendario.exe) &&
     [ "$(sha256sum <"$msi_exe")" = "$(sha256sum <"$work/calendario/calendario.exe")" ] &&
     ! x86_64-w64-mingw32-objdump -h "$msi_exe" | grep -q "\.debug_"' ||
    ls -l "$msi_exe" "$work/calendario/calendario.exe"
  check "only a first installation's rollback deletes the task (not an upgrade's or a repair's)" \
    '[ "$(condition_of UnregisterTaskOnRollback)" = "NOT Installed AND NOT WIX_UPGRADE_DETECTED" ]'
  check "an upgrade's removal of the older version does not delete the task" \
    '[ "$(condition_of UnregisterTask)" = "REMOVE=\"ALL\" AND NOT UPGRADINGPRODUCTCODE" ]'
  # The options. Wine runs no user interface sequence under /qn and ignores which properties
  # are secure, so those two are read from the tables: in both sequences a value given is saved
  # before AppSearch and given back after it, before the launch conditions look at it.
  ui=$(msiinfo export "$msi" InstallUISequence)
  ui_at() { column "$ui" "$1" 3; }
  for option in ROOTFOLDER REPORTFOLDER MIRRORNAME REPORTLOG; do
    check "$option given is saved before AppSearch and given back after it, in both sequences" \
      '[ "$(at Save$option)" -lt "$(at AppSearch)" ] && [ "$(at AppSearch)" -lt "$(at GiveBack$option)" ] &&
       [ "$(at GiveBack$option)" -lt "$(at LaunchConditions)" ] &&
       [ "$(ui_at Save$option)" -lt "$(ui_at AppSearch)" ] && [ "$(ui_at AppSearch)" -lt "$(ui_at GiveBack$option)" ] &&
       [ "$(ui_at GiveBack$option)" -lt "$(ui_at LaunchConditions)" ]'
  done
  secure=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^SecureCustomProperties	//p')
  for property in ROOTFOLDER REPORTFOLDER MIRRORNAME REPORTLOG CALENDARIO_GIVEN CALENDARIO_SEARCHED; do
    check "$property is secure" 'case ";$secure;" in *";$property;"*) true ;; *) false ;; esac'
  done
  # The product code the README gives for this version, by which it is removed.
  product_code=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductCode	//p')
  version=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductVersion	//p')
  check "the README gives $version's product code, $product_code" \
    'grep -qF "| $version | \`$product_code\` |" "$top/README.md"'

  # The next version, made the same way, to upgrade to; and packages with an action after the
  # registration that fails on purpose: it registers the task again without /F, which fails
  # only because the registration before it has succeeded.
  next_code=0F3C5E7A-9B1D-4F2E-8A6C-4D0B2E8F1A33
  "$top/tools/make-msi.sh" "$build/msi" "$work/next.msi" 1.0.1 \
    "$next_code" 4C2A6E8F-1B3D-4A5C-9E7B-2D0F6A8C1E35 >/dev/null 2>&1
  failing() {
    cp "$1" "$2"
    msibuild "$2" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES
        ('FailOnPurpose', 3122, 'SCHTASKS', '/Create /XML \"[INSTALLDIR]calendario-machine.task.xml\" /TN calendario-machine')" \
      -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES
        ('FailOnPurpose', 'NOT REMOVE', $(($(at RegisterTask) + 1)))"
  }
  cp "$msi" "$c/calendario.msi"; cp "$work/next.msi" "$c/next.msi"
  failing "$msi" "$c/failing.msi"; failing "$work/next.msi" "$c/failing-next.msi"
  installed="$c/Program Files/calendario"
  machine_tasks() { grep -l "for the whole machine" "$tasks"/* 2>/dev/null | wc -l; }
  # msiexec, with its log. What schtasks is handed is the installed definition: Wine's
  # Task Scheduler keeps no action of a task it registers, so the file itself is read.
  msiexec() { wine msiexec.exe "$@" >"$work/msiexec.log" 2>&1; }
  handed() {
    printf '%s | %s' "$(field "$1/calendario-machine.task.xml" Command)" \
      "$(field "$1/calendario-machine.task.xml" Arguments)"
  }
  program='"C:\Program Files\calendario\calendario.exe"'
  # The options as the registry holds them, one "NAME=value" a line.
  remembered() {
    wine reg.exe query 'HKLM\Software\calendario' /reg:64 2>/dev/null | tr -d '\r' |
      awk '$2 == "REG_SZ" { v = $0; sub(/^ *[^ ]+ +REG_SZ +/, "", v); print $1 "=" v }' | sort | tr '\n' ' '
  }
  given="INSTALLDIR=C:\\Program Files\\calendario\\ MIRRORNAME=Espejo.txt REPORTFOLDER=D:\\Registro REPORTLOG=no ROOTFOLDER=D:\\Datos"
  # What an earlier run that was stopped may have left installed.
  for product in "$product_code" "{$next_code}"; do msiexec /x "$product" /qn; done
  rm -rf "$c/tmpCalendario"

  check "an install that fails after the registration fails" '! msiexec /i "C:\\failing.msi" /qn'
  check "its rollback deletes the task it registered, and the files" \
    '[ ! -e "$tasks/calendario-machine" ] && [ ! -e "$installed/calendario.exe" ]'

  check "msiexec installs the MSI with the four options" \
    'msiexec /i "C:\\calendario.msi" /qn "ROOTFOLDER=D:\\Datos" "REPORTFOLDER=D:\\Registro" \
       MIRRORNAME=Espejo.txt REPORTLOG=no'
  for file in $shipped; do
    check "the MSI put $file in C:\\Program Files\\calendario" '[ -f "$installed/$file" ]'
  done
  check "the MSI registered the machine task" '[ -f "$tasks/calendario-machine" ] && bom calendario-machine'
  check "the machine task is handed the installed program and the options (not: $(handed "$installed"))" \
    '[ "$(handed "$installed")" = "$program | -RCD:\\Datos -RID:\\Registro -NAEspejo.txt -INno" ]'
  check "the options are remembered for an upgrade or a repair (not: $(remembered))" \
    '[ "$(remembered)" = "$given Version=1.0.0 " ]'
  for kept in "<Description>Prepares today's folder (calendario), for the whole machine.</Description>" \
      "<StartWhenAvailable>true</StartWhenAvailable>" \
      "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>" \
      "<ExecutionTimeLimit>PT5M</ExecutionTimeLimit>"; do
    check "the registered machine task keeps $kept" 'stored calendario-machine | grep -qF "$kept"'
  done
  check "the per-user task is left as it was" '[ "$(stored calendario)" = "$user_stored" ]'
  wine "C:\\Program Files\\calendario\\calendario.exe" >/dev/null 2>&1
  check "the installed program made today's folder" \
    '[ -f "$c/tmpCalendario/$(date +%Y%m%d)/Mirror.txt" ]'

  # An administrator's edit of the task (Wine can neither disable nor change one: the stored
  # definition is edited instead) survives a repair that gives no option. With a reduced user
  # interface (/qr), so that AppSearch runs in the user interface's sequence, and the execute
  # sequence must not take the remembered values for new ones.
  sed -i 's/for the whole machine\./for the whole machine, as edited./' "$tasks/calendario-machine"
  edited=$(stored calendario-machine)
  check "a repair without options succeeds" 'msiexec /i "C:\\calendario.msi" /qr REINSTALL=ALL REINSTALLMODE=omus'
  check "the repair leaves the edited task as it was" '[ "$(stored calendario-machine)" = "$edited" ]'
  check "the repair keeps the options (not: $(remembered))" '[ "$(remembered)" = "$given Version=1.0.0 " ]'

  check "msiexec installs the next version over it, with no option" 'msiexec /i "C:\\next.msi" /qn'
  products=$(wine reg.exe query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
             grep -c "DisplayName.*calendario")
  check "the upgrade replaced the older version (one calendario installed, not $products)" '[ "$products" -eq 1 ]'
  check "the upgrade keeps the options (not: $(remembered))" '[ "$(remembered)" = "$given Version=1.0.1 " ]'
  # On Windows the edited task stays as it was. Wine does not tell the older version's removal
  # that it is part of an upgrade, so that removal deletes the task; either way, the upgrade
  # must not have registered it again from the shipped definition.
  check "the upgrade does not register the task again" \
    '[ ! -e "$tasks/calendario-machine" ] || [ "$(stored calendario-machine)" = "$edited" ]'
  check "the per-user task is still left as it was" '[ "$(stored calendario)" = "$user_stored" ]'

  check "a value with a space is refused" '! msiexec /i "C:\\next.msi" /qn "ROOTFOLDER=D:\\Mis Datos"'
  check "the refusal keeps the options (not: $(remembered))" '[ "$(remembered)" = "$given Version=1.0.1 " ]'
  check "new options on the installed version succeed" 'msiexec /i "C:\\next.msi" /qn REPORTLOG=si'
  check "the new option is remembered beside the others (not: $(remembered))" \
    '[ "$(remembered)" = "INSTALLDIR=C:\\Program Files\\calendario\\ MIRRORNAME=Espejo.txt REPORTFOLDER=D:\\Registro REPORTLOG=si ROOTFOLDER=D:\\Datos Version=1.0.1 " ]'
  check "the task is registered again, once, with the remembered options and the new one (not: $(handed "$installed"))" \
    '[ "$(handed "$installed")" = "$program | -RCD:\\Datos -RID:\\Registro -NAEspejo.txt -INsi" ] &&
     [ "$(machine_tasks)" -eq 1 ] && ! stored calendario-machine | grep -q "as edited"'

  check "msiexec /x removes it by its product code" 'msiexec /x "{$next_code}" /qn'
  check "every installed file is gone" '[ ! -e "$installed/calendario.exe" ] && [ ! -e "$installed/README.md" ]'
  check "the machine task is gone" '[ ! -e "$tasks/calendario-machine" ] && [ "$(machine_tasks)" -eq 0 ]'
  check "the remembered options are gone" '[ -z "$(remembered)" ]'
  check "the per-user task stays registered" '[ "$(stored calendario)" = "$user_stored" ]'
  check "the user's folders stay" '[ -d "$c/tmpCalendario" ]'

  # A failed upgrade that was given an option: the newer version's rollback must not delete the
  # task the installed version registered. (Wine's msiexec does not undo the removal of the
  # older version that ran before the failure, so only the task is looked at here.)
  msiexec /i "C:\\calendario.msi" /qn
  check "an upgrade that fails after the registration fails" '! msiexec /i "C:\\failing-next.msi" /qn REPORTLOG=si'
  check "the failed upgrade leaves the machine task registered" '[ -f "$tasks/calendario-machine" ]'
  for product in calendario next failing-next; do msiexec /x "C:\\$product.msi" /qn; done
  uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code"
  msiexec /i "C:\\calendario.msi" /qn
  check "msiexec /x with the README's product code removes $version" \
    'wine reg.exe query "$uninstall_key" >/dev/null 2>&1 && msiexec /x "$product_code" /qn &&
     ! wine reg.exe query "$uninstall_key" >/dev/null 2>&1 && [ ! -e "$installed/calendario.exe" ]'

  # Another folder: the task names the program there, an upgrade that does not name the folder
  # again keeps it there, and a folder too deep for Task Scheduler is refused before anything is
  # changed, with the reason in the log, leaving the working task and the installed version.
  tools="$c/Tools/calendario"
  check "msiexec installs into INSTALLDIR=C:\\Tools\\calendario\\, with no option" \
    'msiexec /i "C:\\calendario.msi" /qn "INSTALLDIR=C:\\Tools\\calendario\\" &&
     [ -f "$tools/calendario.exe" ] && [ ! -e "$installed/calendario.exe" ]'
  check "the task is handed the program in that folder, with no argument (not: $(handed "$tools"))" \
    '[ "$(handed "$tools")" = "\"C:\\Tools\\calendario\\calendario.exe\" | " ] && [ "$(machine_tasks)" -eq 1 ]'
  check "the uninstall entry names that folder and offers no Modify" \
    'wine reg.exe query "$uninstall_key" 2>/dev/null | tr -d "\r" |
       grep -q "InstallLocation *REG_SZ *C:\\\\Tools\\\\calendario\\\\$" &&
     wine reg.exe query "$uninstall_key" /v NoModify 2>/dev/null | grep -q "0x1"'
  before=$(stored calendario-machine)
  deep="C:\\$(printf "%0250d" 0)\\"
  check "an upgrade into a folder too deep for Task Scheduler is refused (exit 1603)" \
    '! msiexec /i "C:\\next.msi" /qn "INSTALLDIR=$deep" REPORTLOG=si /l*v "C:\\refused.log"'
  check "the refusal says why in the installation log" \
    'grep -aq "calendario: The task cannot run .*fewer than 260 characters" "$c/refused.log"'
  check "the refusal leaves the task, the program and the options as they were" \
    '[ "$(stored calendario-machine)" = "$before" ] && [ -f "$tools/calendario.exe" ] &&
     [ "$(remembered)" = "INSTALLDIR=C:\\Tools\\calendario\\ MIRRORNAME= REPORTFOLDER= REPORTLOG= ROOTFOLDER= Version=1.0.0 " ] &&
     [ ! -e "$c/$(printf "%0250d" 0)" ]'
  check "an upgrade that does not name the folder installs into the same one" \
    'msiexec /i "C:\\next.msi" /qn && [ -f "$tools/calendario.exe" ] && [ ! -e "$installed/calendario.exe" ] &&
     [ "$(handed "$tools")" = "\"C:\\Tools\\calendario\\calendario.exe\" | " ]'
  msiexec /x "{$next_code}" /qn
  check "removing it removes that folder's files and the task" \
    '[ ! -e "$tools/calendario.exe" ] && [ "$(machine_tasks)" -eq 0 ]'
  wine schtasks.exe /Delete /TN calendario-machine /F >/dev/null 2>&1
  wine schtasks.exe /Delete /TN calendario /F >/dev/null 2>&1
  rm -f "$c/refused.log"
  rm -f "$c"/calendario.msi "$c"/next.msi "$c"/failing.msi "$c"/failing-next.msi "$c/calendario.task.xml"
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
    ./usr/lib/systemd/user/calendario.service ./usr/lib/systemd/user/calendario.timer \
    ./usr/lib/systemd/system/calendario-machine.service \
    ./usr/lib/systemd/system/calendario-machine.timer; do
  check "the .deb holds $file" 'printf "%s\n" "$contents" | grep -q " $file$"'
done
# Debian's own checker, at its most demanding: nothing but the tags the package overrides.
lintian_out=$(lintian -EvIL +pedantic --allow-root "$deb" 2>&1 | grep -v '^N: ')
check "lintian finds nothing in the .deb" '[ -z "$lintian_out" ]' || printf '%s\n' "$lintian_out"
# The .tar.gz: bin/, share/ and lib/ at its top, to be unpacked into a prefix.
listing=$(tar tzf "$tgz" | cut -d/ -f2 | sort -u | tr '\n' ' ')
check "the .tar.gz holds bin, lib, libexec and share at its top (not $listing)" \
  '[ "$listing" = " bin lib libexec share " ] || [ "$listing" = "bin lib libexec share " ]'
for file in bin/calendario share/man/man1/calendario.1.gz share/doc/calendario/LICENSE \
    share/doc/calendario/THIRD-PARTY-NOTICES lib/systemd/user/calendario.service \
    lib/systemd/system/calendario-machine.service lib/systemd/system/calendario-machine.timer; do
  check "the .tar.gz holds $file" 'tar tzf "$tgz" | grep -q "^[^/]*/$file$"'
done
# Unpacked by root, every entry is root's, whoever built the archive: 0:0 and no names.
owners=$(tar -tvzf "$tgz" | awk '{ print $2 }' | sort -u | tr '\n' ' ')
check "every entry of the .tar.gz is owned by 0:0, with no names (not: $owners)" '[ "$owners" = "0/0 " ]'

# The RPM, made by the same cpack: what rpm says of it, its scripts, and rpmlint.
rpm_file=$(ls "$work"/out/*.rpm)
rpm_q() { rpm -qp --qf "$1" "$rpm_file" 2>/dev/null; }
check "the RPM is calendario 1.0.0, MIT, with a summary and a description of its own" \
  '[ "$(rpm_q "%{NAME} %{VERSION} %{LICENSE}")" = "calendario 1.0.0 MIT" ] &&
   [ "$(rpm_q "%{SUMMARY}")" = "Prepares one folder per calendar day" ] &&
   rpm_q "%{DESCRIPTION}" | grep -q "calendario-machine.timer, is shipped disabled"'
check "the RPM is not relocatable" '[ "$(rpm_q "%{PREFIXES}")" = "(none)" ]'
rpm_dirs=$(rpm_q '[%{FILEMODES:perms} %{FILENAMES}\n]' | awk '/^d/ { print $2 }' | tr '\n' ' ')
check "the RPM owns no folder but its own (not: $rpm_dirs)" \
  '[ "$rpm_dirs" = "/usr/libexec/calendario /usr/share/doc/calendario " ]'
rpm_files=$(rpm_q '[%{FILENAMES}\n]')
for file in /usr/bin/calendario /usr/share/man/man1/calendario.1.gz \
    /usr/lib/systemd/user/calendario.service /usr/lib/systemd/user/calendario.timer \
    /usr/lib/systemd/system/calendario-machine.service /usr/lib/systemd/system/calendario-machine.timer \
    /usr/lib/systemd/user-preset/90-calendario.preset /usr/share/doc/calendario/LICENSE; do
  check "the RPM holds $file" 'printf "%s\n" "$rpm_files" | grep -qx "$file"'
done
check "the RPM marks LICENSE as its licence, and carries no Debian changelog or copyright" \
  '[ "$(rpm -qpL "$rpm_file" 2>/dev/null)" = /usr/share/doc/calendario/LICENSE ] &&
   ! printf "%s\n" "$rpm_files" | grep -q "/usr/share/doc/calendario/\(copyright\|changelog.gz\)"'
check "the RPM has its own changelog" 'rpm -qp --changelog "$rpm_file" 2>/dev/null | grep -q "^\* .* - 1.0.0-1$"'
check "sha256sum -c SHA256SUMS passes for the packages made" \
  '(cd "$work/out" && sha256sum -c SHA256SUMS >/dev/null) &&
   [ "$(wc -l <"$work/out/SHA256SUMS")" = 3 ]'
check "the .deb declares the C library linked into the program" \
  'printf "%s\n" "$info" | grep -qx " Built-Using: glibc (= $(dpkg-query -W -f="\${source:Version}" libc6))"'
epoch=$(sed -n 's/^set(CPACK_CALENDARIO_SOURCE_DATE_EPOCH "\([0-9]*\)")$/\1/p' "$build/CPackConfig.cmake")
check "the RPM's build time is the release's ($epoch), not the build's" '[ "$(rpm_q "%{BUILDTIME}")" = "$epoch" ]'
scripts=$(rpm -qp --scripts "$rpm_file" 2>/dev/null)
check "the RPM presets the user timer on a first installation only" \
  'printf "%s\n" "$scripts" | grep -A1 "^if \[ \"\$1\" -eq 1 \]" | grep -q "systemctl --global preset calendario.timer"'
check "erasing the RPM disables the user timer and the system timer" \
  'printf "%s\n" "$scripts" | sed -n "/^preuninstall/,/^postuninstall/p" |
   grep -A6 "^if \[ \"\$1\" -eq 0 \]" | grep -q "systemctl --global disable calendario.timer" &&
   printf "%s\n" "$scripts" | grep -q "disable calendario-machine.timer"'
rpmlint_out=$(rpmlint -r "$top/packaging/rpm/rpmlintrc" "$rpm_file" 2>&1)
check "rpmlint finds no error in the RPM" \
  'printf "%s\n" "$rpmlint_out" | grep -q " 0 errors, "' || printf '%s\n' "$rpmlint_out"

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

# The service's sandbox. A per-user manager has no capabilities: a setting that needs them, or
# a user namespace (refused to unprivileged users on many systems), either stops the service
# from starting or is skipped, depending on the systemd version (systemd.exec(5) says which).
unit=$work/x/usr/lib/systemd/user/calendario.service
check "the service names the packaged program, with the options of its setting" \
  'grep -qx "ExecStart=/usr/bin/calendario \${CALENDARIO_OPTIONS}" "$unit"'
check "a stuck start of the service is ended (TimeoutStartSec)" 'grep -qE "^TimeoutStartSec=[1-9]" "$unit"'
needs=$(grep -E '^(CapabilityBoundingSet|AmbientCapabilities|Private[A-Za-z]*|Protect[A-Za-z]*|ProcSubset|ReadOnlyPaths|ReadWritePaths|InaccessiblePaths|ExecPaths|NoExecPaths|TemporaryFileSystem|BindPaths|BindReadOnlyPaths|RootDirectory|RootImage|MountAPIVFS|IPAddressAllow|IPAddressDeny|DevicePolicy|DeviceAllow|RestrictFileSystems|NetworkNamespacePath|IPCNamespacePath|RemoveIPC|User|Group|DynamicUser)=' "$unit")
check "the service asks for nothing a user manager cannot give (not: $needs)" '[ -z "$needs" ]'
# As systemd rates it (10 is no sandbox at all): 5.9 with systemd 252, a little more with
# later versions, which rate more settings.
exposure=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null |
           sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
check "the service's exposure is 6.1 or less (it is ${exposure:-unknown})" \
  'awk -v e="${exposure:-99}" "BEGIN { exit !(e <= 6.1) }"'
# The system service, which a system manager can sandbox whole: at most 2.0 (a bare
# DynamicUser= service rates 8.4).
machine_unit=$work/x/usr/lib/systemd/system/calendario-machine.service
exposure=$(systemd-analyze security --offline=yes "$machine_unit" 2>/dev/null |
           sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
check "the system service's exposure is 2.0 or less (it is ${exposure:-unknown})" \
  'awk -v e="${exposure:-99}" "BEGIN { exit !(e <= 2.0) }"'
check "the system service runs the packaged program as a dynamic user, drive C in its state" \
  'grep -qx "ExecStart=/usr/bin/calendario \${CALENDARIO_OPTIONS}" "$machine_unit" && grep -qx "DynamicUser=yes" "$machine_unit" &&
   grep -qx "StateDirectory=calendario" "$machine_unit" &&
   grep -qx "Environment=XDG_DATA_HOME=%S/calendario" "$machine_unit"'
# Both services stop what a run left (a worker waiting on a share) shortly after SIGTERM.
check "both services say how a stop ends what a run left" \
  'grep -qx "KillMode=control-group" "$unit" && grep -qx "TimeoutStopSec=10s" "$unit" &&
   grep -qx "KillMode=control-group" "$machine_unit" && grep -qx "TimeoutStopSec=10s" "$machine_unit"'

# Every shell script of the tree passes shellcheck.
scripts=$(cd "$top" && git ls-files | while read -r f; do
  case $f in *.sh) echo "$f" ;; *) head -n 1 "$f" 2>/dev/null | grep -q '^#!.*sh' && echo "$f" ;; esac
done)
sc_out=$(cd "$top" && printf '%s\n' "$scripts" | xargs shellcheck 2>&1)
check "shellcheck finds nothing in the shell scripts" '[ -z "$sc_out" ]' || printf '%s\n' "$sc_out"

# A real user manager, as a user's first log-in starts one: a throwaway user with a runtime
# folder and a systemd --user of its own. On a machine that systemd runs, that is
# user@UID.service; elsewhere (a container) the manager is started here, in a cgroup delegated
# to the user, with /run/systemd/system present while it runs, without which it will not start.
um_name=calcheck$$ um_uid="" um_pid="" um_cgroups="" um_made=""
um_systemd=/usr/lib/systemd/systemd
as_user() {
  setpriv --reuid "$um_uid" --regid "$um_gid" --init-groups \
    env HOME="$um_home" XDG_RUNTIME_DIR="/run/user/$um_uid" "$@"
}
um_start() {
  [ -x "$um_systemd" ] || { um_why="no $um_systemd"; return 1; }
  if [ -d /run/systemd/system ] && [ "$(cat /proc/1/comm)" = systemd ]; then
    useradd --create-home --user-group "$um_name" || { um_why="useradd failed"; return 1; }
    um_uid=$(id -u "$um_name") um_gid=$(id -g "$um_name")
    um_home=$(getent passwd "$um_name" | cut -d: -f6)
    systemctl start "user@$um_uid.service" || { um_why="user@$um_uid.service did not start"; return 2; }
  else
    if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
      hierarchies=/sys/fs/cgroup
    else
      hierarchies=$(ls -d /sys/fs/cgroup/systemd /sys/fs/cgroup/unified 2>/dev/null)
    fi
    for h in $hierarchies; do
      mkdir "$h/$um_name" 2>/dev/null || { um_why="no cgroup can be made in $h"; um_stop; return 1; }
      um_cgroups="$um_cgroups $h/$um_name"
    done
    [ -n "$um_cgroups" ] || { um_why="no cgroup hierarchy to delegate"; return 1; }
    useradd --create-home --user-group "$um_name" || { um_why="useradd failed"; um_stop; return 1; }
    um_uid=$(id -u "$um_name") um_gid=$(id -g "$um_name")
    um_home=$(getent passwd "$um_name" | cut -d: -f6)
    # Delegation, as the kernel's cgroup documentation describes it: the folder and the files
    # that move processes and enable controllers belong to the user.
    for cg in $um_cgroups; do
      for f in "$cg" "$cg/cgroup.procs" "$cg/cgroup.threads" "$cg/cgroup.subtree_control" "$cg/tasks"; do
        [ -e "$f" ] && chown "$um_uid:$um_gid" "$f"
      done
    done
    # What is made here is removed again, the last made first.
    for d in /run/systemd /run/systemd/system /run/user; do
      [ -d "$d" ] || { mkdir "$d" && um_made="$d $um_made"; }
    done
    install -d -m 700 -o "$um_uid" -g "$um_gid" "/run/user/$um_uid"
    # The shell moves itself into the cgroups and becomes the manager: $$ is the manager's pid.
    # shellcheck disable=SC2086 # um_cgroups is a list of paths without blanks, split on purpose
    UM_UID=$um_uid UM_GID=$um_gid UM_SYSTEMD=$um_systemd sh -c '
      for cg do echo $$ >"$cg/cgroup.procs" || exit 1; done
      exec setpriv --reuid "$UM_UID" --regid "$UM_GID" --init-groups --reset-env \
        env XDG_RUNTIME_DIR="/run/user/$UM_UID" "$UM_SYSTEMD" --user' sh $um_cgroups \
      </dev/null >"$work/manager.log" 2>&1 &
    um_pid=$!
  fi
  tries=0
  until state=$(as_user systemctl --user is-system-running 2>/dev/null) ||
        [ "$state" = degraded ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || { um_why="the manager did not come up: ${state:-no answer}"; return 2; }
    sleep 0.2
  done
}
um_stop() {
  if [ -n "$um_pid" ]; then
    kill "$um_pid" 2>/dev/null
    tries=0
    while kill -0 "$um_pid" 2>/dev/null && [ "$tries" -lt 50 ]; do tries=$((tries + 1)); sleep 0.2; done
    # What the manager left in its cgroups (none, when it stops as it should).
    for cg in $um_cgroups; do
      find "$cg" -name cgroup.procs -exec cat {} + 2>/dev/null | while read -r pid; do
        kill -9 "$pid" 2>/dev/null
      done
    done
    sleep 0.2
  elif [ -n "$um_uid" ]; then
    systemctl stop "user@$um_uid.service" 2>/dev/null
  fi
  for cg in $um_cgroups; do find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null; done
  [ -n "$um_uid" ] && { rm -rf "/run/user/$um_uid"; userdel -r "$um_name" 2>/dev/null; }
  for made in $um_made; do rmdir "$made"; done
  um_pid="" um_uid="" um_cgroups="" um_made=""
}

# A real system manager, as a machine's boot starts one: systemd as the first process of a
# container (systemd-nspawn) whose /usr is this machine's, with the package installed in it, and
# whose /etc enables nothing; it boots into a probe that starts the system units and writes
# down what it found. Where no container can be booted, the system service's command is run as
# the unit runs it instead: under a user id that no account has, with only its environment.
sm_root=$work/machine
sm_boot() {
  command -v systemd-nspawn >/dev/null || { sm_why="no systemd-nspawn"; return 1; }
  if [ ! -e "$sm_root/etc/machine-id" ]; then
    for d in usr var/lib/dpkg var/log tmp run root proc sys dev out etc/systemd/system home srv; do
      mkdir -p "$sm_root/$d"
    done
    for d in bin sbin lib lib64; do ln -s "usr/$d" "$sm_root/$d"; done
    cp /usr/lib/os-release "$sm_root/etc/os-release"
    cp -P /etc/passwd /etc/group /etc/shadow /etc/gshadow /etc/nsswitch.conf /etc/localtime \
      /etc/login.defs "$sm_root/etc/" 2>/dev/null
    # What a user's manager logs in with (user@.service: PAM's systemd-user).
    cp -rP /etc/pam.d /etc/security "$sm_root/etc/"
    # A machine that has booted before: a first boot would apply the default presets to every
    # unit installed, as no installation of a package does.
    tr -d '-' </proc/sys/kernel/random/uuid >"$sm_root/etc/machine-id"
    printf '%s\n' '[Service]' Type=oneshot 'ExecStart=/bin/sh /probe' \
      'ExecStartPost=/bin/systemctl poweroff --no-block' >"$sm_root/etc/systemd/system/probe.service"
  fi
  cp "$1" "$sm_root/probe"
  rm -f "$sm_root/out/result"
  cp "$deb" "$rpm_file" "$sm_root/out/"
  # The README's drop-in for the system service, as it stands.
  sed -n '/^sudo systemctl edit calendario-machine.service$/,/^```$/p' "$top/README.md" |
    sed -n 's/^# //p' >"$sm_root/out/recipe.conf"
  # What systemd-nspawn leaves in /run/systemd, when it was not there before, goes again.
  sm_made=""
  for d in /run/systemd/nspawn /run/systemd/nspawn-root; do [ -e "$d" ] || sm_made="$sm_made $d"; done
  # /usr and dpkg's database are this namespace's overlays, so that packages can be installed
  # in the container as on a machine.
  timeout 180 systemd-nspawn --quiet --directory="$sm_root" --bind=/usr --bind=/var/lib/dpkg \
    --bind="$sm_root/out:/out" --register=no --link-journal=no --keep-unit --console=pipe \
    --boot -- systemd.unit=probe.service systemd.firstboot=off </dev/null >"$work/nspawn.log" 2>&1 ||
    { sm_why="systemd-nspawn could not boot a container: $(tail -n 1 "$work/nspawn.log")"; sm_clean; return 1; }
  sm_clean
  [ -n "${CALENDARIO_KEEP:-}" ] && cp -r "$sm_root/out" "$CALENDARIO_KEEP"
  [ -s "$sm_root/out/result" ] || { sm_why="the container wrote nothing"; return 2; }
}
# The probes: what runs in the container, writing "name=value" lines to /out/result.
cat >"$work/probe-deb" <<'PROBE'
day=/var/lib/private/calendario/calendario/drives/c/tmpCalendario/$(date +%Y%m%d)
{
  echo "shipped=$(systemctl is-enabled calendario-machine.timer)"
  systemctl enable --now calendario-machine.timer >/dev/null 2>&1
  echo "timer=$(systemctl is-active calendario-machine.timer)"
  echo "calendar=$(systemctl show -p TimersCalendar --value calendario-machine.timer)"
  echo "persistent=$(systemctl show -p Persistent --value calendario-machine.timer)"
  systemctl start calendario-machine.service
  echo "result=$(systemctl show -p Result --value calendario-machine.service)"
  echo "status=$(systemctl show -p ExecMainStatus --value calendario-machine.service)"
  echo "owner=$(stat -c %u "$day/Mirror.txt")"
  echo "account=$(getent passwd "$(stat -c %u "$day/Mirror.txt")")"
  echo "private=$(stat -c %a /var/lib/private)"
  echo "report=$(ls /var/lib/calendario/calendario/drives/c/Informes/InformeMorvane.txt)"

  # A failed run puts its report lines in the journal, and a failed run that wrote none puts
  # none there, older ones included.
  dropins=/run/systemd/system/calendario-machine.service.d
  mkdir -p $dropins
  printf '%s\n' '[Service]' 'Environment=CALENDARIO_OPTIONS=-RCQ:\\Falta' >$dropins/options.conf
  systemctl daemon-reload
  systemctl start calendario-machine.service
  echo "failed=$(systemctl show -p ExecMainStatus --value calendario-machine.service)"
  printf '%s\n' '[Service]' 'Environment="CALENDARIO_OPTIONS=-RCQ:\\Otra -INno"' >$dropins/options.conf
  systemctl daemon-reload
  systemctl start calendario-machine.service
  echo "unreported=$(systemctl show -p ExecMainStatus --value calendario-machine.service)"
  # The README's drop-in: options, a host folder as drive D:, files a group can read.
  groupadd --system calendario && useradd --no-create-home --groups calendario lector
  mkdir -p /srv/datos && chgrp calendario /srv/datos && chmod 2770 /srv/datos
  cp /out/recipe.conf $dropins/options.conf
  systemctl daemon-reload
  systemctl start calendario-machine.service
  echo "recipe=$(systemctl show -p Result --value calendario-machine.service) $(systemctl show -p ExecMainStatus --value calendario-machine.service)"
  echo "shared=$(setpriv --reuid=lector --regid=lector --init-groups cat "/srv/datos/Datos/$(date +%Y%m%d)/Mirror.txt" | tr -d '\r')"
  rm -r $dropins
  systemctl daemon-reload
  journalctl -u calendario-machine.service -o cat --no-pager >/out/journal 2>&1
  # A lingering user's manager, with the timer the package enabled.
  useradd --create-home calcheck
  uid=$(id -u calcheck)
  systemctl start dbus.socket systemd-logind.service
  loginctl enable-linger calcheck
  systemctl start "user@$uid.service"
  u() { XDG_RUNTIME_DIR=/run/user/$uid setpriv --reuid=calcheck --regid=calcheck --init-groups systemctl --user "$@"; }
  mkdir -p /home/calcheck/.config/systemd/user/calendario.service.d
  printf '%s\n' '[Service]' 'Environment=CALENDARIO_OPTIONS=-RCQ:\\Falta' \
    >/home/calcheck/.config/systemd/user/calendario.service.d/options.conf
  u daemon-reload
  u start calendario.service
  echo "user_failed=$(u show -p ExecMainStatus --value calendario.service)"
  # The lines reach the journal through a stream of their own, which may lag a little.
  tries=0
  until journalctl _SYSTEMD_USER_UNIT=calendario.service -o cat --no-pager >/out/user-journal 2>&1 &&
        grep -q Falta /out/user-journal || [ "$tries" -ge 20 ]; do
    tries=$((tries + 1)); sleep 0.25
  done
  rm -r /home/calcheck/.config/systemd/user/calendario.service.d
  u daemon-reload
  # An installation (here over the same version, as an upgrade runs) while the user's manager
  # runs with an older unit: the manager loads the new one, and the timer is (re)started.
  echo '# older' >>/usr/lib/systemd/user/calendario.service
  echo "stale=$(u show -p NeedDaemonReload --value calendario.service)"
  started=$(u show -p ActiveEnterTimestampMonotonic --value calendario.timer)
  sleep 1
  dpkg -i /out/calendario_1.0.0_amd64.deb >/out/dpkg.log 2>&1
  echo "upgraded=$(u show -p NeedDaemonReload --value calendario.service) $(u is-active calendario.timer)"
  [ "$(u show -p ActiveEnterTimestampMonotonic --value calendario.timer)" != "$started" ] && echo restarted=yes
  # A removal stops it in the user's manager.
  dpkg -r calendario >>/out/dpkg.log 2>&1
  echo "removed=$(u is-active calendario.timer)"
  dpkg -i /out/calendario_1.0.0_amd64.deb >>/out/dpkg.log 2>&1
  systemctl stop "user@$uid.service"
} >/out/result 2>&1
PROBE
# The RPM in the container, with its own database, beside the user's manager.
cat >"$work/probe-rpm" <<'PROBE'
{
  uid=$(id -u calcheck)
  systemctl start dbus.socket systemd-logind.service "user@$uid.service"
  u() { XDG_RUNTIME_DIR=/run/user/$uid setpriv --reuid=calcheck --regid=calcheck --init-groups systemctl --user "$@"; }
  rpm -i --nodeps --force-debian /out/calendario-1.0.0-1.x86_64.rpm >/out/rpm.log 2>&1
  echo "rpm_timer=$(u is-active calendario.timer)"
  rpm -e calendario >>/out/rpm.log 2>&1
  echo "rpm_erased=$(u is-active calendario.timer) $(test -e /usr/bin/calendario && echo left || echo gone)"
  systemctl stop "user@$uid.service"
} >/out/result 2>&1
PROBE
sm_clean() { for d in $sm_made; do rm -rf "$d"; done; }
found() { sed -n "s/^$1=//p" "$sm_root/out/result"; }

# Installed for real, as root: the program runs, its units verify, the timer is enabled for
# every user and starts in a user's manager, and the service it starts makes today's folder.
# A removal keeps that enablement, as debhelper's packages do, and a purge removes it: the
# package is purged, and so installed afresh, on every run.
if [ "$(id -u)" = 0 ] && ! dpkg-query -W -f='${db:Status-Abbrev}' calendario 2>/dev/null | grep -q '^.i'; then
  dpkg -P calendario >/dev/null 2>&1
  link=/etc/systemd/user/timers.target.wants/calendario.timer
  machine_link=/etc/systemd/system/timers.target.wants/calendario-machine.timer
  trap 'um_stop; rm -rf "$work"' EXIT
  trap 'exit 1' HUP INT TERM
  if dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    ok
    XDG_DATA_HOME="$work/home" /usr/bin/calendario
    check "the installed program exits 0" '[ $? -eq 0 ]'
    check "the installed program made today's folder" \
      '[ -f "$work/home/calendario/drives/c/tmpCalendario/$(date +%Y%m%d)/Mirror.txt" ]'
    check "man finds the installed page" 'man -w calendario >/dev/null 2>&1'
    check "the installed program says its version" 'strings /usr/bin/calendario | grep -qx "calendario 1.0.0"'
    check "the installed units verify" \
      'systemd-analyze verify /usr/lib/systemd/user/calendario.service /usr/lib/systemd/user/calendario.timer &&
       systemd-analyze verify /usr/lib/systemd/system/calendario-machine.service \
         /usr/lib/systemd/system/calendario-machine.timer'
    check "the package enables the timer for every user" \
      '[ "$(systemctl --global is-enabled calendario.timer 2>&1)" = enabled ] && [ -L "$link" ]'
    check "the package leaves the system timer disabled" '[ ! -e "$machine_link" ] && [ ! -L "$machine_link" ]'

    sm_boot "$work/probe-deb"; booted=$?
    if [ "$booted" -eq 0 ]; then
      ok
      check "the system manager finds the system timer disabled (not: $(found shipped))" \
        '[ "$(found shipped)" = disabled ]'
      check "systemctl enable --now starts the system timer, daily at 06:00, catching up" \
        '[ "$(found timer)" = active ] && [ "$(found persistent)" = yes ] &&
         found calendar | grep -qF "OnCalendar=*-*-* 06:00:00"'
      check "the system service ended well (result $(found result), status $(found status))" \
        '[ "$(found result)" = success ] && [ "$(found status)" = 0 ]'
      check "it made today's folder as a dynamic user, whom no account names (uid $(found owner))" \
        '[ "$(found owner)" -ge 61184 ] && [ "$(found owner)" -le 65519 ] && [ -z "$(found account)" ]'
      check "its report lies where only root may read it" \
        '[ "$(found private)" = 700 ] && [ -n "$(found report)" ]'
      day=$(date +%Y%m%d)
      check "a failed run of the system service puts its report lines in the journal" \
        '[ "$(found failed)" = 1 ] && grep -q "||  Error al crear la carpeta Q:\\\\Falta\\\\$day$" "$sm_root/out/journal"' ||
        cat "$sm_root/out/journal"
      check "a failed run that wrote no report line puts none there, and no older one again" \
        '[ "$(found unreported)" = 1 ] && ! grep -q "Otra" "$sm_root/out/journal" &&
         [ "$(grep -c "Error al crear la carpeta Q:" "$sm_root/out/journal")" = 1 ]'
      check "the drop-in of the README makes the folder of the day in the host folder it binds (not: $(found recipe))" \
        '[ "$(found recipe)" = "success 0" ] && [ -f "$sm_root/srv/datos/Datos/$day/Mirror.txt" ]'
      check "a member of the group of the drop-in reads the files (not: $(found shared))" '[ "$(found shared)" = "$day" ]'
      check "a failed run of the user service puts its report lines in the journal" \
        '[ "$(found user_failed)" = 1 ] && grep -q "Error al crear la carpeta Q:\\\\Falta" "$sm_root/out/user-journal"' ||
        cat "$sm_root/out/user-journal"
      check "installing while a user manager runs reloads its units and (re)starts the timer there (not: $(found stale), $(found upgraded))" \
        '[ "$(found stale)" = yes ] && [ "$(found upgraded)" = "no active" ] && [ "$(found restarted)" = yes ]' ||
        cat "$sm_root/out/dpkg.log"
      check "removing the .deb stops the timer in a running user manager (not: $(found removed))" \
        '[ "$(found removed)" = inactive ]'
    elif [ "$booted" -eq 1 ]; then
      # As the unit runs it: a user id no account has, no groups, no environment but its own.
      uid=61900; while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
      state=$work/state/calendario
      install -d -m 700 -o "$uid" -g "$uid" "$state"
      check "the system service's command runs under a user id no account has" \
        'setpriv --reuid="$uid" --regid="$uid" --clear-groups env -i XDG_DATA_HOME="$state" /usr/bin/calendario &&
         [ "$(stat -c %u "$state/calendario/drives/c/tmpCalendario/$(date +%Y%m%d)/Mirror.txt")" = "$uid" ]'
      echo "SKIPPED: a system manager cannot run here ($sm_why): its command was run as the unit would run it"
    else
      cat "$work/nspawn.log"; bad "a system manager boots ($sm_why)"
    fi

    um_start; started=$?
    if [ "$started" -eq 0 ]; then
      ok
      check "the user's manager has the timer enabled" \
        '[ "$(as_user systemctl --user is-enabled calendario.timer 2>&1)" = enabled ]'
      check "the user's manager started the timer when it started" \
        'as_user systemctl --user is-active --quiet calendario.timer'
      check "systemctl --user start runs the installed service" \
        'as_user systemctl --user start calendario.service' ||
        as_user systemctl --user status --no-pager calendario.service
      result=$(as_user systemctl --user show -p Result --value calendario.service)
      status=$(as_user systemctl --user show -p ExecMainStatus --value calendario.service)
      check "the service ended well (result $result, status $status)" \
        '[ "$result" = success ] && [ "$status" = 0 ]'
      check "the service made today's folder in the user's home" \
        '[ -f "$um_home/.local/share/calendario/drives/c/tmpCalendario/$(date +%Y%m%d)/Mirror.txt" ]'
      check "the user's systemctl --user disable leaves the timer enabled" \
        'as_user systemctl --user disable calendario.timer >/dev/null 2>&1;
         [ "$(as_user systemctl --user is-enabled calendario.timer 2>&1)" = enabled ]'
      check "the user's systemctl --user mask opts the user out" \
        'as_user systemctl --user mask calendario.timer >/dev/null 2>&1 &&
         [ "$(as_user systemctl --user is-enabled calendario.timer 2>&1)" = masked ]'
    elif [ "$started" -eq 1 ]; then
      echo "SKIPPED: a user manager cannot run here ($um_why): the service was not started"
    else
      cat "$work/manager.log" 2>/dev/null; bad "a user manager starts ($um_why)"
    fi
    um_stop

    dpkg -r calendario >/dev/null 2>&1
    check "the package removes cleanly" '[ ! -e /usr/bin/calendario ]'
    check "removing it leaves the user's folders" \
      '[ -d "$work/home/calendario/drives/c/tmpCalendario" ]'
    check "removing it keeps the enablement for a later install" '[ -L "$link" ]'
    dpkg -P calendario >/dev/null 2>&1
    check "purging it removes the enablement" \
      '[ ! -e "$link" ] && [ ! -L "$link" ] && ! ls /var/lib/systemd/deb-systemd-user-helper-enabled/ 2>/dev/null | grep -q calendario'
    check "purging it leaves nothing of the package" '! dpkg-query -W calendario >/dev/null 2>&1'

    # An administrator's opt-out for every user is kept by the next upgrade, and so is the
    # enablement of the system timer, which a purge removes.
    dpkg -i "$deb" >/dev/null 2>&1 && systemctl --global disable calendario.timer >/dev/null 2>&1
    systemctl enable calendario-machine.timer >/dev/null 2>&1
    dpkg -i "$deb" >/dev/null 2>&1
    check "systemctl --global disable survives an upgrade" \
      '[ "$(systemctl --global is-enabled calendario.timer 2>&1)" = disabled ]'
    check "systemctl enable of the system timer survives an upgrade" '[ -L "$machine_link" ]'
    dpkg -P calendario >/dev/null 2>&1
    check "purging it removes the system timer's enablement" '[ ! -e "$machine_link" ] && [ ! -L "$machine_link" ]'
  else
    cat "$work/dpkg.log"; bad "dpkg -i"
  fi
  # The .tar.gz unpacked into /usr/local as its README says: a working tree, whose timer
  # systemctl --global enables, and which is removed again file by file.
  # The README's line is taken as it stands. Run first into a prefix whose folders are made as
  # Debian makes /usr/local's (setgid, group staff): they must stay as they were.
  untar=$(sed -n 's/^sudo \(tar -xzf calendario-1\.0\.0-linux-x86_64\.tar\.gz -C \/usr\/local .*\)$/\1/p' "$top/README.md")
  check "the README's .tar.gz line keeps existing folders as they are (--no-overwrite-dir)" \
    'case $untar in *--no-overwrite-dir*) true ;; *) false ;; esac'
  prefix=$work/prefix
  for d in "$prefix" "$prefix/bin" "$prefix/lib" "$prefix/share"; do
    install -d -m 2775 -o root -g staff "$d"
  done
  untar_in() { (cd "$(dirname "$tgz")" && eval "$(printf '%s' "$untar" | sed "s|/usr/local|$1|")"); }
  untar_in "$prefix"
  kept=$(stat -c '%a %U:%G' "$prefix/bin" "$prefix/lib" "$prefix/share" | sort -u)
  check "unpacking it keeps the folders that were there (not: $kept)" '[ "$kept" = "2775 root:staff" ] &&
    [ -x "$prefix/bin/calendario" ]'
  if [ ! -e /usr/local/bin/calendario ]; then
    untar_in /usr/local
    XDG_DATA_HOME="$work/local" /usr/local/bin/calendario
    check "the unpacked program runs" '[ $? -eq 0 ]'
    check "the unpacked unit names /usr/local/bin/calendario" \
      'grep -qx "ExecStart=/usr/local/bin/calendario \${CALENDARIO_OPTIONS}" /usr/local/lib/systemd/user/calendario.service'
    check "the unpacked units verify" 'MANPATH=/usr/local/share/man systemd-analyze verify \
      /usr/local/lib/systemd/user/calendario.service /usr/local/lib/systemd/user/calendario.timer \
      /usr/local/lib/systemd/system/calendario-machine.service /usr/local/lib/systemd/system/calendario-machine.timer'
    check "systemctl --global enable enables the unpacked timer for every user" \
      'systemctl --global enable calendario.timer >/dev/null 2>&1 &&
       [ "$(readlink /etc/systemd/user/timers.target.wants/calendario.timer)" = /usr/local/lib/systemd/user/calendario.timer ]'
    systemctl --global disable calendario.timer >/dev/null 2>&1
    tar -tzf "$tgz" | grep -v '/$' | cut -d/ -f2- | (cd /usr/local && xargs rm -f --)
    check "removing the files it lists leaves nothing of it" \
      '[ ! -e /usr/local/bin/calendario ] && [ ! -e /usr/local/lib/systemd/user/calendario.timer ]'
  fi
  # The RPM, installed by rpm itself (Debian's keeps a database of its own and is told to
  # install anyway): its scripts preset the user timer on the first installation only, leave
  # the system timer disabled, and disable both when the package is erased.
  if [ ! -e /usr/bin/calendario ] && ! rpm -q calendario >/dev/null 2>&1; then
    rpm_do() { rpm --force-debian --nodeps "$@" >"$work/rpm.log" 2>&1 || { cat "$work/rpm.log"; false; }; }
    check "rpm installs the RPM" 'rpm_do -i "$rpm_file"'
    check "the RPM's program runs" 'XDG_DATA_HOME="$work/rpm" /usr/bin/calendario'
    check "its first installation enables the user timer for every user, as its preset says" \
      '[ "$(readlink "$link")" = /usr/lib/systemd/user/calendario.timer ]'
    check "it leaves the system timer disabled" '[ ! -e "$machine_link" ] && [ ! -L "$machine_link" ]'
    systemctl --global disable calendario.timer >/dev/null 2>&1
    check "an upgrade presets nothing: an administrator's disable stays" \
      'rpm_do -U --replacepkgs "$rpm_file" && [ ! -e "$link" ] && [ ! -L "$link" ]'
    systemctl --global enable calendario.timer >/dev/null 2>&1
    systemctl enable calendario-machine.timer >/dev/null 2>&1
    check "erasing it disables both timers and leaves none of its files" \
      'rpm_do -e calendario && [ ! -L "$link" ] && [ ! -L "$machine_link" ] && [ ! -e /usr/bin/calendario ] &&
       [ ! -e /usr/lib/systemd/user-preset/90-calendario.preset ]'
    # Beside a user's running manager, in the container the .deb was tried in.
    if [ "${booted:-1}" -eq 0 ]; then
      if sm_boot "$work/probe-rpm"; then
        check "the RPM starts the timer in a running user manager (not: $(found rpm_timer))" \
          '[ "$(found rpm_timer)" = active ]' || cat "$sm_root/out/rpm.log"
        check "erasing the RPM stops the timer in a running user manager (not: $(found rpm_erased))" \
          '[ "$(found rpm_erased)" = "inactive gone" ]' || cat "$sm_root/out/rpm.log"
      else
        cat "$work/nspawn.log"; bad "a system manager boots again ($sm_why)"
      fi
    fi
  fi
else
  echo "not root, or calendario installed on this machine: dpkg -i not tried"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
