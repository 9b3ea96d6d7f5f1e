"""kemora.motor runs with a papermill stand-in: a whole run against the same
run of the kemora program, run decisions across seasons, notebook parameters,
kontrol_fn, the console through sys.stdout and the GIL."""

import contextlib
import datetime
import io
import json
import subprocess
import sys
import threading
import time

import pytest

from motor_support import make_workspace, normalise, season_records


@pytest.fixture
def ws(tmp_path, demo_dir, fake, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))  # no terminal: the [AUTO] path
    fake.clear()
    return make_workspace(demo_dir, tmp_path / "ws")


def run(**options):
    """A Motor over `work_dir` and run_all(), and what it printed."""
    from kemora.motor import Motor

    run_options = {k: options.pop(k) for k in list(options) if k in ("referans_tarih_list", "test_muta_count",
                                                                      "skip_ingest", "skip_ml", "skip_backtest")}
    with contextlib.redirect_stdout(io.StringIO()) as out:
        m = Motor(**options)
        manifest = m.run_all(**run_options)
    return m, manifest, out.getvalue()


def age(m, older_ts):
    """Gives the season of `m` an older time stamp, so that an engine made in
    the same second sees it as an earlier season."""
    m.season_dir.rename(m.season_dir.with_name(m.season_adi.replace(m.ts, older_ts)))


def normalised_calls(calls, work_dir):
    return [json.loads(normalise(json.dumps(c, ensure_ascii=False), work_dir)) for c in calls]


def test_a_run_prints_writes_and_executes_what_kemora_run_does(ws, tmp_path, demo_dir, kemora_bin, fake):
    m, manifest, printed = run(work_dir=str(ws), referans_tarih_list=["2024-01-31", datetime.date(2024, 2, 29)],
                               test_muta_count=5)
    py_calls = fake.calls()
    fake.clear()

    cli_ws = make_workspace(demo_dir, tmp_path / "cli")
    cli = subprocess.run([str(kemora_bin), "run", "--work-dir", str(cli_ws), "--referans-tarih", "2024-01-31",
                          "--referans-tarih", "2024-02-29", "--test-muta-count", "5"],
                         stdin=subprocess.DEVNULL, env=fake.env(), capture_output=True, text=True, timeout=300)
    assert cli.returncode == 0, cli.stderr
    cli_season = cli_ws / "seasons" / next((cli_ws / "seasons").iterdir()).name

    assert "Kemora Pipeline v" in printed and "papermill says hello on stdout" not in printed
    assert normalise(printed, ws) == normalise(cli.stdout, cli_ws)
    assert season_records(m.season_dir, ws) == season_records(cli_season, cli_ws)
    assert normalised_calls(py_calls, ws) == normalised_calls(fake.calls(), cli_ws)
    assert len(py_calls) == len(m.ozet_satirlar) == 18

    assert manifest == m.meta_dir / f"manifest_{m.ts}.json" and manifest.is_file()
    assert json.loads(manifest.read_text(encoding="utf-8"))["adimlar"] == m.manifest_adimlar
    assert [list(row) for row in m.ozet_satirlar] == [["adim", "nb", "sure", "durum", "sebep"]] * 18
    assert {r["durum"] for r in m.ozet_satirlar} == {"OK"} and not m.any_failed()
    assert m.calisan_adimlar == {r["adim"] for r in m.ozet_satirlar}
    params = {c[1].rsplit("/", 1)[1]: c[3] for c in py_calls}
    transform = params["adim_transform_nb_02_transform.ipynb"]
    assert transform["REFERANS_TARIH_LIST"] == "['2024-01-31', '2024-02-29']"
    assert type(params["adim_ml_train_nb_04b_ml_train.ipynb"]["TEST_MUTA_COUNT"]) is int


