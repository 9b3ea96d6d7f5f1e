#!/usr/bin/env python3
"""Renders the dashboard template with Python's Jinja2, for debugging the page.

usage: render_reference.py TEMPLATE SCOREBOARD_JSON OUT_HTML [--top-n N] [--chunk-size N]
                           [--external-link URL] [--js-dir DIR] [--ref-csv PATH]

Builds the same 17 template values as `kemora render` (compact row arrays,
region/branch lists, chunk texts) so that the page can be worked on, and
compared, independently of the C++ renderer. The browser test uses
`kemora render`; this script is a second opinion when a page looks wrong.
"""
import argparse
import csv
import json
import math
import os
import sys

import jinja2

SEGMENTS_LIST = ["KUR-TIC", "KOBI", "MIKRO", "ESKK"]
SEG_MAP = {s: i for i, s in enumerate(SEGMENTS_LIST)}
FLAGS = ["_hizli_yukselen", "_rejim_degisimi", "_potansiyel_yi", "_erken_sinyal", "_yakalanan", "_kacirilan"]
MISSING = object()


def _mio(v):
    if v is None:
        return None
    try:
        x = float(v) if isinstance(v, (int, float, str)) else None
    except ValueError:
        return None
    if x is None or math.isnan(x):
        return None
    m = x / 1_000_000
    if math.isinf(m):
        return m
    if abs(m) >= 1:
        return int(round(m))
    return round(m, 1)


def _score(v):
    if v == "YI":
        return -1
    if v is MISSING or v is None:
        return None
    try:
        if isinstance(v, float):
            return None if math.isnan(v) or math.isinf(v) else int(v)
        if isinstance(v, (int, str)):
            return int(v)
    except ValueError:
        return None
    return None


def _code_text(v):
    return v if isinstance(v, str) else repr(v) if isinstance(v, float) else str(v)


def build_maps(rows, ref_csv):
    bolge_ref, sube_ref = {}, {}
    if ref_csv and os.path.exists(ref_csv):
        with open(ref_csv, encoding="utf-8", newline="") as f:
            for rec in csv.DictReader(f):
                b = rec.get("bolge_kodu") or ""
                if b and b not in bolge_ref:
                    bolge_ref[b] = rec.get("bolge_adi") or ""
                s = rec.get("sube_kodu") or ""
                if s and s not in sube_ref:
                    sube_ref[s] = rec.get("sube_adi")
    bolge_list, bolge_map = [], {}
    for r in rows:
        b = r.get("bolge_kodu")
        if b is not None and (type(b), b) not in bolge_map:
            bolge_map[(type(b), b)] = len(bolge_list)
            name = bolge_ref.get(_code_text(b), "")
            bolge_list.append({"kodu": b, "adi": name or "Bölge " + _code_text(b)})
    sube_list, sube_map = [], {}
    for r in rows:
        s = r.get("sube_kodu")
        if s is not None and (type(s), s) not in sube_map:
            sube_map[(type(s), s)] = len(sube_list)
            t = _code_text(s)
            name = sube_ref[t] if t in sube_ref else "Şube " + t
            b = r.get("bolge_kodu")
            sube_list.append({"kodu": s, "adi": name, "bolge_idx": -1 if b is None else bolge_map[(type(b), b)]})
    return bolge_list, bolge_map, sube_list, sube_map


def row_to_array(row, donemler, risk_donemler, bolge_map, sube_map):
    def idx(m, v):
        return -1 if v is None else m.get((type(v), v), -1)
    unvan = row.get("unvan")
    out = [row.get("muta"), unvan[:40] if isinstance(unvan, str) else (unvan or ""),
           SEG_MAP.get(row.get("segment"), -1) if isinstance(row.get("segment"), str) else -1,
           _mio(row.get("son_risk", 0)), idx(bolge_map, row.get("bolge_kodu")), idx(sube_map, row.get("sube_kodu"))]
    out += [_score(row.get("kmr" + str(d), MISSING)) for d in donemler]
    for prefix in ("r", "rd", "df"):
        out += [_mio(row.get(prefix + str(d))) for d in risk_donemler]
    out += [row.get(f, 0) for f in FLAGS]
    out.append(row.get("_kmr_neden", ""))
    return out


def row_layout(donemler, risk_donemler):
    """Where row_to_array puts each value: a member's position by its name, and
    for the periodic members the position of the first period by prefix."""
    names = ["muta", "unvan", "segment", "son_risk", "bolge_kodu", "sube_kodu"]
    layout = {name: i for i, name in enumerate(names)}
    at = len(names)
    for prefix, count in (("kmr", len(donemler)), ("r", len(risk_donemler)), ("rd", len(risk_donemler)),
                          ("df", len(risk_donemler))):
        layout[prefix] = at
        at += count
    for f in FLAGS + ["_kmr_neden"]:
        layout[f] = at
        at += 1
    return layout


def js_text(value, compact=True):
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":") if compact else None)
    return text.replace("<", "\\u003c").replace(">", "\\u003e")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("template")
    ap.add_argument("scoreboard")
    ap.add_argument("out")
    ap.add_argument("--top-n", type=int, default=100)
    ap.add_argument("--chunk-size", type=int, default=10000)
    ap.add_argument("--external-link", default="")
    ap.add_argument("--js-dir", default="")
    ap.add_argument("--ref-csv", default=None)
    a = ap.parse_args()

    with open(a.scoreboard, encoding="utf-8") as f:
        doc = json.load(f)
    meta, rows = doc["meta"], doc["rows"]
    donemler = meta.get("donemler") or []
    if not donemler:
        print("    [WARN] No periods in data, skipping HTML render")
        return 0
    risk_donemler = meta.get("risk_donemler", donemler)
    rows = sorted(rows, key=lambda r: r.get("son_risk") or 0, reverse=True)
    ref = a.ref_csv or os.path.join(os.path.dirname(a.scoreboard), "sube_bolge_ref.csv")
    bolge_list, bolge_map, sube_list, sube_map = build_maps(rows, ref)
    arrays = [row_to_array(r, donemler, risk_donemler, bolge_map, sube_map) for r in rows]
    n = max(1, -(-len(arrays) // a.chunk_size))
    chunks = [js_text(arrays[i * a.chunk_size:(i + 1) * a.chunk_size]) for i in range(n)]

    def script(name):
        p = os.path.join(a.js_dir, name)
        return open(p, encoding="utf-8").read() if a.js_dir and os.path.exists(p) else ""

    env = jinja2.Environment(loader=jinja2.FileSystemLoader(os.path.dirname(os.path.abspath(a.template))),
                             autoescape=False)
    html = env.get_template(os.path.basename(a.template)).render(
        donemler=js_text(donemler, False), risk_donemler=js_text(risk_donemler, False), top_n=a.top_n,
        meta=meta, data_chunks=chunks, enumerate=enumerate, total_chunks=len(chunks), total_rows=len(arrays),
        bolge_list_js=js_text(bolge_list), sube_list_js=js_text(sube_list), external_link=a.external_link,
        risk_birim="mio_tl", d3_js=script("d3.min.js"), d3_sankey_js=script("d3-sankey.min.js"),
        flow_matrix_js=js_text(doc.get("flow_matrix", [])), band_snapshot_js=js_text(doc.get("band_snapshot", {})),
        row_layout_js=js_text(row_layout(donemler, risk_donemler)))
    tmp = a.out + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write(html)
    os.replace(tmp, a.out)
    print(f"    HTML: {a.out}  ({len(arrays)} satır, {len(chunks)} chunk)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
