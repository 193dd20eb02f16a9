"""A parameter sweep from its settings to its summary: the code that the
command line (vdsim-sweep) and Python (vdsim.sweep) share.

    outcome = execute(settings, ui)

`settings` holds what vdsim-sweep's options say (DEFAULTS, check_settings);
its `sweep` is a sweep file's path or a mapping from address to values.
Everything is checked before the disk is touched: the simulator, the base
scenario, every address and value, the run count, the back end (GNU
parallel, or Slurm and the sbatch options) and the sweep directory.

SIGINT, SIGTERM and SIGHUP (those left at their default) stop the sweep:
the back end stops its runs, the summary of the runs that finished is
written, and SweepInterrupted says which signal came; --resume finishes the
sweep.  A second signal while the summary is written stops that too (the
previous summary.csv stays).
"""

import contextlib
import os
import shlex
import shutil
import signal
import threading
import warnings

from . import metrics as m
from . import parallel
from . import simulator
from . import slurm
from . import sweep_dir as sd
from . import sweep_summary as results
from .scenario import OverrideWarning, Scenario, ScenarioError
from .sweep_file import SweepError, grid_of_values, read_sweep, short_headings

PROG = "vdsim-sweep"
BODE = "bode"  # --plot bode: the frequency response of a sweep of SineSteer events


class SweepInterrupted(SweepError):
    """The sweep was stopped by a signal (exit status 128 + its number);
    `summary` is the Summary of the runs that finished (None when it stopped
    before running any)."""

    def __init__(self, message, signum, summary=None):
        super().__init__(message, 128 + signum)
        self.signum, self.summary = signum, summary


class Stopped(BaseException):
    """A stop signal arrived (raised by Interrupts' handler)."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class Interrupts:
    """While active, SIGINT, SIGTERM and SIGHUP raise Stopped, unless they
    were set to something other than their default (only SIGINT's Python
    default counts as one); inside held() one is kept until the end of the
    block.  Nothing is installed outside the main thread."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self):
        self.previous, self.holding, self.pending = {}, False, None

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for number in self.SIGNALS:
                handler = signal.getsignal(number)
                if handler in (signal.SIG_DFL, signal.default_int_handler):
                    self.previous[number] = signal.signal(number, self._arrived)
        return self

    def __exit__(self, *exc):
        for number, handler in self.previous.items():
            signal.signal(number, handler)
        return False

    def _arrived(self, number, frame):
        if self.holding:
            self.pending = self.pending or number
        else:
            raise Stopped(number)

    @contextlib.contextmanager
    def held(self):
        """A block that a stop signal does not cut short; it is raised after."""
        self.holding = True
        try:
            yield
        finally:
            self.holding = False
            pending, self.pending = self.pending, None
        if pending:
            raise Stopped(pending)


class Ui:
    """How a sweep speaks: say(text) for its lines, warn(text) for a warning
    about an address, progress (True: show it on standard error)."""

    def __init__(self, say, warn, progress):
        self.say, self.warn, self.progress = say, warn, progress


class Outcome:
    """What a sweep did: its Sweep, the summary's path and counts, the back
    end and its exit status, the plots drawn."""

    def __init__(self, sweep, summary, backend, status, plots):
        self.sweep, self.summary, self.path, self.count = (sweep, summary, summary.path,
                                                           summary.count)
        self.backend, self.status, self.plots = backend, status, plots
        self.not_run = summary.not_run
        self.failed = summary.failed_total - summary.not_run


def signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def find_address(name, option, addresses):
    """The index of a swept address given in full or by its heading;
    SweepError naming the option when it is not swept."""
    for index, (address, heading) in enumerate(zip(addresses, short_headings(addresses))):
        if name in (address, heading):
            return index
    raise SweepError('%s: "%s" is not a swept address; the sweep has %s'
                     % (option, name, ", ".join(addresses)))


