"""The command line of vdsim-sweep: parameter sweeps of vdsim with GNU
parallel, on this machine or on ssh hosts.

Everything is checked before the disk is touched: the simulator, the base
scenario, every address and value of the sweep file, the run count, GNU
parallel and the sweep directory.
"""

import argparse
import os
import shutil
import sys
import warnings

from . import launch
from . import metrics as m
from . import parallel
from . import simulator
from . import sweep_dir as sd
from .scenario import OverrideWarning, Scenario, ScenarioError
from .sweep_file import MAX_RUNS, SweepError, parse_sweep, short_headings
from . import sweep_summary as results
from .sweep_summary import Summary

PROG = "vdsim-sweep"
DEFAULT_TIMEOUT = 600.0  # s of wall time per run

USAGE = """\
usage: vdsim-sweep BASE_SCENARIO_DIR SWEEP_FILE -o SWEEP_DIR [--jobs N]
                   [--hosts HOSTFILE] [--resume] [--timeout SECONDS]
                   [--plot METRIC [--plot-x ADDRESS] [--plot-lines ADDRESS]]
                   [--vdsim PATH]"""

HELP = USAGE + """

Runs vdsim --extended once per row of SWEEP_FILE, each time in a copy of the
base scenario with some values replaced, through GNU parallel, on this
machine or on the ssh hosts of HOSTFILE, and writes SWEEP_DIR/summary.csv.

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
run: Data/Output.csv, Extended.csv, Run.json, status, time, stdout.txt (the
first and last %(keep)d lines), stderr.txt), SWEEP_DIR/joblog (GNU parallel's
job log), SWEEP_DIR/summary.csv (one row per run: values, exit status or
"timeout", wall time, run summary and maneuver metrics, host, message).  The
exit status is 1 when a run failed, 2 for bad input.

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
  --resume          finish an interrupted sweep in SWEEP_DIR: runs already in
                    the job log (finished, failed ones included) are not run
                    again; the simulator copied at the start is kept
  --timeout SECONDS stop a run after this much wall time and record its
                    status as "timeout" (default %(timeout)g)
  --plot METRIC     draw METRIC (a column of summary.csv, e.g.
                    understeer_gradient_deg_per_g) against the first swept
                    value, one line per value of the second, into
                    SWEEP_DIR/METRIC.png; may be given more than once
  --plot-x ADDRESS  the swept address on the x axis (default: the first)
  --plot-lines ADDRESS
                    the swept address with one line per value (default: the
                    first other address, if any)
  --vdsim PATH      the simulator (default: build/vdsim of this checkout)
  -h, --help        this text
""" % {"max": "{:,}".format(MAX_RUNS), "keep": sd.STDOUT_LINES, "timeout": DEFAULT_TIMEOUT}


def parse_args(argv):
    """The options; SweepError with status 2 on a bad command line."""

    class Parser(argparse.ArgumentParser):
        def error(self, message):
            raise SweepError("%s\n%s" % (message, USAGE))

    parser = Parser(prog=PROG, add_help=False, usage=USAGE)
    parser.add_argument("base")
    parser.add_argument("sweep")
    parser.add_argument("-o", dest="out", required=True)
    parser.add_argument("--jobs", type=int)
    parser.add_argument("--hosts")
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT)
    parser.add_argument("--plot", action="append", default=[], metavar="METRIC")
    parser.add_argument("--plot-x")
    parser.add_argument("--plot-lines")
    parser.add_argument("--vdsim")
    if any(arg in ("-h", "--help") for arg in argv):
        launch.say(HELP)
        raise SystemExit(0)
    options = parser.parse_args(argv)
    if options.jobs is not None and options.jobs < 1:
        raise SweepError("--jobs must be at least 1")
    if not 0 < options.timeout < float("inf"):
        raise SweepError("--timeout must be a positive number of seconds")
    keys = m.metric_keys()
    for metric in options.plot:
        if metric not in keys:
            raise SweepError('--plot: no metric "%s"; the metrics are %s'
                             % (metric, ", ".join(keys)))
    if (options.plot_x or options.plot_lines) and not options.plot:
        raise SweepError("--plot-x and --plot-lines go with --plot METRIC")
    return options


def plot_axes(options, addresses):
    """(index of the x address, index of the line address or None); SweepError
    for an address that is not swept."""
    headings = short_headings(addresses)

    def find(name, option):
        for index, (address, heading) in enumerate(zip(addresses, headings)):
            if name in (address, heading):
                return index
        raise SweepError('%s: "%s" is not a swept address; the sweep has %s'
                         % (option, name, ", ".join(addresses)))

    x = find(options.plot_x, "--plot-x") if options.plot_x else 0
    if options.plot_lines:
        lines = find(options.plot_lines, "--plot-lines")
        if lines == x:
            raise SweepError("--plot-lines: the same address as on the x axis")
    else:
        lines = next((i for i in range(len(addresses)) if i != x), None)
    return x, lines


def check_simulator(options, resume_keeps):
    """The simulator to copy into the sweep, or None when --resume keeps the one copied."""
    if resume_keeps:
        return None
    try:
        return simulator.check_vdsim(options.vdsim or simulator.default_vdsim())
    except simulator.SimulatorError as error:
        raise SweepError(error.message) from None


