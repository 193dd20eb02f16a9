"""The command line of vdsim-plot: the dashboard and summary of a run, or an
overlay of several runs or of a sweep's runs.

    vdsim-plot RUN [RUN ...] [-o OUT.png] [--labels LABEL ...]
               [--channels NAME ... [--x NAME]] [--corners [CORNER ...]] [--no-summary]

RUN is a run directory (its "Data/Output.csv" is read, with Extended.csv and
Run.json when they belong to it), the CSV file itself, or a sweep directory
(its runs, labelled by their swept values).  The summary goes to standard
output, then the picture's path.  Bad input or an unwritable picture: one
line on standard error, exit status 2.
"""

import argparse
import io
import os
import stat
import sys
import tempfile
import warnings

from . import launch
from . import metrics as m
from . import output as out
from . import report
from .scenario import run_wheelbase, scenario_of_run
from .sweep_dir import MARKER, RUNS, read_marker, run_name
from .sweep_file import short_headings

PROG = "vdsim-plot"
MAX_RUNS = 10  # runs in one overlay: one colour each
OVERLAY_FILE = "overlay.png"  # default picture of an overlay


class UsageError(Exception):
    """A bad command line or unwritable output; the message is printed as is."""


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Dashboard plot and summary of vdsim runs (Data/Output.csv, and "
                    "Extended.csv with Run.json when the run wrote them).",
        epilog="The events' metrics are those vdsim --extended measured at every step and "
               "wrote into Run.json. Without them the summary's steady-state turn is the "
               "longest stretch of at least %g s in which the lateral acceleration keeps one "
               "sign and exceeds %g m/s2; with them, the first SteerRamp event from its entry. "
               "Angles are drawn in degrees. Exit status 2 on bad input, with one line on "
               "standard error." % (m.TURN_MIN_DURATION, m.TURN_MIN_LAT_ACCEL))
    parser.add_argument("runs", nargs="+", metavar="RUN",
                        help="run directory (reads DIR/Data/Output.csv), the CSV file, or a "
                             "sweep directory (overlays its runs)")
    parser.add_argument("-o", "--output", metavar="OUT.png",
                        help="picture to write (default: Data/Output.png beside one run's CSV, "
                             "SWEEP_DIR/%s for a sweep, ./%s for several runs); "
                             ".png is added to a new name without a suffix"
                             % (OVERLAY_FILE, OVERLAY_FILE))
    parser.add_argument("--labels", nargs="+", metavar="LABEL",
                        help="one label per run for the legend and the summaries")
    parser.add_argument("--channels", nargs="+", metavar="NAME",
                        help="draw only these channels (of Output.csv or Extended.csv), one "
                             "panel each")
    parser.add_argument("--x", metavar="NAME",
                        help="with --channels: the channel on the x axis instead of time")
    parser.add_argument("--corners", nargs="*", metavar="CORNER", choices=out.CORNERS,
                        help="the corners drawn in the per-corner panels (LF RF LR RR; all "
                             "four when none is named); by default all four for one run and "
                             "LF alone for several, one line per run")
    parser.add_argument("--no-summary", action="store_true",
                        help="do not print the summary table")
    return parser.parse_args(argv)


def sweep_runs(directory):
    """(run directory, label) of each run of a sweep directory, labelled by
    its swept values, and what the labels are (the swept keys); None when the
    directory is not a sweep's."""
    marker = read_marker(directory)
    if marker is None:
        return None
    sweep = marker["sweep"]
    if sweep.count > MAX_RUNS:
        raise UsageError("%s: a sweep of %d runs; an overlay shows at most %d: give the run "
                         "directories (%s/%s/...) to show" % (directory, sweep.count, MAX_RUNS,
                                                               directory, RUNS))
    runs = [(os.path.join(directory, RUNS, run_name(i + 1, sweep.count)), ", ".join(values))
            for i, values in enumerate(sweep)]
    return runs, ", ".join(short_headings(sweep.addresses))


def expand_runs(arguments, labels):
    """(path, label) of every run to draw, sweep directories giving their
    runs, and what the labels are."""
    runs, titles = [], []
    for argument in arguments:
        found = sweep_runs(argument) if os.path.isdir(argument) else None
        if found is None:
            runs.append((argument, None))
        else:
            runs += found[0]
            titles.append(found[1])
    if labels is not None and len(labels) != len(runs):
        raise UsageError("--labels: %d labels for %d runs" % (len(labels), len(runs)))
    if len(runs) > MAX_RUNS:
        raise UsageError("%d runs; an overlay shows at most %d" % (len(runs), MAX_RUNS))
    if labels is not None:
        return [(path, label) for (path, _), label in zip(runs, labels)], "Runs"
    names = [os.path.basename(os.path.normpath(path)) for path, _ in runs]
    title = titles[0] if len(titles) == 1 and len(arguments) == 1 else "Runs"
    return [(path, label or (name if names.count(name) == 1 else path))
            for (path, label), name in zip(runs, names)], title


def resolve_channels(requested, available):
    """Map channel names onto those of the runs' files.

    A name matches exactly, or else ignoring case and runs of blanks (so
    "Suspension Deflection RF (m)" finds the two-blank column).
    """
    def loose(name):
        return " ".join(name.split()).lower()

    by_loose = {loose(name): name for name in available}
    names = []
    for name in requested:
        if name in available:
            names.append(name)
        elif loose(name) in by_loose:
            names.append(by_loose[loose(name)])
        else:
            valid = ", ".join('"%s"' % n for n in available)
            raise UsageError('unknown channel "%s"; valid names: %s' % (name, valid))
    return names


