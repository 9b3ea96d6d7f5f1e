"""Shared fixtures of the Python package tests: the build tree's package on
the path, the kemora program, the demo workspace, and the papermill
stand-in of the engine tests."""

import os
import pathlib
import sys

import pytest

BUILD_DIR = pathlib.Path(os.environ.get("KEMORA_BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build"))
if str(BUILD_DIR / "python") not in sys.path:
    sys.path.insert(0, str(BUILD_DIR / "python"))


@pytest.fixture(scope="session")
def kemora_bin():
    """The kemora program of the same build."""
    return pathlib.Path(os.environ.get("KEMORA_BIN", BUILD_DIR / "bin" / "kemora"))


@pytest.fixture(scope="session")
def demo_dir():
    """The demo workspace as the build tree ships it."""
    import kemora.paths

    return kemora.paths.get_demo_dir()


@pytest.fixture(scope="module")
def fake(tmp_path_factory):
    """The papermill stand-in first on this process's PATH, one per test module."""
    from motor_support import FakePapermill

    pm = FakePapermill(tmp_path_factory.mktemp("papermill"))
    pm.install()
    return pm
