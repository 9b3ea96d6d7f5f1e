#!/usr/bin/env python3
"""All-skipped `kemora run` with a warm fingerprint cache against `--no-cache`.

Builds two working directories under --work: the demo workspace as it is, and
the demo workspace whose ingest folders also hold --files recorded source files
of --file-mb MB each (10 GB by default), with a stand-in `papermill` on PATH
that only copies the notebook. A first run records every source, a second one
fills the cache; then all-skipped runs with the cache and with --no-cache
alternate, each time after a `kemora status` with and without the cache (the
plan of a run that would skip everything). Prints the medians of --runs runs
of each, and the runs' ratio.

    /usr/bin/python3 bench/skip_run_bench.py [--kemora build/bin/kemora] [--work /tmp]
        [--files 2000] [--file-mb 5] [--runs 5] [--fill fallocate|random]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.join(os.path.dirname(HERE), "demo")
FAKE_PAPERMILL = """#!%s
import shutil, sys
shutil.copyfile(sys.argv[1], sys.argv[2])
"""


def make_workspace(root, name, files, file_mb, fill):
    ws = os.path.join(root, name)
    shutil.copytree(DEMO, ws, ignore=shutil.ignore_patterns("tools", "README.md"))
    keys = sorted(os.listdir(os.path.join(ws, "external_data")))
    with open(os.path.join(ws, "local_data_paths.json"), "w") as f:
        json.dump({k: os.path.join(ws, "external_data", k) for k in keys}, f)
    size = file_mb * 1024 * 1024
    block = os.urandom(min(size, 1024 * 1024))
    for i in range(files):
        path = os.path.join(ws, "external_data", keys[i % len(keys)], "bulk_%05d.bin" % i)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            if fill == "random":
                left = size
                while left > 0:
                    left -= os.write(fd, block[: min(left, len(block))])
            else:  # a distinct start, the rest allocated (reads as zeros)
                os.write(fd, os.urandom(4096))
                os.posix_fallocate(fd, 0, size)
        finally:
            os.close(fd)
    subprocess.run(["git", "init", "-q"], cwd=ws, check=True)
    subprocess.run(["git", "add", "-A", "--", "*.ipynb"], cwd=ws, check=True)
    subprocess.run(["git", "-c", "user.name=bench", "-c", "user.email=bench@kemora.invalid", "commit", "-q", "-m",
                    "bench"], cwd=ws, check=True)
    return ws


def run(kemora, ws, env, *extra):
    t0 = time.perf_counter()
    r = subprocess.run([kemora, "run", "--work-dir", ws, *extra], env=env, capture_output=True, text=True)
    wall = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit("kemora run failed (%d):\n%s%s" % (r.returncode, r.stdout, r.stderr))
    return wall, r.stdout


def status(kemora, ws, env, *extra):
    t0 = time.perf_counter()
    r = subprocess.run([kemora, "status", "--work-dir", ws, *extra], env=env, capture_output=True, text=True)
    wall = time.perf_counter() - t0
    if r.returncode != 0 or "Çalışacak:0 Atlanacak:18" not in r.stdout:
        sys.exit("kemora status failed or planned a run (%d):\n%s%s" % (r.returncode, r.stdout, r.stderr))
    return wall


def all_skipped(stdout):
    return "ÇALIŞTIRILIYOR" not in stdout and stdout.count("ATLANDI —") == 18


def measure(kemora, ws, env, runs):
    # Season names have one-second resolution: runs must not share one.
    time.sleep(1.1)
    run(kemora, ws, env)  # records every step and source
    time.sleep(2.1)  # every file now older than the cache's trust margin
    _, out = run(kemora, ws, env)  # fills the cache
    if not all_skipped(out):
        sys.exit("the second run did not skip every step:\n" + out)
    warm, cold, plan_warm, plan_cold = [], [], [], []
    for _ in range(runs):
        plan_warm.append(status(kemora, ws, env))
        plan_cold.append(status(kemora, ws, env, "--no-cache"))
        for extra, into in (((), warm), (("--no-cache",), cold)):
            time.sleep(max(0.0, 1.05 - (time.time() % 1.0)))  # start in a new second
            wall, out = run(kemora, ws, env, *extra)
            if not all_skipped(out):
                sys.exit("a timed run did not skip every step:\n" + out)
            into.append(wall)
    return [statistics.median(x) for x in (warm, cold, plan_warm, plan_cold)]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kemora", default=os.path.join(os.path.dirname(HERE), "build", "bin", "kemora"))
    ap.add_argument("--work", default="/tmp", help="folder under which the working directories are made")
    ap.add_argument("--files", type=int, default=2000)
    ap.add_argument("--file-mb", type=int, default=5)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--fill", choices=("fallocate", "random"), default="fallocate")
    ap.add_argument("--keep", action="store_true", help="leave the generated data in place")
    a = ap.parse_args()
    kemora = os.path.abspath(a.kemora)
    need = a.files * a.file_mb * 1024 * 1024 + (200 << 20)
    if shutil.disk_usage(a.work).free < need * 1.1:
        sys.exit("not enough space under %s for %.1f GB; use --files or --file-mb" % (a.work, need / 1e9))

    root = tempfile.mkdtemp(prefix="kemora-skip-bench-", dir=a.work)
    try:
        bindir = os.path.join(root, "bin")
        os.makedirs(bindir)
        with open(os.path.join(bindir, "papermill"), "w") as f:
            f.write(FAKE_PAPERMILL % sys.executable)
        os.chmod(os.path.join(bindir, "papermill"), 0o755)
        env = dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"])

        t0 = time.perf_counter()
        big = make_workspace(root, "big", a.files, a.file_mb, a.fill)
        demo = make_workspace(root, "demo", 0, 0, a.fill)
        print("generated %d files of %d MiB (%.1f GiB) in %.1f s" %
              (a.files, a.file_mb, a.files * a.file_mb / 1024, time.perf_counter() - t0))
        for name, ws in (("big", big), ("demo", demo)):
            warm, cold, plan_warm, plan_cold = measure(kemora, ws, env, a.runs)
            print("%-5s all-skipped run, median of %d: warm cache %.3f s   --no-cache %.3f s   ratio %.1fx"
                  % (name, a.runs, warm, cold, cold / warm), flush=True)
            print("%-5s kemora status,   median of %d: warm cache %.3f s   --no-cache %.3f s"
                  % (name, a.runs, plan_warm, plan_cold), flush=True)
    finally:
        if a.keep:
            print("kept", root)
        else:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
