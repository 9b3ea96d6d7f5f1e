#!/usr/bin/env python3
"""Runs one notebook with named parameters and writes the executed copy.

    kemora_nb_runner.py <input> <output> --cwd <work_dir> -y <parameters as JSON>

The parameters (a JSON object) become one new code cell tagged
"injected-parameters", placed right after the cell tagged "parameters" (or
first, when there is none): one assignment per parameter, as a Python literal
of the same type. The notebook runs in <work_dir> with its own kernel (the
kernel named in its metadata, else python3) and no time limit. Progress and the
cells' own output go to standard error.

The executed copy is written to <output> (atomically), also when a cell failed.
Exit status 0 when every cell ran; 1 when the notebook failed, with the
failure's one-line message ("ExceptionName: message") as the last line on
standard error; 130 when interrupted (SIGINT or SIGTERM), after the kernel has
been shut down.
"""

import argparse
import asyncio
import inspect
import json
import keyword
import math
import os
import signal
import sys
import tempfile

try:
    import nbformat
    from nbclient import NotebookClient
    from nbclient.exceptions import CellExecutionError
except ImportError as e:
    sys.stderr.write(f"{type(e).__name__}: {e} (install python3-nbclient python3-nbformat python3-ipykernel)\n")
    sys.exit(1)

EXIT_FAILED = 1
EXIT_INTERRUPTED = 130


class Interrupted(Exception):
    """SIGINT or SIGTERM arrived; the kernel has been shut down."""


class RunnerError(Exception):
    """A failure with a message of its own (bad arguments, bad notebook)."""


def log(text):
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


def one_line(text):
    """The message on one line: line breaks become blanks."""
    return " ".join(part.strip() for part in str(text).splitlines() if part.strip())


def python_literal(value):
    """Python source for a JSON value, type kept (non-finite reals included)."""
    if isinstance(value, float):
        if math.isnan(value):
            return "float('nan')"
        if math.isinf(value):
            return "float('inf')" if value > 0 else "float('-inf')"
        return repr(value)
    if isinstance(value, list):
        return "[" + ", ".join(python_literal(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k!r}: {python_literal(v)}" for k, v in value.items()) + "}"
    return repr(value)  # str, int, bool, None


def parse_parameters(text):
    try:
        params = json.loads(text)
    except json.JSONDecodeError as e:
        raise RunnerError(f"parameters are not valid JSON: {e}") from None
    if not isinstance(params, dict):
        raise RunnerError("parameters must be a JSON object")
    for name in params:
        if not name.isidentifier() or keyword.iskeyword(name):
            raise RunnerError(f"parameter name is not a Python name: {name!r}")
    return params


def has_tag(cell, tag):
    return tag in cell.get("metadata", {}).get("tags", [])


def inject_parameters(nb, params):
    """Puts the parameter cell after the "parameters" cell (or first)."""
    nb.cells = [c for c in nb.cells if not has_tag(c, "injected-parameters")]
    lines = ["# Parameters"] + [f"{name} = {python_literal(v)}" for name, v in params.items()]
    cell = nbformat.v4.new_code_cell(source="\n".join(lines) + "\n")
    cell.metadata["tags"] = ["injected-parameters"]
    if (nb.nbformat, nb.nbformat_minor) < (4, 5):
        cell.pop("id", None)  # cell ids exist from format 4.5 on
    at = next((i + 1 for i, c in enumerate(nb.cells) if has_tag(c, "parameters")), 0)
    nb.cells.insert(at, cell)


