"""kemora.motor: the imports, the tables, the fingerprint functions, the
engine's construction and attributes, and the type checks on entry."""

import contextlib
import hashlib
import io
import os
import pathlib
import subprocess
import time

import pytest

from motor_support import make_workspace, tree


def test_the_module_gives_the_documented_names_and_tables(kemora_bin):
    import kemora.motor
    from kemora.motor import (ADIM_REGISTRY, ALL_INGEST_STEPS, BAGIMLILIK, Motor, PipelineStopped, _file_hash,
                              _git_hash, _git_info)

    assert all(callable(f) for f in (Motor, _file_hash, _git_hash, _git_info))
    assert issubclass(PipelineStopped, SystemExit) and not issubclass(PipelineStopped, Exception)
    assert PipelineStopped.__module__ == Motor.__module__ == "kemora.motor"
    assert {"Motor", "PipelineStopped", "ADIM_REGISTRY", "BAGIMLILIK", "ALL_INGEST_STEPS"} <= set(dir(kemora.motor))

    # The tables as the program lists them: code, notebook, description, prerequisites.
    listed = [line.split("\t") for line in
              subprocess.run([kemora_bin, "steps"], capture_output=True, text=True, check=True).stdout.splitlines()]
    assert list(ADIM_REGISTRY) == [row[0] for row in listed]
    for kod, nb, aciklama, pre in listed:
        assert ADIM_REGISTRY[kod] == {"nb": nb, "aciklama": aciklama}
        assert BAGIMLILIK[kod] == ([] if pre == "-" else pre.split(","))
    assert all(type(v) is list and all(type(p) is str for p in v) for v in BAGIMLILIK.values())
    assert set(BAGIMLILIK) - set(ADIM_REGISTRY) == {"export"}
    assert ALL_INGEST_STEPS == [k for k in ADIM_REGISTRY if k.startswith("ingest_")]


