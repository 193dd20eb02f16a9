"""A parameter sweep from Python: vdsim.sweep(), the sweep vdsim-sweep runs,
with its summary returned as a table.

    rows = vdsim.sweep("examples/skidpad",
                       {"{car}.ini:[car]:antiRollRear": [4000, 8000, 16000]},
                       "arb-sweep")
    [(row["{car}.ini:[car]:antiRollRear"], row["understeer_gradient_deg_per_g"])
     for row in rows]
"""

import argparse
import csv
import os
import signal
import sys
import warnings

from . import sweep_run
from .inputs import INTEGER, c_integer
from .scenario import OverrideWarning
from .sweep_run import SweepInterrupted

_TEXT_COLUMNS = ("run", "host", "message")


def sweep(base, values, out_dir, jobs=None, hosts=None, slurm=None, timeout=600.0, *,
          max_parallel=None, runs_per_task=None, resume=False, vdsim=None, plot=(),
          as_frame=False):
    """Runs a sweep of the scenario in directory `base` into `out_dir`, as
    vdsim-sweep does, and returns its summary: one dict per run, keyed as
    summary.csv's columns (a pandas DataFrame with as_frame=True).

    values    a sweep file's path, or a mapping from address to a list of
              values (numbers, or text written as given): a grid, every
              combination run, the first address changing slowest
    jobs      runs at a time with GNU parallel (default: one per core)
    hosts     a GNU parallel ssh login file: run on those hosts
    slurm     True, or sbatch options (a list, or one string as
              "--partition=short --time 30"): submit the runs to Slurm as
              array jobs; out_dir must be on a file system the compute nodes
              see (max_parallel, runs_per_task as --max-parallel,
              --runs-per-task)
    timeout   seconds of wall time a run may take
    plot      metrics to draw against the first swept value (--plot)

    In the rows the swept values and metrics are numbers, the status an int
    (or "timeout", or the Slurm state of a task that left no result, or None
    for a run that did not run).  A value that {car}.params overrides gives
    a vdsim.OverrideWarning.  Progress is shown on a terminal.  SweepError
    for a sweep that cannot run; a run that fails is a row with its status
    and message.  Ctrl-C stops the runs, writes the summary of those that
    finished and raises KeyboardInterrupt (resume=True finishes the sweep).
    """
    if as_frame:
        try:
            import pandas
        except ImportError:
            raise ImportError("vdsim.sweep(as_frame=True) needs pandas (Debian: apt-get "
                              "install python3-pandas); without it the rows come as dicts") \
                from None
    if slurm is None or isinstance(slurm, bool):
        options = []
    else:
        options = [slurm] if isinstance(slurm, str) else list(slurm)
    settings = argparse.Namespace(**dict(
        sweep_run.DEFAULTS, base=str(base), sweep=values, out=str(out_dir), jobs=jobs,
        hosts=hosts, slurm=slurm not in (None, False), slurm_options=options,
        max_parallel=max_parallel, runs_per_task=runs_per_task, resume=resume,
        timeout=float(timeout), plot=list(plot), vdsim=vdsim))
    if isinstance(values, (str, bytes)) or hasattr(values, "__fspath__"):
        settings.sweep = os.fsdecode(values)
    sweep_run.check_settings(settings)
    ui = sweep_run.Ui(lambda text: None,
                      lambda text: warnings.warn(text, OverrideWarning, stacklevel=3),
                      sys.stderr.isatty())
    try:
        outcome = sweep_run.execute(settings, ui)
    except SweepInterrupted as stop:
        if stop.signum == signal.SIGINT:
            raise KeyboardInterrupt(str(stop)) from None
        raise
    rows = read_summary(outcome.path, outcome.sweep)
    return pandas.DataFrame(rows) if as_frame else rows


def _number(text):
    """A summary cell as a number: int for an integer, float otherwise, None if empty."""
    if text == "":
        return None
    try:
        return int(text)
    except ValueError:
        return float(text)


def read_summary(path, sweep):
    """The rows of a sweep's summary.csv, typed: swept values and metrics as numbers."""
    kinds = dict(zip(sweep.addresses, (target.kind for target in sweep.targets)))
    rows = []
    with open(path, newline="") as stream:
        for row in csv.DictReader(stream):
            typed = {}
            for key, text in row.items():
                if key in _TEXT_COLUMNS:
                    typed[key] = text
                elif key in kinds:
                    typed[key] = c_integer(text) if kinds[key] == INTEGER else float(text)
                elif key == "status":
                    typed[key] = int(text) if text.lstrip("-").isdigit() else (text or None)
                else:
                    typed[key] = _number(text)
            rows.append(typed)
    return rows