def run_names(count):
    """The run directories' names, in order, made one at a time."""
    return (sd.run_name(index + 1, count) for index in range(count))


def runs_to_make(options, scenario, sweep, done):
    """Makes each run directory still to run, then yields its name for GNU parallel."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OverrideWarning)  # named once before the sweep
        for index, name in enumerate(run_names(sweep.count)):
            if index + 1 not in done:
                sd.make_run_dir(os.path.join(options.out, sd.RUNS, name), scenario,
                                sweep.addresses, sweep.values(index))
            yield "%s/%s" % (sd.RUNS, name)


def draw_plots(options, summary, sweep, marker):
    """Each --plot METRIC into SWEEP_DIR/METRIC.png; returns the paths written."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from . import plot
    x, line = plot_axes(options, sweep.addresses)
    written = []
    for metric in options.plot:
        lines = summary.plot_lines(metric, x, line)
        values = [p[0] for points in lines.values() for p in points]
        figure = plot.sweep_metric(
            plt, metric, sweep.addresses[x], values,
            None if line is None else short_headings(sweep.addresses)[line], lines,
            "%s: %s against %s" % (options.out, metric, short_headings(sweep.addresses)[x]))
        name = metric + ".png"
        marker["plots"] = sorted(set(marker.get("plots", [])) | {name})
        sd.write_marker(options.out, marker)
        path = os.path.join(options.out, name)
        figure.savefig(path, dpi=plot.DPI)
        plt.close(figure)
        written.append(path)
    return written


def main(argv):
    try:
        options = parse_args(argv)
        resume_keeps = options.resume and os.path.isfile(os.path.join(options.out, sd.BIN, "vdsim"))
        vdsim = check_simulator(options, resume_keeps)
        try:
            scenario = Scenario.load(options.base)
        except ScenarioError as error:
            raise SweepError(str(error)) from None
        try:
            with open(options.sweep, encoding="utf-8") as stream:
                sweep_text = stream.read()
        except (OSError, UnicodeDecodeError) as error:
            raise SweepError("%s: cannot read: %s"
                             % (options.sweep, getattr(error, "strerror", None) or error))
        sweep = parse_sweep(sweep_text, scenario, options.sweep)
        if options.plot:
            plot_axes(options, sweep.addresses)
        for address, target in zip(sweep.addresses, sweep.targets):
            note = scenario.override_note(target)
            if note:
                sys.stderr.write("%s: warning: %s: %s\n" % (PROG, address, note))
        parallel_path = parallel.find_parallel()
        if options.hosts:
            parallel.read_hosts(options.hosts)
            if shutil.which("rsync") is None:
                raise SweepError("rsync not found: GNU parallel copies run directories to "
                                 "the hosts with it (Debian: apt-get install rsync)")
        marker = sd.make_marker(scenario, sweep)
        previous = sd.check_destination(options.out, options.base, marker, options.resume)

        # Checked: now the disk.
        count = sweep.count
        done = set()
        if options.resume:
            done = set(results.read_joblog(os.path.join(options.out, sd.JOBLOG))) & set(
                range(1, count + 1))
            marker["plots"] = previous.get("plots", [])
        elif previous is not None:
            sd.remove_previous(options.out, previous)
        sd.prepare(options.out, marker, vdsim, resume_keeps)
        todo = count - len(done)
        where = ("on the hosts of %s" % options.hosts) if options.hosts else "on this machine"
        launch.say("%s: %d runs in %s; %d to run %s with GNU parallel\n"
                   % (PROG, count, os.path.join(options.out, sd.RUNS), todo, where))
        workdir = os.path.join(".vdsim-sweep", "%s-%d-%s" % (
            os.uname().nodename, os.getpid(), os.urandom(4).hex()))
        hosts = os.path.abspath(options.hosts) if options.hosts else None
        line = parallel.command(parallel_path, options.jobs, hosts, options.resume, workdir,
                                count, options.timeout, sys.stderr.isatty())
        status = parallel.run(line, options.out,
                              runs_to_make(options, scenario, sweep, done)) if todo else 0

        log = results.read_joblog(os.path.join(options.out, sd.JOBLOG))
        summary_path = os.path.join(options.out, sd.SUMMARY)
        summary = Summary(summary_path, sweep.addresses, count, options.plot)
        try:
            for index, name in enumerate(run_names(count)):
                summary.add(results.collect_run(os.path.join(options.out, sd.RUNS, name), name,
                                           sweep.values(index), log.get(index + 1),
                                           options.timeout))
        finally:
            summary.close()
        launch.say(summary.table())
        launch.say("Wrote %s (%d runs)\n" % (summary_path, count))
        for path in draw_plots(options, summary, sweep, marker) if options.plot else ():
            launch.say("Wrote %s\n" % path)
        failed = summary.failed_total - summary.not_run
        if summary.not_run:
            raise SweepError("%d of %d runs did not run (GNU parallel exit status %d); "
                             "finish them with --resume" % (summary.not_run, count, status), 1)
        if failed:
            raise SweepError("%d of %d runs failed" % (failed, count), 1)
        return 0
    except SweepError as error:
        sys.stdout.flush()
        sys.stderr.write("%s: %s\n" % (PROG, error))
        return error.status
    except KeyboardInterrupt:
        sys.stderr.write("%s: interrupted\n" % PROG)
        return 130
