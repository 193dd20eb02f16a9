"""Whole runs of the real vdsim binary: how a run ends and what it leaves.

Each test copies the golden scenario into a fresh directory (with an
Output.csv "from an earlier run" in Data/) and runs vdsim there. It checks
that a finished run replaces the output whole, that any other end leaves the
earlier output byte for byte, that a run always ends, and the command line,
the standard streams, signals and the extended outputs.

Usage: run_test.py VDSIM GOLDEN_SCENARIO_DIR [unittest options]
"""

import csv
import fcntl
import hashlib
import io
import json
import os
import pty
import re
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

VDSIM = None
GOLDEN = None
EXAMPLES = None  # the examples/ directory of the checkout

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

    def open_outputs(self, process):
        """Sizes of the files in Data/ that the process holds open, named or not."""
        sizes = []
        fds = "/proc/%d/fd" % process.pid
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)).startswith(
                        os.path.realpath(self.path("Data")) + "/"):
                    sizes.append(os.stat(os.path.join(fds, fd)).st_size)
            except OSError:
                pass  # closed meanwhile
        return sizes


def on_terminal(command, cwd, stop_when=None, stop_after=None):
    """Runs command with standard error on a terminal; sends SIGINT once
    stop_when (bytes) has been said or stop_after seconds have passed.
    Returns (exit status, what the terminal received)."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=terminal)
    os.close(terminal)
    said, started, stopped = b"", time.monotonic(), False
    try:
        while time.monotonic() - started < TIMEOUT:
            if select.select([controller], [], [], 0.05)[0]:
                try:
                    chunk = os.read(controller, 4096)
                except OSError:  # the terminal's other end has gone
                    break
                if not chunk:
                    break
                said += chunk
            if not stopped and ((stop_when and stop_when in said) or
                                (stop_after and time.monotonic() - started > stop_after)):
                process.send_signal(signal.SIGINT)
                stopped = True
    finally:
        process.kill()
        process.wait()
        os.close(controller)
    return process.returncode, said.replace(b"\r\n", b"\n")


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
            if any(n >= size for n in scenario.open_outputs(process)):
                return
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
                             rb"([0-9.]+) s of simulated time\); the previous outputs are "
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
                self.assertRegex(err.decode(), r"^vdsim: stopped by signal %d \(.+\) at [0-9.]+ s "
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
                         r"state\) at [0-9.]+ s of simulated time; Data/Output\.csv keeps the "
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
        self.assertTrue(text.startswith("Usage: vdsim [--extended] [--max-time SECONDS] [--quiet] "
                                        "[SCENARIO_DIR]\n       vdsim --check [SCENARIO_DIR]\n"))
        for needle in ("Events.ini", "Goodyear2692x7.pkj", "Data/Output.csv", "Data/Extended.csv",
                       "Data/Run.json", "\n  0  ", "\n  1  ", "\n  2  ", "\n  3  ", "\n  4  ",
                       "\n  5  ", "--check", "--quiet", "128+N"):
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


class Progress(RunTest):
    """A line at a terminal while a long run goes on; nothing anywhere else."""

    def test_a_long_run_shows_its_progress_at_a_terminal_and_clears_it(self):
        scenario = Scenario(self)
        scenario.write("Events.ini", ENDLESS_EVENTS)
        status, said = on_terminal(scenario.command(), scenario.dir, stop_when=b"x real time")
        self.assertEqual(status, 128 + signal.SIGINT, said)
        lines = said.split(b"\r")
        self.assertEqual(lines[0], b"")
        for line in lines[1:-1]:
            self.assertRegex(line, rb"^vdsim: \d+\.\d s simulated, Events\.ini:2 TargetSpeed, "
                             rb"\d+(\.\d)?x real time\x1b\[K$")
        # Erased before the run's last word.
        self.assertRegex(lines[-1], rb"^\x1b\[Kvdsim: stopped by signal 2 ")
        self.assertUntouched(scenario)

    def test_quiet_or_not_at_a_terminal_a_long_run_says_nothing(self):
        quiet, piped = Scenario(self), Scenario(self)
        for scenario in (quiet, piped):
            scenario.write("Events.ini", ENDLESS_EVENTS)
        process = piped.start()
        status, said = on_terminal(quiet.command("--quiet"), quiet.dir, stop_after=1.5)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=TIMEOUT)
        for text in (said, err):
            self.assertRegex(text, rb"^vdsim: stopped by signal 2 .*\n$")


class IgnoredInput(RunTest):
    """What is read but ignored is named, once each; well-formed files say nothing."""

    def test_each_ignored_section_and_event_is_named_and_the_run_unchanged(self):
        scenario = Scenario(self)
        events = scenario.read("Events.ini").decode()
        first = events.index("[event]")
        scenario.write("Events.ini", "[Event] [ events ]\n" + events[:first] +
                       "[event] kind Brakes speed 15\n" + events[first:])
        car = scenario.read("Sedan.ini").decode()
        chassis = car[car.index("[car]"):car.index("[powertrain]")]
        scenario.write("Sedan.ini", car + chassis)
        params = scenario.read("Sedan.params").decode()
        scenario.write("Sedan.params", params + "\n" + params[params.index("[params]"):])
        result = scenario.run()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(scenario.read("Data/Output.csv"), golden_output())
        marker = ('is not a section marker and is ignored (markers are matched exactly: [car], '
                  '[event])')
        warnings = [
            'Events.ini:1: "[Event]" %s' % marker,
            'Events.ini:1: "[ events" %s' % marker,
            'Events.ini:%d: unknown event kind "Brakes" ignored (known: TargetSpeed, SteerRamp, '
            'Brake' % (events[:first].count("\n") + 2),
            "Sedan.ini:%d: a second [car] section replaces the one at line %d" % (
                car.count("\n") + 1, car[:car.index("[car]")].count("\n") + 1),
            "Sedan.params:%d: a second [params] section replaces the one at line %d" % (
                params.count("\n") + 2, params[:params.index("[params]")].count("\n") + 1)]
        said = result.stderr.decode().splitlines()
        self.assertEqual(len(said), len(warnings), said)
        for line, warning in zip(said, warnings):
            self.assertTrue(line.startswith("vdsim: warning: " + warning), (line, warning))
        # --check counts them as something to look at.
        result = scenario.run("--check")
        self.assertEqual(result.returncode, 5, result.stderr)
        self.assertEqual(result.stderr.decode().splitlines(), said)
        self.assertIn(b"<- an unknown kind: the event is ignored\n", result.stdout)
        self.assertTrue(result.stdout.endswith(b", 1 flagged, 5 warnings\n"), result.stdout[-80:])

    def test_the_examples_and_the_golden_scenario_read_without_a_word(self):
        for directory in sorted(os.listdir(EXAMPLES)) + [GOLDEN]:
            path = os.path.join(EXAMPLES, directory)
            if not os.path.isfile(os.path.join(path, "Events.ini")):
                continue
            with self.subTest(directory):
                result = subprocess.run([VDSIM, "--check", path], capture_output=True,
                                        timeout=TIMEOUT)
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                self.assertRegex(result.stdout.decode().splitlines()[-1],
                                 r"^4 files read, \d+ items, 0 flagged, 0 warnings$")


class Check(RunTest):
    """vdsim --check: every value as read, a flag where a key names another item."""

    LINE = re.compile(r"^(\S+:\d+): (.+?) {2,}(\(no key\)|\S+) {2,}(.*?) {2,}-> (\S+) "
                      r"\((.+?)\)(?:  <- (.+))?$")

    def check(self, scenario):
        result = scenario.run("--check")
        items = [self.LINE.match(line) for line in result.stdout.decode().splitlines()[:-1]]
        self.assertNotIn(None, items, result.stdout.decode())
        self.assertUntouched(scenario)
        return result, [m.groups() for m in items]

    def test_each_item_is_printed_as_read_and_nothing_is_written(self):
        scenario = Scenario(self)
        result, items = self.check(scenario)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        # 2 + 3 + 6 + 2 event items, 7 + 6 + 4 * 11 car items, 11 parameters, 74 coefficients.
        self.assertEqual(len(items), 13 + 57 + 11 + 74)
        self.assertIn(("Events.ini:21", "[event] 2 (SteerRamp), item 5", "endRadius", "40",
                       "endRadius", "m", None), items)
        self.assertIn(("Sedan.ini:56", "[powertrain], item 2", "(no key)", "-1.5 9 10 125",
                       "torqueCoefficients", "N m", None), items)
        self.assertIn(("Goodyear2692x7.pkj:1", "coefficient 14 (nominalLoad)", "(no key)", "4000",
                       "nominalLoad", "N", None), items)

    def test_a_missing_line_shows_as_keys_that_name_other_items(self):
        # The README's example: the default example without its endRadius.
        scenario = Scenario(self)
        text = open(os.path.join(EXAMPLES, "default", "Events.ini")).read()
        scenario.write("Events.ini", "".join(
            line for line in text.splitlines(True) if "endRadius" not in line))
        result, items = self.check(scenario)
        self.assertEqual(result.returncode, 2)
        flagged = [(item[1], item[2], item[4], item[6]) for item in items if item[6]]
        self.assertEqual(flagged, [
            ("[event] 2 (SteerRamp), item 5", "duration", "endRadius",
             "the key does not name endRadius"),
            ("[event] 2 (SteerRamp), item 6", "#", "duration", "the key does not name duration")])
        self.assertEqual(result.stderr.decode(),
                         'vdsim: Events.ini:43: [event] 2 (SteerRamp), item 6: expected a number '
                         'for duration, found "Out" (line 41 has the key "duration" where '
                         'endRadius was expected: is a line missing above it?)\n')

    def test_swapped_lines_are_flagged(self):
        scenario = Scenario(self)
        text = scenario.read("Sedan.ini").decode()
        spring, damper = "spring(N/m)           26153.66", "damper(N*s/m)         2081.24"
        scenario.write("Sedan.ini", text.replace(spring + "\n" + damper,
                                                 damper + "\n" + spring, 1))
        result, items = self.check(scenario)
        self.assertEqual((result.returncode, result.stderr), (5, b""))
        self.assertEqual([(item[1], item[3], item[4]) for item in items if item[6]],
                         [("[corner] 1, item 6", "2081.24", "springRate"),
                          ("[corner] 1, item 7", "26153.66", "damperRate")])
        self.assertTrue(result.stdout.endswith(b", 2 flagged, 0 warnings\n"))


class OutputSet(RunTest):
    """The outputs of a run are replaced together, and record the inputs as read."""

    def run_blocked(self, scenario, meanwhile):
        """Runs a car of zero mass (every step singular, 1000 solver messages
        on standard output) with --extended; while it is blocked on a full
        pipe, long after its inputs were read, calls meanwhile()."""
        scenario.write("Sedan.ini", scenario.read("Sedan.ini").replace(b"1300.0", b"0.0", 1))
        before = {name: sha256(scenario.path(name)) for name in FILES}
        process = subprocess.Popen(scenario.command("--extended"), cwd=scenario.dir,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.addCleanup(process.kill)
        fcntl.fcntl(process.stdout, getattr(fcntl, "F_SETPIPE_SZ", 1031), 4096)
        deadline = time.monotonic() + TIMEOUT
        waiting = bytearray(4)
        while int.from_bytes(waiting, sys.byteorder) < 4096:
            self.assertLess(time.monotonic(), deadline, "the pipe never filled")
            time.sleep(0.01)
            fcntl.ioctl(process.stdout, termios.FIONREAD, waiting)
        meanwhile()
        _, err = process.communicate(timeout=TIMEOUT)
        return process.returncode, err.decode(), before

    def test_the_inputs_are_recorded_as_they_were_read(self):
        scenario = Scenario(self)

        def edit():
            for name in FILES:
                with open(scenario.path(name), "ab") as f:
                    f.write(b"\nedited while the run went on\n")

        status, err, read = self.run_blocked(scenario, edit)
        self.assertEqual(status, 3, err)
        record = json.loads(scenario.read("Data/Run.json"))
        self.assertEqual({f["file"]: f["sha256"] for f in record["inputs"]}, read)

    def test_an_output_that_cannot_be_replaced_leaves_every_output_as_it_was(self):
        scenario = Scenario(self)
        status, err, _ = self.run_blocked(scenario,
                                          lambda: os.mkdir(scenario.path("Data/Run.json")))
        self.assertEqual(status, 2, err)
        self.assertTrue(err.endswith("vdsim: Data/Run.json: cannot replace it: Is a directory; "
                                     "the previous outputs are left as they were\n"), err)
        self.assertEqual(scenario.read("Data/Output.csv"), EARLIER)
        self.assertEqual(scenario.data(), ["Output.csv", "Run.json"])

    @unittest.skipUnless(shutil.which("strace") or os.environ.get("VDSIM_TEST_REQUIRE_ALL"),
                         "needs strace")
    def test_every_output_is_synced_before_any_is_renamed_output_csv_last(self):
        scenario = Scenario(self)
        log = scenario.path("calls")
        # (The leak checker of a sanitizer build cannot work under ptrace.)
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        result = subprocess.run(["strace", "-f", "-qq", "-o", log, "-e",
                                 "trace=fsync,fdatasync,rename,renameat,renameat2,linkat"] +
                                scenario.command("--extended"), cwd=scenario.dir, env=env,
                                capture_output=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(log) as f:
            calls = [re.sub(r"^\d+ +", "", line) for line in f if "resumed" not in line]
        kinds = [call.split("(")[0] for call in calls]
        renames = [i for i, kind in enumerate(kinds) if kind.startswith("rename")]
        syncs = [i for i, kind in enumerate(kinds) if kind in ("fsync", "fdatasync")]
        self.assertEqual([re.findall(r'"([^"]*)"', calls[i])[-1] for i in renames],
                         ["Data/Extended.csv", "Data/Run.json", "Data/Output.csv"], calls)
        self.assertEqual(len(syncs), 3, calls)
        self.assertLess(max(syncs), min(renames), calls)
        # An unnamed file gets its name only once it is synced.
        for i, call in enumerate(calls):
            linked = re.match(r'linkat\(AT_FDCWD, "/proc/self/fd/(\d+)"', call)
            if linked:
                self.assertIn("fsync(%s)" % linked.group(1), [c.split(" ")[0] for c in calls[:i]])

    def test_a_killed_run_leaves_no_temporary_file(self):
        scenario = Scenario(self)
        try:
            os.close(os.open(scenario.path("Data"), os.O_TMPFILE | os.O_WRONLY))
        except (AttributeError, OSError):
            self.skipTest("the file system has no unnamed temporary files")
        scenario.write("Events.ini", ENDLESS_EVENTS)
        process = scenario.start("--extended")
        self.wait_for_rows(scenario, process)
        process.kill()
        process.communicate(timeout=TIMEOUT)
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
        self.assertEqual(record["events"][1], {
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
        # --max-time 5 at 1 ms: 5000 steps exactly, 2 s of it recorded after
        # the 3 s settle (the first row once the settle has ended).
        scenario = Scenario(self)
        result = scenario.run("--extended", "--max-time", "5")
        self.assertEqual(result.returncode, 4)
        record = json.loads(scenario.read("Data/Run.json"))
        self.assertEqual((record["exit_status"], record["end"]), (4, "max-time"))
        self.assertEqual("vdsim: " + record["message"] + "\n", result.stderr.decode())
        self.assertEqual((record["steps"], record["rows"]), (5000, 19))
        self.assertAlmostEqual(record["simulated_time_s"], 5.0, delta=1e-3)
        self.assertIn(" after 5 s ", record["message"])


def main():
    global VDSIM, GOLDEN, EXAMPLES
    args = sys.argv[1:]
    if len(args) < 2:
        sys.exit("usage: run_test.py VDSIM GOLDEN_SCENARIO_DIR [unittest options]")
    VDSIM, GOLDEN = os.path.abspath(args[0]), os.path.abspath(args[1])
    EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(GOLDEN))), "examples")
    unittest.main(argv=[sys.argv[0]] + args[2:])


if __name__ == "__main__":
    main()