def test_second_run_skips_and_changes_rerun_with_their_cascade(ws):
    first, _, _ = run(work_dir=str(ws))
    age(first, "20000101_000001")

    second, _, printed = run(work_dir=str(ws))
    assert {r["durum"] for r in second.ozet_satirlar} == {"ATLANDI"} and second.calisan_adimlar == set()
    assert all(r["sebep"].startswith("uyumlu (") for r in second.ozet_satirlar)
    assert "  ATLANDI — uyumlu (" in printed
    age(second, "20000101_000002")

    marts = ws / "nb_03_marts.ipynb"
    marts.write_text(marts.read_text() + " ")
    source = sorted((ws / "external_data" / "kik_data_ham_csv").iterdir())[0]
    source.write_bytes(source.read_bytes() + b"\n")
    third, _, _ = run(work_dir=str(ws), skip_backtest=True)
    sebep = {r["adim"]: r["sebep"] for r in third.ozet_satirlar}
    assert sebep["ingest_kik"] == f"kaynak değişti ({source.name})"
    assert sebep["ingest_kredi"].startswith("uyumlu (")
    assert sebep["transform"] == "cascade (ingest_kik)"
    assert sebep["marts"].startswith("notebook değişti (")
    assert sebep["ml_predict"] == "cascade (ml_train,marts)"
    assert third.calisan_adimlar == {"ingest_kik", "transform", "marts", "ml_features", "ml_train", "ml_predict"}


def test_forced_and_from_step_options(ws):
    first, _, _ = run(work_dir=str(ws), skip_ingest=True, skip_ml=True, skip_backtest=True)
    age(first, "20000101_000001")
    m, _, printed = run(work_dir=str(ws), force_adimlar={"marts"}, from_step="transform", skip_ingest=True,
                        skip_ml=True, skip_backtest=True)
    assert "Force: False ['marts']" in printed
    rows = {r["adim"]: r for r in m.ozet_satirlar}
    assert rows["transform"]["durum"] == "ATLANDI" and rows["transform"]["sebep"].startswith("uyumlu (")
    assert rows["marts"]["durum"] == "OK" and rows["marts"]["sebep"].startswith("ZORLA (uyumlu (")
    assert m.manifest_adimlar["marts"] == {"notebook": "nb_03_marts.ipynb", "durum": "OK",
                                           "sure": rows["marts"]["sure"]}


def test_extra_parameters_reach_the_notebook_with_their_types(ws, fake):
    from kemora.motor import Motor

    with contextlib.redirect_stdout(io.StringIO()):
        m = Motor(str(ws), file_suffix="_v2", muta_filter_path="/f/muta.txt")
    extra = {"DB_PATH": "/own.duckdb", "N": None, "B": True, "I": -3, "BIG": 2 ** 63, "F": 2.5, "S": "şube",
             "L": [1, "a", None, [2.5, False]], "D": {"k": {"n": [True, {}]}, "e": []}}
    given = json.dumps(extra)
    with contextlib.redirect_stdout(io.StringIO()):
        assert m.adim_isle("marts", ek_params=extra) is True
    assert json.dumps(extra) == given, "the caller's map is not changed"
    params = fake.calls()[-1][3]
    assert list(params) == ["DB_PATH", "OUTPUT_DIR", "WORK_DIR", "MUTA_FILTER_PATH", "FILE_SUFFIX", "N", "B", "I",
                            "BIG", "F", "S", "L", "D"]
    assert params == {**extra, "OUTPUT_DIR": str(m.output_dir), "WORK_DIR": str(m.work_dir),
                      "MUTA_FILTER_PATH": "/f/muta.txt", "FILE_SUFFIX": "_v2"}
    assert [type(params[k]) for k in extra] == [type(v) for v in extra.values()]
    assert type(params["L"][3][1]) is bool and type(params["D"]["k"]["n"][0]) is bool


