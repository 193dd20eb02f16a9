"""Running the simulator binary on a scenario, and the result of a run.

    run = run_scenario(scenario, extended=True)   # or Scenario.run()
    run.status, run.end, run.message, run.warnings
    run.output["Lat. Accel (m/s2)"]               # NumPy arrays by channel name
    run.extended["Sideslip (rad)"]                # None without --extended
    run.metrics()                                 # flat: whole run and maneuver
    run.event_metrics()                           # one dict per event, from Run.json
    run.event(2), run.frame()                     # one event's rows; a pandas DataFrame

A run that simulated (exit status 0, 3 diverged or singular, 4 stopped) gives
a Run; one that did not (1 no Events.ini, 2 bad input, killed, timed out)
raises SimulatorError with the simulator's one-line message and status.
"""

import os
import shutil
import subprocess
import tempfile

from . import output as out

SIMULATED = (0, 3, 4)  # exit statuses of runs that wrote their outputs
ENDS = {0: "finished", 3: "diverged", 4: "stopped"}


class SimulatorError(Exception):
    """The simulator did not simulate: `message` is its one-line message
    (or what went wrong in running it), `status` its exit status (None when it
    could not be started or was stopped by the timeout)."""

    def __init__(self, message, status=None, stderr=""):
        super().__init__(message)
        self.message, self.status, self.stderr = message, status, stderr


def default_vdsim():
    """The simulator to run: $VDSIM, else build/vdsim of the checkout that
    holds this package, else vdsim on the PATH (None if none of them is there)."""
    if os.environ.get("VDSIM"):
        return os.environ["VDSIM"]
    here = os.path.dirname(os.path.realpath(__file__))
    built = os.path.join(os.path.dirname(os.path.dirname(here)), "build", "vdsim")
    if os.path.isfile(built) and os.access(built, os.X_OK):
        return built
    return shutil.which("vdsim")


def check_vdsim(path):
    """The simulator's absolute path; SimulatorError when it is not an executable file."""
    if not path or not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise SimulatorError("no simulator at %s: build it first (make build), or give its path"
                             % (path or "build/vdsim, $VDSIM or the PATH"))
    return os.path.abspath(path)


def _first_error(stderr):
    """The first line of standard error that is not a warning."""
    lines = [line.strip() for line in stderr.splitlines() if line.strip()]
    errors = [line for line in lines if not line.startswith("vdsim: warning: ")]
    return (errors or lines or [""])[0]


class Run:
    """The result of one run that simulated.

    directory  the run directory (None once a temporary one is removed)
    status     exit status: 0 finished, 3 diverged or singular, 4 stopped
    end        "finished", "diverged", "singular", "clock" or "max-time" (Run.json),
               else from the status
    message    the simulator's line for a status 3 or 4 end ("" for 0)
    warnings   its warning lines ("vdsim: warning: ...")
    data       the RunData of Output.csv, Extended.csv and Run.json
    """

    def __init__(self, directory, status, stderr, data):
        self.directory, self.status, self.data = directory, status, data
        lines = [line for line in stderr.splitlines() if line.strip()]
        self.warnings = [line for line in lines if line.startswith("vdsim: warning: ")]
        record = data.record or {}
        self.end = record.get("end") or ENDS.get(status, "status %d" % status)
        self.message = record.get("message") or ("" if status == 0 else _first_error(stderr))

    @property
    def output(self):
        """Output.csv's channels: NumPy arrays by name."""
        return self.data.output

    @property
    def extended(self):
        """Extended.csv's channels, or None for a run without --extended."""
        return self.data.extended

    @property
    def record(self):
        """Run.json as a dict, or None."""
        return self.data.record

    def event_metrics(self):
        """One dict per event as Run.json measured it (vdsim.metrics.event_metrics);
        [] for a run without --extended."""
        return self.data.event_metrics()

    def metrics(self):
        """The run's flat metrics (vdsim.metrics.run_metrics), e.g.
        "understeer_gradient_deg_per_g", "stopping_distance_m", "top_speed_mps"."""
        return self.data.metrics()

    def event(self, number):
        """Both files' channels at the rows of event `number` (RunData.event)."""
        return self.data.event(number)

    def frame(self):
        """Both files' channels as a pandas DataFrame (RunData.frame)."""
        return self.data.frame()


def run_directory(directory, extended=True, vdsim=None, max_time=None, timeout=None):
    """Run the simulator in a scenario directory; a Run, or SimulatorError."""
    command = [check_vdsim(vdsim or default_vdsim())]
    if extended:
        command.append("--extended")
    if max_time is not None:
        command += ["--max-time", repr(float(max_time))]
    try:
        process = subprocess.run(command, cwd=directory, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 timeout=timeout)
    except subprocess.TimeoutExpired as error:
        raise SimulatorError("stopped after %g s: the run did not end" % timeout, None,
                             (error.stderr or b"").decode("utf-8", "replace")) from None
    except OSError as error:
        raise SimulatorError("cannot run %s: %s" % (command[0], error.strerror or error)) from None
    stderr = process.stderr.decode("utf-8", "replace")
    status = process.returncode
    if status not in SIMULATED:
        message = _first_error(stderr)
        if status == 1 and not message:
            message = "vdsim: no %s in %s; nothing to run" % ("Events.ini", directory)
        elif status < 0:
            message = message or "vdsim: killed by signal %d" % -status
        raise SimulatorError(message or "vdsim: exit status %d" % status, status, stderr)
    data = out.load_run(directory, allow_empty=True)
    return Run(directory, status, stderr, data)


def run_scenario(scenario, extended=True, directory=None, vdsim=None, max_time=None,
                 timeout=None):
    """Write a Scenario into `directory` (created; kept) or a temporary
    directory (removed once the outputs are read) and run it there;
    SimulatorError when the directory is refused or cannot be written."""
    if directory is not None:
        _write(scenario, directory)
        return run_directory(directory, extended, vdsim, max_time, timeout)
    with tempfile.TemporaryDirectory(prefix="vdsim-run-") as temporary:
        _write(scenario, temporary)
        run = run_directory(temporary, extended, vdsim, max_time, timeout)
        run.directory = None
        return run


def _write(scenario, directory):
    """Scenario.write, its refusals and failures as SimulatorError."""
    from .scenario import ScenarioError
    try:
        scenario.write(directory)
    except ScenarioError as error:
        raise SimulatorError(str(error)) from None
    except OSError as error:
        raise SimulatorError("cannot write the run directory %s: %s"
                             % (directory, error.strerror or error)) from None
