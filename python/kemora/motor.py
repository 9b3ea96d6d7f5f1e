"""The pipeline engine: one Motor serves one pipeline run.

Motor(...) fixes the run's state and creates the season folder; run_all()
runs every step and returns the manifest path; adim_isle(kod, ...) processes
one step. Console lines go through sys.stdout; the data-source question reads
sys.stdin and, when refused, raises PipelineStopped (a SystemExit).
"""

from kemora._motor import (  # noqa: F401
    ADIM_REGISTRY,
    ALL_INGEST_STEPS,
    BAGIMLILIK,
    Motor,
    PipelineStopped,
    _file_hash,
    _git_hash,
    _git_info,
)

__all__ = [
    "Motor",
    "PipelineStopped",
    "ADIM_REGISTRY",
    "BAGIMLILIK",
    "ALL_INGEST_STEPS",
]