def test_kontrol_fn_is_called_with_the_working_directory_and_its_errors_fail_the_step(ws):
    from kemora.motor import Motor

    with contextlib.redirect_stdout(io.StringIO()) as out:
        m = Motor(str(ws))
        seen = []
        assert m.adim_isle("transform", kontrol_fn=lambda wd: (seen.append(wd), print("hook ran"))) is True

        def broken(_):
            raise ValueError("kontrol bozuk")

        assert m.adim_isle("marts", kontrol_fn=broken) is False
    assert seen == [m.work_dir]
    lines = out.getvalue().splitlines()
    ok = [i for i, line in enumerate(lines) if line.startswith("  OK ")]
    assert lines[ok[0] + 1] == "hook ran", "Python's prints and the engine's lines share sys.stdout in order"
    assert lines[ok[1] + 1].startswith("  HATA — ") and lines[ok[1] + 2] == "  kontrol bozuk"
    assert lines[ok[1] + 3] == f"  Hata raporu: {m.season_dir / 'error_report.txt'}"

    # The notebook ran and its record is written; the hook's failure adds a second row.
    assert [(r["adim"], r["durum"], r["sebep"]) for r in m.ozet_satirlar[1:]] == \
        [("marts", "OK", "ilk çalıştırma"), ("marts", "HATA", "kontrol bozuk")]
    assert m.manifest_adimlar["marts"] == {"notebook": "nb_03_marts.ipynb", "durum": "HATA", "hata": "kontrol bozuk"}
    assert "marts" in m.calisan_adimlar and (m.meta_dir / "adim_marts.json").exists() and m.any_failed()


def test_kontrol_fn_exceptions_that_are_not_step_failures_reach_the_caller_unchanged(ws):
    from kemora.motor import Motor

    with contextlib.redirect_stdout(io.StringIO()):
        first = Motor(str(ws))
        first.adim_isle("marts")
    age(first, "20000101_000001")
    raised = LookupError("atlanan adımın kontrolü")

    def hook(_):
        raise raised

    def interrupt(_):
        raise KeyboardInterrupt

    with contextlib.redirect_stdout(io.StringIO()):
        m = Motor(str(ws))
        # On a skip path the hook runs outside the step's guard.
        with pytest.raises(LookupError) as info:
            m.adim_isle("marts", kontrol_fn=hook)
        assert info.value is raised
        assert m.manifest_adimlar["marts"]["durum"] == "ATLANDI"
        # An interrupt inside the guard is no failed step.
        with pytest.raises(KeyboardInterrupt):
            m.adim_isle("transform", kontrol_fn=interrupt)
    assert [r["durum"] for r in m.ozet_satirlar] == ["ATLANDI", "OK"]
    assert m.manifest_adimlar["transform"]["durum"] == "OK" and not m.any_failed()


def test_a_failing_notebook_is_a_failed_step(ws, monkeypatch):
    from kemora.motor import Motor

    monkeypatch.setenv("FAKE_PAPERMILL_FAIL", "nb_03_marts.ipynb")
    with contextlib.redirect_stdout(io.StringIO()) as out:
        m = Motor(str(ws))
        assert m.adim_isle("marts") is False
        assert m.adim_isle("export") is False
    assert "\n  ValueError: boom\n" in out.getvalue() and "  [!] Bilinmeyen adım: export\n" in out.getvalue()
    assert m.ozet_satirlar[-1]["sebep"] == "ValueError: boom" and m.any_failed()
    assert "marts" not in m.calisan_adimlar and not (m.meta_dir / "adim_marts.json").exists()


def test_the_engine_runs_without_the_gil_and_refuses_other_threads_meanwhile(ws, fake, tmp_path, monkeypatch):
    from kemora.motor import Motor

    pid_file = tmp_path / "pid"
    monkeypatch.setenv("FAKE_PAPERMILL_SECONDS", "1.5")
    monkeypatch.setenv("FAKE_PAPERMILL_PID", str(pid_file))
    with contextlib.redirect_stdout(io.StringIO()):
        m = Motor(str(ws))
    result = {}
    runner = threading.Thread(target=lambda: result.setdefault("ok", m.adim_isle("marts")))
    with contextlib.redirect_stdout(io.StringIO()):
        runner.start()
        deadline = time.monotonic() + 30
        while not pid_file.exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert pid_file.exists()
        # This thread runs Python while the step runs.
        ticks, end = 0, time.monotonic() + 0.5
        while time.monotonic() < end:
            ticks += 1
        with pytest.raises(RuntimeError, match="another thread"):
            m.ozet_satirlar
        runner.join(60)
    assert result == {"ok": True} and ticks > 1000
    assert [r["durum"] for r in m.ozet_satirlar] == ["OK"]
