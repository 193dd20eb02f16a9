"""Tests of vdsim/sweep_cli.py: vdsim-sweep through GNU parallel on this
machine.

Two sweeps run tools/vdsim-sweep as a user runs it (its outputs against
direct runs of the simulator; a sweep stopped by SIGTERM, then resumed);
the others run the command line in this process, those about what happens
around the runs without GNU parallel.  Each test has its own temporary
directory, which is also the sweeps' HOME.  The sweep over ssh hosts is in
test_sweep_hosts, the Slurm back end in test_slurm and test_slurm_cluster.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from unittest import mock

import support
import sweep_support as ss
from sweep_support import ARB, RIDE, read, read_summary

from vdsim import sweep_dir as sd  # noqa: E402
from vdsim import sweep_summary as results  # noqa: E402
from vdsim import plot  # noqa: E402

plot_bode = plot.bode


class SweepRunTest(ss.SweepCase):
    """Sweeps that run: each run's output is that of a direct run of the same inputs."""

    def test_local_sweep_matches_direct_runs(self):
        out = self.path("sweep")
        # A time limit of any size goes to GNU parallel as a plain number.
        result = self.sweep_process(self.base, self.write("four.csv", ss.SWEEP_4), "-o", out,
                                    "--jobs", "2", "--timeout", "1000000")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        rows = self.assertMatchesDirectRuns(out, ss.RUNS_4)
        self.assertEqual({row["host"] for row in rows}, {":"})
        self.assertEqual(sorted(results.read_joblog(os.path.join(out, "joblog"))),
                         ["0001", "0002", "0003", "0004"])
        # Run directories: complete copies with the values in place, nothing else changed.
        run4 = os.path.join(out, "runs", "0004")
        self.assertEqual(read(os.path.join(run4, "Sedan.ini")),
                         read(os.path.join(self.base, "Sedan.ini")).replace(
                             "antiRollRear(N/m)     8000.0", "antiRollRear(N/m)     4000"))
        for name in ("Events.ini", "Goodyear2692x7.pkj"):
            self.assertEqual(read(os.path.join(run4, name)), read(os.path.join(self.base, name)))
        self.assertEqual(sorted(os.listdir(run4)), ["Data", "Events.ini", "Goodyear2692x7.pkj",
                                                    "Sedan.ini", "Sedan.params", "host",
                                                    "status", "stderr.txt", "stdout.txt", "time"])
        # The terminal table: a header, one line per run.
        lines = result.stdout.splitlines()
        header = lines.index(next(line for line in lines if line.startswith("run ")))
        self.assertRegex(lines[header], r"^run\s+frontRideFrequency\s+antiRollRear\s+status")
        self.assertRegex(lines[header + 4], r"^0004\s+1\.4\s+4000\s+0\s")
        self.assertEqual(lines[-1], "Wrote %s (4 runs)" % os.path.join(out, "summary.csv"))

        # Running another sweep there replaces this one.
        status, _, stderr = self.sweep(self.base, self.write("one.csv", "%s=1.3\n" % RIDE),
                                       "-o", out)
        self.assertEqual(status, 0, stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(out, "runs"))), ["0001"])
        self.assertEqual(list(results.read_joblog(os.path.join(out, "joblog"))), ["0001"])

    def test_stopped_sweep_resumes_without_redoing_finished_runs(self):
        # A simulator that logs each run and, while the flag file exists,
        # takes long enough for runs 3 and 4 to be stopped; their shells
        # leave their process ids.
        calls, slow = self.path("calls.log"), self.write("slow", "")
        fake = self.stand_in('echo "$run" >> %s\n'
                             'case $run in 0003|0004) [ -e %s ] && echo $$ > %s/$run.pid '
                             '&& sleep 30 ;; esac' % (calls, slow, self.root))
        sweep = self.write("four.csv", ss.SWEEP_4)
        out = self.path("sweep")
        process = subprocess.Popen(self.command(self.base, sweep, "-o", out, "--jobs", "2",
                                                "--vdsim", fake),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   env=self.environment(), start_new_session=True)
        pids = [self.path("0003.pid"), self.path("0004.pid")]
        try:
            deadline = time.monotonic() + 60
            while not (all(os.path.exists(p) for p in pids) and len(
                    results.read_joblog(os.path.join(out, "joblog"))) == 2):
                self.assertLess(time.monotonic(), deadline, "runs 1 and 2 did not finish")
                time.sleep(0.05)
            os.kill(process.pid, signal.SIGTERM)  # the tool alone, as kill(1) does
            stdout, stderr = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        self.assertEqual(process.returncode, 143, stderr)
        self.assertEqual(stderr, "vdsim-sweep: interrupted by SIGTERM: 2 of 4 runs finished; "
                                 "finish the sweep with --resume\n")
        # The runs it started are gone with it, and the summary has what finished.
        for pid in pids:
            with open(pid) as stream:
                number = int(stream.read())
            deadline = time.monotonic() + 10
            while os.path.exists("/proc/%d" % number) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertFalse(os.path.exists("/proc/%d" % number), "run %s still runs" % pid)
        self.assertEqual([(row["run"], row["status"], row["message"]) for row in read_summary(
            os.path.join(out, "summary.csv"))], [("0001", "0", ""), ("0002", "0", ""),
                                                 ("0003", "", "not run"),
                                                 ("0004", "", "not run")])
        self.assertIn("Wrote %s (4 runs)" % os.path.join(out, "summary.csv"), stdout)
        done = os.path.join(out, "runs", "0001", "Data", "Output.csv")
        stamp = os.stat(done).st_mtime_ns

        os.remove(slow)
        status, stdout, stderr = self.sweep(self.base, sweep, "-o", out, "--jobs", "2",
                                            "--vdsim", fake, "--resume")
        self.assertEqual(status, 0, stderr)
        self.assertIn("4 runs in %s; 2 to run" % os.path.join(out, "runs"), stdout)
        # Runs 1 and 2 ran once; 3 and 4 were started, stopped and run again.
        self.assertEqual(sorted(read(calls).split()),
                         ["0001", "0002", "0003", "0003", "0004", "0004"])
        self.assertEqual(os.stat(done).st_mtime_ns, stamp)
        self.assertMatchesDirectRuns(out, ss.RUNS_4)

        # A resume must find the same sweep.
        status, _, stderr = self.sweep(self.base, self.write("other.csv", "%s=1.5\n" % RIDE),
                                       "-o", out, "--resume")
        self.assertEqual(status, 2)
        self.assertIn("the sweep there has other addresses", stderr)


