#!/usr/bin/env bash
# Prints one table of calendario's costs beside the references in bench/anchors (or
# $ANCHORS): minimal.c, the same run in the fewest system calls, and daily.sh, the same job as
# a shell script. Timings are not tests: absolute times vary from machine to machine, and the
# ratios, measured side by side in one run, are what the goals are about.
#   bench/run.sh            everything (a few minutes)
#   RUNS=100 bench/run.sh   fewer repetitions
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
anchors=${ANCHORS:-$top/bench/anchors}
runs=${RUNS:-300}

need=""
for tool in hyperfine strace gcc; do command -v "$tool" >/dev/null || need="$need $tool"; done
[ -x /usr/bin/time ] || need="$need time"
if [ -n "$need" ]; then
  # shellcheck disable=SC2086 # one package name a word
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi
tools/install-deps.sh >/dev/null
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gcc -O2 -static "$anchors/minimal.c" -o "$work/minimal"
ours=$top/out/release/calendario
export XDG_DATA_HOME=$work/data
c=$work/data/calendario/drives/c
stamp=$(date +%Y%m%d)

rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 |"); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# Median wall time in milliseconds of each command, in the order given.
medians() {
  hyperfine -N --warmup 10 --runs "$runs" --export-csv "$work/h.csv" "$@" >/dev/null 2>&1
  awk -F, 'NR > 1 { printf "%.3f\n", $4 * 1000 }' "$work/h.csv"
}
calls() { strace -f -c -o "$work/s.txt" "$@" >/dev/null 2>&1; awk '/total/ { print $4 }' "$work/s.txt"; }
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }

gcc -O2 "$top/bench/paired.c" -o "$work/paired"
# Medians of paired runs: each round runs both commands, taking turns at going first.
#   paired RUNS [-p PREPARE_A] [-q PREPARE_B] -- A... -- B...   prints: A B median-ratio
paired() { "$work/paired" "$@"; }

# 1. A default run with the report log on, on a tree the day's first run has made, and the
# day's first run itself (today's folder and its mirror file made), beside minimal.c: on the
# work folder's disk, and on a tmpfs where one can be mounted.
first_and_second() {  # $1: a folder on the disk to measure; $2: its name in the table
  local at=$1 name=$2
  export XDG_DATA_HOME=$at/data
  local cc=$at/data/calendario/drives/c
  mkdir -p "$at/m/root" "$at/m/Informes"
  "$ours"; "$work/minimal" "$at/m/root" "$at/m/Informes"
  read -r o m r < <(paired "$runs" -- "$ours" -- "$work/minimal" "$at/m/root" "$at/m/Informes")
  row "second run of a day, $name, median wall time (ms)" "$o" "minimal.c $m" "$r" "≤ 1.25"
  read -r o m r < <(paired "$runs" -p "rm -rf $cc/tmpCalendario/$stamp" -q "rm -rf $at/m/root/$stamp" \
    -- "$ours" -- "$work/minimal" "$at/m/root" "$at/m/Informes")
  row "day's first run, $name, median wall time (ms)" "$o" "minimal.c $m" "$r" "≤ 1.3"
  export XDG_DATA_HOME=$work/data
}
first_and_second "$work" "disk"
mkdir -p "$work/tmpfs"
if mount -t tmpfs -o size=64m tmpfs "$work/tmpfs" 2>/dev/null; then
  first_and_second "$work/tmpfs" "tmpfs"
  umount "$work/tmpfs"
fi
"$ours"
mkdir -p "$work/m/root" "$work/m/Informes" "$work/s/root" "$work/s/Informes"
"$work/minimal" "$work/m/root" "$work/m/Informes"
sh "$anchors/daily.sh" "$work/s/root" "$work/s/Informes"
read -r o d r < <(paired 50 -- "$ours" -- sh "$anchors/daily.sh" "$work/s/root" "$work/s/Informes")
row "default run against daily.sh (ms)" "$o" "daily.sh $d" "$r" "far below 1"
sc=$(calls "$ours"); sm=$(calls "$work/minimal" "$work/m/root" "$work/m/Informes")
row "system calls, second run of a day" "$sc" "minimal.c $sm" "$(ratio "$sc" "$sm")" "≤ 58 calls"
rm -rf "$c/tmpCalendario/$stamp"; sc=$(calls "$ours")
rm -rf "$work/m/root/$stamp"; sm=$(calls "$work/minimal" "$work/m/root" "$work/m/Informes")
row "system calls, day's first run" "$sc" "minimal.c $sm" "$(ratio "$sc" "$sm")" "≤ 62 calls"
mo=$(peak_kib "$ours"); mm=$(peak_kib "$work/minimal" "$work/m/root" "$work/m/Informes")
row "peak memory (KiB)" "$mo" "minimal.c $mm" "$(ratio "$mo" "$mm")" "≤ 1536 KiB"
size=$(stat -c %s "$ours")
row "size of calendario (bytes)" "$size" "minimal $(stat -c %s "$work/minimal")" "" ""
if [ -f out/windows/calendario.exe ]; then
  row "size of calendario.exe (bytes)" "$(stat -c %s out/windows/calendario.exe)" "" "" ""
