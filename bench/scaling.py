#!/usr/bin/env python3
"""How the cost grows with the work, for the README's pictures.

bench/scaling.py [--builds build/x86_64,build/i386] [--counts 1000,...]
                 [--copy-mib 1,4,...] [--runs 3] [--large-runs 1] [--out docs]

Listing: `qira ls --json` of directories of 1,000 to 1,000,000 empty files,
with the tool of every build given, against `ls -l` and a Python loop
(os.scandir with a stat per entry, printing a line each).  Copy: `qira cp` of
files of 1 MiB to 1 GiB against cp(1).  Every program runs once untimed, then
RUNS times in rotating order (LARGE_RUNS times for a million entries);
the median counts.  Time comes from the wall
clock, memory from the child's peak resident size (GNU time), given per entry
beyond what the same program needs for an empty directory.

Writes OUT/scaling-listing.dat, OUT/scaling-copy.dat and, when gnuplot is
installed, OUT/scaling.svg; prints the ratios against the baselines.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

PYLOOP = """
import os, sys
for e in os.scandir(sys.argv[1]):
    st = e.stat()
    print(e.name, e.is_dir(), st.st_size, st.st_mtime_ns, st.st_atime_ns)
"""


def run(argv):
    """Wall seconds and peak resident kilobytes of one run, output dropped.

    The peak comes from GNU time, a small parent: a child forked straight
    from this interpreter would count the interpreter's own pages as its
    peak until it execs."""
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    err = proc.stderr.decode(errors="replace").strip().splitlines()
    if proc.returncode != 0 or not err:
        sys.exit(f"{' '.join(argv)} failed ({proc.returncode}): {' '.join(err)}")
    return wall, int(err[-1])


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def trials(programs, runs, before=None, warm=True):
    """programs: {name: argv}.  Median wall time and peak memory per name."""
    names = list(programs)
    walls = {n: [] for n in names}
    mems = {n: [] for n in names}
    for n in names if warm else []:
        if before:
            before()
        run(programs[n])
    for r in range(runs):
        for k in range(len(names)):
            n = names[(r + k) % len(names)]
            if before:
                before()
            w, m = run(programs[n])
            walls[n].append(w)
            mems[n].append(m)
    return {n: (median(walls[n]), median(mems[n])) for n in names}


def scratch_parent():
    if os.access("/dev/shm", os.W_OK):
        return "/dev/shm"
    return os.environ.get("TMPDIR") or "/tmp"


def make_dir(parent, count):
    d = tempfile.mkdtemp(prefix="qira-scaling-", dir=parent)
    for i in range(count):
        os.close(os.open(os.path.join(d, "entry%07d" % i), os.O_CREAT | os.O_WRONLY, 0o644))
    return d


def listing(builds, counts, runs, large_runs):
    def programs(d):
        p = {}
        for b in builds:
            p["qira-" + os.path.basename(b)] = [os.path.join(b, "qira"), "ls", "--json", d]
        p["ls-l"] = ["ls", "-l", d]
        p["python"] = [sys.executable, "-c", PYLOOP, d]
        return p

    parent = scratch_parent()
    empty = tempfile.mkdtemp(prefix="qira-scaling-", dir=parent)
    try:
        base = trials(programs(empty), runs)
    finally:
        os.rmdir(empty)
    rows = []
    for count in counts:
        d = make_dir(parent, count)
        try:
            # A million entries: the file system's caches are warm from making
            # them, and each untimed run would cost minutes.
            large = count >= 1000000
            res = trials(programs(d), large_runs if large else runs, warm=not large)
        finally:
            shutil.rmtree(d)
        row = {"count": count}
        for name, (wall, kb) in res.items():
            row[name] = (wall * 1e6 / count, max(0, kb - base[name][1]) * 1024 / count, wall)
        rows.append(row)
        print(f"listing {count}: " + ", ".join(
            f"{n} {row[n][2]:.3f} s {row[n][1]:.0f} B/entry" for n in res), flush=True)
    return rows


def copying(builds, sizes_mib, runs):
    parent = os.environ.get("TMPDIR") or "/tmp"
    work = tempfile.mkdtemp(prefix="qira-scaling-copy-", dir=parent)
    rows = []
    try:
        src = os.path.join(work, "src")
        dst = os.path.join(work, "dst")

        def clear():
            if os.path.exists(dst):
                os.unlink(dst)

        for mib in sizes_mib:
            with open(src, "wb") as f:
                block = os.urandom(1 << 20)
                for _ in range(mib):
                    f.write(block)
            p = {"qira-" + os.path.basename(b): [os.path.join(b, "qira"), "cp", src, dst]
                 for b in builds}
            p["cp"] = ["cp", src, dst]
            res = trials(p, runs, before=clear)
            clear()
            row = {"mib": mib}
            for name, (wall, _) in res.items():
                row[name] = (mib / wall, wall)
            rows.append(row)
            print(f"copy {mib} MiB: " + ", ".join(
                f"{n} {row[n][1]:.3f} s" for n in res), flush=True)
    finally:
        shutil.rmtree(work)
    return rows


def write_dat(path, header, lines):
    with open(path, "w") as f:
        f.write("# " + " ".join(header) + "\n")
        for line in lines:
            f.write(" ".join(str(x) for x in line) + "\n")


PLOT = """
set terminal svg size 1200,420 dynamic font "sans,11" noenhanced
set output '{out}'
set multiplot layout 1,3 title "{title}"
set logscale x
set grid
set key top left
set xlabel "entries"
set ylabel "µs per entry (wall)"
set title "listing: time per entry"
set logscale y
plot {time_plots}
unset logscale y
set ylabel "bytes per entry (peak resident, beyond an empty directory)"
set title "memory per entry"
set yrange [0:*]
plot {mem_plots}
unset yrange
set logscale x 2
set xlabel "file size (MiB)"
set ylabel "MiB/s"
set title "copy throughput"
plot {copy_plots}
unset multiplot
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--builds", default="build/x86_64,build/i386")
    ap.add_argument("--counts", default="1000,10000,100000,1000000")
    ap.add_argument("--copy-mib", default="1,4,16,64,256,1024")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--large-runs", type=int, default=1,
                    help="timed runs per program for a million entries and more")
    ap.add_argument("--out", default="docs")
    ap.add_argument("--title", default="")
    ap.add_argument("--only", default="", choices=["", "listing", "copy", "plot"],
                    help="one part alone; plot draws from the data files already written")
    a = ap.parse_args()
    builds = [b for b in a.builds.split(",") if b and os.access(os.path.join(b, "qira"), os.X_OK)]
    if not builds:
        sys.exit("no build with a qira tool among " + a.builds)
    counts = [int(c) for c in a.counts.split(",") if c]
    sizes = [int(s) for s in a.copy_mib.split(",") if s]

    ld = os.path.join(a.out, "scaling-listing.dat")
    cd = os.path.join(a.out, "scaling-copy.dat")
    if a.only in ("", "listing"):
        lrows = listing(builds, counts, a.runs, a.large_runs)
        lnames = [n for n in lrows[0] if n != "count"]
        write_dat(ld, ["entries"] + [f"{n}_us {n}_bytes" for n in lnames],
                  [[r["count"]] + [f"{r[n][0]:.4f} {r[n][1]:.1f}" for n in lnames] for r in lrows])
        print("\nratios (median times)")
        for r in lrows:
            for n in lnames:
                if n.startswith("qira-"):
                    print(f"  {r['count']:>8} entries  {n:<12} / ls -l {r[n][2] / r['ls-l'][2]:.2f}"
                          f"   / python {r[n][2] / r['python'][2]:.2f}")
    if a.only in ("", "copy"):
        crows = copying(builds, sizes, a.runs)
        cnames = [n for n in crows[0] if n != "mib"]
        write_dat(cd, ["mib"] + [f"{n}_mibps" for n in cnames],
                  [[r["mib"]] + [f"{r[n][0]:.1f}" for n in cnames] for r in crows])
        for r in crows:
            for n in cnames:
                if n.startswith("qira-"):
                    print(f"  {r['mib']:>5} MiB copy  {n:<12} / cp {r[n][1] / r['cp'][1]:.2f}")
    if a.only not in ("", "plot"):
        return
    # Names of the columns, from the headers the data files carry.
    with open(ld) as f:
        lnames = [c[:-3] for c in f.readline().split()[2:] if c.endswith("_us")]
    with open(cd) as f:
        cnames = [c[:-6] for c in f.readline().split()[2:]]

    gnuplot = shutil.which("gnuplot")
    if not gnuplot:
        print("gnuplot not installed: no picture drawn")
        return
    tp = ", ".join(f"'{ld}' using 1:{2 + 2 * i} with linespoints title '{n}'"
                   for i, n in enumerate(lnames))
    mp = ", ".join(f"'{ld}' using 1:{3 + 2 * i} with linespoints title '{n}'"
                   for i, n in enumerate(lnames))
    cp = ", ".join(f"'{cd}' using 1:{2 + i} with linespoints title '{n}'"
                   for i, n in enumerate(cnames))
    script = PLOT.format(out=os.path.join(a.out, "scaling.svg"), title=a.title,
                         time_plots=tp, mem_plots=mp, copy_plots=cp)
    subprocess.run([gnuplot], input=script.encode(), check=True)
    print("drawn", os.path.join(a.out, "scaling.svg"))


if __name__ == "__main__":
    main()
