"""GNU parallel as a sweep's back end: the runs on this machine or on ssh hosts.

The run directories are made one at a time and their names fed to GNU
parallel on its standard input as it takes them, so that a large sweep
starts at once and never holds more than a few run directories it has not
run yet.  Each run is stopped by run-one's own time limit; GNU parallel's
--timeout, a minute later, only stops a job that hangs around it (an ssh
copy).  The job log is appended to, one line per run that ended, naming the
run in its command.

GNU parallel runs in a process group of its own, so that an interrupt at the
terminal reaches this tool alone; stop() then interrupts GNU parallel, which
kills its running jobs (their runs record no status) and logs none of them.
"""

import os
import re
import shutil
import signal
import subprocess
import sys

from . import sweep_dir as sd
from .sweep_file import SweepError

LIMIT_MARGIN = 60.0  # s that GNU parallel's time limit leaves after run-one's
JOBLOG_HEADER = "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n"
STOP_WAIT = 60  # s to wait for GNU parallel to stop its jobs before it is killed
# A process group of its own for GNU parallel (process_group lets Python
# start it without copying this process first, from Python 3.11).
NEW_GROUP = {"process_group": 0} if sys.version_info >= (3, 11) else {"preexec_fn": os.setpgrp}


def find_parallel():
    """Path of GNU parallel; SweepError when missing or another program.
    GNU parallel is a Perl script that names itself: read, that is quicker
    than starting it; anything else is asked for its --version."""
    path = shutil.which("parallel")
    if path is None:
        raise SweepError("GNU parallel not found: install it (Debian: apt-get install parallel)")
    try:
        with open(path, "rb") as stream:
            script = stream.read(1 << 20)
        if script.startswith(b"#!") and b"GNU parallel" in script:
            return path
    except OSError:
        pass
    try:
        version = subprocess.run([path, "--version"], capture_output=True, text=True,
                                 timeout=30, stdin=subprocess.DEVNULL).stdout
    except (OSError, subprocess.TimeoutExpired) as error:
        raise SweepError("cannot run %s: %s" % (path, error)) from None
    if "GNU parallel" not in version:
        raise SweepError("%s is not GNU parallel (moreutils' parallel?): install the Debian "
                         "package parallel" % path)
    return path


def read_hosts(path):
    """Checks an ssh login file; SweepError for a missing file, no hosts, or
    this machine (":"), whose jobs GNU parallel would run outside the sweep
    directory."""
    try:
        with open(path) as stream:
            lines = stream.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise SweepError("%s: cannot read: %s" % (path, getattr(error, "strerror", None)
                                                  or error)) from None
    hosts = 0
    for number, line in enumerate(lines, start=1):
        login = line.strip()
        if not login or login.startswith("#"):
            continue
        if re.sub(r"^\d+/", "", login).strip() == ":":
            raise SweepError(
                "%s:%d: \":\" (this machine) cannot be mixed with ssh hosts: list this "
                "machine by an ssh login, or run a local sweep without --hosts" % (path, number))
        hosts += 1
    if hosts == 0:
        raise SweepError("%s: no ssh logins" % path)


def command(parallel, jobs, hosts, workdir, todo, timeout, bar):
    """The GNU parallel command line run in the sweep directory; the run
    directories' names come on its standard input."""
    line = [parallel, "--will-cite", "--joblog", "+" + sd.JOBLOG,
            "--timeout", sd.seconds_text(timeout + LIMIT_MARGIN)]
    if jobs is not None:
        line += ["--jobs", str(jobs)]
    if bar:
        line += ["--bar", "--total-jobs", str(todo)]
    run_one = [os.path.join(sd.BIN, "run-one"), "-t", sd.seconds_text(timeout)]
    simulator = os.path.join(sd.BIN, "vdsim")
    if hosts is None:
        return line + ["sh"] + run_one + ["{}", simulator]
    return line + [
        "--sshloginfile", hosts,
        "--workdir", workdir,
        "--basefile", os.path.join(sd.BIN, "run-one"), "--basefile", simulator,
        "--transferfile", "{}", "--return", "{}.tar", "--cleanup",
        "sh"] + run_one + ["-p", "{}", simulator]


class Parallel:
    """The runs of a sweep through GNU parallel, in SWEEP_DIR."""

    name = "GNU parallel"

    def __init__(self, path, directory, jobs, hosts, timeout, bar):
        self.path, self.directory, self.jobs, self.timeout = path, directory, jobs, timeout
        self.hosts = os.path.abspath(hosts) if hosts else None
        self.bar = bar
        self.process = None

    def where(self):
        """Where the runs go, for the line that starts the sweep."""
        place = ("on the hosts of %s" % self.hosts) if self.hosts else "on this machine"
        return place + " with GNU parallel"

    def run(self, names, todo, interrupts):
        """Runs GNU parallel in the sweep directory, feeding it the run names
        that `names` yields (each run's directory is made before its name
        comes); returns its exit status."""
        joblog = os.path.join(self.directory, sd.JOBLOG)
        if not os.path.exists(joblog):
            with open(joblog, "w") as stream:
                stream.write(JOBLOG_HEADER)
        workdir = os.path.join(".vdsim-sweep", "%s-%d-%s" % (
            os.uname().nodename, os.getpid(), os.urandom(4).hex()))
        line = command(self.path, self.jobs, self.hosts, workdir, todo, self.timeout, self.bar)
        sys.stdout.flush()
        with interrupts.held():
            self.process = subprocess.Popen(line, cwd=self.directory, stdin=subprocess.PIPE,
                                            bufsize=0, **NEW_GROUP)
        try:
            for name in names:  # unbuffered: a stop leaves no name half sent
                self.process.stdin.write(("%s/%s\n" % (sd.RUNS, name)).encode())
        except BrokenPipeError:
            pass  # GNU parallel stopped reading: it ended, and says why
        finally:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass
        return self.process.wait()

    def stop(self):
        """Interrupts GNU parallel, which kills its running jobs, and waits for it."""
        if self.process is None or self.process.poll() is not None:
            return
        try:
            self.process.stdin.close()
        except OSError:
            pass
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=STOP_WAIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def outcome(self, name):
        """None: a run that left no status is told by the job log."""
        return None
