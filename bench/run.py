#!/usr/bin/env python3
"""Benchmark imgsmith against qemu-img on the same inputs, side by side.

    bench/run.py [--quick] [--runs N] [--dir DIR] [--imgsmith PATH]

Makes its own inputs (4 GiB, or 256 MiB with --quick) in DIR (default: a
new directory under /var/tmp), runs each job's imgsmith and qemu-img
commands alternately, checks that both produced the same disk content, and
prints median wall time, CPU time and peak memory of each, their ratio,
and imgsmith's throughput over the data the job covers. Files are read once
before timing so that both tools find them in the page cache.

Needs python3, GNU time and qemu-img (Debian: time, qemu-utils). Asserts
nothing.
"""

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

MiB = 1 << 20
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_measured(argv):
    """Runs argv; returns (wall seconds, cpu seconds, peak RSS in KiB).

    GNU time reports the program's own peak memory; a child of this Python
    process would count the interpreter's pages from before exec as well.
    """
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", report.name] + argv,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            sys.exit(f"failed ({proc.returncode}): {' '.join(argv)}\n{proc.stderr.decode()}")
        user, system, peak = report.read().split()[-3:]
    return wall, float(user) + float(system), int(peak)


def make_raw(path, blocks, data_every, zeros_as_holes=False):
    """A raw disk of `blocks` MiB with data in every data_every-th block."""
    chunk = os.urandom(MiB)
    with open(path, "wb") as f:
        for i in range(blocks):
            if i % data_every == 0:
                f.seek(i * MiB)
                f.write(chunk[i % 251:] + chunk[: i % 251])
            elif not zeros_as_holes:
                f.seek(i * MiB)
                f.write(bytes(MiB))
        f.truncate(blocks * MiB)


def make_half_zero_dynamic(imgsmith, raw, image):
    """A dynamic image storing every block, half of them all zero."""
    subprocess.run([imgsmith, "convertfromraw", image, raw, "fixed"], check=True,
                   stdout=subprocess.DEVNULL)
    with open(image, "r+b") as f:
        f.seek(76)
        f.write(struct.pack("<I", 1))  # the same layout, as a dynamic image
        f.seek(0)
        header = f.read(512)
        blocks = struct.unpack_from("<I", header, 384)[0]
        offset_data = struct.unpack_from("<I", header, 344)[0]
        # Every block stored: write the zero blocks out for real.
        zero = bytes(MiB)
        for i in range(blocks):
            if i % 2 == 1:
                f.seek(offset_data + i * MiB)
                f.write(zero)


def warm(*paths):
    for p in paths:
        if os.path.isfile(p):
            with open(p, "rb") as f:
                while f.read(16 * MiB):
                    pass


