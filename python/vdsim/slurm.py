"""Slurm as a sweep's back end: the runs as array jobs, waited for with
squeue, their results read from the run directories.

Each array job has a list of its runs (SWEEP_DIR/slurm/runs-N, one name a
line); its task i runs lines (i-1)*K+1 .. i*K of it (K runs per task), one
after the other, each with run-one under the sweep's time limit.  An array
job has at most MaxArraySize-1 tasks (the cluster's limit, read from
scontrol show config), so a larger sweep is split into several; with
--max-parallel each waits for the previous one (the throttle %M holds
within one array job only).

Nothing depends on job accounting (sacct): a run's status is the one it
wrote into its directory, and a run that wrote none is reported with the
state Slurm still holds of its task (scontrol show job) where it can be
read.  The sweep directory must be on a file system the compute nodes see;
a task that cannot find it or a run directory says so by its exit code.
"""

import itertools
import os
import re
import shutil
import subprocess
import sys
import time

from . import sweep_dir as sd
from .sweep_file import SweepError
from . import sweep_summary as results

COMMANDS = ("sbatch", "squeue", "scontrol", "scancel")
MAX_ARRAY_SIZE = 1001  # Slurm's default, when scontrol does not say
NO_RUN_DIRECTORY = 66  # a task's exit code when it found no sweep or run directory
POLL_FIRST, POLL_GROWTH, POLL_MAX = 1.0, 1.5, 10.0  # s between looks at the queue
QUEUE_FAILURES = 30  # squeue failures in a row that end the wait
STOP_WAIT = 120.0  # s to wait for cancelled tasks to leave the queue
COMMAND_TIMEOUT = 120  # s for one Slurm command

# The batch script of every array job, sent to Slurm with the job (so a
# compute node needs no copy of it); its runs and run-one are in SWEEP_DIR.
TASK = r"""#!/bin/sh
# One task of a vdsim-sweep array job: task i runs lines (i-1)*K+1 .. i*K of
# the job's list of runs, one after the other, each with run-one under the
# time limit.  Exit code %(missing)d: the sweep directory or a run directory
# is not there on this node.
# Usage: sbatch --array=1-N task SWEEP_DIR LIST K SECONDS
sweep=$1
list=$2
per_task=$3
limit=$4
task=${SLURM_ARRAY_TASK_ID:-1}
if ! cd "$sweep" 2>/dev/null || [ ! -f "$list" ]; then
  echo "vdsim-sweep: $(uname -n): no sweep directory $sweep" >&2
  exit %(missing)d
fi
missing=0
for run in $(sed -n "$(((task - 1) * per_task + 1)),$((task * per_task))p" "$list"); do
  if [ -d "runs/$run" ]; then
    sh bin/run-one -t "$limit" "runs/$run" bin/vdsim
  else
    echo "vdsim-sweep: $(uname -n): no run directory $sweep/runs/$run" >&2
    missing=%(missing)d
  fi
done
exit $missing
""" % {"missing": NO_RUN_DIRECTORY}


