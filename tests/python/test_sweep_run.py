"""Tests of vdsim/sweep_run.py: the settings a sweep refuses before anything
else, the runs a resume counts as ended, and stop signals."""

import argparse
import os
import signal
import unittest

import support

support.require_modules()
from vdsim import sweep_run  # noqa: E402
from vdsim.scenario import Scenario  # noqa: E402
from vdsim.sweep_file import SweepError, grid_of_values  # noqa: E402


def settings(**options):
    return argparse.Namespace(**dict(sweep_run.DEFAULTS, **options))


class SettingsTest(unittest.TestCase):
    def test_refused(self):
        for options, message in (
                (dict(jobs=0), "--jobs must be at least 1"),
                (dict(slurm=True, max_parallel=0), "--max-parallel must be at least 1"),
                (dict(slurm=True, runs_per_task=-1), "--runs-per-task must be at least 1"),
                (dict(timeout=0.09), "--timeout must be a number of seconds from 0.1 to 10000000"),
                (dict(timeout=1.0000001e7), "--timeout must be a number of seconds"),
                (dict(timeout=float("nan")), "--timeout must be a number of seconds"),
                (dict(plot=["rows", "k"]), '--plot: no metric "k"; the metrics are rows,'),
                (dict(plot_lines="mass"), "--plot-x and --plot-lines go with --plot METRIC"),
                (dict(slurm=True, jobs=2), "--jobs and --hosts go with GNU parallel, not --slurm"),
                (dict(slurm=True, hosts="h"), "--jobs and --hosts go with GNU parallel"),
                (dict(max_parallel=2), "--slurm-option, --max-parallel and --runs-per-task go "
                                       "with --slurm"),
                (dict(slurm_options=["--time=5"]), "go with --slurm"),
                (dict(slurm=True, slurm_options=["--array=1-9"]),
                 "--slurm-option --array=1-9: the sweep makes its own array jobs"),
                (dict(slurm=True, slurm_options=["--time 5 -a 3"]), "--slurm-option -a: "),
                (dict(slurm=True, slurm_options=["--comment 'x"]),
                 "--slurm-option --comment 'x: No closing quotation")):
            with self.subTest(options=options):
                with self.assertRaises(SweepError) as caught:
                    sweep_run.check_settings(settings(**options))
                self.assertIn(message, str(caught.exception))
                self.assertEqual(caught.exception.status, 2)

    def test_accepted(self):
        checked = sweep_run.check_settings(settings(
            slurm=True, slurm_options=["--partition=short", "--time 5 --comment 'a b'"],
            max_parallel=1, runs_per_task=1, timeout=1e7))
        self.assertEqual(checked.slurm_options,
                         ["--partition=short", "--time", "5", "--comment", "a b"])
        for timeout in (0.1, 600.0):
            sweep_run.check_settings(settings(timeout=timeout, jobs=1, plot=["rows", "bode"],
                                              plot_x="mass"))


class BodeTest(unittest.TestCase):
    def test_the_line_address_of_a_bode_plot(self):
        scenario = Scenario.load(os.path.join(support.EXAMPLES, "steady-sine"))
        frequency, speed = "Events.ini:[event]:2:frequency", "Events.ini:[event]:2:speed"
        for addresses, lines, expected in (
                ((frequency, speed), None, 1), ((speed, frequency), None, 0),
                ((frequency,), None, None), ((speed, frequency), "speed", 0),
                ((speed, frequency), "frequency", 1)):
            with self.subTest(addresses=addresses, lines=lines):
                sweep = grid_of_values({address: [1] for address in addresses}, scenario)
                self.assertEqual(sweep_run.bode_lines(settings(plot=["bode"], plot_lines=lines),
                                                      sweep), expected)
        with self.assertRaisesRegex(SweepError, '--plot-lines: "mass" is not a swept address'):
            sweep_run.bode_lines(settings(plot=["bode"], plot_lines="mass"), sweep)


class FinishedRunsTest(support.TempDir):
    def test_a_status_or_a_job_log_entry_ends_a_run(self):
        self.write("runs/0001/status", "0\n")
        self.write("runs/0002/status", "")  # being written: not yet
        self.write("runs/0003/time", "1.0\n")
        os.makedirs(self.path("runs", "0005"))
        self.assertEqual(sweep_run.finished_runs(self.root, 5, {"0004": {}}), {"0001", "0004"})


class InterruptsTest(unittest.TestCase):
    def setUp(self):
        # The defaults, even where this test was started with a signal ignored.
        for number, handler in ((signal.SIGINT, signal.default_int_handler),
                                (signal.SIGTERM, signal.SIG_DFL), (signal.SIGHUP, signal.SIG_DFL)):
            self.addCleanup(signal.signal, number, signal.signal(number, handler))

    def test_signals_stop_and_held_blocks_keep_them(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=number):
                before = signal.getsignal(number)
                with sweep_run.Interrupts() as interrupts:
                    with self.assertRaises(sweep_run.Stopped) as caught:
                        os.kill(os.getpid(), number)
                    self.assertEqual(caught.exception.signum, number)
                    reached = False
                    with self.assertRaises(sweep_run.Stopped) as caught:
                        with interrupts.held():
                            os.kill(os.getpid(), number)
                            os.kill(os.getpid(), signal.SIGINT)
                            reached = True
                    self.assertTrue(reached)
                    self.assertEqual(caught.exception.signum, number)  # the first one
                self.assertEqual(signal.getsignal(number), before)

    def test_a_handler_of_the_caller_is_left_alone(self):
        seen = []
        previous = signal.signal(signal.SIGTERM, lambda number, frame: seen.append(number))
        try:
            with sweep_run.Interrupts():
                os.kill(os.getpid(), signal.SIGTERM)
            self.assertEqual(seen, [signal.SIGTERM])
        finally:
            signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    unittest.main()