def test_fingerprints(tmp_path):
    from kemora.motor import _file_hash, _git_hash, _git_info

    a, b, empty = tmp_path / "a.bin", tmp_path / "b.bin", tmp_path / "empty"
    data = bytes(range(256)) * 100  # more than one 8192-byte block
    a.write_bytes(data)
    b.write_bytes(data)
    empty.write_bytes(b"")
    assert _file_hash(str(a)) == _file_hash(str(b)) == hashlib.sha256(data).hexdigest()[:16]
    assert _file_hash(str(empty)) == hashlib.sha256(b"").hexdigest()[:16]
    with pytest.raises(FileNotFoundError, match="missing"):
        _file_hash(str(tmp_path / "missing"))
    with pytest.raises(RuntimeError, match="directory"):
        _file_hash(str(tmp_path))

    outside = tmp_path / "outside"
    outside.mkdir()
    assert _git_info(str(outside)) == {"git_available": False}
    assert _git_hash(str(tmp_path / "no-such-dir"), str(a)) is None

    repo = tmp_path / "repo"
    repo.mkdir()
    git = lambda *args: subprocess.run(["git", "-C", str(repo), *args], capture_output=True, text=True,
                                       check=True).stdout.strip()
    git("init", "-q", "-b", "ana")
    (repo / "nb.ipynb").write_text("{}")
    assert _git_info(str(repo)) == {"git_available": False, "git_branch": "ana"}  # no commit yet
    git("add", "nb.ipynb")
    git("-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "-m", "x")
    head = git("rev-parse", "HEAD")
    assert _git_info(str(repo)) == {"git_available": True, "git_commit": head, "git_commit_short": head[:8],
                                    "git_branch": "ana"}
    assert _git_hash(str(repo), "nb.ipynb") == git("hash-object", "nb.ipynb")[:16]


def test_construction_sets_every_attribute(tmp_path, fake):
    from kemora.motor import ADIM_REGISTRY, Motor

    ws = tmp_path / "ws"
    ws.mkdir()
    (ws / "nb_03_marts.ipynb").write_text("{}")
    before = time.time()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        m = Motor(work_dir=str(ws / "sub" / ".."), mode="test", force_adimlar=["marts", "marts"], from_step="marts",
                  muta_filter_path="/f/muta.txt", file_suffix="_v2", data_paths={"kredi_db": ws / "kredi"})
    assert out.getvalue() == "", "a data_paths map asks nothing and prints nothing"

    assert m.work_dir == ws and isinstance(m.work_dir, pathlib.Path)
    assert (m.mode, m.force_all, m.from_step, m.muta_filter_path, m.file_suffix) == \
        ("test", False, "marts", "/f/muta.txt", "_v2")
    assert m.force_adimlar == {"marts"}
    assert m.data_paths == {"kredi_db": str(ws / "kredi")}
    assert m.db_path == ws / "db" / "kmr_test.duckdb"
    assert m.output_dir == ws / "outputs" / "json" and m.output_dir.is_dir()
    assert m.season_adi.startswith("T_" + m.ts + "_test_")
    import kemora
    assert m.season_adi.endswith("_" + kemora.__version__)
    assert m.season_dir == ws / "seasons" / m.season_adi
    assert m.meta_dir == m.season_dir / "meta" and m.meta_dir.is_dir()
    assert m.log_dir == m.season_dir / "logs" and m.log_dir.is_dir()
    assert before - 1 <= m.pipeline_baslangic <= time.time() and isinstance(m.pipeline_baslangic, float)
    assert m.git_info == {"git_available": False}
    codes = list(ADIM_REGISTRY)
    assert m._skip_before == set(codes[:codes.index("marts")])
    assert (m.calisan_adimlar, m.ozet_satirlar, m.manifest_adimlar) == (set(), [], {})
    assert type(m.calisan_adimlar) is set and type(m.ozet_satirlar) is list and type(m.manifest_adimlar) is dict

    assert m._resolve("kredi_db") == str(ws / "kredi")
    assert m._resolve("statik_db") == str(ws / "external_data" / "statik_db")
    assert m._nb_path("marts") == ws / "nb_03_marts.ipynb"
    assert m._nb_path("export") is None
    assert m._find_prev_meta("marts") is None
    assert m.meta_kontrol("marts") == (True, "ilk çalıştırma")
    assert not m.any_failed()


def test_positional_options_and_defaults(tmp_path, monkeypatch, fake):
    from kemora.motor import Motor

    monkeypatch.chdir(tmp_path)
    with contextlib.redirect_stdout(io.StringIO()):
        m = Motor()
        p = Motor(str(tmp_path), "dev", True, ("ml_train",), "", "", "", {"k": "v"})
    assert m.work_dir == tmp_path and m.mode == "prod" and m.season_adi.startswith("S_")
    assert m.db_path == tmp_path / "db" / "kmr.duckdb"
    assert (m.force_all, m.force_adimlar, m.from_step, m.muta_filter_path, m.file_suffix) == \
        (False, set(), None, "", "")
    assert m.data_paths == {}, "no configuration file: [AUTO] goes on with an empty map"
    assert (p.mode, p.force_all, p.force_adimlar, p.from_step, p._skip_before) == ("dev", True, {"ml_train"}, "", set())
    assert "_dev_" in p.season_adi and p.data_paths == {"k": "v"}


def test_records_through_meta_yaz_and_the_previous_season(tmp_path, fake):
    from kemora.motor import Motor, _file_hash

    ws = tmp_path / "ws"
    ws.mkdir()
    nb = ws / "nb_03_marts.ipynb"
    nb.write_text('{"cells": []}')
    old = Motor(str(ws), data_paths={"k": "v"})
    rec = old.meta_yaz("marts", nb, 75.44, source_hashes={"/src/a.csv": "0" * 16}, ekstra={"not": [1, None],
                                                                                         "mode": "x"})
    assert list(rec) == ["notebook", "nb_hash", "git_nb_hash", "pkg_version", "season", "pipeline_ts", "mode",
                         "sure_saniye", "tarih", "source_hashes", "not"]
    assert rec["nb_hash"] == _file_hash(str(nb)) and rec["sure_saniye"] == 75.4 and rec["mode"] == "x"
    assert rec["git_nb_hash"] is None and rec["source_hashes"] == {"/src/a.csv": "0" * 16}
    assert rec["not"] == [1, None]
    import json
    assert json.loads((old.meta_dir / "adim_marts.json").read_text(encoding="utf-8")) == rec
    with pytest.raises(FileNotFoundError):
        old.meta_yaz("marts", ws / "missing.ipynb", 1)

    # A later season of the same kind finds the record.
    (ws / "seasons" / old.season_adi).rename(ws / "seasons" / old.season_adi.replace(old.ts, "20000101_000000"))
    new = Motor(str(ws), data_paths={"k": "v"})
    assert new._find_prev_meta("marts")["season"] == old.season_adi
    assert new.meta_kontrol("marts") == (True, "mode değişti (x→prod)")


WRONG_CONSTRUCTION = [
    dict(work_dir=5), dict(work_dir=b"ws"), dict(work_dir=None), dict(mode=1), dict(mode=b"prod"),
    dict(force_all=1), dict(force_all="yes"), dict(force_adimlar="marts"), dict(force_adimlar=["marts", 3]),
    dict(force_adimlar={"marts": 1}), dict(from_step=3), dict(from_step=b"marts"), dict(muta_filter_path=3),
    dict(file_suffix=None), dict(file_suffix=2), dict(data_paths=[("k", "v")]), dict(data_paths={"k": 1}),
    dict(data_paths={1: "v"}), dict(data_paths={"k": b"v"}), dict(fingerprint_cache=0),
    dict(fingerprint_cache="no"), dict(fingerprint_cache=None),
]


@pytest.mark.parametrize("kwargs", WRONG_CONSTRUCTION, ids=lambda k: repr(k))
def test_wrong_construction_types_raise_before_anything(kwargs, tmp_path, monkeypatch, fake):
    from kemora.motor import Motor

    monkeypatch.chdir(tmp_path)
    kwargs.setdefault("work_dir", str(tmp_path))
    with contextlib.redirect_stdout(io.StringIO()) as out, pytest.raises(TypeError):
        Motor(**kwargs)
    assert out.getvalue() == "" and tree(tmp_path) == []


def test_fingerprint_cache_keyword_decides_whether_dot_kemora_is_used(tmp_path, fake):
    from kemora.motor import Motor

    (tmp_path / "nb_02_transform.ipynb").write_text("{}")
    for on in (False, True):
        with contextlib.redirect_stdout(io.StringIO()):
            m = Motor(str(tmp_path), data_paths={"k": "v"}, fingerprint_cache=on)
            m.meta_yaz("transform", tmp_path / "nb_02_transform.ipynb", 1.0)
        assert (tmp_path / ".kemora").exists() == on
    assert (tmp_path / ".kemora" / "fingerprints.db").is_file()


@pytest.fixture
def engine(tmp_path, demo_dir, fake):
    """An engine over a demo workspace, and a check that nothing happened."""
    from kemora.motor import Motor

    ws = make_workspace(demo_dir, tmp_path / "ws")
    m = Motor(str(ws), data_paths={"k": "v"})
    fake.clear()
    before = tree(ws)

    def untouched(printed):
        assert printed == ""
        assert tree(ws) == before
        assert fake.calls() == []
        assert (m.ozet_satirlar, m.manifest_adimlar, m.calisan_adimlar) == ([], {}, set())

    return m, untouched


WRONG_CALLS = {
    "adim_isle(3)": lambda m: m.adim_isle(3),
    "adim_isle(b'marts')": lambda m: m.adim_isle(b"marts"),
    "ek_params list": lambda m: m.adim_isle("marts", ek_params=[("A", 1)]),
    "ek_params bytes value": lambda m: m.adim_isle("marts", ek_params={"A": b"x"}),
    "ek_params tuple value": lambda m: m.adim_isle("marts", ek_params={"A": (1, 2)}),
    "ek_params set inside a list": lambda m: m.adim_isle("marts", ek_params={"A": [1, {2}]}),
    "ek_params object value": lambda m: m.adim_isle("marts", ek_params={"A": object()}),
    "ek_params int key": lambda m: m.adim_isle("marts", ek_params={1: "x"}),
    "kontrol_fn not callable": lambda m: m.adim_isle("marts", kontrol_fn=5),
    "source_dirs text": lambda m: m.adim_isle("marts", source_dirs="external_data"),
    "source_dirs int element": lambda m: m.adim_isle("marts", source_dirs=["a", 1]),
    "run_all skip_ingest int": lambda m: m.run_all(skip_ingest=1),
    "run_all skip_ml None": lambda m: m.run_all(skip_ml=None),
    "run_all skip_backtest text": lambda m: m.run_all(True, "no"),
    "run_all referans text": lambda m: m.run_all(referans_tarih_list="2024-01-31"),
    "run_all referans int element": lambda m: m.run_all(referans_tarih_list=[20240131]),
    "run_all test_muta_count text": lambda m: m.run_all(test_muta_count="1"),
    "run_all test_muta_count float": lambda m: m.run_all(test_muta_count=1.0),
    "meta_yaz sure text": lambda m: m.meta_yaz("marts", m.work_dir / "nb_03_marts.ipynb", sure="1"),
    "meta_yaz kod int": lambda m: m.meta_yaz(1, m.work_dir / "nb_03_marts.ipynb", 1.0),
    "meta_yaz nb_path int": lambda m: m.meta_yaz("marts", 5, 1.0),
    "meta_yaz source_hashes list": lambda m: m.meta_yaz("marts", m.work_dir / "nb_03_marts.ipynb", 1.0, [("a", "b")]),
    "meta_yaz source_hashes int value": lambda m: m.meta_yaz("marts", m.work_dir / "nb_03_marts.ipynb", 1.0, {"a": 1}),
    "meta_yaz ekstra text": lambda m: m.meta_yaz("marts", m.work_dir / "nb_03_marts.ipynb", 1.0, ekstra="x"),
    "meta_yaz ekstra bytes value": lambda m: m.meta_yaz("marts", m.work_dir / "nb_03_marts.ipynb", 1.0,
                                                        ekstra={"x": b""}),
    "meta_kontrol(1)": lambda m: m.meta_kontrol(1),
    "_find_prev_meta(None)": lambda m: m._find_prev_meta(None),
    "_nb_path(Path)": lambda m: m._nb_path(pathlib.Path("marts")),
    "_resolve(1)": lambda m: m._resolve(1),
}


@pytest.mark.parametrize("call", WRONG_CALLS.values(), ids=WRONG_CALLS.keys())
def test_wrong_argument_types_raise_before_anything(call, engine):
    m, untouched = engine
    with contextlib.redirect_stdout(io.StringIO()) as out, pytest.raises(TypeError):
        call(m)
    untouched(out.getvalue())


@pytest.mark.parametrize("call", [
    lambda f: f._file_hash(5), lambda f: f._file_hash(b"/etc/hostname"), lambda f: f._file_hash(pathlib.Path("x")),
    lambda f: f._git_hash(1, "x"), lambda f: f._git_hash(".", pathlib.Path("x")), lambda f: f._git_info(None),
])
def test_fingerprint_functions_take_text_only(call):
    import kemora.motor

    with pytest.raises(TypeError):
        call(kemora.motor)


def test_a_bool_counts_as_an_int_and_a_path_as_a_path(engine):
    m, _ = engine
    nb = m.work_dir / "nb_03_marts.ipynb"
    assert m.meta_yaz("marts", nb, True)["sure_saniye"] == 1.0
    assert m.meta_yaz("marts", str(nb), 2)["sure_saniye"] == 2.0
    assert os.path.exists(m.meta_dir / "adim_marts.json")
