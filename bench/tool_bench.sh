#!/usr/bin/env bash
# bench/tool_bench.sh [BUILD_DIR] [COUNT]
#
# Times `qira ls --json` on a directory of COUNT (default 100000) empty files
# against `ls -l` and against Python's os.scandir with a stat per entry, in
# the same run, and prints the ratios of wall and of CPU time.  Each program
# runs RUNS times (default 3) after one warm-up run; the best time counts, so
# a busy machine disturbs the ratio less.
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

# Best wall time and best CPU time (user + system) in seconds of a command,
# its output thrown away.  On a busy machine a program waits for a core, so
# its wall time stretches while its CPU time does not.
best() {
  python3 - "$runs" "$@" <<'EOF'
import os, subprocess, sys, time
runs, argv = int(sys.argv[1]), sys.argv[2:]
def once():
    start = time.perf_counter()
    p = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, ru = os.wait4(p.pid, 0)
    if status != 0:
        sys.exit(f"{argv[0]} failed")
    return time.perf_counter() - start, ru.ru_utime + ru.ru_stime
once()
results = [once() for _ in range(runs)]
print("%.3f %.3f" % (min(w for w, _ in results), min(c for _, c in results)))
EOF
}

scandir_py='
import os, sys
for e in os.scandir(sys.argv[1]):
    st = e.stat()
    print(e.name, e.is_dir(), st.st_size, st.st_mtime_ns, st.st_atime_ns)
'

# The JSON is checked once, so the timed runs measure a correct document.
"$tool" ls --json "$work/d" > "$work/out.json"
if command -v python3 >/dev/null; then
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); assert d["entrycount"] == int(sys.argv[2])' \
    "$work/out.json" "$count"
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
read -r qw qc < <(best "$tool" ls --json "$work/d")
read -r lw lc < <(best ls -l "$work/d")
printf 'entries                  %d\n' "$count"
printf 'qira ls --json           %s s wall, %s s CPU\n' "$qw" "$qc"
printf 'ls -l                    %s s wall, %s s CPU\n' "$lw" "$lc"
printf 'ratio qira / ls -l       %s wall, %s CPU\n' "$(ratio "$qw" "$lw")" "$(ratio "$qc" "$lc")"
if command -v python3 >/dev/null; then
  read -r pw pc < <(best python3 -c "$scandir_py" "$work/d")
  printf 'python3 scandir + stat   %s s wall, %s s CPU\n' "$pw" "$pc"
  printf 'ratio qira / python3     %s wall, %s CPU\n' "$(ratio "$qw" "$pw")" "$(ratio "$qc" "$pc")"
fi
