"""The demo as a new user runs it, through the real notebook executor:
first run (every step, a dashboard of 5,000 firms), second run (every step
skipped as unchanged), then a changed source file of ingest_kik (exactly that
step and its dependents run).

usage: demo_test.py KEMORA_BINARY OUT_DIR
"""
import json
import os
import re
import shutil
import subprocess
import sys
import time

KEMORA, OUT = sys.argv[1], sys.argv[2]
DEMO = os.path.join(OUT, "demo-workspace")
STEPS = ["ingest_ddl", "ingest_kik", "ingest_kredi", "ingest_yis", "ingest_eus", "ingest_hedef_kapsam",
         "ingest_statik", "ingest_train", "ingest_rkd", "ingest_memzuc", "transform", "marts", "ml_features",
         "ml_train", "ml_predict", "backtest_eus", "backtest_yis", "backtest_ml"]
KIK_AND_DEPENDENTS = ["ingest_kik", "transform", "marts", "ml_features", "ml_train", "ml_predict",
                      "backtest_eus", "backtest_yis", "backtest_ml"]


def demo():
    t0 = time.monotonic()
    r = subprocess.run([KEMORA, "demo", DEMO], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                       timeout=1800)
    elapsed = time.monotonic() - t0
    if r.returncode != 0:
        sys.stderr.write(r.stdout + "\n" + r.stderr[-5000:])
        raise SystemExit(f"kemora demo exited with {r.returncode}")
    return r.stdout, elapsed


def outcomes(stdout):
    """step -> the line after its notebook line (ATLANDI/ÇALIŞTIRILIYOR ...)"""
    result = {}
    for m in re.finditer(r"\n  ── (\w+) \| [^\n]*──\n  [^\n]*\n  ([^\n]*)\n", stdout):
        result[m.group(1)] = m.group(2)
    return result


def check(cond, message):
    if not cond:
        raise SystemExit("FAILED: " + message)


shutil.rmtree(DEMO, ignore_errors=True)
os.makedirs(OUT, exist_ok=True)

out, secs = demo()
print(f"first run: {secs:.1f} s")
steps = outcomes(out)
check(list(steps) == STEPS, f"steps in driver order, got {list(steps)}")
check(all(v == "ÇALIŞTIRILIYOR — ilk çalıştırma" for v in steps.values()), f"first run reasons: {steps}")
check("OK:18 Atlandı:0 Hata:0" in out, "all 18 steps OK")
html = os.path.join(DEMO, "outputs", "html", "kmr_dashboard.html")
check(out.rstrip().endswith("Tarayıcıda açın: file://" + html), "the last line says where to open the dashboard")
check(os.path.getsize(html) > 100_000, "dashboard written")
check("5000 satır" in out, "5,000 rows rendered")
with open(os.path.join(DEMO, "outputs", "json", "sample_scoreboard.json"), encoding="utf-8") as f:
    board = json.load(f)
check(len(board["rows"]) == 5000 and len(board["meta"]["donemler"]) == 12, "scoreboard of 5,000 firms, 12 periods")
check("ml_skor" in board["rows"][0], "ml_predict wrote its scores into the scoreboard")
page = open(html, encoding="utf-8").read()
check('id="kmr-trending-section"' in page and "<!-- KMR_TRENDING_SECTION -->" not in page,
      "the trending section replaced the marker")
# The page as a browser shows it: every firm in the grid, no console error, no request.
page_check = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "browser", "open_page.mjs")
r = subprocess.run(["node", page_check, html, "--rows", "5000", "--screenshot", os.path.join(OUT, "demo-dashboard.png")],
                   capture_output=True, text=True, timeout=300)
check(r.returncode == 0, "the dashboard opens in headless Chromium: " + r.stdout + r.stderr[-3000:])
print(r.stdout.strip())
git_log = subprocess.run(["git", "-C", DEMO, "log", "--oneline"], capture_output=True, text=True).stdout
check(len(git_log.strip().splitlines()) == 1, "the workspace is a git working copy with one commit")

out, secs = demo()
print(f"second run (all unchanged): {secs:.1f} s")
steps = outcomes(out)
check(len(steps) == 18 and all(v.startswith("ATLANDI — uyumlu (") for v in steps.values()),
      f"second run skips every step: {steps}")

src = os.path.join(DEMO, "external_data", "kik_data_ham_csv")
name = sorted(os.listdir(src))[0]
with open(os.path.join(src, name), "a", encoding="utf-8") as f:
    f.write("\n")
out, secs = demo()
print(f"third run (one ingest_kik source changed): {secs:.1f} s")
steps = outcomes(out)
ran = [k for k, v in steps.items() if v.startswith("ÇALIŞTIRILIYOR")]
check(ran == KIK_AND_DEPENDENTS, f"exactly ingest_kik and its dependents run, got {ran}")
check(steps["ingest_kik"] == f"ÇALIŞTIRILIYOR — kaynak değişti ({name})", steps["ingest_kik"])
check(steps["transform"] == "ÇALIŞTIRILIYOR — cascade (ingest_kik)", steps["transform"])
print("demo: OK ->", html)
