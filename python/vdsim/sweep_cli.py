"""The command line of vdsim-sweep: parameter sweeps of vdsim with GNU
parallel, on this machine or on ssh hosts, or with Slurm on a cluster.

The sweep itself is vdsim.sweep_run's, shared with vdsim.sweep(): this
module reads the options and prints what the sweep did.
"""

import argparse
import sys

from . import launch
from . import sweep_dir as sd
from . import sweep_run
from .sweep_file import MAX_RUNS, SweepError
from .sweep_run import PROG, SweepInterrupted

DEFAULT_TIMEOUT = sweep_run.DEFAULTS["timeout"]  # s of wall time per run

USAGE = """\
usage: vdsim-sweep BASE_SCENARIO_DIR SWEEP_FILE -o SWEEP_DIR [--jobs N]
                   [--hosts HOSTFILE] [--slurm [--slurm-option OPTION]...
                   [--max-parallel N] [--runs-per-task K]] [--resume]
                   [--timeout SECONDS] [--plot METRIC|bode [--plot-x ADDRESS]
                   [--plot-lines ADDRESS]] [--vdsim PATH]"""

HELP = USAGE + """

Runs vdsim --extended once per row of SWEEP_FILE, each time in a copy of the
base scenario with some values replaced, through GNU parallel on this
machine or on the ssh hosts of HOSTFILE, or as Slurm array jobs, and writes
SWEEP_DIR/summary.csv.

Sweep file.  CSV form: a header line of addresses, then one line of values
per run.  Grid form, chosen when the first line holds "=": lines
ADDRESS=v1,v2,... ; the runs are every combination, the first line's values
changing slowest.  "#" starts a comment.  A sweep has at most %(max)s runs.

Addresses: FILE:SECTION[:INDEX]:KEY
  FILE     Events.ini, {car}.ini or {car}.params ({car}: the car base name
           of the base Events.ini)
  SECTION  a section marker: [car], [event], [powertrain], [corner], [params]
  INDEX    which section of that marker, counted from 1 in file order;
           needed only when there are several: {car}.ini:[corner]:3:... is
           the third corner (left rear), Events.ini:[event]:2:... the second
           event
  KEY      the item's key as written in the base file (spring(N/m)), the
           key without its (unit) suffix (spring), or the field name
           (springRate).  One number of a triple: KEY.x KEY.y KEY.z or
           KEY[1] KEY[2] KEY[3] (mount.z).  The bare numbers of [powertrain]:
           torqueCoefficients[k] (k=1: highest power) and gearRatio[k]
           (k=1: first gear).
  Examples: {car}.params:[params]:frontRideFrequency
            {car}.ini:[corner]:3:brakeTorqueGain
            Events.ini:[event]:2:speed
  Values are ASCII numbers, written into the file exactly as given; nothing
  else changes.  A value of {car}.ini that {car}.params replaces or scales
  (springs, dampers, mount x and y, masses) is named in a warning first.

Output: SWEEP_DIR/runs/0001, 0002, ... (one complete working directory per
run: Data/Output.csv, Extended.csv, Run.json, status, time, host, stdout.txt
(the first and last %(keep)d lines), stderr.txt), SWEEP_DIR/joblog (GNU
parallel's job log), SWEEP_DIR/slurm/ (the Slurm jobs' run lists),
SWEEP_DIR/summary.csv (one row per run: values, exit status, "timeout" or
the Slurm state of a task that left no result, wall time, run summary and
maneuver metrics, host, message).  The exit status is 1 when a run failed,
2 for bad input, 128+N when signal N stopped the sweep (the summary then
holds the runs that finished; --resume runs the others).

options:
  -o SWEEP_DIR      the sweep's directory: new, empty, or a previous sweep of
                    this tool, which is replaced (only what it made is
                    removed) unless --resume
  --jobs N          runs at a time (default: one per CPU core; with --hosts,
                    per host, unless the host's line says N/)
  --hosts HOSTFILE  run on the ssh hosts of this GNU parallel ssh login file
                    (one login per line, e.g. 4/user@host or a full ssh
                    command); run directories and the simulator are copied
                    to the hosts with rsync and the results copied back
  --slurm           submit the runs to Slurm as array jobs (sbatch --array)
                    and wait for them; SWEEP_DIR must be on a file system
                    the compute nodes see
  --slurm-option OPTION
                    pass OPTION to sbatch, e.g. --slurm-option=--partition=short
                    or --slurm-option="--time 30"; may be given more than once
  --max-parallel N  with --slurm: at most N runs at a time (array throttle %%N)
  --runs-per-task K with --slurm: K runs one after the other in each array
                    task, for short runs (default 1)
  --resume          finish an interrupted sweep in SWEEP_DIR: runs that ended
                    (finished or failed, in their directory or the job log)
                    are not run again; the simulator copied at the start is
                    kept
  --timeout SECONDS stop a run after this much wall time and record its
                    status as "timeout" (default %(timeout)g; 0.1 to 10000000)
  --plot METRIC     draw METRIC (a column of summary.csv, e.g.
                    understeer_gradient_deg_per_g) against the first swept
                    value, one line per value of the second, into
                    SWEEP_DIR/METRIC.png; may be given more than once.
                    --plot bode draws the frequency response of a sweep of
                    SineSteer events into SWEEP_DIR/bode.png: the gain and
                    phase of yaw rate and lateral acceleration against the
                    event's frequency, on a log axis
  --plot-x ADDRESS  the swept address on the x axis (default: the first)
  --plot-lines ADDRESS
                    the swept address with one line per value (default: the
                    first other address, if any; for bode the first that is
                    not the SineSteer frequency)
  --vdsim PATH      the simulator (default: build/vdsim of this checkout)
  -h, --help        this text
""" % {"max": "{:,}".format(MAX_RUNS), "keep": sd.STDOUT_LINES, "timeout": DEFAULT_TIMEOUT}