def same_content(a, b, fmt_a=None, fmt_b=None):
    argv = ["qemu-img", "compare"]
    if fmt_a:
        argv += ["-f", fmt_a]
    if fmt_b:
        argv += ["-F", fmt_b]
    return subprocess.run(argv + [a, b], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="256 MiB inputs, 3 runs")
    ap.add_argument("--runs", type=int, default=0, help="runs per command (default 5, quick 3)")
    ap.add_argument("--dir", help="where to make the inputs (needs about 4x the size free)")
    ap.add_argument("--imgsmith", default=os.path.join(ROOT, "build", "imgsmith"))
    ap.add_argument("--jobs", default="123456", help="which jobs to run, by number (default all)")
    args = ap.parse_args()
    if not shutil.which("qemu-img") or not os.access("/usr/bin/time", os.X_OK):
        sys.exit("qemu-img and GNU time are needed (Debian: apt-get install qemu-utils time)")
    imgsmith = os.path.abspath(args.imgsmith)
    if not os.access(imgsmith, os.X_OK):
        sys.exit(f"{imgsmith}: build imgsmith first (see README)")
    blocks = 256 if args.quick else 4096
    runs = args.runs or (3 if args.quick else 5)
    work = args.dir or tempfile.mkdtemp(prefix="imgsmith-bench-", dir="/var/tmp")
    os.makedirs(work, exist_ok=True)
    p = lambda name: os.path.join(work, name)
    gib = blocks * MiB / (1 << 30)

    print(f"making inputs in {work} ({gib:g} GiB disks)...", flush=True)
    if set(args.jobs) & set("1236"):
        make_raw(p("third.raw"), blocks, 3)
        make_raw(p("sparse.raw"), blocks, 64, zeros_as_holes=True)
        subprocess.run([imgsmith, "convertfromraw", p("third.vdi"), p("third.raw"), "dynamic"],
                       check=True, stdout=subprocess.DEVNULL)
    if "4" in args.jobs:
        make_raw(p("half.raw"), blocks, 2)
        make_half_zero_dynamic(imgsmith, p("half.raw"), p("half.vdi"))
        os.unlink(p("half.raw"))

    # Each run starts with no output file and nothing dirty in the page
    # cache, so that neither tool pays for the writeback of the other's.
    def fresh(name):
        def prepare():
            if os.path.exists(p(name)):
                os.unlink(p(name))
            os.sync()
        return prepare

    def copy_half():
        # The image to compact is on disk already, as a user's would be:
        # compact makes its moves durable, and must not pay for the copy.
        shutil.copyfile(p("half.vdi"), p("compact.vdi"))
        os.sync()
        warm(p("compact.vdi"))

    # (name, data GiB touched, inputs, (prepare, argv) for each tool, check)
    jobs = [
        ("1 convertfromraw dynamic", gib, ["third.raw"],
         (fresh("a.vdi"), [imgsmith, "convertfromraw", p("a.vdi"), p("third.raw"), "dynamic"]),
         (fresh("q.vdi"), ["qemu-img", "convert", "-f", "raw", "-O", "vdi", p("third.raw"), p("q.vdi")]),
         lambda: same_content(p("a.vdi"), p("q.vdi"))),
        ("2 convertfromraw fixed", gib, ["third.raw"],
         (fresh("a.vdi"), [imgsmith, "convertfromraw", p("a.vdi"), p("third.raw"), "fixed"]),
         (fresh("q.vdi"), ["qemu-img", "convert", "-f", "raw", "-O", "vdi", "-o", "static=on",
                           p("third.raw"), p("q.vdi")]),
         lambda: same_content(p("a.vdi"), p("q.vdi"))),
        ("3 converttoraw", gib, ["third.vdi"],
         (fresh("a.raw"), [imgsmith, "converttoraw", p("third.vdi"), p("a.raw")]),
         (fresh("q.raw"), ["qemu-img", "convert", "-f", "vdi", "-O", "raw", p("third.vdi"), p("q.raw")]),
         lambda: same_content(p("a.raw"), p("q.raw"), "raw", "raw")),
        ("4 compact (qemu: copy)", gib, ["half.vdi"],
         (copy_half, [imgsmith, "compact", p("compact.vdi")]),
         (fresh("q.vdi"), ["qemu-img", "convert", "-f", "vdi", "-O", "vdi", p("half.vdi"), p("q.vdi")]),
         lambda: same_content(p("compact.vdi"), p("q.vdi"))),
        ("5 create fixed 1 TiB", 1024.0, [],
         (fresh("t.vdi"), [imgsmith, "create", p("t.vdi"), "fixed", "1024"]),
         (fresh("tq.vdi"), ["qemu-img", "create", "-q", "-f", "vdi", "-o", "static=on", p("tq.vdi"), "1T"]),
         lambda: os.path.getsize(p("t.vdi")) > (1 << 40)),
        ("6 convertfromraw dynamic, sparse input", gib, ["sparse.raw"],
         (fresh("a.vdi"), [imgsmith, "convertfromraw", p("a.vdi"), p("sparse.raw"), "dynamic"]),
         (fresh("q.vdi"), ["qemu-img", "convert", "-f", "raw", "-O", "vdi", p("sparse.raw"), p("q.vdi")]),
         lambda: same_content(p("a.vdi"), p("q.vdi"))),
    ]

    print(f"{runs} runs each, alternating; medians\n")
    header = (f"{'job':40} {'imgsmith wall':>13} {'cpu':>7} {'peak':>8}   "
              f"{'qemu-img wall':>13} {'cpu':>7} {'peak':>8}   {'ratio':>6} {'GiB/s':>8}  same")
    print(header)
    print("-" * len(header))
    for name, data_gib, inputs, ours, theirs, check in jobs:
        if name[0] not in args.jobs:
            continue
        warm(*[p(i) for i in inputs])
        results = {"ours": [], "theirs": []}
        for _ in range(runs):
            for key, (prepare, argv) in (("ours", ours), ("theirs", theirs)):
                prepare()
                results[key].append(run_measured(argv))
        same = check()
        med = {k: [statistics.median(x[i] for x in v) for i in range(3)] for k, v in results.items()}
        (ow, oc, om), (tw, tc, tm) = med["ours"], med["theirs"]
        ratio = ow / tw if tw > 0 else float("nan")
        print(f"{name:40} {ow:12.3f}s {oc:6.2f}s {om / 1024:6.1f}MiB  "
              f"{tw:12.3f}s {tc:6.2f}s {tm / 1024:6.1f}MiB  {ratio:6.2f} {data_gib / ow:8.2f}  "
              f"{'yes' if same else 'NO'}", flush=True)
        for out in ("a.vdi", "q.vdi", "a.raw", "q.raw", "t.vdi", "tq.vdi", "compact.vdi"):
            if os.path.exists(p(out)):
                os.unlink(p(out))
    if not args.dir:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
