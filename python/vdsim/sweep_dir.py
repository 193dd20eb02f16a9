"""A sweep's directory: its marker, its run directories, and the results of
its runs.

    SWEEP_DIR/sweep.json      the marker: this tool's format and version, the
                              base scenario, the sweep's addresses and values
    SWEEP_DIR/bin/            the simulator and the run-one script
    SWEEP_DIR/runs/0001 ...   one complete working directory per run
    SWEEP_DIR/joblog          GNU parallel's job log
    SWEEP_DIR/summary.csv     one row per run
    SWEEP_DIR/*.png           plots of the sweep's metrics

A new sweep into a directory that holds a previous one removes only what
that sweep's marker shows it made (the entries above, the runs it counts,
the plots it lists), and nothing else; a directory with anything else in it
and no marker of this format and version is never touched.
"""

import csv
import hashlib
import json
import os
import re
import shutil
import signal
import tarfile

from . import metrics as m
from . import output as out
from .scenario import run_wheelbase
from .sweep_file import MAX_RUNS, Sweep, SweepError

MARKER = "sweep.json"
FORMAT = "vdsim-sweep directory"
VERSION = 2
RUNS = "runs"
BIN = "bin"
JOBLOG = "joblog"
SUMMARY = "summary.csv"
RESULT_FILES = ("status", "time", "stdout.txt", "stderr.txt")
STDOUT_LINES = 100  # lines kept from the start and from the end of a run's standard output
TIMEOUT_STATUS = "timeout"

# Runs vdsim in one run directory and records how it went, on this machine or
# on an ssh host.  With "pack" (remote runs) the results are packed into
# RUN_DIR.tar and the run directory is removed, so that GNU parallel returns
# and cleans up single files.
RUN_ONE = r"""#!/bin/sh
# Runs vdsim --extended in one run directory of a sweep and records its exit
# status ("status"), wall time in seconds ("time"), standard output (its
# first and last %(keep)d lines, "stdout.txt") and standard error
# ("stderr.txt") there.  With "pack" the results are packed into RUN_DIR.tar
# and the run directory is removed.
# Usage: sh run-one RUN_DIR VDSIM [pack]
run=$1
vdsim=$2
case $vdsim in /*) ;; *) vdsim=$(pwd)/$vdsim ;; esac
cd "$run" || exit 126
rm -f status time stdout.txt stderr.txt
mkdir -p Data
start=$(date +%%s.%%N)
{ "$vdsim" --extended 2>stderr.txt; echo $? >status; } |
  awk -v keep=%(keep)d '
    NR <= keep { print; next }
    { tail[NR %% keep] = $0 }
    END {
      first = keep + 1
      if (NR > 2 * keep) {
        printf "[... %%d lines left out ...]\n", NR - 2 * keep
        first = NR - keep + 1
      }
      for (i = first; i <= NR; i++) print tail[i %% keep]
    }' >stdout.txt
end=$(date +%%s.%%N)
status=$(cat status 2>/dev/null || echo 125)
awk -v s="$start" -v e="$end" 'BEGIN { printf "%%.3f\n", e - s }' >time
if [ "$3" = pack ]; then
  name=${run%%/}
  name=${name##*/}
  tar -cf "../$name.tar" Data status time stdout.txt stderr.txt || exit 125
  cd .. && rm -rf "$name"
fi
exit "$status"
""" % {"keep": STDOUT_LINES}

_RUN_NAME = re.compile(r"[0-9]{4,7}", re.ASCII)


def run_name(index, count):
    """Directory name of run `index` (1-based): 0001, 0002, ..."""
    return "%0*d" % (max(4, len(str(count))), index)


def base_digest(scenario):
    """A digest of the base scenario's files, to tell a resumed sweep from another."""
    digest = hashlib.sha256()
    for name in scenario.files:
        digest.update(name.encode() + b"\0")
        with open(os.path.join(scenario.directory, name), "rb") as stream:
            digest.update(stream.read())
    return digest.hexdigest()


# ---------------------------------------------------------------------------
# The marker


def read_marker(directory):
    """The marker of a sweep directory of this format and version, or None.
    A sweep.json of another form counts as none."""
    try:
        with open(os.path.join(directory, MARKER), "rb") as stream:
            marker = json.loads(stream.read().decode("utf-8"))
    except (OSError, ValueError):
        return None
    if not (isinstance(marker, dict) and marker.get("format") == FORMAT
            and marker.get("version") == VERSION and isinstance(marker.get("runs"), int)
            and 0 <= marker["runs"] <= MAX_RUNS and isinstance(marker.get("plots", []), list)):
        return None
    try:
        marker["sweep"] = Sweep.from_json(marker.get("sweep") or {})
    except ValueError:
        return None
    return marker


