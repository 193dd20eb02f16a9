"""Whole runs of the real vdsim binary: how a run ends and what it leaves.

Each test copies the golden scenario into a fresh directory (with an
Output.csv "from an earlier run" in Data/) and runs vdsim there. It checks
that a finished run replaces the output whole, that any other end leaves the
earlier output byte for byte, that a run always ends, and the command line,
the standard streams, signals and the extended outputs.

Usage: run_test.py VDSIM GOLDEN_SCENARIO_DIR [unittest options]
"""

import csv
import hashlib
import io
import json
import os
import pty
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

VDSIM = None
GOLDEN = None

FILES = ("Events.ini", "Sedan.ini", "Sedan.params", "Goodyear2692x7.pkj")
EARLIER = b"Time (s),from an earlier run,\n1.000000,2.000000,\n"
TIMEOUT = 30  # s for one run; every run here should take well under 2 s
# A target the car can never reach: the run goes on until stopped.
ENDLESS_EVENTS = "[car] name Sedan timeStep 0.001\n[event] kind TargetSpeed speed 500 hold 1\n"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Scenario:
    """A copy of the golden scenario with an earlier Data/Output.csv."""

    def __init__(self, test, parent=None):
        self.test = test
        self.dir = tempfile.mkdtemp(prefix="vdsim-run-", dir=parent)
        test.addCleanup(shutil.rmtree, self.dir, True)
        for name in FILES:
            shutil.copyfile(os.path.join(GOLDEN, name), self.path(name))
        os.mkdir(self.path("Data"))
        self.write("Data/Output.csv", EARLIER)

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def data(self):
        return sorted(os.listdir(self.path("Data")))

    def command(self, *args):
        return [VDSIM] + list(args)

    def run(self, *args, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("capture_output", True)
        return subprocess.run(self.command(*args), cwd=self.dir, timeout=TIMEOUT, **kwargs)

    def start(self, *args):
        process = subprocess.Popen(self.command(*args), cwd=self.dir, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # A run that a failed test leaves behind must not go on for ever.
        self.test.addCleanup(process.communicate)
        self.test.addCleanup(process.kill)  # cleanups run last first
        return process

    def temporary_files(self):
        return [n for n in self.data() if n.startswith(".")]


def golden_output():
    with open(os.path.join(GOLDEN, "Output.csv"), "rb") as f:
        return f.read()


class RunTest(unittest.TestCase):
    maxDiff = None

    def assertUntouched(self, scenario):
        self.assertEqual(scenario.read("Data/Output.csv"), EARLIER)
        self.assertEqual(scenario.data(), ["Output.csv"])

    def wait_for_rows(self, scenario, process, size=2000):
        """Waits until the run's temporary output holds some rows."""
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            self.assertIsNone(process.poll(), "the run ended early")
            for name in scenario.temporary_files():
                try:
                    if os.path.getsize(scenario.path("Data/" + name)) >= size:
                        return
                except FileNotFoundError:
                    pass
            time.sleep(0.01)
        self.fail("no rows written")


class Outputs(RunTest):
    """The output appears whole when the run ends, and only then."""

    def test_a_finished_run_replaces_the_earlier_output_whole(self):
        scenario = Scenario(self)
        old = os.umask(0o022)
        try:
            result = scenario.run()
        finally:
            os.umask(old)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
        self.assertEqual(scenario.read("Data/Output.csv"), golden_output())
        self.assertEqual(scenario.data(), ["Output.csv"])  # no temporary file left
        self.assertEqual(os.stat(scenario.path("Data/Output.csv")).st_mode & 0o777, 0o644)

    def test_a_failed_write_stops_at_once_and_keeps_the_earlier_output(self):
        # A file-size limit of 20 kB: the golden output (about 30 kB) cannot
        # be written; the run stops at the failing row, not at its end.
        scenario = Scenario(self)

        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))

        result = scenario.run(preexec_fn=limit_file_size)
        self.assertEqual(result.returncode, 2, result.stderr)
        match = re.fullmatch(rb"vdsim: Data/Output\.csv: cannot write: File too large \(at "
                             rb"(\d+\.\d{6}) s of simulated time\); the previous outputs are "
                             rb"left as they were\n", result.stderr)
        self.assertIsNotNone(match, result.stderr)
        self.assertLess(float(match.group(1)), 15.0)  # the whole run simulates 16.9 s
        self.assertUntouched(scenario)

    def test_a_stop_signal_keeps_the_earlier_output(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal.Signals(number).name):
                scenario = Scenario(self)
                scenario.write("Events.ini", ENDLESS_EVENTS)
                process = scenario.start()
                self.wait_for_rows(scenario, process)
                process.send_signal(number)
                _, err = process.communicate(timeout=TIMEOUT)
                self.assertEqual(process.returncode, 128 + number, err)
                self.assertRegex(err.decode(), r"^vdsim: stopped by signal %d \(.+\) at \d+\.\d{6} s "
                                 r"of simulated time; the previous outputs are left as they "
                                 r"were\n$" % number)
                self.assertUntouched(scenario)

    def test_two_runs_at_once_leave_one_whole_output(self):
        # One run of the whole golden scenario, one stopped after 8 s: both
        # finish with a complete file of their own; what survives is one of
        # the two, never a mix.
        scenario = Scenario(self)
        short = Scenario(self)
        self.assertEqual(short.run("--max-time", "8").returncode, 4)
        whole, cut = golden_output(), short.read("Data/Output.csv")
        for _ in range(3):
            a, b = scenario.start(), scenario.start("--max-time", "8")
            self.assertEqual(a.wait(TIMEOUT), 0)
            self.assertEqual(b.wait(TIMEOUT), 4)
            a.communicate()
            b.communicate()
            self.assertIn(scenario.read("Data/Output.csv"), (whole, cut))
            self.assertEqual(scenario.data(), ["Output.csv"])

    def test_a_diverged_run_keeps_its_rows_and_says_when(self):
        scenario = Scenario(self)
        scenario.write("Events.ini", "[car] name Sedan timeStep 0.1\n")
        result = scenario.run()
        self.assertEqual(result.returncode, 3)
        self.assertRegex(result.stderr.decode(), r"^vdsim: the simulation diverged \(non-finite "
                         r"state\) at \d+\.\d{6} s of simulated time; Data/Output\.csv keeps the "
                         r"rows written before\n$")
        self.assertTrue(scenario.read("Data/Output.csv").startswith(b"Time (s),Ground Speed"))


