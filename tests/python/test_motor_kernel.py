"""kemora.motor inside a Jupyter kernel: the engine's lines and the notebook
executor's progress reach the cell that ran the call, and the kernel's
interrupt (SIGINT to the kernel process only) stops the step's notebook."""

import os
import sys
import time

import pytest

from motor_support import FakePapermill, make_workspace

jupyter_client = pytest.importorskip("jupyter_client")
pytest.importorskip("ipykernel")


@pytest.fixture
def kernel(tmp_path):
    pm = FakePapermill(tmp_path / "papermill")
    env = pm.env()
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env["PYDEVD_DISABLE_FILE_VALIDATION"] = "1"
    env["FAKE_PAPERMILL_PID"] = str(tmp_path / "notebook.pid")
    # A kernel started under pytest leaves its descriptors alone; a real one
    # forwards them to the cell.
    env.pop("PYTEST_CURRENT_TEST", None)
    km = jupyter_client.KernelManager(kernel_name="python3")
    km.start_kernel(env=env, cwd=str(tmp_path))
    kc = km.client()
    kc.start_channels()
    kc.wait_for_ready(timeout=60)
    try:
        yield km, kc, tmp_path
    finally:
        kc.stop_channels()
        km.shutdown_kernel(now=True)


def run_cell(kc, code, during=None, timeout=60):
    """Executes `code`; returns ({stream name: text}, error name or None).
    `during()` is called repeatedly while the cell runs, until it returns True."""
    msg_id = kc.execute(code)
    streams, error, idle = {}, None, False
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if during is not None and during():
            during = None
        try:
            msg = kc.get_iopub_msg(timeout=0.1)
        except Exception:  # queue.Empty
            if idle:
                break  # output of the descriptors may trail the idle state a little
            continue
        if msg["parent_header"].get("msg_id") != msg_id:
            continue
        kind = msg["msg_type"]
        if kind == "stream":
            streams[msg["content"]["name"]] = streams.get(msg["content"]["name"], "") + msg["content"]["text"]
        elif kind == "error":
            error = msg["content"]["ename"]
        elif kind == "status" and msg["content"]["execution_state"] == "idle":
            idle = True
    assert idle, "the cell did not finish"
    return streams, error


def test_engine_lines_and_the_executors_progress_appear_in_the_cell(kernel, demo_dir):
    km, kc, root = kernel
    ws = make_workspace(demo_dir, root / "ws")
    streams, error = run_cell(kc, f"""
import os
os.environ["FAKE_PAPERMILL_SECONDS"] = "0.3"
from kemora.motor import Motor
m = Motor(work_dir={str(ws)!r})
ok = m.adim_isle("marts")
print("result", ok)
""")
    assert error is None, streams
    out = streams.get("stdout", "")
    assert "  [AUTO] Non-interactive mod" in out, "the kernel's sys.stdin is no terminal"
    assert "\n  ── marts | " in out and "\n  ÇALIŞTIRILIYOR — ilk çalıştırma\n" in out
    assert out.index("  OK ") < out.index("result True")
    assert "executing" in streams.get("stderr", ""), "the executor's standard error reaches the cell"


def test_the_kernels_interrupt_stops_the_notebook_and_raises_keyboard_interrupt(kernel, demo_dir):
    km, kc, root = kernel
    ws = make_workspace(demo_dir, root / "ws")
    pid_file = root / "notebook.pid"
    started = {}

    def interrupt_once_running():
        if pid_file.exists() and "at" not in started:
            started["at"] = time.monotonic()
        if "at" in started and time.monotonic() - started["at"] > 0.3:
            km.interrupt_kernel()
            return True
        return False

    streams, error = run_cell(kc, f"""
import os
os.environ["FAKE_PAPERMILL_SECONDS"] = "60"
from kemora.motor import Motor
m = Motor(work_dir={str(ws)!r}, data_paths={{"k": "v"}})
m.adim_isle("marts")
""", during=interrupt_once_running)
    assert error == "KeyboardInterrupt", streams
    with pytest.raises(ProcessLookupError):
        os.kill(int(pid_file.read_text()), 0)
    streams, error = run_cell(kc, "print(m.ozet_satirlar, m.manifest_adimlar, m.calisan_adimlar)")
    assert (error, streams.get("stdout")) == (None, "[] {} set()\n")
