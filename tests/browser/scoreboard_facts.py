#!/usr/bin/env python3
"""Prints, as JSON, what the dashboard page must show for a scoreboard JSON.

usage: scoreboard_facts.py SCOREBOARD_JSON

Worked out from the scoreboard itself (Python's json reads its NaN and
Infinity tokens), independently of the renderer and of the page: the row
count, the MUTA of the highest-risk firm, the MUTAs that may come first when
the risk column is sorted ascending, the KOBI rows, the non-zero band flows,
the bands of the snapshot and the count of each flag.
"""
import json
import math
import sys

FLAGS = ["_hizli_yukselen", "_rejim_degisimi", "_potansiyel_yi", "_erken_sinyal", "_yakalanan", "_kacirilan"]


def mio(v):
    """Latest risk in millions as the page shows it; None when it has none."""
    if v is None or isinstance(v, bool) or not isinstance(v, (int, float)) or math.isnan(v):
        return None
    m = v / 1_000_000
    return float(round(m)) if abs(m) >= 1 else round(m, 1)


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        doc = json.load(f)
    rows = doc["rows"]
    ordered = sorted(rows, key=lambda r: r.get("son_risk") or 0, reverse=True)
    risks = [(mio(r.get("son_risk", 0)), r.get("muta")) for r in rows]
    known = [m for m, _ in risks if m is not None]
    lowest = min(known) if known else None
    flows = doc.get("flow_matrix") or []
    snapshot = doc.get("band_snapshot") or {}
    facts = {
        "total_rows": len(rows),
        "periods": [str(p) for p in doc["meta"].get("donemler") or []],
        "top_muta": ordered[0].get("muta") if ordered else None,
        "ascending_first_mutas": [muta for m, muta in risks if m is not None and m == lowest],
        "kobi_rows": sum(1 for r in rows if r.get("segment") == "KOBI"),
        "nonzero_flows": sum(1 for f in flows if isinstance(f, dict) and f.get("value") not in (0, None)),
        "bands": len(snapshot) if isinstance(snapshot, dict) else 0,
        "flag_counts": {k: sum(1 for r in rows if r.get(k)) for k in FLAGS},
    }
    json.dump(facts, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
