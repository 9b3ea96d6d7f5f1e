"""Renders template cases with Python's Jinja2, for comparison with our engine.

Usage: jinja_oracle.py ROOT

Every folder ROOT/<case>/ holds the templates of one case (the one rendered is
"main.j2") and "context.json", the named values. The script writes
ROOT/<case>/out.txt with the rendered text, or, when rendering fails,
ROOT/<case>/err.txt with "<template>:<line>" on the first line and
"<ExceptionType>: <message>" on the second.
"""
import json
import os
import sys

import jinja2


def error_location(exc, folder):
    """The template and line where `exc` arose, as Jinja2 reports them."""
    if isinstance(exc, jinja2.TemplateSyntaxError) and exc.lineno is not None:
        return f"{exc.name}:{exc.lineno}"
    where = "?:?"
    tb = exc.__traceback__
    while tb is not None:
        filename = tb.tb_frame.f_code.co_filename
        if os.path.dirname(os.path.abspath(filename)) == os.path.abspath(folder):
            where = f"{os.path.basename(filename)}:{tb.tb_lineno}"
        tb = tb.tb_next
    return where


def main():
    root = sys.argv[1]
    for case in sorted(os.listdir(root)):
        folder = os.path.join(root, case)
        env = jinja2.Environment(loader=jinja2.FileSystemLoader(folder), autoescape=False)
        env.globals["enumerate"] = enumerate
        with open(os.path.join(folder, "context.json"), encoding="utf-8") as f:
            context = json.load(f)
        try:
            text = env.get_template("main.j2").render(**context)
        except Exception as exc:  # every failure is a result to compare
            with open(os.path.join(folder, "err.txt"), "w", encoding="utf-8", newline="") as f:
                f.write(f"{error_location(exc, folder)}\n{type(exc).__name__}: {exc}")
            continue
        with open(os.path.join(folder, "out.txt"), "w", encoding="utf-8", newline="") as f:
            f.write(text)


if __name__ == "__main__":
    main()
