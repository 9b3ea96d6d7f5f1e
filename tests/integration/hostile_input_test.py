"""Hostile input files through the kemora program: every command ends with a
status of its own (never by a signal), a failed command leaves no new or
changed file, and every page written is valid UTF-8.

usage: hostile_input_test.py KEMORA_BINARY
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

KEMORA = None

GOOD_META = '"meta": {"donemler": ["2401", "2402"], "risk_donemler": ["2402"]}'
GOOD_ROW = '{"muta": "1", "unvan": "Çağrı A.Ş.", "son_risk": 5, "kmr2401": 2, "kmr2402": 3, "r2402": 1000000}'


def scoreboards():
    """Scoreboard texts (bytes) that must each be refused or rendered soundly."""
    page = b"{" + b" " * (4096 - 7) + b'"meta"'
    yield "reads past the end", page
    yield "deep rows", ('{' + GOOD_META + ', "rows": [{"unvan": ' + "[" * 200000 + "}]}").encode()
    yield "deep meta", ('{"meta": ' + "[" * 200000 + "]" * 200000 + ', "rows": []}').encode()
    yield "bad byte in a name", ('{' + GOOD_META + ', "rows": [{"unvan": "A').encode() + b"\xff" + b'"}]}'
    yield "overlong", ('{' + GOOD_META + ', "rows": [{"segment": "').encode() + b"\xc0\xaf" + b'"}]}'
    yield "encoded surrogate", ('{' + GOOD_META + ', "rows": [{"sube_kodu": "').encode() + b"\xed\xa0\x80" + b'"}]}'
    yield "lone surrogate escape", ('{' + GOOD_META + ', "rows": [{"unvan": "\\udc00"}]}').encode()
    yield "truncated sequence at the end", ('{' + GOOD_META + ', "rows": [{"unvan": "').encode() + b"\xe2\x82"
    yield "bad byte in meta", b'{"meta": {"donemler": ["24\xff"]}, "rows": []}'
    yield "rows not objects", ('{' + GOOD_META + ', "rows": [1, 2]}').encode()
    yield "empty", b""
    yield "nul bytes", b"\0" * 100
    yield "huge numbers", ('{' + GOOD_META + ', "rows": [{"son_risk": 1e400}]}').encode()


class Render(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="kemora-hostile-")
        self.out = os.path.join(self.root, "html")
        os.makedirs(self.out)
        with open(os.path.join(self.out, "kmr_dashboard.html"), "w") as f:
            f.write("the page of yesterday")

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def snapshot(self):
        state = {}
        for base, _, files in os.walk(self.root):
            for name in files:
                p = os.path.join(base, name)
                with open(p, "rb") as f:
                    state[p] = f.read()
        return state

    def kemora(self, *args):
        r = subprocess.run([KEMORA, *args], capture_output=True, timeout=120)
        self.assertGreaterEqual(r.returncode, 0, f"ended by signal {-r.returncode}: {args}")
        self.assertIn(r.returncode, (0, 1), r.stderr)
        return r

    def test_hostile_scoreboards_fail_cleanly_and_pages_are_utf8(self):
        page = os.path.join(self.out, "kmr_dashboard.html")
        for name, data in scoreboards():
            with self.subTest(name):
                sb = os.path.join(self.root, "sb.json")
                with open(sb, "wb") as f:
                    f.write(data)
                before = self.snapshot()
                r = self.kemora("render", sb, "-o", page)
                if r.returncode == 0:
                    with open(page, "rb") as f:
                        f.read().decode("utf-8")  # raises when the page is not UTF-8
                else:
                    self.assertEqual(self.snapshot(), before, "a failed render changed files")
                    self.assertIn(sb.encode(), r.stderr)

    def test_render_onto_a_folder_leaves_the_folder_alone(self):
        sb = os.path.join(self.root, "sb.json")
        with open(sb, "w") as f:
            f.write("{" + GOOD_META + ', "rows": [' + GOOD_ROW + "]}")
        folder = os.path.join(self.root, "existing")
        os.makedirs(folder)
        with open(os.path.join(folder, "mine.txt"), "w") as f:
            f.write("keep me")
        tpl = os.path.join(self.root, "page.j2")  # a page of its own: no build's template needed
        with open(tpl, "w") as f:
            f.write("{{ total_rows }}")
        r = self.kemora("render", sb, "-o", folder, "--template", tpl)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"is a folder", r.stderr)
        self.assertEqual(sorted(os.listdir(folder)), ["mine.txt"])
        self.assertEqual(sorted(os.listdir(self.root)), ["existing", "html", "page.j2", "sb.json"])
        trending = os.path.join(self.root, "t.json")
        with open(trending, "w") as f:
            json.dump({"fastest_rising": [{"muta": "1", "unvan": "x"}]}, f)
        r = self.kemora("trending", trending, "-o", folder)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(sorted(os.listdir(folder)), ["mine.txt"])

    def test_hostile_trending_files_name_the_file(self):
        trending = os.path.join(self.root, "t.json")
        out = os.path.join(self.root, "t.html")
        for data in (b'{"fastest_rising": 5}', b'{"fastest_rising": [{"unvan": "\xff"}]}',
                     b'{"regime_change": [{"unvan": ' + b"[" * 100000 + b"}]}", b"[]"):
            with open(trending, "wb") as f:
                f.write(data)
            r = self.kemora("trending", trending, "-o", out)
            self.assertEqual(r.returncode, 1)
            self.assertIn(trending.encode() + b": ", r.stderr)
            self.assertFalse(os.path.exists(out))

    def test_hostile_templates_are_errors_naming_the_template(self):
        sb = os.path.join(self.root, "sb.json")
        with open(sb, "w") as f:
            f.write("{" + GOOD_META + ', "rows": [' + GOOD_ROW + "]}")
        tpl = os.path.join(self.root, "t.j2")
        for text in ("{{ " + "(" * 100000 + "1" + ")" * 100000 + " }}", "{{ " + "not " * 100000 + "1 }}",
                     "{% if 1 %}" * 100000, "{{ x" + "|upper" * 100000 + " }}", "{{ a" + ".b" * 100000 + " }}",
                     "{% include 't.j2' %}", "{{ x.99999999999999999999 }}"):
            with open(tpl, "w") as f:
                f.write(text)
            before = self.snapshot()
            r = self.kemora("render", sb, "-o", os.path.join(self.out, "kmr_dashboard.html"), "--template", tpl)
            self.assertEqual(r.returncode, 1, text[:40])
            self.assertIn(b"t.j2", r.stderr)
            self.assertEqual(self.snapshot(), before)


class Run(unittest.TestCase):
    def test_deeply_nested_configuration_is_an_error_naming_the_file(self):
        root = tempfile.mkdtemp(prefix="kemora-hostile-")
        try:
            with open(os.path.join(root, "local_data_paths.json"), "w") as f:
                f.write('{"kik": ' + "[" * 200000 + "]" * 200000 + "}")
            r = subprocess.run([KEMORA, "run", "--work-dir", root], capture_output=True, timeout=120,
                               stdin=subprocess.DEVNULL)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn(b"local_data_paths.json: invalid JSON at byte", r.stderr)
            self.assertIn(b"too deeply nested", r.stderr)
        finally:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    KEMORA = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
