#!/usr/bin/python3
"""render_html called from Python beside the same render called from C++.

    python_render_bench.py [DIR] [--runs K] [--build BUILD] [--threads T] [--filter-runs F]

DIR holds sample_scoreboard.json (generated there with gen_scoreboard.py,
200000 rows, when it is missing). Each of K rounds renders the scoreboard
once from C++ (render_bench --runs 1, which times its render_html call
in-process) and once from Python (kemora.pipeline.panogen.render_html, timed
around the call), in turn, both to a page in a temporary folder. Printed: the
medians and their ratio (target: Python within 5 % of C++), then the cost of a
Python row_filter (lambda r: True) per row, against a render without filter
on one thread (a filter makes the render one-threaded) and against the
default render.
"""

import argparse
import contextlib
import io
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dir", nargs="?", default="/tmp/sb200k")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--filter-runs", type=int, default=3)
    ap.add_argument("--build", default=str(HERE.parent / "build"))
    ap.add_argument("--threads", type=int, default=0, help="encoding threads of both renders (0: their default)")
    args = ap.parse_args()

    build = pathlib.Path(args.build).resolve()
    sys.path.insert(0, str(build / "python"))
    from kemora.pipeline.panogen import render_html

    d = pathlib.Path(args.dir)
    json_path = d / "sample_scoreboard.json"
    if not json_path.exists():
        d.mkdir(parents=True, exist_ok=True)
        print(f"generating {json_path} (200000 rows)", file=sys.stderr)
        subprocess.run([sys.executable, str(HERE / "gen_scoreboard.py"), "200000", str(d)], check=True)
    render_bench = build / "bin" / "render_bench"

    with tempfile.TemporaryDirectory() as tmp:
        out_cpp = pathlib.Path(tmp) / "cpp.html"
        out_py = pathlib.Path(tmp) / "py.html"

        def cpp_once():
            text = subprocess.run([str(render_bench), str(d), "--runs", "1", "--threads", str(args.threads),
                                   "--out", str(out_cpp)], check=True,
                                  capture_output=True, text=True).stdout
            return float(re.search(r"^render\s+([0-9.]+) s", text, re.M).group(1))

        def py_once(**options):
            sink = io.StringIO()
            with contextlib.redirect_stdout(sink):
                t0 = time.perf_counter()
                result = render_html(json_path, out_py, **options)
                seconds = time.perf_counter() - t0
            return seconds, result

        py_once()  # warm the page cache and the module
        cpp, py = [], []
        for _ in range(args.runs):
            cpp.append(cpp_once())
            seconds, result = py_once(threads=args.threads)
            py.append(seconds)
        if out_cpp.read_bytes() != out_py.read_bytes():
            sys.exit("python_render_bench: the two pages differ")
        rows = result["rows"]

        one_thread, filtered = [], []
        for _ in range(args.filter_runs):
            one_thread.append(py_once(threads=1)[0])
            filtered.append(py_once(row_filter=lambda r: True)[0])

    c, p = statistics.median(cpp), statistics.median(py)
    print(f"input        {json_path.stat().st_size / 2**20:.1f} MB, {rows} rows, load {os.getloadavg()[0]:.2f}")
    print(f"C++          {c:.3f} s   (render_bench, threads {args.threads}, median of {args.runs})")
    print(f"Python       {p:.3f} s   (render_html, median of {args.runs})")
    print(f"ratio        {p / c:.3f}   (target <= 1.05)")
    t1, f = statistics.median(one_thread), statistics.median(filtered)
    print(f"one thread   {t1:.3f} s   (render_html(threads=1), median of {args.filter_runs})")
    print(f"row_filter   {f:.3f} s   (render_html(row_filter=lambda r: True), median of {args.filter_runs})")
    print(f"filter cost  {(f - t1) / rows * 1e6:.2f} us/row over one thread, {(f - p) / rows * 1e6:.2f} us/row "
          f"over the default render")


if __name__ == "__main__":
    main()
