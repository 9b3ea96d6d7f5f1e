"""Drives the kemora program over temporary workspaces with a fake papermill
first on PATH: exit statuses, what goes to standard output and standard error,
warnings, the data-source question on a terminal, and `kemora step`.

usage: cli_test.py KEMORA_BINARY
"""
import json
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

# The papermill stand-in the Python package tests use too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from motor_support import FakePapermill  # noqa: E402

KEMORA = None

REGISTRY_NOTEBOOKS = [
    "nb_01a_ingest_ddl.ipynb", "nb_01b_ingest_kik.ipynb", "nb_01c_ingest_kredi.ipynb", "nb_01d_ingest_yis.ipynb",
    "nb_01e_ingest_eus.ipynb", "nb_01f_ingest_hedef_kapsam.ipynb", "nb_01g_ingest_statik.ipynb",
    "nb_01h_ingest_train.ipynb", "nb_01i_ingest_rkd_memzuc.ipynb", "nb_02_transform.ipynb", "nb_03_marts.ipynb",
    "nb_04a_ml_features.ipynb", "nb_04b_ml_train.ipynb", "nb_04c_ml_predict.ipynb", "nb_05a_backtest_eus.ipynb",
    "nb_05b_backtest_yis.ipynb", "nb_05c_backtest_ml.ipynb",
]

