"""kemora.motor in a Python host process of its own: the data-source question
on a terminal and on a pipe, and an interrupt (SIGINT to the host only, as a
notebook's interrupt button sends it) while a step runs."""

import json
import os
import pty
import select
import signal
import subprocess
import sys
import time

import pytest

from motor_support import FakePapermill, make_workspace

QUESTION_HOST = r'''
import sys
from kemora.motor import Motor, PipelineStopped
if sys.argv[2] == "catch":
    try:
        Motor(work_dir=sys.argv[1])
    except PipelineStopped as e:
        print("caught", repr(e.code), isinstance(e, SystemExit))
else:
    m = Motor(work_dir=sys.argv[1])
    print("built", m.data_paths)
    if sys.argv[2] == "read-rest":
        print("rest", repr(sys.stdin.read()))
'''

STOPPED = "Pipeline durduruldu — local_data_paths.json oluşturun."
PROMPT = "\n  external_data/ ile devam edilsin mi? [e/H]: "


@pytest.fixture
def host_env(tmp_path):
    pm = FakePapermill(tmp_path / "papermill")
    env = pm.env()
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return pm, env


def ask_on_a_terminal(ws, env, answer, mode="plain"):
    """Runs the host with a pseudo-terminal as standard input, types `answer`
    once the question is shown, and returns (status, stdout, stderr)."""
    master, slave = pty.openpty()
    p = subprocess.Popen([sys.executable, "-c", QUESTION_HOST, str(ws), mode], stdin=slave,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    os.close(slave)
    try:
        shown = b""
        deadline = time.monotonic() + 60
        while not shown.endswith(PROMPT.encode()) and time.monotonic() < deadline:
            if select.select([p.stdout], [], [], 1)[0]:
                chunk = os.read(p.stdout.fileno(), 4096)
                if not chunk:
                    break
                shown += chunk
        assert shown.endswith(PROMPT.encode()), shown
        os.write(master, answer)
        out, err = p.communicate(timeout=60)
        return p.returncode, (shown + out).decode(), err.decode()
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
        os.close(master)


@pytest.mark.parametrize("answer", [b"h\n", b"\n", b"yes\n", b"\x04"], ids=["h", "empty", "yes", "end-of-input"])
def test_a_refused_question_exits_as_sys_exit_with_the_message(answer, tmp_path, host_env):
    _, env = host_env
    ws = tmp_path / "ws"
    ws.mkdir()
    status, out, err = ask_on_a_terminal(ws, env, answer)
    assert status == 1
    assert err == STOPPED + "\n"
    assert "  [!] local_data_paths.json bulunamadı: " in out and "built" not in out and "[AUTO]" not in out
    assert list(ws.iterdir()) == [], "nothing is created before the question is answered"


def test_a_host_may_catch_the_stop_and_an_answer_that_goes_on_builds_the_engine(tmp_path, host_env):
    _, env = host_env
    ws = tmp_path / "ws"
    ws.mkdir()
    status, out, err = ask_on_a_terminal(ws, env, b"h\n", mode="catch")
    assert (status, err) == (0, "")
    assert out.endswith(f"caught {STOPPED!r} True\n")

    status, out, err = ask_on_a_terminal(ws, env, b"  EVET \n")
    assert (status, err) == (0, "")
    assert out.endswith(PROMPT + "built {}\n")
    assert len(list((ws / "seasons").iterdir())) == 1


def test_with_standard_input_a_pipe_the_engine_goes_on_without_reading_it(tmp_path, host_env):
    _, env = host_env
    ws = tmp_path / "ws"
    ws.mkdir()
    r = subprocess.run([sys.executable, "-c", QUESTION_HOST, str(ws), "read-rest"], input="h\nmore\n", env=env,
                       capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stderr) == (0, "")
    assert "  [AUTO] Non-interactive mod — external_data/ ile devam ediliyor\nbuilt {}\n" in r.stdout
    assert r.stdout.endswith("rest 'h\\nmore\\n'\n")


INTERRUPT_HOST = r'''
import json, os, signal, sys, time
from kemora.motor import Motor
m = Motor(work_dir=sys.argv[1], data_paths={"k": "v"})
m.adim_isle("ingest_ddl")
os.environ["FAKE_PAPERMILL_SECONDS"] = "60"
try:
    m.run_all(skip_ingest=True, skip_ml=True, skip_backtest=True)
    print("run_all returned")
except KeyboardInterrupt:
    print("STATE " + json.dumps({
        "rows": [(r["adim"], r["durum"]) for r in m.ozet_satirlar], "manifest": list(m.manifest_adimlar),
        "ran": sorted(m.calisan_adimlar), "meta": sorted(p.name for p in m.meta_dir.iterdir()),
        "report": (m.season_dir / "error_report.txt").exists()}), flush=True)
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(10)
    print("no KeyboardInterrupt from a later signal")
except KeyboardInterrupt:
    print("Python's handler is back")
'''


def test_sigint_during_a_step_stops_the_notebook_and_raises_keyboard_interrupt(tmp_path, demo_dir, host_env):
    pm, env = host_env
    ws = make_workspace(demo_dir, tmp_path / "ws")
    pid_file = tmp_path / "notebook.pid"
    env["FAKE_PAPERMILL_PID"] = str(pid_file)
    p = subprocess.Popen([sys.executable, "-c", INTERRUPT_HOST, str(ws)], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    try:
        deadline = time.monotonic() + 60
        while not pid_file.exists() and time.monotonic() < deadline and p.poll() is None:
            time.sleep(0.05)
        assert pid_file.exists(), p.stderr.read() if p.poll() is not None else "the notebook did not start"
        time.sleep(0.3)  # the pid file is written before the notebook's own work
        notebook = int(pid_file.read_text())
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()

    assert p.returncode == 0, err
    with pytest.raises(ProcessLookupError):
        os.kill(notebook, 0)  # stopped and reaped
    state = json.loads(next(line for line in out.splitlines() if line.startswith("STATE "))[6:])
    assert state == {"rows": [["ingest_ddl", "OK"]], "manifest": ["ingest_ddl"], "ran": ["ingest_ddl"],
                     "meta": ["adim_ingest_ddl.json"], "report": False}
    assert "  ── transform | " in out and "  HATA" not in out and "Manifest:" not in out
    assert out.endswith("Python's handler is back\n")
    assert [c[1].rsplit("/", 1)[1] for c in pm.calls()] == ["adim_ingest_ddl_nb_01a_ingest_ddl.ipynb",
                                                            "adim_transform_nb_02_transform.ipynb"]
    assert "executing" in err, "the notebook's progress goes to standard error"
