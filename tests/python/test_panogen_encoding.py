"""The renderer's parts from Python: _mio, _row_to_array, the region and
branch maps and the trending section (against the kemora program)."""

import json
import math
import random
import subprocess

import pytest

from kemora.pipeline import panogen
from kemora.pipeline.panogen import _build_bolge_sube_maps, _build_trending_html, _mio, _row_to_array


def same(a, b):
    """Equal values of the same types, -0.0 apart from 0.0."""
    if isinstance(a, float) and isinstance(b, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return type(a) is type(b) and a == b


class TestMio:
    @pytest.mark.parametrize("v, expected", [
        (2_500_000, 2), (3_500_000, 4), (1_000_000, 1), (-1_000_000, -1),
        (999_999, 1.0), (250_000, 0.2), (350_000, 0.3), (50_000, 0.1), (-40_000, -0.0), (0, 0.0),
        (" 1500000 ", 2), ("abc", None), (None, None),
        ("1_500_000", 2), ("-2.5e6", -2), ("  NaN ", None), (float("nan"), None), (True, 0.0), ([1], None),
    ])
    def test_edge_cases(self, v, expected):
        assert same(_mio(v), expected) or (expected is None and _mio(v) is None)

    def test_agrees_with_python_rounding(self):
        # Correctly rounded, ties to even, on amounts around the one-decimal
        # and the whole-million boundaries.
        rnd = random.Random(14)
        values = [k * 50_000 + d for k in range(-60, 61) for d in (-1, 0, 1)]
        values += [rnd.uniform(-5e6, 5e6) for _ in range(3000)] + [rnd.randrange(-10**12, 10**12) for _ in range(500)]
        for v in values:
            m = v / 1_000_000
            expected = int(round(m)) if abs(m) >= 1 else round(m, 1)
            assert same(_mio(v), expected), v
            assert same(_mio(repr(v)), expected), v


def row_array(row, donemler=("1", 2), risk=("1",), bolge=None, sube=None):
    return _row_to_array(row, list(donemler), list(risk), bolge or {}, sube or {})


class TestRowToArray:
    def test_length_and_missing_keys(self):
        d, r = [f"2024{m:02d}" for m in range(1, 13)], [f"2024{m:02d}" for m in range(7, 13)]
        assert len(_row_to_array({}, d, r, {}, {})) == 13 + 12 + 3 * 6
        assert same(row_array({}), [None, "", -1, 0.0, -1, -1, None, None, None, None, None, 0, 0, 0, 0, 0, 0, ""])
        assert row_array({"son_risk": None})[3] is None

    def test_positions(self):
        row = {"muta": "M1", "unvan": "Ç" * 55, "segment": "KOBI", "son_risk": 3_500_000,
               "bolge_kodu": "34", "sube_kodu": 120, "kmr1": "YI", "kmr2": " 12 ",
               "r1": 1_000_000, "rd1": "abc", "df1": 40_000,
               "_hizli_yukselen": True, "_rejim_degisimi": 1, "_potansiyel_yi": None, "_kacirilan": False,
               "_kmr_neden": {"a": [1]}, "ignored": object.__name__}
        a = row_array(row, bolge={"34": 7}, sube={120: 3})
        assert a[:6] == ["M1", "Ç" * 40, 1, 4, 7, 3]
        assert a[6:8] == [-1, 12]
        assert same(a[8:11], [1, None, 0.0])
        assert a[11:] == [True, 1, None, 0, 0, False, {"a": [1]}]

    @pytest.mark.parametrize("score, code", [
        ("YI", -1), ("12", 12), (12.9, 12), (-12.9, -12), ("12.5", None), (None, None), ("x", None),
        (float("nan"), None), ([1], None), ({"a": 1}, None), (True, 1), ("+7", 7),
    ])
    def test_score_codes(self, score, code):
        assert same(row_array({"kmr1": score})[6], code)

    def test_segments_and_codes_match_by_type_and_text(self):
        assert [row_array({"segment": s})[2] for s in ("KUR-TIC", "ESKK", "kobi", 1)] == [0, 3, -1, -1]
        maps = {"101": 0, 101: 1}
        assert [row_array({"bolge_kodu": c}, bolge=maps)[4] for c in ("101", 101, 101.0, None)] == [0, 1, -1, -1]
        assert row_array({"sube_kodu": True}, sube={1: 5})[5] == -1

    @pytest.mark.parametrize("row", [{"segment": ["KOBI"]}, {"bolge_kodu": {"a": 1}}, {"unvan": 5}, {"unvan": True}])
    def test_values_a_position_cannot_take(self, row):
        with pytest.raises(TypeError):
            row_array(row)

    @pytest.mark.parametrize("args", [
        ([1], [], [], {}, {}),
        ({}, "12", [], {}, {}),
        ({}, [], None, {}, {}),
        ({}, [], [], [("a", 1)], {}),
        ({}, [], [], {}, {"a": "1"}),
        ({"muta": b"x"}, [], [], {}, {}),
    ])
    def test_argument_types(self, args):
        with pytest.raises(TypeError):
            _row_to_array(*args)


class TestBolgeSubeMaps:
    def test_made_up_names_order_and_maps(self):
        rows = [{"bolge_kodu": 34, "sube_kodu": 120}, {"sube_kodu": 7}, {"bolge_kodu": "", "sube_kodu": ""},
                {"bolge_kodu": 6, "sube_kodu": 7}, {"bolge_kodu": 6, "sube_kodu": 120}]
        bl, bm, sl, sm = _build_bolge_sube_maps(rows)
        assert bl == [{"kodu": 34, "adi": "Bölge 34"}, {"kodu": "", "adi": "Bölge "}, {"kodu": 6, "adi": "Bölge 6"}]
        assert sl == [{"kodu": 120, "adi": "Şube 120", "bolge_idx": 0}, {"kodu": 7, "adi": "Şube 7", "bolge_idx": -1},
                      {"kodu": "", "adi": "Şube ", "bolge_idx": 1}]
        assert bm == {34: 0, "": 1, 6: 2} and sm == {120: 0, 7: 1, "": 2}
        assert list(bm) == [34, "", 6] and isinstance(bm, dict)
        assert json.loads(json.dumps(sm)) == {"120": 0, "7": 1, "": 2}
        assert _build_bolge_sube_maps([]) == ([], {}, [], {})

    def test_codes_of_one_value_but_two_types_stay_apart(self):
        bl, bm, _, _ = _build_bolge_sube_maps([{"bolge_kodu": 101}, {"bolge_kodu": 101.0}, {"bolge_kodu": "101"}])
        assert [b["adi"] for b in bl] == ["Bölge 101", "Bölge 101.0", "Bölge 101"]
        assert (bm[101], bm[101.0], bm["101"]) == (0, 1, 2)
        assert 102 not in bm and bm.get(101.5, -1) == -1
        assert [row_array({"bolge_kodu": c}, bolge=bm)[4] for c in (101.0, 101, "101")] == [1, 0, 2]
        with pytest.raises(TypeError):
            bm[5] = 1
        import pickle
        assert pickle.loads(pickle.dumps(bm))[101.0] == 1

    def test_reference_names(self, tmp_path):
        ref = tmp_path / "sube_bolge_ref.csv"
        ref.write_text('sube_adi,sube_kodu,bolge_kodu,bolge_adi\n"Kadıköy, Merkez",120,34,İstanbul\n'
                       ',121,34,Başka\n\nX,122,06\nZ,120,35,Sonra\nkısa\n', encoding="utf-8")
        rows = [{"bolge_kodu": "34", "sube_kodu": "120"}, {"bolge_kodu": 6, "sube_kodu": "121"},
                {"bolge_kodu": "06", "sube_kodu": "122"}, {"sube_kodu": 120}]
        bl, _, sl, _ = _build_bolge_sube_maps(rows, str(ref))
        assert [b["adi"] for b in bl] == ["İstanbul", "Bölge 6", "Bölge 06"]
        assert [s["adi"] for s in sl] == ["Kadıköy, Merkez", "", "X", "Kadıköy, Merkez"]
        assert _build_bolge_sube_maps(rows, ref)[2] == sl  # a pathlib.Path does as well
        assert _build_bolge_sube_maps(rows, str(tmp_path / "none.csv"))[0][0]["adi"] == "Bölge 34"

    def test_short_reference_line_gives_no_branch_name(self, tmp_path):
        ref = tmp_path / "ref.csv"
        ref.write_text("\ufeffbolge_kodu,sube_kodu,bolge_adi,sube_adi\n34,120,A\n", encoding="utf-8")
        bl, _, sl, _ = _build_bolge_sube_maps([{"bolge_kodu": "34", "sube_kodu": "120"}], str(ref))
        assert bl[0]["adi"] == "Bölge 34"  # the first column name carries the byte-order mark
        assert sl[0]["adi"] is None

    def test_errors(self, tmp_path):
        for rows in ([{"a": 1}, 5], "rows", [{"bolge_kodu": [1]}]):
            with pytest.raises(TypeError):
                _build_bolge_sube_maps(rows)
        with pytest.raises(TypeError):
            _build_bolge_sube_maps([], 5)
        with pytest.raises(OSError):
            _build_bolge_sube_maps([], str(tmp_path))  # a folder, not a file
        bad = tmp_path / "bad.csv"
        bad.write_bytes(b"bolge_kodu\n\xff\n")
        with pytest.raises(ValueError, match="UTF-8"):
            _build_bolge_sube_maps([], str(bad))


TRENDING = {
    "low_but_rising": [{"muta": None, "unvan": "A & <B>", "score_last": 7.5, "son_risk": 2_345_678, "reason": "x"}],
    "fastest_rising": [{"muta": 1, "unvan": None, "son_risk": 0}, {"muta": 2, "score_last": True,
                                                                    "son_risk": 12_000_000}],
    "regime_change": [],
    "persistent_high": None,
}


class TestTrending:
    def test_same_section_as_the_program(self, tmp_path, kemora_bin):
        for trending in (TRENDING, {"persistent_high": [{"muta": i, "son_risk": i * 1e5} for i in range(250)]}):
            f = tmp_path / "sample_trending_lists.json"
            f.write_text(json.dumps(trending, ensure_ascii=False), encoding="utf-8")
            cli = subprocess.run([str(kemora_bin), "trending", str(f)], check=True, capture_output=True).stdout
            assert _build_trending_html(trending).encode("utf-8") == cli

    def test_cards_in_fixed_order_and_cells(self):
        html = _build_trending_html(TRENDING)
        assert html.index("En Hizli Yükselenler") < html.index("Düsük ama Yükselen")
        assert "Rejim Degisimi" not in html and "(2 firma)" in html
        assert "<td>None</td>" not in html  # a null unvan is an empty cell
        assert '<td style="text-align:right">2.35</td>' in html and '<td style="text-align:right">0</td>' in html

    def test_empty_lists_give_empty_text(self):
        assert _build_trending_html({}) == ""
        assert _build_trending_html({"fastest_rising": [], "regime_change": None, "other": [1]}) == ""

    @pytest.mark.parametrize("bad", [[], "x", None, {"fastest_rising": "abc"}, {"fastest_rising": [1]},
                                     {"fastest_rising": [{"muta": b"1"}]}])
    def test_wrong_kinds(self, bad):
        with pytest.raises(TypeError):
            _build_trending_html(bad)
