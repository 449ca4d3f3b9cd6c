#!/usr/bin/env bash
# bench/tool_bench.sh [BUILD_DIR] [COUNT]
#
# Times `qira ls --json` on a directory of COUNT (default 100000) empty files
# against `ls -l` and against Python's os.scandir with a stat per entry, in
# the same run, and prints the ratios.  Each program runs RUNS times (default
# 3) after one warm-up run; the best time counts, so a busy machine disturbs
# the ratio less.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/x86_64}
count=${2:-100000}
runs=${RUNS:-3}
tool=$build/qira
[ -x "$tool" ] || { echo "no $tool: build it first (scripts/build x86_64)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/d"
(cd "$work/d" && seq -f 'entry%06g' 1 "$count" | xargs touch)

# Best wall time in seconds of a command, its output thrown away.
best() {
  "$@" >/dev/null
  local best= s e t
  for _ in $(seq "$runs"); do
    s=$(date +%s%N)
    "$@" >/dev/null
    e=$(date +%s%N)
    t=$(( e - s ))
    if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

scandir() {
  python3 -c '
import os, sys
for e in os.scandir(sys.argv[1]):
    st = e.stat()
    print(e.name, e.is_dir(), st.st_size, st.st_mtime_ns, st.st_atime_ns)
' "$1"
}

# The JSON is checked once, so the timed runs measure a correct document.
"$tool" ls --json "$work/d" > "$work/out.json"
if command -v python3 >/dev/null; then
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); assert d["entrycount"] == int(sys.argv[2])' \
    "$work/out.json" "$count"
fi

q=$(best "$tool" ls --json "$work/d")
l=$(best ls -l "$work/d")
printf 'entries                  %d\n' "$count"
printf 'qira ls --json           %s s\n' "$q"
printf 'ls -l                    %s s\n' "$l"
printf 'ratio qira / ls -l       %s\n' "$(awk -v a="$q" -v b="$l" 'BEGIN { printf "%.2f", a / b }')"
if command -v python3 >/dev/null; then
  p=$(best scandir "$work/d")
  printf 'python3 scandir + stat   %s s\n' "$p"
  printf 'ratio qira / python3     %s\n' "$(awk -v a="$q" -v b="$p" 'BEGIN { printf "%.2f", a / b }')"
fi