def plot_axes(settings, addresses):
    """(index of the x address, index of the line address or None); SweepError
    for an address that is not swept."""
    x = find_address(settings.plot_x, "--plot-x", addresses) if settings.plot_x else 0
    if settings.plot_lines:
        lines = find_address(settings.plot_lines, "--plot-lines", addresses)
        if lines == x:
            raise SweepError("--plot-lines: the same address as on the x axis")
    else:
        lines = next((i for i in range(len(addresses)) if i != x), None)
    return x, lines


def bode_lines(settings, sweep):
    """The index of the swept address with one line per value in the Bode
    plot (--plot-lines, else the first that is not a SineSteer frequency),
    or None."""
    if settings.plot_lines:
        return find_address(settings.plot_lines, "--plot-lines", sweep.addresses)
    return next((i for i, target in enumerate(sweep.targets or ())
                 if not is_sine_frequency(target)), None)


def is_sine_frequency(target):
    """True when an address names the frequency of a SineSteer event."""
    section = target.section
    return (section.marker == "[event]" and target.item.field == "frequency"
            and section.items[0].values[0].text == "SineSteer")


def check_bode(scenario):
    """SweepError when the base scenario has no SineSteer event to measure."""
    if not any(section.marker == "[event]" and section.items
               and section.items[0].values[0].text == "SineSteer"
               for section in scenario.sections("Events.ini")):
        raise SweepError("--plot %s: %s has no SineSteer event, whose gain and phase it draws"
                         % (BODE, os.path.join(scenario.directory, "Events.ini")))


def plot_keys(plots):
    """The flat metrics the plots need from each run."""
    from .plot import BODE_KEYS
    keys = []
    for name in plots:
        keys += BODE_KEYS if name == BODE else [name]
    return list(dict.fromkeys(keys))


def check_simulator(settings, resume_keeps):
    """The simulator to copy into the sweep, or None when --resume keeps the one copied."""
    if resume_keeps:
        return None
    try:
        return simulator.check_vdsim(settings.vdsim or simulator.default_vdsim())
    except simulator.SimulatorError as error:
        raise SweepError(error.message) from None


def make_backend(settings, progress):
    """The back end of the settings, checked; SweepError when it cannot run here."""
    if settings.slurm:
        backend = slurm.Slurm(settings.out, settings.slurm_options, settings.max_parallel,
                              settings.runs_per_task or 1, settings.timeout, progress)
        backend.check()
        return backend
    path = parallel.find_parallel()
    if settings.hosts:
        parallel.read_hosts(settings.hosts)
        if shutil.which("rsync") is None:
            raise SweepError("rsync not found: GNU parallel copies run directories to "
                             "the hosts with it (Debian: apt-get install rsync)")
    return parallel.Parallel(path, settings.out, settings.jobs, settings.hosts,
                             settings.timeout, progress)


def run_names(count):
    """The run directories' names, in order, made one at a time."""
    return (sd.run_name(index + 1, count) for index in range(count))


def runs_to_make(settings, scenario, sweep, done):
    """Makes each run directory still to run, then yields its name."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OverrideWarning)  # named once before the sweep
        for index, name in enumerate(run_names(sweep.count)):
            if name not in done:
                path = os.path.join(settings.out, sd.RUNS, name)
                try:
                    sd.make_run_dir(path, scenario, sweep.addresses, sweep.values(index))
                except OSError as error:
                    raise SweepError("%s: cannot make the run directory: %s"
                                     % (path, error.strerror or error), 1) from None
                yield name


def finished_runs(directory, count, log):
    """The runs of a sweep directory that ended: a status in their directory
    (a packed result unpacked), or an entry in GNU parallel's job log."""
    done = set()
    for name in run_names(count):
        if name in log or results.read_status(os.path.join(directory, sd.RUNS, name)) is not None:
            done.add(name)
    return done