def _slurm(arguments, what=None):
    """Runs a Slurm command; (exit status, standard output, standard error).
    SweepError when it cannot be run at all."""
    try:
        done = subprocess.run(arguments, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=COMMAND_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise SweepError("%s: %s" % (what or arguments[0], error)) from None
    return done.returncode, done.stdout, done.stderr


def _first_error(text):
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return next((line for line in lines if "error" in line.lower()), lines[0] if lines else "")


def check_commands():
    """SweepError unless Slurm's client commands are on the PATH."""
    for name in COMMANDS:
        if shutil.which(name) is None:
            raise SweepError("%s not found: --slurm needs Slurm's client commands on the PATH "
                             "(Debian: apt-get install slurm-client)" % name)


def max_array_size(config_text):
    """MaxArraySize of scontrol show config's text (Slurm's default without it)."""
    found = re.search(r"^MaxArraySize\s*=\s*([0-9]+)\s*$", config_text, re.M)
    return int(found.group(1)) if found else MAX_ARRAY_SIZE


def plan(names, runs_per_task, array_size):
    """The array jobs of a list of runs: lists of run names, each with at
    most (array_size - 1) tasks of runs_per_task runs."""
    per_job = max(1, array_size - 1) * runs_per_task
    names = iter(names)
    while True:
        chunk = list(itertools.islice(names, per_job))
        if not chunk:
            return
        yield chunk


def task_ids(text):
    """The task ids of scontrol's ArrayTaskId: 3, 3-6%2, 1,4,7-9."""
    ids = []
    for part in text.split("%", 1)[0].split(","):
        low, _, high = part.partition("-")
        if low.isdigit() and (not high or high.isdigit()):
            ids.extend(range(int(low), int(high or low) + 1))
    return ids


def task_states(text):
    """{task id: {field: value}} of the array tasks in scontrol -o show job's
    text (fields JobState, Reason, ExitCode, BatchHost)."""
    states = {}
    for line in text.splitlines():
        fields = dict(re.findall(r"(?:^|\s)(ArrayTaskId|JobState|Reason|ExitCode|BatchHost)="
                                 r"(\S*)", line))
        for task in task_ids(fields.get("ArrayTaskId", "")):
            states[task] = fields
    return states


def ended_without_result(task, fields):
    """(status, wall time, message) of a run whose task `task` (JOB_TASK)
    ended with Slurm's `fields` (None: its state can no longer be read) and
    left no status for it."""
    if fields is None:
        return None, "", "no result: Slurm no longer holds the state of task %s" % task
    state = fields.get("JobState", "?")
    node = fields.get("BatchHost", "")
    node = " on %s" % node if node and node != "(null)" else ""
    code = fields.get("ExitCode", "")
    if code.split(":")[0] == str(NO_RUN_DIRECTORY):
        return state, "", ("task %s%s found no run directory: the sweep directory must be on "
                           "a file system the compute nodes see" % (task, node))
    reason = fields.get("Reason", "")
    reason = ", %s" % reason if reason and reason not in ("None", "(null)") else ""
    return state, "", "no result: Slurm task %s%s ended %s (exit code %s%s)" % (
        task, node, state, code or "?", reason)


class Slurm:
    """The runs of a sweep as Slurm array jobs."""

    name = "Slurm"

    def __init__(self, directory, options, max_parallel, runs_per_task, timeout, progress):
        self.directory = os.path.abspath(directory)
        self.options, self.max_parallel = list(options), max_parallel
        self.runs_per_task, self.timeout, self.progress = runs_per_task, timeout, progress
        self.array_size = MAX_ARRAY_SIZE
        self.jobs = []  # [(job id, its runs)]
        self.tasks = {}  # run name -> (job id, task id)
        self.states = {}  # job id -> task_states() once it has ended
        self.finished = {}  # run name -> status, of the runs seen finished
        self.stopped = False

    def where(self):
        """Where the runs go, for the line that starts the sweep."""
        return "through Slurm (%d run%s a task, array jobs of at most %d tasks)" % (
            self.runs_per_task, "" if self.runs_per_task == 1 else "s",
            max(1, self.array_size - 1))

    def check(self):
        """Before the disk is touched: the commands, the cluster's
        MaxArraySize, and the sbatch options tried on a test job."""
        check_commands()
        status, text, error = _slurm(["scontrol", "show", "config"])
        if status != 0:
            raise SweepError("cannot reach Slurm: scontrol show config: %s"
                             % (_first_error(error) or "exit status %d" % status))
        self.array_size = max_array_size(text)
        if self.array_size < 2:
            raise SweepError("this Slurm allows no array jobs (MaxArraySize = %d in "
                             "scontrol show config)" % self.array_size)
        status, _, error = _slurm(["sbatch", "--test-only", "--array=1-1", "--output=/dev/null",
                                   "--error=/dev/null"] + self.options + ["--wrap=true"])
        if status != 0:
            raise SweepError("sbatch refuses the sweep's options %s: %s"
                             % (" ".join(self.options) or "(none)", _first_error(error)))

    def queue(self, jobs):
        """{(job, task): state} of the tasks of `jobs` still in the queue
        (pending or running), or None when squeue fails."""
        if not jobs:
            return {}
        status, text, error = _slurm(["squeue", "-h", "-r", "-j", ",".join(jobs),
                                      "-o", "%F %K %T"])
        if status != 0:
            return {} if "Invalid job id" in error else None
        tasks = {}
        for line in text.splitlines():
            fields = line.split()
            if len(fields) == 3 and fields[1].isdigit():
                tasks[fields[0], int(fields[1])] = fields[2]
        return tasks

    def run(self, names, todo, interrupts):
        """Submits the runs that `names` yields (each run's directory made
        before its name comes), array job after array job, then waits until
        none of them is in the queue."""
        slurm_dir = os.path.join(self.directory, sd.SLURM)
        os.makedirs(slurm_dir, exist_ok=True)
        for name in sd.slurm_files(self.directory):
            os.remove(os.path.join(slurm_dir, name))
        script = os.path.join(slurm_dir, "task")
        with open(script, "w") as stream:
            stream.write(TASK)
        for number, chunk in enumerate(plan(names, self.runs_per_task, self.array_size), 1):
            listing = os.path.join(sd.SLURM, "runs-%d" % number)
            with open(os.path.join(self.directory, listing), "w") as stream:
                stream.write("".join(name + "\n" for name in chunk))
            tasks = -(-len(chunk) // self.runs_per_task)
            array = "--array=1-%d" % tasks + ("%%%d" % self.max_parallel
                                              if self.max_parallel else "")
            line = ["sbatch", "--parsable", array, "--job-name=vdsim-sweep",
                    "--chdir=" + self.directory, "--output=/dev/null", "--error=/dev/null"]
            if self.max_parallel and self.jobs:
                line.append("--dependency=afterany:" + self.jobs[-1][0])
            line += self.options + [script, self.directory, listing, str(self.runs_per_task),
                                    sd.seconds_text(self.timeout)]
            with interrupts.held():  # a job id is never lost to a signal
                status, text, error = _slurm(line)
                if status == 0 and text.strip():
                    job = text.strip().split(";")[0]
                    self.jobs.append((job, chunk))
                    with open(os.path.join(slurm_dir, "jobs"), "a") as stream:
                        stream.write(job + "\n")
            if status != 0 or not text.strip():
                raise SweepError("sbatch failed: %s" % (_first_error(error)
                                                        or "exit status %d" % status), 1)
            for index, name in enumerate(chunk):
                self.tasks[name] = (job, index // self.runs_per_task + 1)
        self.wait()
        return 0

    def wait(self):
        """Waits, looking at the queue less and less often, until none of the
        jobs is in it; shows the progress at a terminal."""
        jobs = [job for job, _ in self.jobs]
        delay, failures = POLL_FIRST, 0
        while True:
            queue = self.queue(jobs)
            if queue is None:
                failures += 1
                if failures >= QUEUE_FAILURES:
                    raise SweepError("squeue fails; the jobs %s of the sweep may still run: "
                                     "wait for them, then finish the sweep with --resume"
                                     % ", ".join(jobs), 1)
            else:
                failures = 0
                if self.progress:
                    self.show_progress(queue)
                if not queue:
                    break
            time.sleep(delay)
            delay = min(delay * POLL_GROWTH, POLL_MAX)
        if self.progress:
            sys.stderr.write("\n")

    def show_progress(self, queue):
        """One line on standard error: runs finished (failed), running, pending."""
        pending = running = 0
        for name, task in self.tasks.items():
            if name not in self.finished:
                status = results.read_status(os.path.join(self.directory, sd.RUNS, name))
                if status is not None:
                    self.finished[name] = status
                elif queue.get(task) == "PENDING":
                    pending += 1
                elif task in queue:
                    running += 1
        failed = sum(status != 0 for status in self.finished.values())
        sys.stderr.write("\rvdsim-sweep: %d of %d runs finished, %d failed, %d running, "
                         "%d pending " % (len(self.finished), len(self.tasks), failed,
                                          running, pending))
        sys.stderr.flush()

    def stop(self):
        """Cancels the jobs and waits (a while) for their tasks to leave the queue."""
        self.stopped = True
        jobs = [job for job, _ in self.jobs]
        if not jobs:
            return
        _slurm(["scancel"] + jobs)
        deadline = time.monotonic() + STOP_WAIT
        while time.monotonic() < deadline:
            if self.queue(jobs) == {}:
                return
            time.sleep(0.5)

    def outcome(self, name):
        """(host, ended) for collect_run of a run this back end submitted and
        that left no status; None for the others.  A run of a sweep that was
        stopped counts as not run."""
        if self.stopped or name not in self.tasks:
            return None
        job, task = self.tasks[name]
        if job not in self.states:
            status, text, _ = _slurm(["scontrol", "-o", "show", "job", job])
            self.states[job] = task_states(text) if status == 0 else {}
        return "", ended_without_result("%s_%d" % (job, task), self.states[job].get(task))


def queued_jobs(directory):
    """The jobs of a previous sweep in `directory` (its slurm/jobs) still in the
    queue; empty when there are none or Slurm's commands are not here.
    SweepError when squeue cannot tell."""
    path = os.path.join(directory, sd.SLURM, "jobs")
    try:
        with open(path) as stream:
            jobs = [line.strip() for line in stream if line.strip().isdigit()]
    except OSError:
        return []
    if not jobs or shutil.which("squeue") is None:
        return []
    queue = Slurm(directory, (), None, 1, 1.0, False).queue(jobs)
    if queue is None:
        raise SweepError("%s: squeue fails, so whether the Slurm jobs %s of the sweep there "
                         "still run is not known (remove %s if they are gone)"
                         % (directory, ", ".join(jobs), path))
    return sorted({job for job, _ in queue})
