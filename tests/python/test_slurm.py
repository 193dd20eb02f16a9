"""Tests of vdsim/slurm.py without a cluster: the array jobs a sweep is split
into, what Slurm's commands print read back, the batch script each task
runs, and a whole sweep submitted to stand-ins of sbatch, squeue, scontrol
and scancel.  A real cluster: test_slurm_cluster."""

import os
import subprocess
import unittest
from unittest import mock

import support
import sweep_support as ss
from sweep_support import RIDE, read_summary

from vdsim import slurm  # noqa: E402


class ParseTest(unittest.TestCase):
    def test_max_array_size(self):
        self.assertEqual(slurm.max_array_size("MaxArraySize            = 5\nMaxJobCount = 9\n"), 5)
        self.assertEqual(slurm.max_array_size("MaxJobCount = 9\n"), slurm.MAX_ARRAY_SIZE)

    def test_plan(self):
        for count, per_task, size, chunks in ((7, 2, 3, [4, 3]), (4, 1, 5, [4]), (5, 1, 5, [4, 1]),
                                              (1, 3, 1001, [1]), (0, 1, 5, []),
                                              (3, 1, 1, [1, 1, 1])):
            with self.subTest(count=count, per_task=per_task, size=size):
                names = ["%04d" % i for i in range(count)]
                planned = list(slurm.plan(iter(names), per_task, size))
                self.assertEqual([len(chunk) for chunk in planned], chunks)
                self.assertEqual(sum(planned, []), names)

    def test_task_states(self):
        text = ("JobId=21 ArrayJobId=21 ArrayTaskId=3-6%2 ArrayTaskThrottle=2 JobName=x "
                "JobState=CANCELLED Reason=JobArrayTaskLimit Dependency=(null) ExitCode=0:0 "
                "BatchHost=(null)\n"
                "JobId=23 ArrayJobId=21 ArrayTaskId=2 JobState=FAILED Reason=NonZeroExitCode "
                "ExitCode=66:0 NodeList=n1 BatchHost=n1\n"
                "JobId=24 ArrayJobId=21 ArrayTaskId=1,8,10-11 JobState=COMPLETED Reason=None "
                "ExitCode=0:0 BatchHost=n2\n")
        states = slurm.task_states(text)
        self.assertEqual(sorted(states), [1, 2, 3, 4, 5, 6, 8, 10, 11])
        self.assertEqual(states[5]["JobState"], "CANCELLED")
        self.assertEqual((states[2]["ExitCode"], states[2]["BatchHost"]), ("66:0", "n1"))
        self.assertEqual(slurm.task_ids("(null)"), [])

    def test_the_wait_ends_with_an_empty_queue_not_a_failing_squeue(self):
        back = slurm.Slurm("sweep", [], None, 1, 600.0, False)
        back.jobs = [("7", ["0001"])]
        failing, listed, empty = (1, "", "slurm_load_jobs error: timed out"), \
            (0, "7 1 RUNNING\n", ""), (0, "", "")
        answers = [failing, failing, listed, failing, empty]
        with mock.patch.object(slurm, "_slurm", side_effect=answers) as squeue, \
                mock.patch.object(slurm.time, "sleep"):
            back.wait()
        self.assertEqual(squeue.call_count, len(answers))
        # squeue failing every time ends the wait with a message, not as done.
        with mock.patch.object(slurm, "_slurm", return_value=failing), \
                mock.patch.object(slurm.time, "sleep"):
            self.assertRaisesRegex(slurm.SweepError, "squeue fails; the jobs 7 of the sweep may "
                                   "still run", back.wait)

    def test_runs_that_left_no_result(self):
        for fields, expected in (
                (None, (None, "", "no result: Slurm no longer holds the state of task 7_2")),
                ({"JobState": "FAILED", "ExitCode": "66:0", "BatchHost": "n1"},
                 ("FAILED", "", "task 7_2 on n1 found no run directory: the sweep directory "
                  "must be on a file system the compute nodes see")),
                ({"JobState": "CANCELLED", "ExitCode": "0:15", "Reason": "None",
                  "BatchHost": "n1"},
                 ("CANCELLED", "", "no result: Slurm task 7_2 on n1 ended CANCELLED (exit code "
                  "0:15)")),
                ({"JobState": "TIMEOUT", "ExitCode": "0:0", "Reason": "TimeLimit",
                  "BatchHost": "(null)"},
                 ("TIMEOUT", "", "no result: Slurm task 7_2 ended TIMEOUT (exit code 0:0, "
                  "TimeLimit)"))):
            with self.subTest(fields=fields):
                self.assertEqual(slurm.ended_without_result("7_2", fields), expected)


