"""A sweep's directory: its marker, what a new sweep may remove, the run
directories and the script that runs each.

    SWEEP_DIR/sweep.json      the marker: this tool's format and version, the
                              base scenario, the sweep's addresses and values
    SWEEP_DIR/bin/            the simulator and the run-one script
    SWEEP_DIR/runs/0001 ...   one complete working directory per run
    SWEEP_DIR/joblog          GNU parallel's job log
    SWEEP_DIR/slurm/          with Slurm: the batch script, each array job's
                              list of runs (runs-1, runs-2, ...) and the ids
                              of the jobs submitted (jobs)
    SWEEP_DIR/summary.csv     one row per run
    SWEEP_DIR/*.png           plots of the sweep's metrics

A new sweep into a directory that holds a previous one removes only what
that sweep's marker shows it made (the entries above, the runs it counts,
the plots it lists), and nothing else; a directory with anything else in it
and no marker of this format and version is never touched.  Nothing outside
SWEEP_DIR is ever removed: a plot is removed only by a plain file name.
"""

import hashlib
import json
import os
import re
import shutil
import stat

from .sweep_file import MAX_RUNS, Sweep, SweepError

MARKER = "sweep.json"
FORMAT = "vdsim-sweep directory"
VERSION = 2
RUNS = "runs"
BIN = "bin"
JOBLOG = "joblog"
SLURM = "slurm"
SUMMARY = "summary.csv"
STDOUT_LINES = 100  # lines kept from the start and from the end of a run's standard output
TIMEOUT_MIN, TIMEOUT_MAX = 0.1, 1e7  # s: the bounds of a run's time limit
TIMED_OUT = 124  # run-one's status of a run stopped by its time limit (that of timeout)

# Runs vdsim in one run directory and records how it went, on this machine,
# on an ssh host or in a Slurm task.  A run stopped by a signal to the script
# itself (the sweep interrupted or cancelled, which signals the whole job)
# records no status, so that it counts as not run and --resume runs it again.
RUN_ONE = r"""#!/bin/sh
# Runs vdsim --extended in one run directory of a sweep and records there its
# exit status ("status", 124 when stopped by the time limit), wall time in
# seconds ("time"), the machine ("host"), standard output (its first and last
# %(keep)d lines, "stdout.txt") and standard error ("stderr.txt").  With -t
# the run is stopped after SECONDS of wall time; with -p the results are
# packed into RUN_DIR.tar and the run directory is removed.
# Usage: sh run-one [-t SECONDS] [-p] RUN_DIR VDSIM
limit=
pack=
while getopts t:p option; do
  case $option in
    t) limit=$OPTARG ;;
    p) pack=1 ;;
    *) exit 125 ;;
  esac
done
shift $((OPTIND - 1))
run=$1
vdsim=$2
case $vdsim in /*) ;; *) vdsim=$(pwd)/$vdsim ;; esac
cd "$run" || exit 126
rm -f status status.new time host stdout.txt stderr.txt
mkdir -p Data
stopped=
trap 'stopped=1' HUP INT TERM
start=$(date +%%s.%%N)
{
  if [ -n "$limit" ]; then
    timeout --foreground -k 10 "$limit" "$vdsim" --extended 2>stderr.txt
  else
    "$vdsim" --extended 2>stderr.txt
  fi
  echo $? >status.new
} |
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
if [ -n "$stopped" ]; then
  rm -f status.new
  exit 143
fi
awk -v s="$start" -v e="$end" 'BEGIN { printf "%%.3f\n", e - s }' >time
uname -n >host
status=125
{ read -r status <status.new; } 2>/dev/null
mv -f status.new status 2>/dev/null || echo "$status" >status
if [ -n "$pack" ]; then
  name=${run%%/}
  name=${name##*/}
  tar -cf "../$name.tar" Data status time host stdout.txt stderr.txt || exit 125
  cd .. && rm -rf "$name"
fi
exit "$status"
""" % {"keep": STDOUT_LINES}

_RUN_NAME = re.compile(r"[0-9]{4,7}", re.ASCII)
_PLOT_NAME = re.compile(r"[A-Za-z0-9_]+\.png", re.ASCII)  # a metric's name and .png
_SLURM_FILE = re.compile(r"jobs|task|runs-[0-9]+", re.ASCII)


def seconds_text(seconds):
    """A time limit as the programs that take it read it: a plain decimal
    number of seconds, to the millisecond ("1000000", "0.25"), never in
    exponent form."""
    return ("%.3f" % seconds).rstrip("0").rstrip(".")


def run_name(index, count):
    """Directory name of run `index` (1-based): 0001, 0002, ..."""
    return "%0*d" % (max(4, len(str(count))), index)


def base_digest(scenario):
    """A digest of the base scenario's regular files, to tell a resumed sweep
    from another (a FIFO, socket or device among them is left out unread)."""
    digest = hashlib.sha256()
    for name in scenario.files:
        try:
            fd = os.open(os.path.join(scenario.directory, name), os.O_RDONLY | os.O_NONBLOCK)
        except OSError:
            continue  # a dangling link, or gone
        with open(fd, "rb") as stream:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                continue
            digest.update(name.encode() + b"\0")
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
    base_real, directory_real = os.path.realpath(base), os.path.realpath(directory)
    if os.path.commonpath([base_real, directory_real]) == base_real:
        raise SweepError("%s: the sweep directory must not lie inside the base scenario %s"
                         % (directory, base))
    if os.path.commonpath([base_real, directory_real]) == directory_real:
        raise SweepError("%s: the base scenario lies inside the sweep directory %s, which the "
                         "sweep replaces: copy the base scenario out of it first"
                         % (base, directory))
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


def plot_names(marker):
    """The plots a marker lists that a sweep may remove: plain file names
    METRIC.png only, never a path."""
    return [name for name in marker.get("plots", [])
            if isinstance(name, str) and _PLOT_NAME.fullmatch(name)]


def slurm_files(directory):
    """The files of SWEEP_DIR/slurm/ that a sweep makes, by name."""
    try:
        names = os.listdir(os.path.join(directory, SLURM))
    except OSError:
        return []
    return sorted(name for name in names if _SLURM_FILE.fullmatch(name))


def remove_previous(directory, marker):
    """Remove what the previous sweep of the marker made, and nothing else:
    its runs, packed results, bin/ and slurm/ files, job log, summary, plots
    and marker; runs/, bin/ and slurm/ go only when nothing else is left in
    them."""
    runs = os.path.join(directory, RUNS)
    for index in range(1, marker["runs"] + 1):
        name = run_name(index, marker["runs"])
        _remove(os.path.join(runs, name))
        _remove(os.path.join(runs, name + ".tar"))
    for name in ("vdsim", "run-one"):
        _remove(os.path.join(directory, BIN, name))
    for name in slurm_files(directory):
        _remove(os.path.join(directory, SLURM, name))
    for name in [JOBLOG, SUMMARY, SUMMARY + ".new", MARKER + ".new"] + plot_names(marker):
        _remove(os.path.join(directory, name))
    for name in (RUNS, BIN, SLURM):
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