class RunOutcomeTest(ss.SweepCase):
    """Runs that fail or take too long keep their row; the sweep says how many."""

    one_after_another = True

    def test_failed_runs_keep_their_row(self):
        out = self.path("sweep")
        sweep = self.write("grid.txt", "Events.ini:[car]:timeStep=0.002,-1\n%s=1.4\n" % RIDE)
        status, stdout, stderr = self.sweep(self.base, sweep, "-o", out)
        self.assertEqual((status, stderr), (1, "vdsim-sweep: 1 of 2 runs failed\n"))
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([(r["Events.ini:[car]:timeStep"], r["status"]) for r in rows],
                         [("0.002", "0"), ("-1", "2")])
        self.assertEqual(rows[0]["message"], "")
        self.assertRegex(rows[1]["message"], r"^vdsim: Events.ini:4: .*time step")
        self.assertEqual(rows[1]["top_speed_mps"], "")
        self.assertEqual(rows[0]["rows"], "27")
        self.assertIn("  0002: vdsim: Events.ini:4: ", stdout)

    def test_override_warning_comes_first(self):
        out = self.path("sweep")
        sweep = self.write("springs.txt", "{car}.ini:[corner]:1:spring = 20000, 40000\n")
        status, _, stderr = self.sweep(self.base, sweep, "-o", out)
        self.assertEqual(status, 0, stderr)
        self.assertEqual(stderr.splitlines(), [
            "vdsim-sweep: warning: {car}.ini:[corner]:1:spring: Sedan.ini [corner] 1, "
            "spring(N/m): Sedan.params is present and derives the spring rate from its "
            "frontRideFrequency, so the value set here has no effect; set "
            "{car}.params:[params]:frontRideFrequency instead"])
        runs = [read(os.path.join(out, "runs", r, "Data", "Output.csv")) for r in ("0001", "0002")]
        self.assertEqual(runs[0], runs[1])  # as the warning says


class TimeLimitTest(ss.SweepCase):
    """A run that does not end is stopped."""

    def test_time_limits(self):
        # Run 2 would wait a minute; run 1 is a real run, far inside the limit.
        fake = self.stand_in("case $run in 0002) echo waiting; exec sleep 60 ;; esac")
        out = self.path("sweep")
        started = time.monotonic()
        status, stdout, stderr = self.sweep(self.base, self.write("two.txt", "%s=1.2,1.4\n" % RIDE),
                                            "-o", out, "--vdsim", fake, "--timeout", "2")
        self.assertLess(time.monotonic() - started, 30)
        self.assertEqual((status, stderr), (1, "vdsim-sweep: 1 of 2 runs failed\n"))
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([(r["status"], r["message"]) for r in rows],
                         [("0", ""), ("timeout", "stopped after 2 s (--timeout)")])
        self.assertIn("  0002: stopped after 2 s (--timeout)", stdout)
        self.assertEqual(read(os.path.join(out, "runs", "0002", "stdout.txt")), "waiting\n")