def parse_args(argv):
    """The settings of the command line, checked; SweepError with status 2 on
    a bad command line."""

    class Parser(argparse.ArgumentParser):
        def error(self, message):
            raise SweepError("%s\n%s" % (message, USAGE))

    parser = Parser(prog=PROG, add_help=False, usage=USAGE)
    parser.add_argument("base")
    parser.add_argument("sweep")
    parser.add_argument("-o", dest="out", required=True)
    parser.add_argument("--jobs", type=int)
    parser.add_argument("--hosts")
    parser.add_argument("--slurm", action="store_true")
    parser.add_argument("--slurm-option", dest="slurm_options", action="append", default=[],
                        metavar="OPTION")
    parser.add_argument("--max-parallel", type=int)
    parser.add_argument("--runs-per-task", type=int)
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT)
    parser.add_argument("--plot", action="append", default=[], metavar="METRIC")
    parser.add_argument("--plot-x")
    parser.add_argument("--plot-lines")
    parser.add_argument("--vdsim")
    if any(arg in ("-h", "--help") for arg in argv):
        launch.say(HELP)
        raise SystemExit(0)
    return sweep_run.check_settings(parser.parse_args(argv))


def main(argv):
    try:
        settings = parse_args(argv)
        ui = sweep_run.Ui(launch.say, lambda text: sys.stderr.write(
            "%s: warning: %s\n" % (PROG, text)), sys.stderr.isatty())
        try:
            outcome = sweep_run.execute(settings, ui)
        except SweepInterrupted as stop:
            if stop.summary is not None:
                launch.say(stop.summary.table())
                launch.say("Wrote %s (%d runs)\n" % (stop.summary.path, stop.summary.count))
            raise
        launch.say(outcome.summary.table())
        launch.say("Wrote %s (%d runs)\n" % (outcome.path, outcome.count))
        for path in outcome.plots:
            launch.say("Wrote %s\n" % path)
        if outcome.not_run:
            raise SweepError("%d of %d runs did not run (%s exit status %d); finish them with "
                             "--resume" % (outcome.not_run, outcome.count, outcome.backend.name,
                                           outcome.status), 1)
        if outcome.failed:
            raise SweepError("%d of %d runs failed" % (outcome.failed, outcome.count), 1)
        return 0
    except SweepError as error:
        sys.stdout.flush()
        sys.stderr.write("%s: %s\n" % (PROG, error))
        return error.status
    except KeyboardInterrupt:  # before the sweep's own handling of signals
        sys.stderr.write("%s: interrupted\n" % PROG)
        return 130