def draw_plots(settings, summary, sweep, marker):
    """Each --plot METRIC into SWEEP_DIR/METRIC.png (bode.png for the Bode
    plot); returns the paths written."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from . import plot
    headings = short_headings(sweep.addresses)
    titles = ([target.title() for target in sweep.targets] if sweep.targets
              else list(sweep.addresses))
    written = []
    for metric in settings.plot:
        if metric == BODE:
            bode_line = bode_lines(settings, sweep)
            figure = plot.bode(
                plt, None if bode_line is None else headings[bode_line],
                summary.bode_lines(bode_line),
                "%s: frequency response (gain and phase against the road-wheel angle)"
                % settings.out)
        else:
            x, line = plot_axes(settings, sweep.addresses)
            figure = plot.sweep_metric(
                plt, metric, titles[x], None if line is None else titles[line],
                summary.plot_lines(metric, x, line),
                "%s: %s against %s" % (settings.out, plot.metric_title(metric)[0], titles[x]))
        name = metric + ".png"
        marker["plots"] = sorted(set(marker.get("plots", [])) | {name})
        sd.write_marker(settings.out, marker)
        path = os.path.join(settings.out, name)
        figure.savefig(path, dpi=plot.DPI)
        plt.close(figure)
        written.append(path)
    return written


def collect(settings, sweep, backend):
    """Writes summary.csv from the run directories, the job log and the back
    end; returns the Summary."""
    log = results.read_joblog(os.path.join(settings.out, sd.JOBLOG))
    summary = results.Summary(os.path.join(settings.out, sd.SUMMARY), sweep.addresses,
                              sweep.count, plot_keys(settings.plot))
    try:
        for index, name in enumerate(run_names(sweep.count)):
            run_dir = os.path.join(settings.out, sd.RUNS, name)
            logged = log.get(name)
            host, ended = (logged.get("Host", "") if logged else ""), None
            if results.read_status(run_dir) is None:  # how it ended, if it did
                found = backend.outcome(name)
                if found is not None:
                    host, ended = found
                elif logged is not None:
                    ended = results.joblog_end(logged, settings.timeout + parallel.LIMIT_MARGIN)
            summary.add(results.collect_run(run_dir, name, sweep.values(index),
                                            settings.timeout, host, ended))
    except BaseException:
        summary.discard()
        raise
    summary.close()
    return summary


def execute(settings, ui):
    """Runs the sweep of the settings; returns its Outcome.  SweepError for a
    sweep that cannot start or go on, SweepInterrupted when a signal stopped it."""
    with Interrupts() as interrupts:
        try:
            return _execute(settings, ui, interrupts)
        except Stopped as stop:
            raise SweepInterrupted("interrupted by %s" % signal_name(stop.signum),
                                   stop.signum) from None
        except BrokenPipeError:
            raise  # standard output's reader went away: the caller's to handle
        except OSError as error:  # a file of the sweep directory that cannot be written
            raise SweepError(os_message(error), 1) from None


def os_message(error):
    """An OSError in one line: "FILE: reason"."""
    if error.filename is None:
        return error.strerror or str(error)
    return "%s: %s" % (error.filename, error.strerror or error)


def _execute(settings, ui, interrupts):
    out = settings.out
    resume_keeps = settings.resume and os.path.isfile(os.path.join(out, sd.BIN, "vdsim"))
    vdsim = check_simulator(settings, resume_keeps)
    try:
        scenario = Scenario.load(settings.base)
    except ScenarioError as error:
        raise SweepError(str(error)) from None
    if isinstance(settings.sweep, (str, bytes, os.PathLike)):
        sweep = read_sweep(settings.sweep, scenario)
    else:
        sweep = grid_of_values(settings.sweep, scenario)
    if any(name != BODE for name in settings.plot):
        plot_axes(settings, sweep.addresses)
    if BODE in settings.plot:
        check_bode(scenario)
        bode_lines(settings, sweep)
    for address, target in zip(sweep.addresses, sweep.targets):
        note = scenario.override_note(target)
        if note:
            ui.warn("%s: %s" % (address, note))
    backend = make_backend(settings, ui.progress)
    marker = sd.make_marker(scenario, sweep)
    previous = sd.check_destination(out, settings.base, marker, settings.resume)
    queued = slurm.queued_jobs(out) if previous is not None else []
    if queued:
        raise SweepError("%s: the Slurm jobs %s of the sweep there are still in the queue: "
                         "wait for them to end, or cancel them (scancel %s)"
                         % (out, ", ".join(queued), " ".join(queued)))

    # Checked: now the disk.
    count = sweep.count
    if settings.resume:
        marker["plots"] = previous.get("plots", [])
    try:
        if previous is not None and not settings.resume:
            sd.remove_previous(out, previous)
        sd.prepare(out, marker, vdsim, resume_keeps)
    except OSError as error:
        raise SweepError("cannot prepare the sweep directory: %s" % os_message(error)) from None
    log = results.read_joblog(os.path.join(out, sd.JOBLOG))
    done = finished_runs(out, count, log) if settings.resume else set()
    todo = count - len(done)
    ui.say("%s: %d runs in %s; %d to run %s\n"
           % (PROG, count, os.path.join(out, sd.RUNS), todo, backend.where()))
    status, stopped = 0, None
    if todo:
        try:
            status = backend.run(runs_to_make(settings, scenario, sweep, done), todo, interrupts)
        except Stopped as stop:
            stopped = stop.signum
        except BaseException:
            with interrupts.held():
                backend.stop()
            raise
        if stopped:
            try:
                with interrupts.held():
                    backend.stop()
            except Stopped:
                pass  # a second signal while stopping: the first one stands
    summary = collect(settings, sweep, backend)
    if stopped:
        raise SweepInterrupted(
            "interrupted by %s: %d of %d runs finished; finish the sweep with --resume"
            % (signal_name(stopped), count - summary.not_run, count), stopped, summary)
    plots = draw_plots(settings, summary, sweep, marker) if settings.plot else []
    return Outcome(sweep, summary, backend, status, plots)


# The settings of a sweep and their defaults: vdsim-sweep's options.
DEFAULTS = dict(jobs=None, hosts=None, slurm=False, slurm_options=(), max_parallel=None,
                runs_per_task=None, resume=False, timeout=600.0, plot=(), plot_x=None,
                plot_lines=None, vdsim=None)


def check_settings(settings):
    """Checks the settings that need no file, in place (sbatch options split
    as a shell would); SweepError with status 2 for one that does not fit."""
    for name in ("jobs", "max_parallel", "runs_per_task"):
        value = getattr(settings, name)
        if value is not None and value < 1:
            raise SweepError("--%s must be at least 1" % name.replace("_", "-"))
    if not sd.TIMEOUT_MIN <= settings.timeout <= sd.TIMEOUT_MAX:
        raise SweepError("--timeout must be a number of seconds from %s to %s"
                         % (sd.seconds_text(sd.TIMEOUT_MIN), sd.seconds_text(sd.TIMEOUT_MAX)))
    keys = m.metric_keys()
    for metric in settings.plot:
        if metric not in keys and metric != BODE:
            raise SweepError('--plot: no metric "%s"; the metrics are %s, or %s for the '
                             'frequency response of SineSteer events'
                             % (metric, ", ".join(keys), BODE))
    if (settings.plot_x or settings.plot_lines) and not settings.plot:
        raise SweepError("--plot-x and --plot-lines go with --plot METRIC")
    if settings.slurm:
        if settings.jobs is not None or settings.hosts:
            raise SweepError("--jobs and --hosts go with GNU parallel, not --slurm "
                             "(--max-parallel limits the runs at a time there)")
        options = []
        for option in settings.slurm_options:
            try:
                options += shlex.split(option)
            except ValueError as error:
                raise SweepError("--slurm-option %s: %s" % (option, error)) from None
        for option in options:
            if option in ("-a", "--array") or option.startswith(("--array=", "-a")):
                raise SweepError("--slurm-option %s: the sweep makes its own array jobs" % option)
        settings.slurm_options = options
    elif settings.slurm_options or settings.max_parallel or settings.runs_per_task:
        raise SweepError("--slurm-option, --max-parallel and --runs-per-task go with --slurm")
    return settings