class Workspace:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kemora-cli-")
        self.work = os.path.join(self.root, "ws")
        os.makedirs(self.work)
        for nb in REGISTRY_NOTEBOOKS:
            with open(os.path.join(self.work, nb), "w") as f:
                json.dump({"cells": [], "metadata": {}, "nbformat": 4, "nbformat_minor": 5, "name": nb}, f)
        papermill = FakePapermill(self.root)
        self.log = str(papermill.log)
        self.env = papermill.env()

    def run(self, *args, fail=None, stdin=subprocess.DEVNULL):
        env = dict(self.env)
        if fail:
            env["FAKE_PAPERMILL_FAIL"] = fail
        return subprocess.run([KEMORA, *args], env=env, stdin=stdin, capture_output=True, text=True, timeout=300)

    def seasons(self):
        path = os.path.join(self.work, "seasons")
        return sorted(os.listdir(path)) if os.path.isdir(path) else []

    def calls(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [json.loads(line) for line in f]

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


class RunCommand(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def test_success_exit_zero_and_stdout_holds_only_engine_lines(self):
        r = self.ws.run("run", "--work-dir", self.ws.work, "--skip-ingest", "--skip-ml", "--skip-backtest")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith("\n  [!] local_data_paths.json bulunamadı: "), r.stdout)
        self.assertIn("  [AUTO] Non-interactive mod — external_data/ ile devam ediliyor\nKemora Pipeline v", r.stdout)
        self.assertNotIn("papermill says hello", r.stdout)
        self.assertIn("papermill says hello", r.stderr)
        self.assertIn("OK:2 Atlandı:0 Hata:0", r.stdout)
        args = self.ws.calls()[0]
        self.assertEqual(args[0], os.path.join(self.ws.work, "nb_02_transform.ipynb"))
        self.assertEqual(args[2:4], ["--cwd", self.ws.work])
        self.assertEqual(args[4], "-y")
        params = json.loads(args[5])
        self.assertEqual(list(params), ["DB_PATH", "OUTPUT_DIR", "WORK_DIR", "LOG_DIR"])

    def test_fingerprint_cache_lives_in_dot_kemora_and_no_cache_creates_none(self):
        cache = os.path.join(self.ws.work, ".kemora")
        for args in (["run", "--skip-ml", "--skip-backtest"], ["step", "transform"]):
            r = self.ws.run(*args, "--work-dir", self.ws.work, "--no-cache")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertFalse(os.path.exists(cache), args)
        time.sleep(1.1)  # a season of its own
        plain = self.ws.run("run", "--work-dir", self.ws.work, "--skip-ml", "--skip-backtest")
        self.assertEqual(plain.returncode, 0, plain.stderr)
        self.assertEqual(sorted(os.listdir(cache)), [".gitignore", "fingerprints.db"])
        import sqlite3
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(cache, "fingerprints.db"), uri=True)
        self.assertEqual(db.execute("PRAGMA integrity_check").fetchone(), ("ok",))
        db.close()
        # The cache changes no console line: the same decisions as without it.
        time.sleep(1.1)
        without = self.ws.run("run", "--work-dir", self.ws.work, "--skip-ml", "--skip-backtest", "--no-cache")
        with_cache = self.ws.run("run", "--work-dir", self.ws.work, "--skip-ml", "--skip-backtest")
        strip = lambda out: [l for l in out.splitlines() if "Season" not in l and "Süre" not in l
                             and "manifest" not in l.lower() and "seasons" not in l]
        self.assertEqual(strip(without.stdout), strip(with_cache.stdout))
        self.assertIn("ATLANDI — uyumlu", with_cache.stdout)

    def test_failed_step_exits_two_and_names_the_error(self):
        r = self.ws.run("run", "--work-dir", self.ws.work, "--skip-ingest", "--skip-ml", "--skip-backtest",
                        fail="nb_03_marts.ipynb")
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("  HATA — ", r.stdout)
        self.assertIn("\n  ValueError: boom\n  Hata raporu: ", r.stdout)
        self.assertIn("Hata:1", r.stdout)

    def test_missing_notebook_exits_two(self):
        os.remove(os.path.join(self.ws.work, "nb_03_marts.ipynb"))
        r = self.ws.run("run", "--work-dir", self.ws.work, "--skip-ingest", "--skip-ml", "--skip-backtest")
        self.assertEqual(r.returncode, 2)
        self.assertIn("  [!] Notebook bulunamadı: nb_03_marts.ipynb", r.stdout)

    def test_unknown_step_names_are_warned_about_and_the_run_goes_on(self):
        r = self.ws.run("run", "--work-dir", self.ws.work, "--skip-ingest", "--skip-ml", "--skip-backtest",
                        "--force", "mart", "--from", "export")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("--force mart: no such step", r.stderr)
        self.assertIn("--from export: no such step", r.stderr)
        self.assertIn("Force: False ['mart']", r.stdout)

    def test_broken_configuration_stops_with_status_one_naming_the_file(self):
        with open(os.path.join(self.ws.work, "local_data_paths.json"), "w") as f:
            f.write('{"kredi_db": "/x",}')
        r = self.ws.run("run", "--work-dir", self.ws.work)
        self.assertEqual(r.returncode, 1)
        self.assertIn("local_data_paths.json", r.stderr)
        self.assertIn("invalid JSON at byte", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.ws.work, "seasons")))

    def test_declining_on_a_terminal_stops_with_the_message(self):
        master, slave = pty.openpty()
        try:
            os.write(master, b"h\n")
            r = self.ws.run("run", "--work-dir", self.ws.work, stdin=slave)
        finally:
            os.close(slave)
            os.close(master)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.strip(), "Pipeline durduruldu — local_data_paths.json oluşturun.")
        self.assertIn("[e/H]: ", r.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.ws.work, "seasons")))

    def test_data_paths_on_the_command_line_and_a_source_change(self):
        src = os.path.join(self.ws.root, "kik")
        os.makedirs(src)
        with open(os.path.join(src, "izleme.csv"), "w") as f:
            f.write("1\n")
        args = ["run", "--work-dir", self.ws.work, "--data-path", "kik_data_ham_csv=" + src, "--skip-ml",
                "--skip-backtest"]
        r = self.ws.run(*args)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn("[CONFIG]", r.stdout)
        seasons = os.path.join(self.ws.work, "seasons")
        with open(os.path.join(seasons, os.listdir(seasons)[0], "meta", "adim_ingest_kik.json")) as f:
            self.assertEqual(list(json.load(f)["source_hashes"]), [os.path.join(src, "izleme.csv")])


