"""Tests of vdsim-sweep --slurm against a real Slurm: a one-node cluster
started for this module by slurm_cluster.sh in its temporary directory
(its own munged, ports and state; MaxArraySize 5, so that a sweep of more
than 4 tasks is split).  It needs root and Debian's slurmctld slurmd
slurm-client munge; without them the tests are skipped (and fail under
VDSIM_TEST_REQUIRE_ALL=1).  Labelled slow.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from unittest import mock

import support
import sweep_support as ss
from sweep_support import RIDE, read, read_summary

CLUSTER = os.path.join(support.HERE, "slurm_cluster.sh")
cluster = None  # the module's cluster directory, once started


def setUpModule():
    global cluster
    for program, package in (("slurmctld", "slurmctld"), ("slurmd", "slurmd"),
                             ("sbatch", "slurm-client"), ("munged", "munge")):
        if shutil.which(program) is None and not os.path.exists("/usr/sbin/" + program):
            support.missing(program, package)
    if os.geteuid() != 0:
        reason = "the Slurm tests start a cluster as root"
        if support.REQUIRE_ALL:
            raise ImportError(reason + "; VDSIM_TEST_REQUIRE_ALL=1 requires them")
        raise unittest.SkipTest(reason)
    directory = tempfile.mkdtemp(prefix="vdsim-slurm-")
    started = subprocess.run(["sh", CLUSTER, "start", directory, "MaxArraySize=5"],
                             capture_output=True, text=True, timeout=120)
    if started.returncode != 0:
        subprocess.run(["sh", CLUSTER, "stop", directory], timeout=120)
        shutil.rmtree(directory, ignore_errors=True)
        raise AssertionError("the test cluster did not start:\n" + started.stderr)
    cluster = directory


def tearDownModule():
    if cluster is not None:
        subprocess.run(["sh", CLUSTER, "stop", cluster], timeout=120)
        shutil.rmtree(cluster, ignore_errors=True)


def squeue(*arguments):
    return subprocess.run(["squeue", "-h"] + list(arguments), capture_output=True, text=True,
                          timeout=60, check=True).stdout.split()


class SlurmCase(ss.SweepCase):
    def setUp(self):
        super().setUp()
        patch = mock.patch.dict(os.environ, SLURM_CONF=os.path.join(cluster, "slurm.conf"))
        patch.start()
        self.addCleanup(patch.stop)

    def wait_for(self, condition, what, seconds=60):
        deadline = time.monotonic() + seconds
        while not condition():
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.1)

    def jobs(self, out):
        path = os.path.join(out, "slurm", "jobs")
        return read(path).split() if os.path.exists(path) else []


class ExampleTest(SlurmCase):
    def test_the_example_through_slurm_as_through_gnu_parallel(self):
        example = os.path.join(support.EXAMPLES, "skidpad")
        sweep = os.path.join(support.EXAMPLES, "sweeps", "skidpad-ride-arb.csv")
        rows = {}
        for name, options in (("parallel", ["--jobs", "2"]),
                              ("slurm", ["--slurm", "--runs-per-task", "2"])):
            out = self.path(name)
            status, stdout, stderr = self.sweep(example, sweep, "-o", out, *options)
            self.assertEqual((status, stderr), (0, ""), stdout)
            rows[name] = read_summary(os.path.join(out, "summary.csv"))
            self.assertEqual(len(rows[name]), 9)
            for row in rows[name]:
                self.assertEqual(row["status"], "0")
                self.assertNotEqual(row.pop("host"), "")
                self.assertRegex(row.pop("wall_time_s"), r"^\d+\.\d{3}$")
        self.assertEqual(rows["slurm"], rows["parallel"])
        # 9 runs, 2 a task: 5 tasks, in array jobs of at most 4.
        self.assertEqual(len(self.jobs(self.path("slurm"))), 2)
        self.assertEqual(read(self.path("slurm", "slurm", "runs-2")), "0009\n")


class RunOutcomeTest(SlurmCase):
    def test_failed_timed_out_and_lost_runs(self):
        fake = self.stand_in("case $run in 0003) exec sleep 60 ;; esac")
        sweep = self.write("five.csv", "Events.ini:[car]:timeStep,%s\n0.002,1.2\n-1,1.2\n"
                                       "0.002,1.3\n0.002,1.4\n0.002,1.5\n" % RIDE)
        out = self.path("sweep")
        # Held until the test has removed run 4's directory (its task cannot
        # find it) and cancelled run 5's task.
        process = subprocess.Popen(self.command(self.base, sweep, "-o", out, "--slurm",
                                                "--slurm-option=--hold", "--timeout", "4",
                                                "--vdsim", fake),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   env=self.environment())
        try:
            # Five tasks: an array job of four and one of one.
            self.wait_for(lambda: len(self.jobs(out)) == 2, "no jobs submitted")
            job, last = self.jobs(out)
            # Jobs of the sweep are in the queue: nothing may replace the sweep.
            for resume in ([], ["--resume"]):
                status, _, stderr = self.sweep(self.base, sweep, "-o", out, "--slurm", *resume)
                self.assertEqual(status, 2)
                self.assertIn("the Slurm jobs %s, %s of the sweep there are still in the queue"
                              % (job, last), stderr)
            shutil.rmtree(os.path.join(out, "runs", "0004"))
            subprocess.run(["scancel", last], check=True, timeout=60)
            subprocess.run(["scontrol", "release", job], check=True, timeout=60)
            stdout, stderr = process.communicate(timeout=120)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.assertEqual((process.returncode, stderr), (1, "vdsim-sweep: 4 of 5 runs failed\n"),
                         stdout)
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([(row["status"], row["host"]) for row in rows],
                         [("0", os.uname().nodename), ("2", os.uname().nodename),
                          ("timeout", os.uname().nodename), ("FAILED", ""), ("CANCELLED", "")])
        self.assertRegex(rows[1]["message"], r"^vdsim: Events.ini:4: .*time step")
        self.assertEqual(rows[2]["message"], "stopped after 4 s (--timeout)")
        self.assertEqual(rows[3]["message"], "task %s_4 on localhost found no run directory: "
                         "the sweep directory must be on a file system the compute nodes see"
                         % job)
        self.assertRegex(rows[4]["message"], r"^no result: Slurm task %s_1 ended CANCELLED "
                         r"\(exit code [0-9:]+" % last)


class StopTest(SlurmCase):
    def test_cancelled_sweep_resumes(self):
        calls, slow = self.path("calls.log"), self.write("slow", "")
        fake = self.stand_in('echo "$run" >> %s\n'
                             'case $run in 0003|0004) [ -e %s ] && echo $$ > %s/$run.pid '
                             '&& sleep 60 ;; esac' % (calls, slow, self.root))
        sweep = self.write("four.csv", ss.SWEEP_4)
        out = self.path("sweep")
        command = self.command(self.base, sweep, "-o", out, "--slurm", "--max-parallel", "2",
                               "--vdsim", fake)
        # SIGINT as at a terminal, even where this test was started with it ignored.
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True, env=self.environment(),
                                   preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        pids = [self.path("0003.pid"), self.path("0004.pid")]
        try:
            self.wait_for(lambda: all(os.path.exists(p) for p in pids), "runs 3 and 4 not started")
            process.send_signal(signal.SIGINT)
            stdout, stderr = process.communicate(timeout=120)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.assertEqual((process.returncode, stderr),
                         (130, "vdsim-sweep: interrupted by SIGINT: 2 of 4 runs finished; "
                               "finish the sweep with --resume\n"), stdout)
        self.assertEqual(squeue("-j", ",".join(self.jobs(out))), [])
        for pid in pids:
            self.assertFalse(os.path.exists("/proc/" + read(pid).strip()), pid)
        self.assertEqual([(row["status"], row["message"]) for row in read_summary(
            os.path.join(out, "summary.csv"))], [("0", ""), ("0", ""), ("", "not run"),
                                                 ("", "not run")])
        done = os.path.join(out, "runs", "0001", "Data", "Output.csv")
        stamp = os.stat(done).st_mtime_ns

        os.remove(slow)
        status, stdout, stderr = self.sweep(*command[1:], "--resume")
        self.assertEqual(status, 0, stderr)
        self.assertIn("4 runs in %s; 2 to run through Slurm" % os.path.join(out, "runs"), stdout)
        self.assertEqual(sorted(read(calls).split()),
                         ["0001", "0002", "0003", "0003", "0004", "0004"])
        self.assertEqual(os.stat(done).st_mtime_ns, stamp)
        self.assertMatchesDirectRuns(out, ss.RUNS_4)


if __name__ == "__main__":
    unittest.main()