class CheckedFirstTest(ss.SweepCase):
    """Every check comes before the disk is touched: a previous sweep survives a bad one."""

    one_after_another = True

    def previous_sweep(self):
        """SWEEP_DIR holding a finished sweep of two runs; returns its path and
        run 1's Output.csv."""
        out = self.path("sweep")
        status, _, stderr = self.sweep(self.base, self.write("two.txt", "%s=1.3,1.4\n" % RIDE),
                                       "-o", out)
        self.assertEqual(status, 0, stderr)
        return out, read(os.path.join(out, "runs", "0001", "Data", "Output.csv"))

    def assertUntouched(self, out, output):
        self.assertEqual(read(os.path.join(out, "runs", "0001", "Data", "Output.csv")), output)
        self.assertEqual(read_summary(os.path.join(out, "summary.csv"))[0][RIDE], "1.3")

    def test_bad_input_leaves_the_previous_sweep(self):
        out, output = self.previous_sweep()
        good = self.write("good.txt", "%s=1.5\n" % RIDE)
        big = "\n".join("{car}.ini:[corner]:%d:%s = %s" % (c, key, ",".join(
            str(1000 + i) for i in range(20))) for c in (1, 2, 3, 4)
            for key in ("tireSpring", "brakeGain"))
        cases = (  # (arguments, the message)
            ([self.base, self.write("corner.csv", "{car}.ini:[corner]:9:spring\n1000\n")],
             '%s:1: column 1 "{car}.ini:[corner]:9:spring": Sedan.ini has 4 [corner] sections '
             "(numbered from 1), not 9" % self.path("corner.csv")),
            ([self.base, self.write("digits.txt", "%s = 1.2, \uff11.4\n" % RIDE)],
             'expected a number, found "\uff11.4"'),
            ([self.base, self.write("big.txt", big)], "the grid has 25,600,000,000 runs"),
            ([self.path("nowhere"), good], "nowhere: not a directory"),
            ([self.base, good, "--vdsim", self.path("no-vdsim")],
             "no simulator at %s" % self.path("no-vdsim")),
            ([self.base, good, "--timeout", "1e-5"], "--timeout must be a number of seconds"),
            ([self.base, good, "--jobs", "two"], "argument --jobs: invalid int value: 'two'"),
            ([self.base, good, "--plot", "k"], '--plot: no metric "k"'),
            ([self.base, good, "--plot", "bode"], "--plot bode: %s has no SineSteer event"
             % os.path.join(self.base, "Events.ini")),
            # A run of this sweep as the base of the next: it would be removed.
            ([os.path.join(out, "runs", "0002"), good],
             "%s: the base scenario lies inside the sweep directory %s"
             % (os.path.join(out, "runs", "0002"), out)))
        for arguments, message in cases:
            with self.subTest(arguments=arguments[1:]):
                status, _, stderr = self.sweep(*arguments[:2], "-o", out, *arguments[2:])
                self.assertEqual(status, 2)
                self.assertIn(message, stderr)
                self.assertTrue(stderr.startswith("vdsim-sweep: "), stderr)
                self.assertUntouched(out, output)
        # Nor is anything made for a new sweep directory.
        status, _, _ = self.sweep(self.base, good, "-o", os.path.join(self.base, "sweep"))
        self.assertEqual(status, 2)
        self.assertFalse(os.path.exists(os.path.join(self.base, "sweep")))
        # A sweep directory that cannot be made is one line, not a traceback.
        status, _, stderr = self.sweep(self.base, good, "-o", os.path.join(good, "sweep"))
        self.assertEqual((status, stderr), (2, "vdsim-sweep: cannot prepare the sweep "
                                               "directory: %s: Not a directory\n"
                                            % os.path.join(good, "sweep")))

    def test_only_a_sweep_of_this_tool_is_replaced(self):
        out, output = self.previous_sweep()
        # What the user keeps in the sweep directory stays.
        for name in ("notes.md", os.path.join("runs", "mine.txt"), os.path.join("bin", "x.sh")):
            self.write(os.path.join("sweep", name), "mine\n")
        status, _, stderr = self.sweep(self.base, self.write("one.txt", "%s=1.2\n" % RIDE),
                                       "-o", out)
        self.assertEqual(status, 0, stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(out, "runs"))), ["0001", "mine.txt"])
        self.assertEqual(read(os.path.join(out, "notes.md")), "mine\n")
        self.assertEqual(read(os.path.join(out, "bin", "x.sh")), "mine\n")
        # A directory whose sweep.json is not this tool's marker is not touched.
        other = self.path("other")
        for name in ("sweep.json", "summary.csv", os.path.join("runs", "0001")):
            self.write(os.path.join("other", name), '{"base": "x", "runs": [["1"]]}\n')
        status, _, stderr = self.sweep(self.base, self.write("one.txt", "%s=1.3\n" % RIDE),
                                       "-o", other)
        self.assertEqual(status, 2)
        self.assertIn("other: exists and is not a sweep directory of this tool", stderr)
        self.assertEqual(sorted(os.listdir(other)), ["runs", "summary.csv", "sweep.json"])


