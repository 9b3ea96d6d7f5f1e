"""kemora.pipeline.panogen.render_html from Python: the same page as the
kemora program, options by position and by name, the row filter, the result
record, the console through sys.stdout, and the errors a Python caller
expects."""

import contextlib
import io
import json
import pathlib
import subprocess
import sys

import pytest

from kemora import paths
from kemora.pipeline import panogen
from kemora.pipeline.panogen import TemplateError, render_html

GENERATOR = pathlib.Path(__file__).resolve().parents[2] / "bench" / "gen_scoreboard.py"


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """A generated scoreboard of 2500 rows with its reference CSV."""
    d = tmp_path_factory.mktemp("gen") / "outputs" / "json"
    d.mkdir(parents=True)
    subprocess.run([sys.executable, str(GENERATOR), "2500", str(d)], check=True, capture_output=True)
    return d / "sample_scoreboard.json"


def write_scoreboard(path, rows, meta=None, **extra):
    path.parent.mkdir(parents=True, exist_ok=True)
    doc = {"meta": {"donemler": ["202401", "202402"]} if meta is None else meta, "rows": rows, **extra}
    path.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    return path


@contextlib.contextmanager
def template(tmp_path, text):
    """Renders with the template `text` for the duration of the block."""
    t = tmp_path / "tpl" / "t.html.j2"
    t.parent.mkdir(exist_ok=True)
    t.write_text(text, encoding="utf-8")
    paths.set_template_path(t)
    try:
        yield t
    finally:
        paths.set_template_path(None)


def captured(call):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = call()
    return result, out.getvalue()


def kemora_render(kemora_bin, *args):
    return subprocess.run([str(kemora_bin), "render", *map(str, args)], check=True, capture_output=True,
                          text=True).stdout


ROWS = [
    {"muta": 1, "unvan": "Şirket A", "segment": "KOBI", "son_risk": 2_500_000, "bolge_kodu": "34", "sube_kodu": 120},
    {"muta": 2, "unvan": "B", "segment": "MIKRO", "son_risk": 9_000_000, "bolge_kodu": "06", "sube_kodu": 7},
    {"muta": 3, "segment": "KOBI", "bolge_kodu": "34", "sube_kodu": 121, "kmr202401": "YI"},
    {"muta": 4, "unvan": "D", "son_risk": None, "kmr202402": 12.9},
]


def test_module_constants_and_names():
    assert panogen.SEGMENTS_LIST == ["KUR-TIC", "KOBI", "MIKRO", "ESKK"]
    assert panogen.SEG_MAP == {s: i for i, s in enumerate(panogen.SEGMENTS_LIST)}
    assert (panogen.DEFAULT_CHUNK_SIZE, panogen.DEFAULT_TOP_N) == (10000, 100)
    assert issubclass(TemplateError, Exception) and not issubclass(TemplateError, RuntimeError)
    assert issubclass(panogen.TemplateNotFound, TemplateError)
    assert issubclass(panogen.TemplateNotFound, FileNotFoundError)
    for name in ("render_html", "_build_trending_html", "_row_to_array", "_build_bolge_sube_maps", "_mio"):
        assert callable(getattr(panogen, name))


class TestSamePageAsTheProgram:
    def test_defaults_positional_and_named(self, generated, tmp_path, kemora_bin):
        expected = tmp_path / "cli.html"
        printed_cli = kemora_render(kemora_bin, generated, "-o", expected, "--chunk-size", 700, "--top-n", 25,
                                    "--external-link", "https://x/?m=", "--max-size-mb", 0.001)
        page = expected.read_bytes()

        by_name = tmp_path / "named.html"
        r1, printed = captured(lambda: render_html(json_path=generated, output_html=by_name, chunk_size=700,
                                                   top_n=25, external_link="https://x/?m=", max_size_mb=0.001))
        assert by_name.read_bytes() == page
        assert printed == printed_cli.replace(str(expected), str(by_name))

        by_position = tmp_path / "positional.html"
        r2, _ = captured(lambda: render_html(str(generated), str(by_position), None, None, 700, 25, "https://x/?m=",
                                             None, 0.001))
        assert by_position.read_bytes() == page
        assert r1 == {**r2, "html_path": str(by_name)}
        assert list(r1) == ["html_path", "rows", "chunks", "size_kb"]
        assert r1["rows"] == 2500 and r1["chunks"] == 4 and type(r1["size_kb"]) is float
        assert r1["size_kb"] == len(page) / 1024

    def test_default_output_beside_the_json_folder(self, generated, kemora_bin):
        out = generated.parent.parent / "html" / "kmr_dashboard.html"
        kemora_render(kemora_bin, generated)
        page = out.read_bytes()
        out.unlink()
        result, printed = captured(lambda: render_html(generated, threads=1))
        assert result["html_path"] == str(out) and out.read_bytes() == page
        assert printed.splitlines()[0] == f"    HTML: {out}"
        assert printed.splitlines()[2].startswith("    Bölge: ")