def process_alive(pid):
    """True while `pid` is a process that has not ended (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError):
        return False


class ClosedOutput(unittest.TestCase):
    """`kemora run 2>&1 | head -c 3` and `kemora run | head -c 3`: the reader
    of our output goes away while a notebook runs."""

    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def run_until_reader_leaves(self, merge_stderr, quiet):
        pid_file = os.path.join(self.ws.root, "papermill.pid")
        env = dict(self.ws.env, FAKE_PAPERMILL_SECONDS="60", FAKE_PAPERMILL_PID=pid_file)
        if quiet:
            env["FAKE_PAPERMILL_QUIET"] = "1"
        err_path = os.path.join(self.ws.root, "stderr.txt")
        with open(err_path, "w") as err:
            p = subprocess.Popen([KEMORA, "run", "--work-dir", self.ws.work, "--data-path", "x=y", "--skip-ingest",
                                  "--skip-ml", "--skip-backtest"], env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT if merge_stderr else err)
            try:
                self.assertEqual(len(p.stdout.read(3)), 3)
                deadline = time.monotonic() + 60
                while not os.path.exists(pid_file) and time.monotonic() < deadline and p.poll() is None:
                    time.sleep(0.05)
                self.assertTrue(os.path.exists(pid_file), "the notebook started")
                time.sleep(0.3)  # the pid file is written before the notebook's own work
                with open(pid_file) as f:
                    notebook_pid = int(f.read())
                p.stdout.close()  # the reader is gone, as head -c 3 after its three bytes
                status = p.wait(timeout=60)
            finally:
                if p.poll() is None:
                    p.kill()
                    p.wait()
        with open(err_path) as f:
            stderr = f.read()
        return status, notebook_pid, stderr

    def check_interrupted(self, status, notebook_pid, stderr):
        self.assertEqual(status, 130, "exit status of an interrupt, not death by SIGPIPE (-13): " + stderr)
        self.assertFalse(process_alive(notebook_pid), "the notebook executor is left running")
        season = os.path.join(self.ws.work, "seasons", self.ws.seasons()[0])
        self.assertFalse(os.path.exists(os.path.join(season, "error_report.txt")), "the step counts as failed")
        self.assertFalse(os.path.exists(os.path.join(season, "meta", "adim_transform.json")))
        self.assertEqual(len(self.ws.calls()), 1, "the run ended at its first step")

    def test_closed_pipe_on_stdout_and_stderr_stops_the_notebook_and_exits_as_an_interrupt(self):
        self.check_interrupted(*self.run_until_reader_leaves(merge_stderr=True, quiet=False))

    def test_closed_stdout_stops_a_silent_notebook_and_says_why_on_stderr(self):
        status, pid, stderr = self.run_until_reader_leaves(merge_stderr=False, quiet=True)
        self.check_interrupted(status, pid, stderr)
        self.assertIn("kemora: the output was closed; the run was stopped", stderr)


class UsageErrors(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def test_usage_errors_exit_one_with_a_message_naming_the_problem(self):
        board = os.path.join(self.ws.root, "sb.json")
        with open(board, "w") as f:
            f.write("{}")
        cases = [
            (["render", board, "--chunk-size", "0"], "--chunk-size"),
            (["render", board, "--top-n", "many"], "--top-n"),
            (["render", board, "--threads", "-2"], "--threads"),
            (["render"], "SCOREBOARD_JSON"),
            (["run", "--work-dir", self.ws.work, "--no-such-option"], "--no-such-option"),
            (["run", "--work-dir", self.ws.work, "--data-path", "novalue"], "KEY=DIR"),
            (["step"], "KOD"),
            (["step", "marts", "--work-dir", self.ws.work, "--data-path", "x=y", "--param", "novalue"], "KEY=VALUE"),
            (["render", board, "--where", "novalue"], "KEY=VALUE"),
            (["no-such-command"], "no-such-command"),
        ]
        for args, named in cases:
            with self.subTest(args=args):
                r = self.ws.run(*args)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(named, r.stderr)
                self.assertEqual(self.ws.seasons(), [])
        self.assertEqual(self.ws.calls(), [])

    def test_help_and_version_exit_zero_and_the_help_names_the_exit_statuses(self):
        r = self.ws.run("--help")
        self.assertEqual(r.returncode, 0, r.stderr)
        for line in ["  0    success", "  1    an error stopped the command, usage errors included",
                     "  2    a pipeline step ended in HATA or NB YOK", "  130  interrupted"]:
            self.assertIn(line, r.stdout)
        r = self.ws.run("--version")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith("kemora "), r.stdout)
        for command in ["run", "step", "status", "accept", "render", "trending", "demo"]:
            with self.subTest(command=command):
                r = self.ws.run(command, "--help")
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn("Exit status", r.stdout)


class StepCommand(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def test_params_keep_json_types_and_exit_statuses(self):
        r = self.ws.run("step", "marts", "--work-dir", self.ws.work, "--data-path", "x=y", "--param", "N=5",
                        "--param", "R=2.5", "--param", "B=true", "--param", "Z=null", "--param", "T=abc",
                        "--param", "DB_PATH=/tmp/other.db")
        self.assertEqual(r.returncode, 0, r.stderr)
        params = json.loads(self.ws.calls()[0][5])
        self.assertEqual(params["N"], 5)
        self.assertEqual(params["R"], 2.5)
        self.assertIs(params["B"], True)
        self.assertIsNone(params["Z"])
        self.assertEqual(params["T"], "abc")
        self.assertEqual(list(params)[0], "DB_PATH")
        self.assertEqual(params["DB_PATH"], "/tmp/other.db")
        # The first command's record would make the step unchanged for a
        # command that starts in a later second (and not for one in the same
        # second, which shares the season): remove it, so that the failing
        # executor runs whatever the clock says.
        shutil.rmtree(os.path.join(self.ws.work, "seasons"))
        r = self.ws.run("step", "marts", "--work-dir", self.ws.work, "--data-path", "x=y", fail="nb_03_marts.ipynb")
        self.assertEqual(r.returncode, 2, r.stdout)
        self.assertIn("  ÇALIŞTIRILIYOR — ilk çalıştırma\n  HATA — ", r.stdout)
        r = self.ws.run("step", "export", "--work-dir", self.ws.work, "--data-path", "x=y")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stdout, "  [!] Bilinmeyen adım: export\n")

    def test_bad_param_is_a_usage_error(self):
        r = self.ws.run("step", "marts", "--work-dir", self.ws.work, "--data-path", "x=y", "--param", "novalue")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("KEY=VALUE", r.stderr)


def tree(root):
    """Every file and folder under root with its content: what a command that
    must change nothing has to leave as it was."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            out[os.path.relpath(os.path.join(dirpath, d), root)] = None
        for name in filenames:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, root)] = f.read()
    return out


