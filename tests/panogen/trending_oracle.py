#!/usr/bin/python3
"""Writes the trending-section test inputs and their expected HTML.

The expected texts are built here from the layout tables of the section
(blank count + text per line), independently of the C++ code:

    /usr/bin/python3 tests/panogen/trending_oracle.py tests/panogen/data/trending
"""
import html
import json
import os
import sys

SECTIONS = [
    ("fastest_rising", "En Hizli Yükselenler", "Son 3 dönemde en çok artan KMR skorları", "#e74c3c"),
    ("regime_change", "Rejim Degisimi", "EUS bandından YIS bandına geçen firmalar", "#e67e22"),
    ("persistent_high", "Kalici Yüksek Risk", "Uzun süredir yüksek KMR skoru taşıyan firmalar", "#c0392b"),
    ("low_but_rising", "Düsük ama Yükselen", "Düşük skorlu ama hızla yükselen firmalar", "#f39c12"),
]

OPENING = [
    (4, '<div id="kmr-trending-section" style="'),
    (8, "margin:20px auto;max-width:1400px;padding:20px;"),
    (8, "font-family:-apple-system,BlinkMacSystemFont,'Segoe UI',Roboto,sans-serif;"),
    (8, "background:#fff;border:1px solid #e0e0e0;border-radius:8px;"),
    (8, 'box-shadow:0 1px 3px rgba(0,0,0,0.08)">'),
    (6, '<div style="display:flex;justify-content:space-between;align-items:center;margin-bottom:16px;'),
    (18, 'border-bottom:2px solid #2c3e50;padding-bottom:12px">'),
    (8, '<h2 style="margin:0;font-size:20px;color:#2c3e50">Trending Listeler</h2>'),
    (8, "<button onclick=\"document.getElementById('kmr-trending-cards').style.display="),
    (10, "document.getElementById('kmr-trending-cards').style.display==='none'?'block':'none'\""),
    (10, 'style="padding:6px 16px;border:1px solid #ccc;border-radius:4px;background:#f8f9fa;'),
    (17, 'cursor:pointer;font-size:13px">Gizle/Göster</button>'),
    (6, "</div>"),
    (6, '<div id="kmr-trending-cards">'),
    (8, ""),
]
CARD = [
    (8, '<div style="margin-bottom:24px">'),
    (10, '<div style="display:flex;align-items:center;gap:8px;margin-bottom:8px">'),
    (12, '<span style="display:inline-block;width:4px;height:20px;background:{colour};border-radius:2px"></span>'),
    (12, '<h3 style="margin:0;font-size:16px;color:#333">{title}</h3>'),
    (12, '<span style="font-size:13px;color:#888">({count} firma)</span>'),
    (10, "</div>"),
    (10, '<p style="margin:0 0 8px 12px;font-size:13px;color:#666">{description}</p>'),
    (10, '<table style="width:100%;border-collapse:collapse;font-size:13px">'),
    (12, "<thead>"),
    (14, '<tr style="background:#f8f9fa;border-bottom:2px solid #dee2e6">'),
    (16, '<th style="text-align:left;padding:6px 8px;width:100px">MUTA</th>'),
    (16, '<th style="text-align:left;padding:6px 8px">Unvan</th>'),
    (16, '<th style="text-align:right;padding:6px 8px;width:80px">KMR Skor</th>'),
    (16, '<th style="text-align:right;padding:6px 8px;width:100px">Risk (Mio)</th>'),
    (16, '<th style="text-align:left;padding:6px 8px">Neden</th>'),
    (14, "</tr>"),
    (12, "</thead>"),
    (12, "<tbody>{rows}</tbody>"),
    (10, "</table>"),
    (8, "</div>"),
]
ROW = [
    (0, "<tr>"),
    (14, '<td style="font-weight:600">{muta}</td>'),
    (14, "<td>{unvan}</td>"),
    (14, '<td style="text-align:right">{score}</td>'),
    (14, '<td style="text-align:right">{risk}</td>'),
    (14, '<td style="color:#666;font-size:12px">{reason}</td>'),
    (12, "</tr>"),
]
CLOSING = [(6, "</div>"), (4, "</div>")]


def piece(table, opens_with_break, **values):
    text = "\n".join(" " * n + line for n, line in table)
    for k, v in values.items():
        text = text.replace("{" + k + "}", v)
    return ("\n" if opens_with_break else "") + text


def cell(record, key, falsy_is_empty=False):
    if key not in record:
        return ""
    v = record[key]
    if falsy_is_empty and not v:
        return ""
    return html.escape(str(v))


def section(trending):
    lists = [(s, trending.get(s[0]) or []) for s in SECTIONS]
    if not any(items for _, items in lists):
        return ""
    out = piece(OPENING, True)
    for (key, title, description, colour), items in lists:
        if not items:
            continue
        rows = "".join(
            piece(ROW, False, muta=cell(r, "muta"), unvan=cell(r, "unvan", True), score=cell(r, "score_last"),
                  risk=str(round(r["son_risk"] / 1e6, 2)) if r.get("son_risk") else "0", reason=cell(r, "reason"))
            for r in items)
        out += piece(CARD, True, colour=colour, title=title, description=description, count=str(len(items)),
                     rows=rows)
    return out + piece(CLOSING, True)


CASES = {
    "one_list": {
        "regime_change": [],
        "low_but_rising": [
            {"muta": 1001, "unvan": "Ayşe & Oğul <Ltd>", "score_last": 7, "son_risk": 2345678, "reason": "Skor 'artışı'"},
            {"muta": None, "unvan": None, "score_last": "YI", "son_risk": 0, "reason": "\"x\""},
            {"muta": "M3", "unvan": "", "son_risk": None},
            {"unvan": "Çelik A.Ş.", "score_last": 3.5, "son_risk": 1500000.0, "reason": ""},
            {"muta": True, "son_risk": -125000, "reason": None},
        ],
        "fastest_rising": None,
    },
    # Key order of the input does not decide the order of the cards.
    "all_lists": {
        "low_but_rising": [{"muta": 4, "unvan": "D", "score_last": 1, "son_risk": 12000000, "reason": "d"}],
        "persistent_high": [{"muta": 3, "unvan": "C", "score_last": 9, "son_risk": 999, "reason": "c"}],
        "regime_change": [{"muta": 2, "unvan": "B", "score_last": 8, "son_risk": 5000, "reason": "b"}],
        "fastest_rising": [{"muta": 1, "unvan": "A", "score_last": 10, "son_risk": 1234567.891, "reason": "a"}],
        "unrelated": [1, 2, 3],
    },
    "many_records": {
        "persistent_high": [{"muta": 500000 + i, "unvan": f"Firma {i}", "score_last": i % 10,
                             "son_risk": i * 10007, "reason": "uzun"} for i in range(250)],
    },
}


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    for name, data in CASES.items():
        with open(os.path.join(out_dir, name + ".json"), "w", encoding="utf-8") as f:
            json.dump(data, f, ensure_ascii=False, indent=1)
        with open(os.path.join(out_dir, name + ".html"), "w", encoding="utf-8", newline="") as f:
            f.write(section(data))


if __name__ == "__main__":
    main()