class StandardStreams(RunTest):
    """Closed or vanishing standard streams cost neither the run nor its output."""

    SINGULAR_CAR = ("1300.0", "0.0")  # a chassis of zero mass: every step singular

    def singular(self, scenario):
        text = scenario.read("Sedan.ini").decode("latin-1")
        scenario.write("Sedan.ini", text.replace(*self.SINGULAR_CAR, 1))

    def test_closed_standard_streams_are_opened_on_dev_null(self):
        # With descriptor 1 closed, the output file used to take its number
        # and the solver's messages landed inside the CSV.
        for closed in ((1,), (0, 1, 2)):
            with self.subTest(closed=closed):
                scenario = Scenario(self)
                self.singular(scenario)

                def close_streams():
                    for fd in closed:
                        os.close(fd)

                result = subprocess.run(scenario.command(), cwd=scenario.dir,
                                        preexec_fn=close_streams, timeout=TIMEOUT,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.assertEqual(result.returncode, 3)
                output = scenario.read("Data/Output.csv")
                self.assertTrue(output.startswith(b"Time (s),Ground Speed (m/s),"), output[:80])
                self.assertNotIn(b"Sing. Found At", output)

    def test_a_reader_that_goes_away_does_not_stop_the_run(self):
        # As in "vdsim | head -1": the pipe's reader has gone when the solver
        # writes its messages.
        scenario = Scenario(self)
        self.singular(scenario)
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            result = subprocess.run(scenario.command(), cwd=scenario.dir, stdout=write_end,
                                    stderr=subprocess.PIPE, timeout=TIMEOUT)
        finally:
            os.close(write_end)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertTrue(scenario.read("Data/Output.csv").startswith(b"Time (s),"))


class CommandLine(RunTest):
    """The scenario directory argument, help, and refused arguments."""

    def test_a_scenario_directory_is_run_without_cd(self):
        scenario = Scenario(self)
        elsewhere = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, elsewhere, True)
        result = subprocess.run([VDSIM, scenario.dir], cwd=elsewhere, capture_output=True,
                                timeout=TIMEOUT)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(scenario.read("Data/Output.csv"), golden_output())
        self.assertEqual(os.listdir(elsewhere), [])

    def test_help_lists_the_files_and_exit_statuses(self):
        short = subprocess.run([VDSIM, "-h"], capture_output=True, timeout=TIMEOUT)
        long = subprocess.run([VDSIM, "--help"], capture_output=True, timeout=TIMEOUT)
        self.assertEqual(short.returncode, 0)
        self.assertEqual(short.stdout, long.stdout)
        text = short.stdout.decode()
        self.assertTrue(text.startswith("Usage: vdsim [--extended] [--max-time SECONDS] "
                                        "[SCENARIO_DIR]\n"))
        for needle in ("Events.ini", "Goodyear2692x7.pkj", "Data/Output.csv", "Data/Extended.csv",
                       "Data/Run.json", "\n  0  ", "\n  1  ", "\n  2  ", "\n  3  ", "\n  4  ",
                       "128+N"):
            self.assertIn(needle, text)

    def test_version(self):
        result = subprocess.run([VDSIM, "--version"], capture_output=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout.decode(), r"^vdsim \d+\.\d+\.\d+\n$")

    def test_bad_arguments_are_one_line_and_status_2(self):
        for args, message in (
                (["--frobnicate"], 'unknown option "--frobnicate"; try vdsim --help'),
                (["a", "b"], 'more than one scenario directory ("a", "b"); try vdsim --help'),
                (["--max-time"], "--max-time needs a number of seconds; try vdsim --help"),
                (["--max-time", "soon"], '--max-time: expected a positive number of seconds, '
                                         'found "soon"; try vdsim --help'),
                (["--max-time=-1"], '--max-time: expected a positive number of seconds, '
                                    'found "-1"; try vdsim --help'),
                (["/nonexistent/scenario"], "/nonexistent/scenario: cannot enter the scenario "
                                            "directory: No such file or directory")):
            with self.subTest(args):
                result = subprocess.run([VDSIM] + args, capture_output=True, timeout=TIMEOUT)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr.decode(), "vdsim: %s\n" % message)
                self.assertEqual(result.stdout, b"")

    def test_without_events_ini_a_terminal_is_told_what_was_looked_for(self):
        scenario = Scenario(self)
        os.remove(scenario.path("Events.ini"))
        # Not a terminal: exit 1 and silence, as scripts expect.
        result = scenario.run()
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", b""))
        # A terminal on standard error: one line.
        controller, terminal = pty.openpty()
        try:
            result = subprocess.run(scenario.command(), cwd=scenario.dir, stdout=subprocess.PIPE,
                                    stderr=terminal, timeout=TIMEOUT)
            os.close(terminal)
            said = b""
            try:
                while True:
                    chunk = os.read(controller, 1024)
                    if not chunk:
                        break
                    said += chunk
            except OSError:
                pass
        finally:
            os.close(controller)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(said.replace(b"\r\n", b"\n").decode(),
                         "vdsim: no Events.ini in %s; nothing to run\n"
                         % os.path.realpath(scenario.dir))
        self.assertUntouched(scenario)