fi

# 2. Deep roots, against GNU mkdir -p on the same levels. Every timed command makes a fresh
# tree of its own, the two commands take turns at going first, and nothing is removed until
# all rounds are over: a removal just before a command would be paid for by that command. The
# ratio is the median of each round's ratio, so a disk that slows as the trees pile up slows
# both sides of a pair alike.
TIMEFORMAT='%3R %3U'
# Wall and user time of one command, in seconds.
timed() { { time "$@" >/dev/null 2>&1; } 2>&1 | tail -n 1; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
deep_rounds=${DEEP_ROUNDS:-9}
declare -A user
for shape in a:1000 a:4000 a:16000 ab.:4000; do
  level=${shape%%:*} levels=${shape#*:}
  : > "$work/ours"; : > "$work/mk"; : > "$work/pair"; user[$shape]=0
  for round in $(seq "$deep_rounds"); do
    root="C:\\deep-$level-$levels-$round" host="$work/mk-$level-$levels-$round"
    root+=$(printf "\\\\$level%.0s" $(seq "$levels"))
    # Windows makes a last level "ab." as "ab", and reads "ab." with more after it as "ab".
    host+=$(printf "/${level%.}%.0s" $(seq "$levels"))
    if (( round % 2 )); then
      o=$(timed "$ours" -INno "-RC$root"); m=$(timed mkdir -p "$host/$stamp")
    else
      m=$(timed mkdir -p "$host/$stamp"); o=$(timed "$ours" -INno "-RC$root")
    fi
    echo "${o% *}" >> "$work/ours"; echo "${m% *}" >> "$work/mk"
    ratio "${o% *}" "${m% *}" >> "$work/pair"; echo >> "$work/pair"
    user[$shape]=$(awk -v a="${user[$shape]}" -v b="${o#* }" 'BEGIN { print a + b }')
  done
  row "root of $levels levels of \`$level\` ($(( ${#root} + 9 )) characters), ms" \
    "$(ms "$(median < "$work/ours")")" "mkdir -p $(ms "$(median < "$work/mk")")" \
    "$(median < "$work/pair")" "≤ 1"
done
# User time is sampled at the scheduler's tick: summed over every round, it is a fair figure.
row "user time, 16000 levels against 4000, all rounds (s)" "${user[a:16000]}" \
  "${user[a:4000]} at 4000" "$(ratio "${user[a:16000]}" "$(awk -v u="${user[a:4000]}" 'BEGIN { print (u > 0 ? u : 0.001) }')")" "≤ 6"
rm -rf "$c/deep-"* "$work/mk-"*
root="C:\\deep"$(printf '\\a%.0s' $(seq 16000))
row "peak memory, 16000 levels (KiB)" "$(peak_kib "$ours" -INno "-RC$root")" "" "" "< 4096 KiB"
rm -rf "$c/deep"

# 3. Flat in file size: a mirror file of 100 MB, a report file at 9999 bytes.
mkdir -p "$c/grande/$stamp" "$c/vacio/$stamp"
head -c 100000000 /dev/zero > "$c/grande/$stamp/Mirror.txt"
: > "$c/vacio/$stamp/Mirror.txt"
mapfile -t t < <(medians "$ours -INno '-RCC:\grande'" "$ours -INno '-RCC:\vacio'")
row "mirror file of 100 MB (ms)" "${t[0]}" "empty ${t[1]}" "$(ratio "${t[0]}" "${t[1]}")" "≤ 1.1"
mkdir -p "$c/lleno" "$c/poco"
mapfile -t t < <(hyperfine -N --warmup 10 --runs "$runs" --export-csv "$work/h.csv" \
    --prepare "sh -c 'head -c 9999 /dev/zero > $c/lleno/InformeMorvane.txt'" "$ours '-RIC:\lleno'" \
    --prepare "sh -c ': > $c/poco/InformeMorvane.txt'" "$ours '-RIC:\poco'" >/dev/null 2>&1
  awk -F, 'NR > 1 { printf "%.3f\n", $4 * 1000 }' "$work/h.csv")
row "report file at 9999 bytes (ms)" "${t[0]}" "empty ${t[1]}" "$(ratio "${t[0]}" "${t[1]}")" "≤ 1.1"

# 4. A share that answers each call after 2 ms, caches nothing and keeps no locks (a FUSE
# file system): the calls each run asks of it, beside minimal.c's, both two levels into it.
if [ -e /dev/fuse ] && /usr/bin/python3 -c 'import fusepy' 2>/dev/null; then
  mkdir -p "$work/share" "$work/backing/o" "$work/backing/m/root" "$work/backing/m/Informes"
  tests/fuse-share.py "$work/share" "$work/backing" --locks EINVAL --delay 0.002 \
    --count "$work/count" >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 100); do grep -q " $work/share " /proc/mounts && break; sleep 0.05; done
  mkdir -p "$work/data/calendario/drives"
  ln -sfn "$work/share/o" "$work/data/calendario/drives/d"
  asked() {  # the calls the share answered for one command
    sleep 0.2; local before; before=$(cat "$work/count" 2>/dev/null || echo 0)
    "$@" >/dev/null 2>&1; sleep 0.2; echo $(( $(cat "$work/count") - before ))
  }
  args=('-RCD:\root' '-RID:\Informes')
  "$ours" "${args[@]}"; "$work/minimal" "$work/share/m/root" "$work/share/m/Informes"
  rm -rf "$work/backing/o/root/$stamp"; of=$(asked "$ours" "${args[@]}"); os=$(asked "$ours" "${args[@]}")
  rm -rf "$work/backing/m/root/$stamp"
  mf=$(asked "$work/minimal" "$work/share/m/root" "$work/share/m/Informes")
  ms=$(asked "$work/minimal" "$work/share/m/root" "$work/share/m/Informes")
  row "calls to a share without locks, day's first run" "$of" "minimal.c $mf" "$(ratio "$of" "$mf")" "≤ 0.9"
  row "calls to a share without locks, second run" "$os" "minimal.c $ms" "$(ratio "$os" "$ms")" "≤ 0.9"
  kill "$server"; wait "$server" 2>/dev/null || true
  umount -l "$work/share" 2>/dev/null || true
  rm -f "$work/data/calendario/drives/d"
fi

# 5. The Windows build under Wine, beside a Windows Script Host script.
if [ -f out/windows/calendario.exe ] && [ -x /usr/lib/wine/wine64 ]; then
  export WINEPREFIX=$top/out/windows/wineprefix
  tools/wine-start
  vbs="Z:$(printf '%s' "$top/bench/daily.vbs" | tr / '\134')"
  tools/wine-run out/windows/calendario.exe '-RCC:\bench\exe' '-RIC:\bench\exeInformes'
  tools/wine-run cscript.exe //nologo "$vbs" 'C:\bench\vbs' 'C:\bench\vbsInformes' || true
  mapfile -t t < <(runs=20 medians \
    "$top/tools/wine-run out/windows/calendario.exe '-RCC:\\bench\\exe' '-RIC:\\bench\\exeInformes'" \
    "$top/tools/wine-run cscript.exe //nologo '$vbs' 'C:\\bench\\vbs' 'C:\\bench\\vbsInformes'")
  # Deep roots under Wine, beside a program that makes the same native calls and nothing else.
  x86_64-w64-mingw32-gcc -O2 -municode bench/wine-relative-opens.c -o "$work/relative.exe"
  for levels in 250 500 1000; do
    root="C:\\bench\\deep$levels"$(printf '\\a%.0s' $(seq "$levels"))
    start=$(date +%s.%N)
    tools/wine-run out/windows/calendario.exe -INno "-RC$root"
    ours_s=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
    calls_s=$(tools/wine-run "$work/relative.exe" "C:\\bench\\bare$levels" "$levels" | awk '{ print $3 }')
    row "calendario.exe, root of $levels levels of \`a\` under Wine (s)" "$ours_s" \
      "the same native calls alone $calls_s" "$(ratio "$ours_s" "$calls_s")" "≤ 2.5x per 2x levels"
  done
  tools/wine-stop
  row "calendario.exe under Wine (ms)" "${t[0]}" "daily.vbs ${t[1]}" "$(ratio "${t[0]}" "${t[1]}")" "report"
fi

echo "| Figure | calendario | Reference | Ratio | Goal |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
