"""The pipeline engine: one Motor serves one pipeline run.

Motor(...) fixes the run's state and creates the season folder; run_all()
runs every step and returns the manifest path; adim_isle(kod, ...) processes
one step. Console lines go through sys.stdout; the data-source question reads
sys.stdin and, when refused, raises PipelineStopped (a SystemExit).

plan(...) says what a run would do and why, and accept(kodlar, ...) records
steps as run without running them; neither asks the data-source question.
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



def plan(work_dir=".", *, skip_ingest=False, skip_backtest=False, skip_ml=False, **motor_options):
    """What Motor(work_dir, **motor_options).run_all(skip_...) started now would
    do with each of its steps, and why, as a list of dicts (see Motor.plan).
    Runs nothing and creates no season folder; without a data-source
    configuration it plans with external_data/ instead of asking."""
    m = Motor(work_dir, create_folders=False, ask=False, **motor_options)
    return m.plan(skip_ingest=skip_ingest, skip_backtest=skip_backtest, skip_ml=skip_ml)


def accept(kodlar, work_dir=".", **motor_options):
    """Records the steps `kodlar` as if each had just run successfully, in a new
    season, without running them; returns the manifest's path (see
    Motor.accept). Never asks the data-source question."""
    if isinstance(kodlar, str):
        kodlar = [kodlar]
    m = Motor(work_dir, create_folders=False, ask=False, **motor_options)
    return m.accept(kodlar)


__all__ = [
    "plan",
    "accept",
    "Motor",
    "PipelineStopped",
    "ADIM_REGISTRY",
    "BAGIMLILIK",
    "ALL_INGEST_STEPS",
]