class StatusAndAccept(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.source = os.path.join(self.ws.work, "external_data", "kik_data_ham_csv", "a.csv")
        os.makedirs(os.path.dirname(self.source))
        with open(self.source, "w") as f:
            f.write("muta\n1\n")

    def tearDown(self):
        self.ws.close()

    def status(self, *args):
        r = self.ws.run("status", "--work-dir", self.ws.work, *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def test_status_changes_nothing_and_says_what_the_next_run_does(self):
        before = tree(self.ws.work)
        table = self.status("--no-cache")
        self.assertEqual(tree(self.ws.work), before)
        self.assertIn("[AUTO] Non-interactive mod — external_data/ ile devam ediliyor", table.stdout)
        self.assertIn("  ingest_kik            ÇALIŞIR   ilk çalıştırma\n", table.stdout)
        self.assertIn("Çalışacak:18 Atlanacak:0 NB yok:0", table.stdout)
        self.assertTrue(all(len(l) <= 100 for l in table.stdout.splitlines() if "/" not in l), table.stdout)
        # With the cache on, only the cache may appear.
        self.status()
        self.assertEqual({k: v for k, v in tree(self.ws.work).items() if not k.startswith(".kemora")}, before)

        self.assertEqual(self.ws.run("run", "--work-dir", self.ws.work).returncode, 0)
        time.sleep(1.1)  # the next run gets a season of its own
        with open(self.source, "w") as f:
            f.write("muta\n2\n")
        os.remove(os.path.join(self.ws.work, "nb_05b_backtest_yis.ipynb"))
        js = self.status("--json")
        self.assertNotIn("[AUTO]", js.stdout)
        self.assertIn("[AUTO]", js.stderr)
        plan = {p["code"]: p for p in json.loads(js.stdout)}
        self.assertEqual(len(plan), 18)
        self.assertEqual(list(plan["ingest_kik"]), ["code", "notebook", "decision", "reason", "changed_files",
                                                    "triggered_by"])
        self.assertEqual(plan["ingest_kik"]["decision"], "run")
        self.assertEqual(plan["ingest_kik"]["reason"], "kaynak değişti (a.csv)")
        self.assertEqual(plan["ingest_kik"]["changed_files"], [self.source])
        self.assertEqual(plan["transform"]["triggered_by"], ["ingest_kik"])
        self.assertEqual(plan["backtest_yis"]["decision"], "missing")
        self.assertIsNone(plan["backtest_yis"]["notebook"])
        self.assertEqual(plan["ingest_kredi"]["decision"], "skip")

        r = self.ws.run("run", "--work-dir", self.ws.work)
        self.assertEqual(r.returncode, 2)  # the missing notebook
        for code, p in plan.items():
            if p["decision"] == "run":
                self.assertIn("ÇALIŞTIRILIYOR — " + p["reason"] + "\n", r.stdout, code)
            elif p["decision"] == "skip":
                self.assertIn("ATLANDI — " + p["reason"] + "\n", r.stdout, code)
        ran = sorted(os.path.basename(c[0]) for c in self.ws.calls()[18:])
        self.assertEqual(len(ran), sum(p["decision"] == "run" for p in plan.values()))

    def test_accept_records_without_running_and_checks_every_step_first(self):
        for args, named in [(["yok_boyle", "ingest_kik"], "yok_boyle"), ([], "--all"),
                            (["--all", "marts"], "--all"), (["marts", "--force-all"], "--force")]:
            with self.subTest(args=args):
                r = self.ws.run("accept", "--work-dir", self.ws.work, *args)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertIn(named, r.stderr)
                self.assertEqual(self.ws.seasons(), [])
        os.remove(os.path.join(self.ws.work, "nb_03_marts.ipynb"))
        r = self.ws.run("accept", "--work-dir", self.ws.work, "--all")
        self.assertEqual(r.returncode, 1)
        self.assertIn("nb_03_marts.ipynb not found", r.stderr)
        self.assertEqual(self.ws.seasons(), [])
        with open(os.path.join(self.ws.work, "nb_03_marts.ipynb"), "w") as f:
            f.write("{}")

        r = self.ws.run("accept", "--work-dir", self.ws.work, "--all", "--no-cache")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.count("  KABUL — "), 18)
        self.assertIn("  KABUL — ingest_kik: nb_01b_ingest_kik.ipynb (", r.stdout)
        self.assertEqual(self.ws.calls(), [])
        [season] = self.ws.seasons()
        meta = os.path.join(self.ws.work, "seasons", season, "meta")
        [manifest] = [n for n in os.listdir(meta) if n.startswith("manifest_")]
        with open(os.path.join(meta, manifest)) as f:
            steps = json.load(f)["adimlar"]
        self.assertEqual({s["durum"] for s in steps.values()}, {"KABUL"})
        with open(os.path.join(meta, "adim_ingest_kik.json")) as f:
            rec = json.load(f)
        self.assertEqual(list(rec)[-1], "kabul")
        self.assertEqual(rec["sure_saniye"], 0.0)
        self.assertEqual(list(rec["source_hashes"]), [self.source])

        time.sleep(1.1)
        r = self.ws.run("run", "--work-dir", self.ws.work)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("OK:0 Atlandı:18 Hata:0", r.stdout)
        self.assertEqual(self.ws.calls(), [])


if __name__ == "__main__":
    KEMORA = os.path.abspath(sys.argv.pop(1))
    unittest.main()