def picture_path(requested, default):
    """The picture's path: as given, with ".png" added to a new name without a
    suffix; UsageError when it cannot be written."""
    path = requested or default
    if requested and not os.path.splitext(os.path.basename(path))[1] and not os.path.lexists(path):
        path += ".png"
    if os.path.isdir(path):
        raise UsageError("cannot write %s: is a directory" % path)
    if not os.path.isdir(os.path.dirname(path) or "."):
        raise UsageError("cannot write %s: no such directory" % path)
    return path


def write_picture(figure, path, dpi):
    """Render the figure in the format of the path's suffix (PNG for an
    unknown one) and write it: a regular file through a temporary file renamed
    into place, so a failed write leaves no half picture; anything else (a
    device, a pipe) directly."""
    formats = figure.canvas.get_supported_filetypes()
    suffix = os.path.splitext(path)[1][1:].lower()
    picture = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # layout advice on figures of degenerate data
        figure.savefig(picture, dpi=dpi, format=suffix if suffix in formats else "png")
    data = picture.getvalue()
    try:
        mode = os.stat(path).st_mode
    except OSError:
        mode = None
    try:
        if mode is not None and not stat.S_ISREG(mode):
            with open(path, "wb") as stream:
                stream.write(data)
            return
        target = os.path.realpath(path)
        descriptor, temporary = tempfile.mkstemp(dir=os.path.dirname(target),
                                                 prefix=".vdsim-plot-")
        try:
            with os.fdopen(descriptor, "wb") as stream:
                stream.write(data)
            os.chmod(temporary, 0o666 & ~_umask() if mode is None else stat.S_IMODE(mode))
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as error:
        raise UsageError("cannot write %s: %s" % (path, error.strerror or error)) from None


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def load(path, label, read=None):
    """The PlotRun of one run; the files the plot reads for it (its
    Output.csv, the Extended.csv and Run.json beside it, the input files of
    its scenario) are added to the list `read`."""
    from .plot import PlotRun
    data = out.load_run(path)
    scenario = scenario_of_run(data.csv_path)
    if read is not None:
        directory = os.path.dirname(data.csv_path)
        read += [data.csv_path] + [os.path.join(directory, name)
                                   for name in (out.EXTENDED_FILE, out.RECORD_FILE)]
        if scenario is not None:
            read += [os.path.join(scenario.directory, name) for name in scenario.files]
    return PlotRun(label, data, data.metrics(), data.event_metrics(),
                   run_wheelbase(data.csv_path, data.record, scenario))


def check_not_an_input(picture, read):
    """UsageError when the picture's path is one of the files the plot reads
    (the same file, by whatever path or link)."""
    try:
        target = os.stat(picture)
    except OSError:
        return  # a new file
    for path in read:
        try:
            if os.path.samestat(target, os.stat(path)):
                raise UsageError("cannot write %s: it is an input of the plot%s"
                                 % (picture, "" if path == picture else " (%s)" % path))
        except OSError:
            continue


def title_of(runs, arguments):
    """The figure's title: the run's CSV, or how many runs; car, time step and version."""
    described = sorted({run.data.describe() for run in runs if run.data.describe()})
    metadata = "; " + " / ".join(described) if described else ""
    if len(runs) == 1:
        duration = report.number("%.1f", runs[0].metrics["duration_s"])
        return "vdsim run: %s (%d rows, %s s)%s" % (runs[0].data.csv_path,
                                                     runs[0].metrics["rows"], duration, metadata)
    return "vdsim: %d runs of %s%s" % (len(runs), ", ".join(arguments), metadata)


def main(argv):
    args = parse_arguments(argv)
    try:
        if args.x and not args.channels:
            raise UsageError("--x goes with --channels: name the channels to draw against it")
        paths, runs_title = expand_runs(args.runs, args.labels)
        read = [os.path.join(argument, MARKER) for argument in args.runs]
        runs = [load(path, label, read) for path, label in paths]
        available = [name for name in runs[0].data.channel_names()
                     if all(name in run.data.channel_names() for run in runs)]
        names = resolve_channels(args.channels, available) if args.channels else None
        x_name = resolve_channels([args.x], available)[0] if args.x else None
        if len(args.runs) == 1 and len(runs) > 1:
            default = os.path.join(args.runs[0], OVERLAY_FILE)
        elif len(runs) > 1:
            default = OVERLAY_FILE
        else:
            default = os.path.splitext(runs[0].data.csv_path)[0] + ".png"
        picture = picture_path(args.output, default)
        check_not_an_input(picture, read)
    except (out.OutputError, UsageError) as error:
        sys.stderr.write("%s: %s\n" % (PROG, error))
        return 2
    for run in runs:
        for note in run.data.notes:
            sys.stderr.write("%s: note: %s\n" % (PROG, note))
    if not args.no_summary:
        if len(runs) == 1:
            launch.say(report.format_summary(runs[0].metrics, runs[0].events,
                                             runs[0].data.metrics_note))
        else:
            launch.say(report.format_side_by_side([r.label for r in runs],
                                                  [r.metrics for r in runs], runs_title))

    # Plotting is imported only now: bad input is reported without the wait.
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from . import plot

    if names is None:
        corners = None if args.corners is None else tuple(args.corners or out.CORNERS)
        figure = plot.dashboard(plt, runs, title_of(runs, args.runs), runs_title, corners,
                                runs[0].data.metrics_note)
    else:
        figure = plot.channels(plt, runs, names, title_of(runs, args.runs), x_name, runs_title)
    try:
        write_picture(figure, picture, plot.DPI)
    except UsageError as error:
        sys.stderr.write("%s: %s\n" % (PROG, error))
        return 2
    finally:
        plt.close(figure)
    launch.say("Wrote %s\n" % picture)
    return 0