def make_marker(scenario, sweep):
    return {"format": FORMAT, "version": VERSION, "base": os.path.abspath(scenario.directory),
            "base_digest": base_digest(scenario), "sweep": sweep,
            "runs": sweep.count, "plots": []}


def write_marker(directory, marker):
    """Write the marker (its sweep a Sweep) through a temporary file renamed into place."""
    data = dict(marker, sweep=marker["sweep"].to_json())
    path = os.path.join(directory, MARKER)
    with open(path + ".new", "w") as stream:
        json.dump(data, stream, indent=1)
        stream.write("\n")
    os.replace(path + ".new", path)


def check_destination(directory, base, marker, resume):
    """Checks, touching nothing, that a sweep may go into `directory`.

    Returns the previous sweep's marker (None for a new or empty directory).
    With resume it must be the same sweep of the same base scenario.
    """
    base_real = os.path.realpath(base)
    if os.path.commonpath([base_real, os.path.realpath(directory)]) == base_real:
        raise SweepError("%s: the sweep directory must not lie inside the base scenario %s"
                         % (directory, base))
    if os.path.lexists(directory) and not os.path.isdir(directory):
        raise SweepError("%s: exists and is not a directory" % directory)
    previous = read_marker(directory) if os.path.isdir(directory) else None
    if resume:
        if previous is None:
            raise SweepError("%s: no sweep to resume here (no %s of %s version %d)"
                             % (directory, MARKER, FORMAT, VERSION))
        for key, what in (("sweep", "addresses or values"),
                          ("base_digest", "base scenario files")):
            mine, theirs = marker[key], previous[key]
            if key == "sweep":
                mine, theirs = mine.to_json(), theirs.to_json()
            if mine != theirs:
                raise SweepError("%s: the sweep there has other %s; --resume needs the same "
                                 "base scenario and sweep file" % (directory, what))
    elif previous is None and os.path.isdir(directory) and os.listdir(directory):
        raise SweepError("%s: exists and is not a sweep directory of this tool (no %s of %s "
                         "version %d); give a new or empty directory"
                         % (directory, MARKER, FORMAT, VERSION))
    return previous


def _remove(path):
    """Remove a file, a link (not what it points to) or a directory tree."""
    if os.path.islink(path) or not os.path.isdir(path):
        if os.path.lexists(path):
            os.remove(path)
    else:
        shutil.rmtree(path)


def remove_previous(directory, marker):
    """Remove what the previous sweep of the marker made, and nothing else:
    its runs, packed results, bin/ files, job log, summary, plots and marker;
    runs/ and bin/ go only when nothing else is left in them."""
    runs = os.path.join(directory, RUNS)
    for index in range(1, marker["runs"] + 1):
        name = run_name(index, marker["runs"])
        _remove(os.path.join(runs, name))
        _remove(os.path.join(runs, name + ".tar"))
    for name in ("vdsim", "run-one"):
        _remove(os.path.join(directory, BIN, name))
    for name in [JOBLOG, SUMMARY] + [p for p in marker.get("plots", [])
                                     if isinstance(p, str) and p == os.path.basename(p)
                                     and p.endswith(".png")]:
        _remove(os.path.join(directory, name))
    for name in (RUNS, BIN):
        try:
            os.rmdir(os.path.join(directory, name))
        except OSError:
            pass  # absent, or holds something this tool did not make
    _remove(os.path.join(directory, MARKER))


def prepare(directory, marker, vdsim, keep_vdsim):
    """Creates SWEEP_DIR with its marker (first, so that whatever follows can
    be removed by the next sweep), bin/ and runs/."""
    os.makedirs(directory, exist_ok=True)
    write_marker(directory, marker)
    os.makedirs(os.path.join(directory, RUNS), exist_ok=True)
    os.makedirs(os.path.join(directory, BIN), exist_ok=True)
    if not keep_vdsim:
        shutil.copy2(vdsim, os.path.join(directory, BIN, "vdsim"))
    with open(os.path.join(directory, BIN, "run-one"), "w") as stream:
        stream.write(RUN_ONE)


