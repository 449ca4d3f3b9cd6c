#!/usr/bin/env bash
# bench/copy_bench.sh [BUILD_DIR] [MIB]
#
# Times `qira cp` of a MIB (default 256) MiB file within one file system
# against `cp`, and `qira mv` of it from the scratch folder to /dev/shm (another
# file system) against `mv`, and against `mv` followed by the fsyncs such a
# move makes (`sync` of the moved file and of both folders), in the same run;
# prints the ratios.  Each program runs RUNS times (default 3) after one
# warm-up run; the best time counts, so a busy machine disturbs the ratio less.
# The scratch folder is TMPDIR (default /tmp); the move is skipped where
# /dev/shm is not a file system of its own or has no room.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/x86_64}
mib=${2:-256}
runs=${RUNS:-3}
tool=$build/qira
[ -x "$tool" ] || { echo "no $tool: build it first (scripts/build ${build##*/})" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qira-copybench-XXXXXX")
shm=
trap 'rm -rf "$work" ${shm:+"$shm"}' EXIT
head -c "$((mib << 20))" /dev/urandom >"$work/src"

# Best wall time in seconds of a step; `prepare` runs before each try, untimed.
best() {
  local prepare=$1 best= s e t
  shift
  for i in $(seq 0 "$runs"); do
    $prepare
    s=$(date +%s%N)
    "$@" >/dev/null
    e=$(date +%s%N)
    t=$(( e - s ))
    # The first run only warms up.
    if [ "$i" -gt 0 ] && { [ -z "$best" ] || [ "$t" -lt "$best" ]; }; then best=$t; fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

nodst() { rm -f "$work/dst"; }
qira_cp() { "$tool" cp "$work/src" "$work/dst"; }
plain_cp() { cp "$work/src" "$work/dst"; }

t_qira=$(best nodst qira_cp)
t_cp=$(best nodst plain_cp)
cmp -s "$work/src" "$work/dst" || { echo "copy differs from its source" >&2; exit 1; }
echo "copy ${mib} MiB within one file system ($build): qira cp ${t_qira} s, cp ${t_cp} s, ratio $(ratio "$t_qira" "$t_cp") (target <= 1.3)"

here=$(stat -c %d "$work")
there=$(stat -c %d /dev/shm 2>/dev/null || echo "$here")
room=$(df -Pm /dev/shm 2>/dev/null | awk 'NR == 2 { print $4 }')
if [ "$here" = "$there" ] || [ "${room:-0}" -lt "$((mib + 16))" ]; then
  echo "move across file systems not measured: /dev/shm is not another file system with room"
  exit 0
fi
shm=$(mktemp -d /dev/shm/qira-copybench-XXXXXX)
cp "$work/src" "$work/keep"
# Each try moves a fresh source (a hard link of the kept one, so making it is free).
fresh() { rm -f "$shm/dst"; ln -f "$work/keep" "$work/src"; }
qira_mv() { "$tool" mv "$work/src" "$shm/dst"; }
plain_mv() { mv "$work/src" "$shm/dst"; }
mv_sync() { mv "$work/src" "$shm/dst" && sync "$shm/dst" "$shm" "$work"; }

t_qmv=$(best fresh qira_mv)
cmp -s "$work/keep" "$shm/dst" || { echo "moved file differs from its source" >&2; exit 1; }
t_mv=$(best fresh plain_mv)
t_mvs=$(best fresh mv_sync)
echo "move ${mib} MiB to /dev/shm ($build): qira mv ${t_qmv} s, mv ${t_mv} s, ratio $(ratio "$t_qmv" "$t_mv");" \
     "mv + fsyncs ${t_mvs} s, ratio $(ratio "$t_qmv" "$t_mvs") (target <= 1.3)"
