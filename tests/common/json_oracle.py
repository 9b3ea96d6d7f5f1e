"""Reads a JSON list of JSON texts on stdin; prints, for each, the three text
forms Python's json module writes (indent=2, compact, default), as JSON."""
import json
import sys

out = []
for text in json.load(sys.stdin):
    v = json.loads(text)
    out.append([
        json.dumps(v, indent=2, ensure_ascii=False),
        json.dumps(v, separators=(",", ":"), ensure_ascii=False),
        json.dumps(v, ensure_ascii=False),
    ])
sys.stdout.write(json.dumps(out, ensure_ascii=False))