def make_run_dir(path, scenario, addresses, values):
    """A fresh run directory: the base scenario's files with the run's values
    set, and an empty Data/."""
    if os.path.lexists(path):
        _remove(path)
    if os.path.lexists(path + ".tar"):
        os.remove(path + ".tar")
    run = scenario.copy()
    for address, value in zip(addresses, values):
        run.set(address, value)
    run.write(path)


# ---------------------------------------------------------------------------
# Job log and results


JOBLOG_FIELDS = ("Host", "JobRuntime", "Exitval", "Signal")  # the job log's columns kept


def read_joblog(path):
    """{seq: {field: text}} of GNU parallel's job log, JOBLOG_FIELDS only
    (empty when there is none)."""
    try:
        with open(path, newline="") as stream:
            rows = list(csv.reader(stream, delimiter="\t"))
    except FileNotFoundError:
        return {}
    if not rows:
        return {}
    header = rows[0]
    log = {}
    for row in rows[1:]:
        if len(row) >= len(header) and row[0].isdigit():
            log[int(row[0])] = {key: value for key, value in zip(header, row)
                                if key in JOBLOG_FIELDS}
    return log


def unpack_result(run_dir):
    """Unpacks RUN_DIR.tar (results returned from a host) into the run directory."""
    archive = run_dir + ".tar"
    if not os.path.exists(archive):
        return
    with tarfile.open(archive) as tar:
        for member in tar.getmembers():
            name = os.path.normpath(member.name)
            if name.startswith("..") or os.path.isabs(name) or not (
                    member.isfile() or member.isdir()):
                raise SweepError("%s: unexpected entry %r" % (archive, member.name), 1)
        os.makedirs(run_dir, exist_ok=True)
        if hasattr(tarfile, "data_filter"):
            tar.extractall(run_dir, filter="data")
        else:
            tar.extractall(run_dir)
    os.remove(archive)


def _first_line(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            for line in stream:
                if line.strip() and not line.startswith("vdsim: warning: "):
                    return line.strip()
    except OSError:
        pass
    return ""


def _read_small(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            return stream.read(4096).strip()
    except OSError:
        return None


class RunResult:
    """The outcome of one run: status (int, "timeout", or None when it never
    ran), wall time text, host, message, and its metrics (None when it wrote
    no outputs that could be read)."""

    def __init__(self, name, values):
        self.name, self.values = name, values
        self.status, self.wall_time, self.host, self.message = None, "", "", ""
        self.metrics = None

    @property
    def failed(self):
        """True unless the run finished (status 0) and its outputs were read."""
        return self.status != 0 or self.metrics is None


def collect_run(run_dir, name, values, logged, timeout=None):
    """The RunResult of one run directory; logged is its job log row or None."""
    result = RunResult(name, values)
    unpack_result(run_dir)
    status_text = _read_small(os.path.join(run_dir, "status"))
    if logged is not None:
        result.host = logged.get("Host", "")
    if status_text is not None and re.fullmatch(r"-?[0-9]+", status_text):
        result.status = int(status_text)
        result.wall_time = _read_small(os.path.join(run_dir, "time")) or ""
    elif logged is not None:
        result.wall_time = logged.get("JobRuntime", "").strip()
        signalled = logged.get("Signal", "0") not in ("", "0")
        if signalled and timeout is not None and _seconds(result.wall_time) >= 0.95 * timeout:
            result.status = TIMEOUT_STATUS
            result.message = "stopped after %g s (--timeout)" % timeout
        else:
            result.status = int(logged.get("Exitval", "-1") or -1)
            result.message = "no result came back from %s (exit value %s, signal %s)" % (
                result.host or "the job", logged.get("Exitval", "?"), logged.get("Signal", "?"))
        return result
    else:
        result.message = "not run"
        return result

    if result.status not in (0, 3, 4):
        message = _first_line(os.path.join(run_dir, "stderr.txt"))
        if result.status > 128 and not message:
            number = result.status - 128
            try:
                message = "killed by signal %d (%s)" % (number, signal.Signals(number).name)
            except ValueError:
                message = "killed by signal %d" % number
        result.message = message or "exit status %d" % result.status
        return result
    try:
        data = out.load_run(run_dir, allow_empty=True)
        events = m.event_metrics(data, run_wheelbase(data.csv_path, data.record))
        result.metrics = m.run_metrics(data, events)
        if result.status != 0:
            result.message = _first_line(os.path.join(run_dir, "stderr.txt"))
    except out.OutputError as error:
        result.message = str(error)
    return result


def _seconds(text):
    try:
        return float(text)
    except ValueError:
        return 0.0