class Extended(RunTest):
    """--extended: Extended.csv row by row with Output.csv, and Run.json."""

    def test_extended_outputs_match_the_run_and_leave_output_csv_as_it_is(self):
        scenario = Scenario(self)
        result = scenario.run("--extended")
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(scenario.data(), ["Extended.csv", "Output.csv", "Run.json"])
        self.assertEqual(scenario.read("Data/Output.csv"), golden_output())
        with open(scenario.path("Data/Output.csv"), newline="") as f:
            main = list(csv.reader(f))
        with open(scenario.path("Data/Extended.csv"), newline="") as f:
            extended = list(csv.reader(f))
        self.assertEqual(len(extended), len(main))
        self.assertEqual(len(extended[0]), 39)
        self.assertEqual([row[0] for row in extended], [row[0] for row in main])
        self.assertTrue(all(len(row) == 39 for row in extended))
        # The file's events run in order after the built-ins, in gears from 1.
        events = [int(row[1]) for row in extended[1:]]
        self.assertEqual(events, sorted(events))
        self.assertEqual(sorted(set(events)), [0, 1, 2, 3])
        self.assertGreaterEqual(min(int(row[2]) for row in extended[1:]), 1)

        with open(scenario.path("Data/Run.json")) as f:
            record = json.load(f)
        self.assertEqual(record["exit_status"], 0)
        self.assertEqual(record["end"], "finished")
        self.assertEqual(record["car"], "Sedan")
        self.assertEqual(record["time_step_s"], 0.001)
        self.assertEqual(record["rows"], len(main) - 1)
        self.assertEqual(record["singular_steps"], 0)
        self.assertEqual(os.path.realpath(record["scenario_dir"]), os.path.realpath(scenario.dir))
        self.assertEqual([(f["file"], f["sha256"]) for f in record["inputs"]],
                         [(name, sha256(scenario.path(name))) for name in FILES])
        self.assertEqual([(f["file"], f["sha256"]) for f in record["outputs"]],
                         [(name, sha256(scenario.path("Data/" + name)))
                          for name in ("Output.csv", "Extended.csv")])
        self.assertEqual([(e["number"], e["kind"]) for e in record["events"]],
                         [(1, "TargetSpeed"), (2, "SteerRamp"), (3, "Brake")])
        ramp = dict(record["events"][1])
        self.assertIsInstance(ramp.pop("metrics"), dict)
        self.assertIsInstance(ramp.pop("null_reasons"), dict)
        self.assertEqual(ramp, {
            "number": 2, "kind": "SteerRamp", "line": 16, "speed": 15, "end_speed": 16,
            "start_radius": 50, "end_radius": 40, "duration": 3})
        self.assertAlmostEqual(record["simulated_time_s"], record["steps"] * 0.001, places=3)

    def test_events_keep_their_section_numbers_when_an_unknown_kind_comes_first(self):
        scenario = Scenario(self)
        events = scenario.read("Events.ini").decode()
        first = events.index("[event]")
        scenario.write("Events.ini", events[:first] + "[event] kind Drift v 1\n" + events[first:])
        self.assertEqual(scenario.run("--extended").returncode, 0)
        self.assertEqual(scenario.read("Data/Output.csv"), golden_output())
        with open(scenario.path("Data/Extended.csv"), newline="") as f:
            numbers = sorted({int(row[1]) for row in list(csv.reader(f))[1:]})
        self.assertEqual(numbers, [0, 2, 3, 4])
        record = json.loads(scenario.read("Data/Run.json"))
        self.assertEqual(record["events"][0], {"number": 1, "kind": "Drift", "line": 11,
                                               "ignored": True})
        self.assertEqual([(e["number"], e["kind"]) for e in record["events"][1:]],
                         [(2, "TargetSpeed"), (3, "SteerRamp"), (4, "Brake")])

    def test_a_run_without_extended_leaves_earlier_extended_files_stale_but_detectable(self):
        scenario = Scenario(self)
        self.assertEqual(scenario.run("--extended").returncode, 0)
        record = scenario.read("Data/Run.json")
        self.assertEqual(scenario.run("--max-time", "8").returncode, 4)
        self.assertEqual(scenario.read("Data/Run.json"), record)
        recorded = json.loads(record)["outputs"][0]["sha256"]
        self.assertNotEqual(sha256(scenario.path("Data/Output.csv")), recorded)

    def test_an_early_end_is_in_the_record(self):
        scenario = Scenario(self)
        result = scenario.run("--extended", "--max-time", "5")
        self.assertEqual(result.returncode, 4)
        record = json.loads(scenario.read("Data/Run.json"))
        self.assertEqual((record["exit_status"], record["end"]), (4, "max-time"))
        self.assertEqual("vdsim: " + record["message"] + "\n", result.stderr.decode())


def main():
    global VDSIM, GOLDEN
    args = sys.argv[1:]
    if len(args) < 2:
        sys.exit("usage: run_test.py VDSIM GOLDEN_SCENARIO_DIR [unittest options]")
    VDSIM, GOLDEN = os.path.abspath(args[0]), os.path.abspath(args[1])
    unittest.main(argv=[sys.argv[0]] + args[2:])


if __name__ == "__main__":
    main()