def test_zero_result_without_periods(tmp_path):
    sb = write_scoreboard(tmp_path / "data" / "json" / "sb.json", ROWS, meta={"donemler": []})
    result, printed = captured(lambda: render_html(sb, row_filter=lambda r: pytest.fail("no row is looked at")))
    out = tmp_path / "data" / "html" / "kmr_dashboard.html"
    assert result == {"html_path": str(out), "rows": 0, "chunks": 0, "size_kb": 0}
    assert type(result["size_kb"]) is int
    assert printed == "    [WARN] No periods in data, skipping HTML render\n"
    assert not out.exists() and out.parent.is_dir()


CHUNKS_TEMPLATE = ("{{ total_rows }}|{{ total_chunks }}|{{ risk_donemler }}|{{ bolge_list_js }}|{{ sube_list_js }}|"
                   "{% for i, c in enumerate(data_chunks) %}{{ i }}={{ c }};{% endfor %}")


def page_parts(path):
    rows, chunks, risk, bolge, sube, data = path.read_text(encoding="utf-8").split("|", 5)
    texts = [c.split("=", 1)[1] for c in data.split(";") if c]
    return int(rows), int(chunks), json.loads(risk), json.loads(bolge), json.loads(sube), texts


class TestRowsOfThePage:
    def test_order_chunks_and_encoding_agree_with_the_module_functions(self, tmp_path):
        sb = write_scoreboard(tmp_path / "sb.json", ROWS)
        out = tmp_path / "p.html"
        with template(tmp_path, CHUNKS_TEMPLATE):
            render_html(sb, out, chunk_size=3)
        rows, chunks, risk, bolge, sube, texts = page_parts(out)
        assert (rows, chunks, len(texts)) == (4, 2, 2)
        assert risk == ["202401", "202402"]  # meta without risk_donemler
        ordered = sorted(ROWS, key=lambda r: -(r.get("son_risk") or 0))
        bl, bm, sl, sm = panogen._build_bolge_sube_maps(ordered)
        assert bolge == bl and sube == sl
        encoded = [panogen._row_to_array(r, risk, risk, bm, sm) for r in ordered]
        assert [json.loads(t) for t in texts] == [encoded[:3], encoded[3:]]
        assert texts[0].startswith("[[2,") and ", " not in texts[0]
        assert "Şirket A" in texts[0]

    def test_row_filter_receives_dicts_and_keeps_true_rows(self, tmp_path):
        sb = write_scoreboard(tmp_path / "sb.json", ROWS)
        seen = []

        def kobi(row):
            seen.append(row)
            return row.get("segment") == "KOBI" and 1  # any true value keeps the row

        out = tmp_path / "p.html"
        with template(tmp_path, CHUNKS_TEMPLATE):
            result = render_html(sb, out, row_filter=kobi)
        assert seen == ROWS and all(type(r) is dict for r in seen)
        assert list(seen[0]) == list(ROWS[0])  # members in file order
        assert result["rows"] == 2
        _, _, _, _, _, texts = page_parts(out)
        assert [r[0] for r in json.loads(texts[0])] == [1, 3]

        result = render_html(sb, out, row_filter=lambda r: False)
        assert (result["rows"], result["chunks"]) == (0, 1)

    def test_row_filter_exception_propagates_and_nothing_is_written(self, tmp_path):
        class Refused(Exception):
            pass

        def refuse(row):
            if row["muta"] == 3:
                raise Refused("no 3")
            return True

        sb = write_scoreboard(tmp_path / "sb.json", ROWS)
        out = tmp_path / "p.html"
        with pytest.raises(Refused, match="no 3"):
            captured(lambda: render_html(sb, out, row_filter=refuse))
        assert not out.exists()
        out.write_text("old")
        _, printed = captured(lambda: pytest.raises(Refused, render_html, sb, out, row_filter=refuse))
        assert out.read_text() == "old" and printed == ""

    def test_filter_raising_after_a_row_that_cannot_be_encoded_wins(self, tmp_path):
        # The filter looks at every row before the rows are encoded.
        rows = [{"muta": 1, "segment": ["bad"]}, {"muta": 2}]
        sb = write_scoreboard(tmp_path / "sb.json", rows)
        with pytest.raises(ZeroDivisionError):
            render_html(sb, tmp_path / "p.html", row_filter=lambda r: r["muta"] < 2 or 1 / 0)
        # Dropped by the filter, the bad row is never encoded.
        assert render_html(sb, tmp_path / "p.html", row_filter=lambda r: r["muta"] == 2)["rows"] == 1
        with pytest.raises(ValueError, match=r"rows\[0\]"):
            render_html(sb, tmp_path / "p.html")


