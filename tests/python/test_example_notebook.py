"""The example notebook runs from top to bottom in a real kernel, through
the bundled notebook runner, with the package of this build."""

import json
import os
import pathlib
import subprocess
import sys

import kemora.paths

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "kemora_from_a_notebook.ipynb"


def test_example_notebook_runs(tmp_path):
    out = tmp_path / "executed.ipynb"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(kemora.__file__).parents[1])] +
                                        ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    # The kernel forwards the output of its process's descriptors to the cell
    # only outside pytest; the notebooks of the run are executed the same way.
    env.pop("PYTEST_CURRENT_TEST", None)
    r = subprocess.run([sys.executable, str(kemora.paths.get_runner_path()), str(EXAMPLE), str(out),
                        "--cwd", str(tmp_path), "-y", "{}"],
                       env=env, capture_output=True, text=True, timeout=1500, stdin=subprocess.DEVNULL)
    assert r.returncode == 0, r.stderr[-4000:]

    executed = json.loads(out.read_text(encoding="utf-8"))
    outputs = [o for c in executed["cells"] if c["cell_type"] == "code" for o in c.get("outputs", [])]
    assert not [o for o in outputs if o["output_type"] == "error"]
    text = "".join("".join(o.get("text", "")) for o in outputs if o["output_type"] == "stream")
    # The engine's own lines reached the cell that ran it.
    assert "Kemora Pipeline v" + kemora.__version__ in text
    tables = ["".join(o["data"].get("text/html", "")) for o in outputs if o["output_type"] == "execute_result"]
    summary = [t for t in tables if "<table>" in t]
    assert summary and summary[0].count("<tr>") == 1 + 18
