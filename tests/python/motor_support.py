"""Support of the kemora.motor tests: a papermill stand-in on PATH that
records its calls, workspaces copied from the demo, and the normalisation
that lets two runs be compared."""

import json
import os
import pathlib
import re
import shutil
import sys

# Records its arguments as one JSON line in FAKE_PAPERMILL_LOG, copies the
# input notebook to the output path, and fails like a notebook with a
# ValueError when the input's file name is FAKE_PAPERMILL_FAIL. It prints a
# line to its own stdout, which must never reach the engine's stdout. With
# FAKE_PAPERMILL_SECONDS it first writes its process id to FAKE_PAPERMILL_PID
# and runs that long, printing progress to standard error every 0.1 s unless
# FAKE_PAPERMILL_QUIET is set.
FAKE_PAPERMILL = r'''#!PYTHON
import json, os, shutil, sys, time
with open(os.environ["FAKE_PAPERMILL_LOG"], "a") as f:
    f.write(json.dumps(sys.argv[1:]) + "\n")
print("papermill says hello on stdout")
if os.environ.get("FAKE_PAPERMILL_SECONDS"):
    with open(os.environ["FAKE_PAPERMILL_PID"], "w") as f:
        f.write(str(os.getpid()))
    end = time.monotonic() + float(os.environ["FAKE_PAPERMILL_SECONDS"])
    while time.monotonic() < end:
        if not os.environ.get("FAKE_PAPERMILL_QUIET"):
            print("executing", file=sys.stderr, flush=True)
        time.sleep(0.1)
shutil.copyfile(sys.argv[1], sys.argv[2])
if os.path.basename(sys.argv[1]) == os.environ.get("FAKE_PAPERMILL_FAIL"):
    print("Traceback (most recent call last):", file=sys.stderr)
    print("ValueError: boom", file=sys.stderr)
    sys.exit(1)
'''


class FakePapermill:
    """The stand-in in its own bin folder, and the log of its calls."""

    def __init__(self, root):
        root = pathlib.Path(root)
        self.bin = root / "bin"
        self.bin.mkdir(parents=True, exist_ok=True)
        program = self.bin / "papermill"
        program.write_text(FAKE_PAPERMILL.replace("PYTHON", sys.executable))
        program.chmod(0o755)
        self.log = root / "papermill.log"

    def env(self, base=None):
        """`base` (os.environ) with the stand-in first on PATH."""
        base = dict(os.environ if base is None else base)
        base["PATH"] = str(self.bin) + os.pathsep + base.get("PATH", "")
        base["FAKE_PAPERMILL_LOG"] = str(self.log)
        return base

    def install(self):
        """Puts the stand-in on this process's PATH (the engine looks the
        executor up once per process)."""
        os.environ.update(self.env())

    def calls(self):
        """[(input, output, cwd, parameters)] of every call so far."""
        if not self.log.exists():
            return []
        out = []
        for line in self.log.read_text().splitlines():
            argv = json.loads(line)
            assert argv[2] == "--cwd" and argv[4] == "-y", argv
            out.append((argv[0], argv[1], argv[3], json.loads(argv[5])))
        return out

    def clear(self):
        if self.log.exists():
            self.log.unlink()


def make_workspace(demo_dir, path):
    """A working directory with the demo's notebooks and source data."""
    path = pathlib.Path(path)
    path.mkdir(parents=True)
    for nb in pathlib.Path(demo_dir).glob("*.ipynb"):
        shutil.copyfile(nb, path / nb.name)
    shutil.copytree(pathlib.Path(demo_dir) / "external_data", path / "external_data")
    return path


SEASON = re.compile(r"\b[ST]_\d{8}_\d{6}_")


def normalise(text, work_dir):
    """Console text or a record's text without what differs between two equal
    runs: the working directory, the season time stamp and the durations."""
    text = text.replace(str(work_dir), "<WS>")
    text = SEASON.sub(lambda m: m.group(0)[:2] + "<TS>_", text)
    text = re.sub(r"(?<!\d)\d{8}_\d{6}(?!\d)", "<TS>", text)
    text = re.sub(r"(OK |HATA — )\d+(\.\d)?(s|dk)", r"\1<SURE>", text)
    text = re.sub(r"\s\d+(\.\d)?(s|dk)  \[", " <SURE>  [", text)
    text = re.sub(r"Süre: \d+\.\ddk", "Süre: <DK>", text)
    return text


def normalised_record(path, work_dir):
    """A meta record or manifest as a dict, its times and season left out."""
    rec = json.loads(normalise(pathlib.Path(path).read_text(encoding="utf-8"), work_dir))
    for key in ("tarih", "sure_saniye"):
        rec.pop(key, None)
    if "sonuc" in rec:
        rec["sonuc"].pop("toplam_sure_dk")
    for entry in rec.get("adimlar", {}).values():
        entry.pop("sure", None)
    return rec


def season_records(season_dir, work_dir):
    """{file name: normalised record} of a season's meta folder."""
    meta = pathlib.Path(season_dir) / "meta"
    return {"manifest.json" if p.name.startswith("manifest_") else p.name: normalised_record(p, work_dir)
            for p in sorted(meta.iterdir())}


def tree(path):
    """Every path below `path`, relative, as a sorted list."""
    path = pathlib.Path(path)
    return sorted(str(p.relative_to(path)) for p in path.rglob("*"))