def write_notebook_atomically(nb, path):
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            nbformat.write(nb, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


async def maybe_await(value):
    if inspect.isawaitable(value):
        return await value
    return value


def make_client(nb, kernel_name, cwd):
    class StreamingClient(NotebookClient):
        """Copies the cells' own stdout/stderr to our standard error as it comes."""

        def output(self, outs, msg, display_id, cell_index):
            if msg.get("msg_type") == "stream":
                sys.stderr.write(msg.get("content", {}).get("text", ""))
                sys.stderr.flush()
            return super().output(outs, msg, display_id, cell_index)

    runnable = [i for i, c in enumerate(nb.cells) if c.cell_type == "code" and c.source.strip()]
    position = {cell_index: n + 1 for n, cell_index in enumerate(runnable)}

    def on_cell_execute(cell, cell_index):
        log(f"[kemora runner] cell {position.get(cell_index, '?')}/{len(runnable)}")

    return StreamingClient(
        nb,
        timeout=None,
        kernel_name=kernel_name,
        resources={"metadata": {"path": cwd}},
        on_cell_execute=on_cell_execute,
    )


async def shut_down_kernel(client):
    kc, km = client.kc, client.km
    if kc is not None:
        kc.stop_channels()
        client.kc = None
    if km is not None and km.has_kernel:
        await maybe_await(km.shutdown_kernel(now=True))


async def execute(client, cwd):
    """Runs every cell; the kernel is shut down however this ends."""
    loop = asyncio.get_running_loop()
    task = asyncio.current_task()
    received = []

    def on_signal(signo):
        if not received:
            received.append(signo)
            task.cancel()

    for signo in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signo, on_signal, signo)
    try:
        client.km = client.create_kernel_manager()
        await client.async_start_new_kernel(cwd=cwd)
        await client.async_start_new_kernel_client()
        msg_id = await maybe_await(client.kc.kernel_info())
        info = await client.async_wait_for_reply(msg_id)
        if info is not None and "language_info" in info.get("content", {}):
            client.nb.metadata["language_info"] = info["content"]["language_info"]
        for index, cell in enumerate(client.nb.cells):
            await client.async_execute_cell(cell, index, execution_count=client.code_cells_executed + 1)
    except BaseException:
        # The cancel may come back as another error: nbclient reports a
        # cancelled wait for a cell's reply as a dead kernel.
        if received:
            raise Interrupted(received[0]) from None
        raise
    finally:
        # Shield the shutdown from a second signal: no kernel may outlive us.
        await asyncio.shield(shut_down_kernel(client))
        for signo in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(signo)
    if received:
        raise Interrupted(received[0])


def run(args):
    params = parse_parameters(args.parameters)
    cwd = args.cwd or os.getcwd()
    if not os.path.isdir(cwd):
        raise RunnerError(f"working directory does not exist: {cwd}")
    out_folder = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(out_folder):
        raise RunnerError(f"folder of the output notebook does not exist: {out_folder}")
    try:
        nb = nbformat.read(args.input, as_version=4)
    except FileNotFoundError:
        raise RunnerError(f"notebook not found: {args.input}") from None
    except Exception as e:  # not JSON, not a notebook
        raise RunnerError(f"cannot read notebook {args.input}: {one_line(e)}") from None

    inject_parameters(nb, params)
    kernel_name = nb.metadata.get("kernelspec", {}).get("name") or "python3"
    log(f"[kemora runner] {args.input} -> {args.output} (kernel {kernel_name}, cwd {cwd})")
    # Quiets the kernel's debugger warning about frozen modules on every start.
    os.environ.setdefault("PYDEVD_DISABLE_FILE_VALIDATION", "1")
    client = make_client(nb, kernel_name, cwd)
    failure = None
    try:
        asyncio.run(execute(client, cwd))
    except Interrupted:
        raise
    except Exception as e:  # a failed cell or a kernel that would not start
        failure = e
    signal.signal(signal.SIGTERM, on_sigterm)  # the event loop put the default back
    write_notebook_atomically(nb, args.output)
    if failure is not None:
        raise failure
    log(f"[kemora runner] done: {args.output}")


def failure_message(e):
    if isinstance(e, CellExecutionError):
        return one_line(f"{e.ename}: {e.evalue}")
    if isinstance(e, RunnerError):
        return one_line(str(e))
    return one_line(f"{type(e).__name__}: {e}")


def on_sigterm(signo, frame):
    raise KeyboardInterrupt


def main(argv=None):
    # SIGTERM means the same as Ctrl-C until the event loop takes over.
    signal.signal(signal.SIGTERM, on_sigterm)
    parser = argparse.ArgumentParser(description="Run a notebook with parameters.")
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--cwd", default=None, help="working directory of the kernel")
    parser.add_argument("-y", dest="parameters", default="{}", help="parameters as a JSON object")
    args = parser.parse_args(argv)
    try:
        run(args)
    except (KeyboardInterrupt, Interrupted):
        log("[kemora runner] interrupted")
        return EXIT_INTERRUPTED
    except Exception as e:
        if isinstance(e, CellExecutionError):
            sys.stderr.write(str(e).rstrip("\n") + "\n")  # the cell and its traceback
        log(failure_message(e))
        return EXIT_FAILED
    return 0


if __name__ == "__main__":
    sys.exit(main())