class PlotTest(ss.SweepCase):
    one_after_another = True

    def test_a_metric_and_the_frequency_response_against_swept_values(self):
        support.require_modules(("matplotlib", "python3-matplotlib"))
        with open(os.path.join(self.base, "Events.ini"), "a") as stream:
            stream.write("[event]\n  kind SineSteer  speed 2  amplitude 2  frequency 1  "
                         "cycles 2\n")
        frequency = "Events.ini:[event]:1:frequency"
        out = self.path("sweep")
        grid = self.write("grid.txt", "%s = 2.5, 1.5\n%s = 4000, 16000\n" % (frequency, ARB))
        drawn = []
        with mock.patch.object(plot, "bode", lambda *a: drawn.append(a) or plot_bode(*a)):
            status, stdout, stderr = self.sweep(self.base, grid, "-o", out, "--plot",
                                                "normal_force_max_LF_N", "--plot-lines",
                                                "antiRollRear", "--plot", "bode")
        self.assertEqual(status, 0, stderr)
        pngs = [os.path.join(out, name) for name in ("normal_force_max_LF_N.png", "bode.png")]
        self.assertEqual(stdout.splitlines()[-2:], ["Wrote " + png for png in pngs])
        for png in pngs:
            with open(png, "rb") as stream:
                self.assertEqual(stream.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertEqual(sd.read_marker(out)["plots"], ["bode.png", "normal_force_max_LF_N.png"])
        # The Bode plot: one line per rear anti-roll rate (the address that is
        # not the frequency), the frequencies as the runs measured them.
        (_, line_title, lines, _), = drawn
        self.assertEqual(line_title, "antiRollRear")
        self.assertEqual({value: sorted(p["sine_steer_frequency_hz"] for p in points)
                          for value, points in lines.items()},
                         {"4000": [1.5, 2.5], "16000": [1.5, 2.5]})
        self.assertTrue(all(p["sine_steer_yaw_rate_gain_radps_per_deg"] > 0
                            for points in lines.values() for p in points))
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([(r[frequency], r["sine_steer_frequency_hz"], r["sine_steer_event"])
                          for r in rows], [("2.5", "2.5", "1")] * 2 + [("1.5", "1.5", "1")] * 2)
        # The plots are the sweep's: the next sweep removes them.
        status, _, stderr = self.sweep(self.base, self.write("one.txt", "%s=1.3\n" % RIDE),
                                       "-o", out)
        self.assertEqual(status, 0, stderr)
        self.assertEqual([os.path.exists(png) for png in pngs], [False, False])
        status, _, stderr = self.sweep(self.base, grid, "-o", out, "--plot", "rows",
                                       "--plot-x", "mass")
        self.assertEqual(status, 2)
        self.assertIn('--plot-x: "mass" is not a swept address', stderr)


class SkipPolicyTest(unittest.TestCase):
    """A missing package skips the tests that need it, saying which; with
    VDSIM_TEST_REQUIRE_ALL=1 it fails them."""

    def run_without_parallel(self, **environment):
        bare = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, bare)
        env = dict(support.tool_environment(**environment), PATH=bare, HOME=bare)
        env.pop("VDSIM_TEST_REQUIRE_ALL", None) if not environment else None
        return subprocess.run([sys.executable, "run_tests.py",
                               "test_sweep_cli.TimeLimitTest"],
                              cwd=support.HERE, capture_output=True, text=True, env=env,
                              timeout=120)

    def test_skipped_with_the_reason(self):
        result = self.run_without_parallel()
        self.assertEqual(result.returncode, 77, result.stderr)
        self.assertIn("skipped 'parallel is not installed (Debian package parallel)'",
                      result.stderr)

    def test_required_in_ci(self):
        result = self.run_without_parallel(VDSIM_TEST_REQUIRE_ALL="1")
        self.assertEqual(result.returncode, 1)
        self.assertIn("AssertionError: parallel is not installed (Debian package parallel); "
                      "VDSIM_TEST_REQUIRE_ALL=1 requires every package", result.stderr)


if __name__ == "__main__":
    unittest.main()
