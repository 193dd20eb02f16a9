"""Driving GNU parallel: the runs of a sweep on this machine or on ssh hosts.

The run directories are made one at a time and their names fed to GNU
parallel on its standard input as it takes them, so that a large sweep
starts at once and never holds more than a few run directories it has not
run yet.  GNU parallel's --timeout stops a run that takes too long.
"""

import os
import re
import shutil
import subprocess
import sys

from .sweep_dir import BIN, JOBLOG
from .sweep_file import SweepError


def find_parallel():
    """Path of GNU parallel; SweepError when missing or another program."""
    path = shutil.which("parallel")
    if path is None:
        raise SweepError("GNU parallel not found: install it (Debian: apt-get install parallel)")
    try:
        version = subprocess.run([path, "--version"], capture_output=True, text=True,
                                 timeout=30).stdout
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


def command(parallel, jobs, hosts, resume, workdir, total, timeout, bar):
    """The GNU parallel command line run in the sweep directory; the run
    directories' names come on its standard input."""
    line = [parallel, "--will-cite", "--joblog", JOBLOG, "--timeout", "%g" % timeout]
    if jobs is not None:
        line += ["--jobs", str(jobs)]
    if resume:
        line.append("--resume")
    if bar:
        line += ["--bar", "--total-jobs", str(total)]
    run_one = [os.path.join(BIN, "run-one"), "{}", os.path.join(BIN, "vdsim")]
    if hosts is None:
        return line + ["sh"] + run_one
    return line + [
        "--sshloginfile", hosts,
        "--workdir", workdir,
        "--basefile", os.path.join(BIN, "run-one"), "--basefile", os.path.join(BIN, "vdsim"),
        "--transferfile", "{}", "--return", "{}.tar", "--cleanup",
        "sh"] + run_one + ["pack"]


def run(line, directory, runs):
    """Runs GNU parallel in the sweep directory, feeding it the run names
    that `runs` yields (it makes each run's directory before yielding its
    name); returns GNU parallel's exit status."""
    sys.stdout.flush()
    process = subprocess.Popen(line, cwd=directory, stdin=subprocess.PIPE)
    try:
        try:
            for name in runs:
                process.stdin.write(name.encode() + b"\n")
                process.stdin.flush()
        except BrokenPipeError:
            pass  # GNU parallel stopped reading: it ended, and says why
        finally:
            try:
                process.stdin.close()
            except BrokenPipeError:
                pass
        return process.wait()
    except KeyboardInterrupt:
        # GNU parallel got the interrupt too and stops its jobs; wait for it.
        try:
            process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.terminate()
            process.wait()
        raise SweepError("interrupted: run again with --resume to finish the sweep", 130)