def test_size_warning_and_report_lines(tmp_path):
    sb = write_scoreboard(tmp_path / "sb.json", ROWS)
    out = tmp_path / "p.html"
    with template(tmp_path, "x" * 2000):
        result, printed = captured(lambda: render_html(sb, out, max_size_mb=0.001))
    assert printed.splitlines() == [
        f"    HTML: {out}",
        "    Boyut: 2.0 KB  |  4 satır  |  1 chunk",
        "    Bölge: 2  |  Şube: 3",
        "    [WARN] Boyut limiti aşıldı: 0.0 MB > 0.001 MB",
    ]
    assert result["size_kb"] == 2000 / 1024
    _, printed = captured(lambda: render_html(sb, out, max_size_mb=5))
    assert "[WARN]" not in printed


class TestTypeChecks:
    @pytest.mark.parametrize("kwargs", [
        {"json_path": 5},
        {"json_path": b"sb.json"},
        {"output_html": b"p.html"},
        {"ref_csv_path": 1},
        {"trending_path": 2.0},
        {"chunk_size": "10"},
        {"chunk_size": 10.0},
        {"top_n": None},
        {"external_link": None},
        {"external_link": b"http"},
        {"row_filter": "segment == KOBI"},
        {"max_size_mb": "5"},
        {"max_size_mb": None},
        {"threads": 1.5},
    ])
    def test_wrong_type_raises_before_anything_happens(self, tmp_path, kwargs):
        sb = write_scoreboard(tmp_path / "data" / "json" / "sb.json", ROWS)
        args = {"json_path": sb, **kwargs}
        before = sorted(tmp_path.rglob("*"))
        with pytest.raises(TypeError, match=next(iter(kwargs))):
            captured(lambda: render_html(**args))
        _, printed = captured(lambda: pytest.raises(TypeError, render_html, **args))
        assert printed == "" and sorted(tmp_path.rglob("*")) == before  # not even the html folder

    def test_bools_count_as_ints_and_ints_as_reals(self, tmp_path):
        sb = write_scoreboard(tmp_path / "sb.json", ROWS)
        assert render_html(sb, tmp_path / "p.html", chunk_size=True, max_size_mb=False)["chunks"] == 4

    def test_too_many_arguments_and_values_out_of_range(self, tmp_path):
        sb = write_scoreboard(tmp_path / "sb.json", ROWS)
        with pytest.raises(TypeError):
            render_html(sb, None, None, None, 10, 10, "", None, 0.0, 2)  # threads is named only
        for bad in (0, -5):
            with pytest.raises(ValueError, match="chunk_size"):
                render_html(sb, tmp_path / "p.html", chunk_size=bad)
        assert not (tmp_path / "p.html").exists()


class TestErrors:
    def test_missing_scoreboard(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="nope.json"):
            render_html(tmp_path / "nope.json", tmp_path / "p.html")

    def test_invalid_json_names_file_and_byte(self, tmp_path):
        bad = tmp_path / "bad.json"
        bad.write_text('{"meta": {"donemler": [1]}, "rows": [}', encoding="utf-8")
        with pytest.raises(ValueError, match=r"bad\.json: invalid JSON at byte \d+"):
            render_html(bad, tmp_path / "p.html")
        assert not (tmp_path / "p.html").exists()

    def test_scoreboard_without_rows(self, tmp_path):
        sb = tmp_path / "sb.json"
        sb.write_text('{"meta": {"donemler": [1]}}', encoding="utf-8")
        with pytest.raises(ValueError, match="rows"):
            render_html(sb, tmp_path / "p.html")

    def test_template_error_names_template_and_line(self, tmp_path):
        sb = write_scoreboard(tmp_path / "sb.json", ROWS)
        out = tmp_path / "p.html"
        with template(tmp_path, "line one\n{{ total_rows }}\n{% for x in %}\n"):
            with pytest.raises(TemplateError, match=r"t\.html\.j2:3"):
                render_html(sb, out)
        assert not out.exists()
        paths.set_template_path(tmp_path / "missing.html.j2")
        try:
            with pytest.raises(panogen.TemplateNotFound, match="missing.html.j2"):
                render_html(sb, out)
        finally:
            paths.set_template_path(None)
        assert render_html(sb, out)["rows"] == 4  # the packaged template is back

    def test_console_write_failure_reaches_the_caller(self, tmp_path):
        sb = write_scoreboard(tmp_path / "sb.json", ROWS)

        class Closed(io.StringIO):
            def write(self, s):
                raise OSError("console gone")

        with pytest.raises(OSError, match="console gone"):
            with contextlib.redirect_stdout(Closed()):
                render_html(sb, tmp_path / "p.html")