class TaskScriptTest(support.TempDir):
    """The batch script, run as a task of array job with a stand-in run-one."""

    def task(self, task_id, runs_per_task, sweep=None):
        self.write("sweep/bin/run-one", 'echo "$@" >> calls\n')
        self.write("sweep/slurm/task", slurm.TASK)
        self.write("sweep/slurm/runs-1", "0001\n0002\n0003\n0004\n0005\n")
        for name in ("0001", "0002", "0003", "0005"):
            os.makedirs(self.path("sweep", "runs", name), exist_ok=True)
        result = subprocess.run(["sh", self.path("sweep", "slurm", "task"),
                                 sweep or self.path("sweep"), "slurm/runs-1", str(runs_per_task),
                                 "2.5"], cwd=self.root, capture_output=True, text=True,
                                env=dict(os.environ, SLURM_ARRAY_TASK_ID=str(task_id)),
                                timeout=30)
        try:
            with open(self.path("sweep", "calls")) as stream:
                calls = stream.read().splitlines()
            os.remove(self.path("sweep", "calls"))
        except FileNotFoundError:
            calls = []
        return result, calls

    def test_each_task_runs_its_lines(self):
        for task_id, per_task, runs in ((1, 2, ["0001", "0002"]), (3, 2, ["0005"]),
                                        (5, 1, ["0005"]), (1, 9, ["0001", "0002", "0003",
                                                                  "0005"])):
            with self.subTest(task=task_id, per_task=per_task):
                result, calls = self.task(task_id, per_task)
                self.assertEqual(calls, ["-t 2.5 runs/%s bin/vdsim" % run for run in runs])
                self.assertEqual(result.returncode, 66 if per_task == 9 else 0, result.stderr)

    def test_what_a_task_cannot_find(self):
        result, calls = self.task(2, 2)  # runs 0003 and 0004, which is not there
        self.assertEqual((result.returncode, calls), (66, ["-t 2.5 runs/0003 bin/vdsim"]))
        self.assertIn("no run directory %s/runs/0004" % self.path("sweep"), result.stderr)
        result, calls = self.task(1, 1, sweep=self.path("elsewhere"))
        self.assertEqual((result.returncode, calls), (66, []))
        self.assertIn("no sweep directory %s" % self.path("elsewhere"), result.stderr)


# Stand-ins of Slurm's commands: sbatch logs its arguments and answers with
# job ids from 101; scontrol knows a MaxArraySize of 3 and holds every
# task as cancelled; squeue has an empty queue.
STAND_INS = {
    "sbatch": 'echo "$*" >> "$LOG"\ncase $* in *--test-only*) exit 0 ;; esac\n'
              'echo "$(($(grep -vc test-only "$LOG") + 100));cluster"\n',
    "scontrol": 'case $* in "show config") echo "MaxArraySize = 3" ;;\n'
                '*show\\ job*) echo "JobId=$4 ArrayJobId=$4 ArrayTaskId=1-2 '
                'JobState=CANCELLED Reason=None ExitCode=0:0" ;; esac\n',
    "squeue": "exit 0\n",
    "scancel": 'echo "scancel $*" >> "$LOG"\n',
}


class SubmitTest(ss.SweepCase):
    """A whole sweep submitted to stand-ins: the array jobs, their options, lists and order."""

    def setUp(self):
        super().setUp()
        for name, body in STAND_INS.items():
            self.write("slurm-bin/" + name, "#!/bin/sh\n" + body, mode=0o755)
        self.log = self.path("sbatch.log")
        patch = mock.patch.dict(os.environ, LOG=self.log, PATH="%s:%s" % (
            self.path("slurm-bin"), os.environ["PATH"]))
        patch.start()
        self.addCleanup(patch.stop)

    def test_split_into_array_jobs_each_after_the_previous(self):
        out = self.path("sweep")
        grid = self.write("grid.txt", "%s = 1.1, 1.2, 1.3, 1.4, 1.5, 1.6, 1.7\n" % RIDE)
        status, stdout, stderr = self.sweep(
            self.base, grid, "-o", out, "--slurm", "--runs-per-task", "2", "--max-parallel", "1",
            "--slurm-option=--partition=short", "--slurm-option", "--comment 'a b'",
            "--timeout", "30")
        self.assertEqual(status, 1, stderr)
        self.assertIn("7 runs in %s; 7 to run through Slurm" % os.path.join(out, "runs"), stdout)
        with open(self.log) as stream:
            calls = stream.read().splitlines()
        common = "--job-name=vdsim-sweep --chdir=%s --output=/dev/null --error=/dev/null" % out
        task = "--partition=short --comment a b %s %s" % (os.path.join(out, "slurm", "task"), out)
        self.assertEqual(calls, [
            "--test-only --array=1-1 --output=/dev/null --error=/dev/null --partition=short "
            "--comment a b --wrap=true",
            "--parsable --array=1-2%%1 %s %s slurm/runs-1 2 30" % (common, task),
            "--parsable --array=1-2%%1 %s --dependency=afterany:101 %s slurm/runs-2 2 30"
            % (common, task)])
        lists = [ss.read(os.path.join(out, "slurm", name)).split() for name in ("runs-1",
                                                                               "runs-2")]
        self.assertEqual(lists, [["0001", "0002", "0003", "0004"], ["0005", "0006", "0007"]])
        self.assertEqual(ss.read(os.path.join(out, "slurm", "jobs")), "101\n102\n")
        # Nothing ran: every run is reported with the state Slurm holds of its task.
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([(r["status"], r["message"]) for r in rows[2:4]], [
            ("CANCELLED", "no result: Slurm task 101_2 ended CANCELLED (exit code 0:0)")] * 2)
        self.assertEqual(rows[4]["message"], "no result: Slurm task 102_1 ended CANCELLED "
                                             "(exit code 0:0)")
        self.assertEqual(stderr, "vdsim-sweep: 7 of 7 runs failed\n")


if __name__ == "__main__":
    unittest.main()
