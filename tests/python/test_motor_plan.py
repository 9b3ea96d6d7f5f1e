"""kemora.motor.plan and accept: the same plan as `kemora status --json`, no
question asked, nothing written by a plan, accepted steps skipped."""

import contextlib
import io
import json
import subprocess
import sys
import time

import pytest

from motor_support import make_workspace


class NoReading(io.StringIO):
    def isatty(self):
        return True

    def readline(self, *args):
        raise AssertionError("the data-source question was asked")


@pytest.fixture
def ws(tmp_path, demo_dir, fake, monkeypatch):
    monkeypatch.setattr(sys, "stdin", NoReading())
    fake.clear()
    return make_workspace(demo_dir, tmp_path / "ws")


def files(root):
    return {p.relative_to(root): p.read_bytes() if p.is_file() else None for p in sorted(root.rglob("*"))}


def quiet(f, *args, **kwargs):
    with contextlib.redirect_stdout(io.StringIO()) as out:
        result = f(*args, **kwargs)
    return result, out.getvalue()


def test_plan_is_what_kemora_status_says_and_writes_nothing(ws, kemora_bin):
    from kemora.motor import plan

    before = files(ws)
    rows, printed = quiet(plan, str(ws), fingerprint_cache=False, skip_ml=True)
    assert files(ws) == before
    assert "[AUTO]" in printed
    status = subprocess.run([kemora_bin, "status", "--work-dir", str(ws), "--no-cache", "--skip-ml", "--json"],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, check=True)
    assert rows == json.loads(status.stdout)
    assert len(rows) == 15
    assert {r["decision"] for r in rows} == {"run"}
    assert rows[0] == {"code": "ingest_ddl", "notebook": "nb_01a_ingest_ddl.ipynb", "decision": "run",
                       "reason": "ilk çalıştırma", "changed_files": [], "triggered_by": []}
    with pytest.raises(TypeError, match="skip_ml"):
        quiet(plan, str(ws), skip_ml="yes")


def test_accepted_steps_are_skipped_and_unknown_codes_write_nothing(ws, fake):
    from kemora.motor import Motor, accept, plan

    with pytest.raises(ValueError, match="unknown step 'yok'.*nothing was recorded"):
        quiet(accept, ["ingest_kik", "yok"], str(ws))
    assert not (ws / "seasons").exists()

    manifest, printed = quiet(accept, ["ingest_ddl", "ingest_kik"], str(ws))
    assert "  KABUL — ingest_kik: nb_01b_ingest_kik.ipynb (" in printed
    assert json.loads(manifest.read_text())["adimlar"]["ingest_kik"]["durum"] == "KABUL"
    record = json.loads((manifest.parent / "adim_ingest_kik.json").read_text())
    assert list(record)[-1] == "kabul" and record["kabul"] is True
    assert fake.calls() == []

    time.sleep(1.1)  # the next engine gets a season of its own
    rows, _ = quiet(plan, str(ws))
    by_code = {r["code"]: r for r in rows}
    assert by_code["ingest_ddl"]["decision"] == "skip"
    assert by_code["ingest_kik"]["decision"] == "skip"
    assert by_code["ingest_kredi"]["reason"] == "ilk çalıştırma"
    assert by_code["ingest_kik"]["reason"].startswith("uyumlu (")
    assert by_code["transform"]["decision"] == "run"  # no record of its own yet
    assert by_code["transform"]["reason"] == "ilk çalıştırma"

    # An engine made for running plans with its own options too.
    m, _ = quiet(Motor, str(ws), force_adimlar=["ingest_kik"], ask=False)
    rows, _ = quiet(m.plan)
    assert rows[1]["reason"].startswith("ZORLA (uyumlu (")
