"""Tests of tools/vdsim-sweep and tools/vdsim_sweep.py.

Addressing and rewriting are checked on text alone.  The sweeps run the
simulator of the build under test (environment variable VDSIM, else
build/vdsim of the checkout) through GNU parallel: on this machine, over ssh
to two "hosts" served by an sshd this test starts on two loopback ports, and
interrupted then resumed.
"""

import csv
import getpass
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
TOOLS = os.path.join(REPO, "tools")
SCRIPT = os.path.join(TOOLS, "vdsim-sweep")
SKIDPAD = os.path.join(REPO, "examples", "skidpad")
sys.path.insert(0, TOOLS)
import vdsim_output as vo  # noqa: E402
import vdsim_sweep as vs  # noqa: E402

VDSIM = os.path.abspath(os.environ.get("VDSIM") or os.path.join(REPO, "build", "vdsim"))

# Only the car: the two built-in events alone, 8 s of simulated time, in
# steps of 2 ms to keep the runs short.
SHORT_EVENTS = "# Built-in events only.\n[car]\n  name      Sedan\n  timeStep  0.002\n"


def read(path):
    with open(path, "rb") as stream:
        return stream.read().decode("latin-1")


def nth(text, marker, n):
    """Offset of the n-th (1-based) occurrence of marker in text."""
    at = -1
    for _ in range(n):
        at = text.index(marker, at + 1)
    return at


def replace_after(text, start, old, new):
    """text with the first occurrence of old at or after offset start replaced by new."""
    at = text.index(old, start)
    return text[:at] + new + text[at + len(old):]


def make_short_base(directory):
    """A base scenario: the skidpad example's car with an event file of only "[car]"."""
    os.makedirs(os.path.join(directory, "Data"))
    for name in ("Sedan.ini", "Sedan.params", "Goodyear2692x7.pkj"):
        shutil.copyfile(os.path.join(SKIDPAD, name), os.path.join(directory, name))
    with open(os.path.join(directory, "Events.ini"), "w") as stream:
        stream.write(SHORT_EVENTS)
    return directory


_direct_outputs = {}  # (ride frequency, anti-roll rate) -> Output.csv bytes


def direct_output(ride_frequency, anti_roll_rear):
    """Output.csv bytes of vdsim run directly in a copy of the short base scenario,
    with the two swept values written in by plain text replacement (run once
    per pair of values)."""
    key = (ride_frequency, anti_roll_rear)
    if key not in _direct_outputs:
        with tempfile.TemporaryDirectory() as root:
            directory = make_short_base(os.path.join(root, "run"))
            params = os.path.join(directory, "Sedan.params")
            car = os.path.join(directory, "Sedan.ini")
            vs.write_text(params, read(params).replace(
                "frontRideFrequency(Hz) 1.4", "frontRideFrequency(Hz) " + ride_frequency))
            vs.write_text(car, read(car).replace(
                "antiRollRear(N/m)     8000.0", "antiRollRear(N/m)     " + anti_roll_rear))
            subprocess.run([VDSIM], cwd=directory, check=True, timeout=60)
            with open(os.path.join(directory, "Data", "Output.csv"), "rb") as stream:
                _direct_outputs[key] = stream.read()
    return _direct_outputs[key]


def run_sweep(*arguments, **popen):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([SCRIPT] + list(arguments) + ["--vdsim", VDSIM], capture_output=True,
                          text=True, env=env, timeout=180, **popen)


def read_summary(path):
    with open(path, newline="") as stream:
        return list(csv.DictReader(stream))


def require_tools(test):
    if not (os.path.isfile(VDSIM) and os.access(VDSIM, os.X_OK)):
        test.fail("no simulator at %s (set VDSIM or build it)" % VDSIM)
    if shutil.which("parallel") is None:
        test.fail("GNU parallel is not installed (Debian package parallel)")


# ---------------------------------------------------------------------------


EVENTS = (
    "# Events for the addressing tests\r\n"
    "[car]\r\n"
    "  name Sedan\ttimeStep   0.001\r\n"
    "\r\n"
    "[event] kind TargetSpeed\n"
    "  speed 8.0\n"
    "  hold\t1.0\n"
    "[event]\n"
    "  kind SteerRamp speed 8.0 endSpeed 17.0\n"
    "  startRadius 40.0 endRadius 40.0 duration 40.0\n"
    "[event] kind Wobble speed 3.0\n"
    "[event] kind Brake [event] 17.0\n"
)


class AddressingTest(unittest.TestCase):
    """Addresses resolve to one value token; rewriting changes that value only."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.base = self.directory.name
        for name in ("Sedan.ini", "Sedan.params"):
            shutil.copyfile(os.path.join(SKIDPAD, name), os.path.join(self.base, name))
        vs.write_text(os.path.join(self.base, "Events.ini"), EVENTS)
        self.scenario = vs.Scenario(self.base)
        self.car = read(os.path.join(self.base, "Sedan.ini"))
        self.params = read(os.path.join(self.base, "Sedan.params"))

    def tearDown(self):
        self.directory.cleanup()

    def rewritten(self, *pairs):
        """{file: text} after setting each (address, value) pair."""
        targets = [self.scenario.resolve(address) for address, _ in pairs]
        sweep = vs.Sweep([a for a, _ in pairs], targets, [[v for _, v in pairs]])
        return sweep.files(self.scenario, 0)

    def assertRewrites(self, address, value, file_name, expected):
        files = self.rewritten((address, value))
        self.assertEqual(list(files), [file_name])
        self.assertEqual(files[file_name], expected)

    def assertAddressError(self, address, pattern):
        with self.assertRaises(vs.AddressError) as caught:
            self.scenario.resolve(address)
        self.assertRegex(str(caught.exception), pattern)

    def test_event_file(self):
        self.assertEqual(self.scenario.car, "Sedan")
        # The second [event]: by key, and by field name where the key differs.
        self.assertRewrites("Events.ini:[event]:2:speed", "9.5", "Events.ini",
                            EVENTS.replace("speed 8.0 endSpeed", "speed 9.5 endSpeed"))
        self.assertRewrites("Events.ini:[event]:2:duration", "41", "Events.ini",
                            EVENTS.replace("duration 40.0", "duration 41"))
        self.assertRewrites("Events.ini:[event]:1:duration", "2.5", "Events.ini",
                            EVENTS.replace("hold\t1.0", "hold\t2.5"))
        self.assertRewrites("Events.ini:event:1:hold", "-0.25", "Events.ini",
                            EVENTS.replace("hold\t1.0", "hold\t-0.25"))
        # The time step after a tab, in a file with CR LF line ends.
        self.assertRewrites("Events.ini:[car]:timeStep", "0.0005", "Events.ini",
                            EVENTS.replace("timeStep   0.001\r\n", "timeStep   0.0005\r\n"))
        # The third [event] has an unknown kind: it counts, but holds nothing to
        # address; the fourth's key "[event]" is a key, not a marker.
        self.assertRewrites("Events.ini:[event]:4:speed", "18", "Events.ini",
                            EVENTS.replace("[event] 17.0", "[event] 18"))
        self.assertAddressError("Events.ini:[event]:3:speed", r'no item "speed" in '
                                r"Events.ini \[event\] 3")
        self.assertAddressError("Events.ini:[event]:5:speed",
                                r"has 4 \[event\] sections \(numbered from 1\), not 5")
        self.assertAddressError("Events.ini:[event]:0:speed", r"not 0")
        self.assertAddressError("Events.ini:[event]:speed", r"has 4 \[event\] sections: give "
                                r"one by number, Events.ini:\[event\]:1:speed")
        self.assertAddressError("Events.ini:[event]:1:kind", r"is a name, not a number")
        self.assertAddressError("Events.ini:[car]:name", r"\[car\] 1, name is a name")

    def test_car_file(self):
        corner3 = nth(self.car, "[corner]", 3)
        self.assertRewrites("{car}.ini:[corner]:3:brakeTorqueGain", "1800", "Sedan.ini",
                            replace_after(self.car, corner3, "brakeGain(N*m)        1500.0",
                                          "brakeGain(N*m)        1800"))
        corner2 = nth(self.car, "[corner]", 2)
        expected = replace_after(self.car, corner2, "mount(m)              1.296 0.775 0.34",
                                 "mount(m)              1.296 0.8 0.34")
        for address in ("mount.y", "mount[2]", "mount(m).y", "mountPosition.y"):
            self.assertRewrites("Sedan.ini:[corner]:2:" + address, "0.8", "Sedan.ini",
                                expected)
        self.assertRewrites("{car}.ini:[car]:inertia[2]", "2100", "Sedan.ini",
                            self.car.replace("500.0 2000.0 2200.0", "500.0 2100 2200.0"))
        self.assertRewrites("{car}.ini:[car]:antiRollRear(N/m)", "9000", "Sedan.ini",
                            self.car.replace("antiRollRear(N/m)     8000.0",
                                             "antiRollRear(N/m)     9000"))
        self.assertRewrites("{car}.ini:[car]:reserved", "0x10", "Sedan.ini",
                            self.car.replace("reserved              0\n\nPowertrain",
                                             "reserved              0x10\n\nPowertrain"))
        # The bare lists of [powertrain].
        self.assertRewrites("{car}.ini:[powertrain]:torqueCoefficients[1]", "-1.25",
                            "Sedan.ini", self.car.replace("  -1.5 9.0", "  -1.25 9.0"))
        self.assertRewrites("{car}.ini:[powertrain]:gearRatio[6]", "2.9", "Sedan.ini",
                            self.car.replace("3.393 2.73\n", "3.393 2.9\n"))
        # Two values of one file in one run: the front left and rear right springs.
        files = self.rewritten(("{car}.ini:[corner]:1:spring", "1"),
                               ("{car}.ini:[corner]:4:springRate", "2"))
        expected = replace_after(self.car, nth(self.car, "[corner]", 1),
                                 "spring(N/m)           26153.66", "spring(N/m)           1")
        expected = replace_after(expected, nth(expected, "[corner]", 4),
                                 "spring(N/m)           31532.21", "spring(N/m)           2")
        self.assertEqual(files, {"Sedan.ini": expected})

    def test_car_file_errors(self):
        self.assertAddressError("{car}.ini:[powertrain]:torqueOrder", r"cannot be swept")
        self.assertAddressError("{car}.ini:[powertrain]:gears", r"gears counts the numbers")
        self.assertAddressError("{car}.ini:[powertrain]:gearRatio",
                                r"list of 6 numbers: address one as gearRatio\[1\] to "
                                r"gearRatio\[6\]")
        self.assertAddressError("{car}.ini:[powertrain]:gearRatio[7]", r"has 6 numbers")
        self.assertAddressError("{car}.ini:[powertrain]:gearRatio.x", r"is a list")
        self.assertAddressError("{car}.ini:[car]:inertia", r"holds three numbers: address "
                                r"one as KEY.x")
        self.assertAddressError("{car}.ini:[car]:inertia[4]", r"has 3 numbers")
        self.assertAddressError("{car}.ini:[car]:mass.x", r'^Sedan.ini \[car\] 1, mass\(kg\) is '
                                r'a single value: address it without "\.x"$')
        self.assertAddressError("{car}.ini:[car]:drag[1]", r'without "\[1\]"$')
        self.assertAddressError("{car}.ini:[corner]:5:spring", r"has 4 \[corner\] sections")
        self.assertAddressError("{car}.ini:[corner]:1:sprung", r'no item "sprung" in '
                                r"Sedan.ini \[corner\] 1; its keys are wheelInertia")
        self.assertAddressError("{car}.ini:[wheel]:1:spring", r'has no section "\[wheel\]"; '
                                r"its sections are \[car\], \[powertrain\], \[corner\]")
        self.assertAddressError("{car}.ini:[params]:wheelbase", r"has no section")
        self.assertAddressError("Goodyear2692x7.pkj:[tire]:a", r'unknown file '
                                r'"Goodyear2692x7.pkj"')
        self.assertAddressError("{car}.ini:spring", r"is not an address")

    def test_parameter_file(self):
        for address in ("{car}.params:[params]:frontRideFrequency",
                        "Sedan.params:[params]:frontRideFrequency(Hz)",
                        "{car}.params:params:1:frontRideFrequency"):
            self.assertRewrites(address, "1.55", "Sedan.params",
                                self.params.replace("frontRideFrequency(Hz) 1.4",
                                                    "frontRideFrequency(Hz) 1.55"))
        self.assertRewrites("{car}.params:[params]:rearDampingRatio", "0.4", "Sedan.params",
                            self.params.replace("rearDampingRatio       0.35",
                                                "rearDampingRatio       0.4"))
        self.assertAddressError("{car}.params:[params]:2:massScale", r"has 1 \[params\] "
                                r"section \(numbered from 1\), not 2")

    def test_values_are_checked_by_kind(self):
        number = vs.NUMBER
        for good in ("1", "-2.5", "+.5", "3.", "1e3", "1.5E-2"):
            self.assertIsNone(vs.check_value(number, good), good)
        for bad in ("abc", "1,5", "nan", "inf", "0x10", "1e39", ""):
            self.assertIsNotNone(vs.check_value(number, bad), bad)
        for good in ("0", "-7", "010", "0x1F", "2147483647"):
            self.assertIsNone(vs.check_value(vs.INTEGER, good), good)
        for bad in ("1.5", "08", "2147483648", "x"):
            self.assertIsNotNone(vs.check_value(vs.INTEGER, bad), bad)
        self.assertEqual(vs.c_integer("010"), 8)
        self.assertEqual(vs.c_integer("-0x10"), -16)


class SweepFileTest(unittest.TestCase):
    """Both forms of the sweep file, and errors naming the file and line."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.scenario = vs.Scenario(make_short_base(os.path.join(self.directory.name, "b")))

    def tearDown(self):
        self.directory.cleanup()

    def assertSweepError(self, text, message):
        with self.assertRaises(vs.SweepError) as caught:
            vs.parse_sweep(text, self.scenario, "sweep.csv")
        self.assertEqual(str(caught.exception), message)
        self.assertEqual(caught.exception.status, 2)

    def test_csv_form(self):
        sweep = vs.parse_sweep(
            "# ride against anti-roll\n"
            "{car}.params:[params]:frontRideFrequency, \"{car}.ini:[car]:antiRollRear\",\n"
            "1.2, 4000   # soft\n"
            "\n"
            "1.6,16000,\n", self.scenario, "sweep.csv")
        self.assertEqual(sweep.addresses, ["{car}.params:[params]:frontRideFrequency",
                                           "{car}.ini:[car]:antiRollRear"])
        self.assertEqual(sweep.runs, [["1.2", "4000"], ["1.6", "16000"]])

    def test_grid_form_is_a_product_first_line_slowest(self):
        sweep = vs.parse_sweep(
            "# a grid\n"
            "{car}.params:[params]:frontRideFrequency = 1.2, 1.4\n"
            "{car}.ini:[car]:antiRollRear=4000,8000,16000\n"
            "Events.ini:[car]:timeStep=0.002\n", self.scenario, "grid.txt")
        self.assertEqual(len(sweep.addresses), 3)
        self.assertEqual(sweep.runs, [["1.2", "4000", "0.002"], ["1.2", "8000", "0.002"],
                                      ["1.2", "16000", "0.002"], ["1.4", "4000", "0.002"],
                                      ["1.4", "8000", "0.002"], ["1.4", "16000", "0.002"]])

    def test_errors_name_the_line(self):
        self.assertSweepError(
            "# header next\n\n{car}.params:[params]:frontRideFrequency,{car}.ini:[car]:arb\n"
            "1.2,4000\n",
            'sweep.csv:3: column 2 "{car}.ini:[car]:arb": no item "arb" in Sedan.ini '
            "[car] 1; its keys are inertia(kg*m^2), mass(kg), drag(kg/m), downforce(kg/m), "
            "antiRollFront(N/m), antiRollRear(N/m), reserved (field names inertia, mass, "
            "dragFactor, downforceFactor, antiRollRateFront, antiRollRateRear, "
            "chassisReserved)")
        self.assertSweepError(
            "{car}.params:[params]:frontRideFrequency\n1.2\n# next\n1.4\n1,4\n",
            "sweep.csv:5: expected 1 values (one per address of line 1), found 2")
        self.assertSweepError(
            "{car}.params:[params]:frontRideFrequency,{car}.ini:[car]:reserved\n1.2,0\n"
            "abc,0\n",
            'sweep.csv:3: column 1 "{car}.params:[params]:frontRideFrequency": expected a '
            'number, found "abc"')
        self.assertSweepError(
            "{car}.params:[params]:frontRideFrequency,{car}.ini:[car]:reserved\n1.2,0.5\n",
            'sweep.csv:2: column 2 "{car}.ini:[car]:reserved": expected an integer, '
            'found "0.5"')
        self.assertSweepError(
            "{car}.params:[params]:frontRideFrequency\n,\n",
            'sweep.csv:2: column 1 "{car}.params:[params]:frontRideFrequency": empty value')
        self.assertSweepError("{car}.params:[params]:frontRideFrequency\n",
                              "sweep.csv:1: no runs: the header of addresses must be "
                              "followed by one line of values per run")
        self.assertSweepError(
            "{car}.params:[params]:frontRideFrequency=1,2\n"
            "Sedan.params:[params]:frontRideFrequency(Hz)=3\n",
            'sweep.csv:2: "Sedan.params:[params]:frontRideFrequency(Hz)": names the same '
            'value as "{car}.params:[params]:frontRideFrequency"')
        self.assertSweepError(
            "{car}.params:[params]:frontRideFrequency=1,2\n{car}.ini:[car]:mass\n",
            "sweep.csv:2: expected ADDRESS=v1,v2,... like every line of a grid sweep "
            '(a sweep file whose first line holds "=" is a grid)')
        self.assertSweepError(
            "{car}.params:[params]:frontRideFrequency=1,,2\n",
            'sweep.csv:1: "{car}.params:[params]:frontRideFrequency": empty value')
        self.assertSweepError("# nothing\n\n", "sweep.csv: no addresses: the sweep file is "
                              "empty")

    def test_command_line_errors_stop_before_anything_runs(self):
        base = self.scenario.directory
        sweep_file = os.path.join(self.directory.name, "bad.csv")
        with open(sweep_file, "w") as stream:
            stream.write("{car}.ini:[corner]:9:spring\n1000\n")
        out = os.path.join(self.directory.name, "out")
        result = run_sweep(base, sweep_file, "-o", out)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr,
                         'vdsim-sweep: %s:1: column 1 "{car}.ini:[corner]:9:spring": Sedan.ini '
                         "has 4 [corner] sections (numbered from 1), not 9\n" % sweep_file)
        self.assertFalse(os.path.exists(out))

        result = run_sweep(os.path.join(self.directory.name, "nowhere"), sweep_file, "-o", out)
        self.assertEqual(result.returncode, 2)
        self.assertRegex(result.stderr, r"^vdsim-sweep: .*nowhere: not a directory\n$")

        os.makedirs(out)
        with open(os.path.join(out, "notes.txt"), "w") as stream:
            stream.write("mine\n")
        with open(sweep_file, "w") as stream:
            stream.write("{car}.ini:[corner]:1:spring=1000\n")
        result = run_sweep(base, sweep_file, "-o", os.path.join(base, "sweep"))
        self.assertEqual(result.returncode, 2)
        self.assertIn("must not lie inside the base scenario", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(base, "sweep")))
        result = run_sweep(base, sweep_file, "-o", out)
        self.assertEqual(result.returncode, 2)
        self.assertIn("exists and is not a sweep directory", result.stderr)
        self.assertEqual(os.listdir(out), ["notes.txt"])


# ---------------------------------------------------------------------------

SWEEP_6 = (
    "{car}.params:[params]:frontRideFrequency,{car}.ini:[car]:antiRollRear\n"
    "1.2,4000.0\n1.2,16000.0\n1.4,8000.0\n1.4,4000\n1.6,8000.0\n1.6,16000.0\n")
RIDE = "{car}.params:[params]:frontRideFrequency"
ARB = "{car}.ini:[car]:antiRollRear"


class DirectRunChecks:
    """Comparison of a sweep with direct runs of the short base scenario."""

    def assertMatchesDirectRuns(self, out, runs):
        """summary.csv and every run's Data/Output.csv equal direct runs of the inputs."""
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([row["run"] for row in rows],
                         ["%04d" % i for i in range(1, len(runs) + 1)])
        metrics = vs.metric_names()
        for row, (ride, arb) in zip(rows, runs):
            self.assertEqual((row[RIDE], row[ARB], row["status"], row["message"]),
                             (ride, arb, "0", ""))
            self.assertRegex(row["wall_time_s"], r"^\d+\.\d{3}$")
            direct = direct_output(ride, arb)
            swept = os.path.join(out, "runs", row["run"], "Data", "Output.csv")
            with open(swept, "rb") as stream:
                self.assertEqual(stream.read(), direct, "run %s" % row["run"])
            summary = vo.summarize(vo.read_output(swept))
            self.assertEqual([row[key] for key in metrics],
                             [vs.format_cell(summary[key]) for key in metrics])
        return rows


class SweepRunTest(DirectRunChecks, unittest.TestCase):
    """Sweeps that run: each run's output is that of a direct run of the same inputs."""

    def setUp(self):
        require_tools(self)
        self.directory = tempfile.TemporaryDirectory()
        self.root = self.directory.name
        self.base = make_short_base(os.path.join(self.root, "base"))

    def tearDown(self):
        self.directory.cleanup()

    def write(self, name, text):
        path = os.path.join(self.root, name)
        with open(path, "w") as stream:
            stream.write(text)
        return path

    def test_local_sweep_of_six_runs_on_two_jobs(self):
        out = os.path.join(self.root, "sweep")
        result = run_sweep(self.base, self.write("six.csv", SWEEP_6), "-o", out, "--jobs", "2")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        runs = [line.split(",") for line in SWEEP_6.splitlines()[1:]]
        rows = self.assertMatchesDirectRuns(out, runs)
        self.assertEqual({row["host"] for row in rows}, {":"})
        log = vs.read_joblog(os.path.join(out, "joblog"))
        self.assertEqual(sorted(log), [1, 2, 3, 4, 5, 6])
        # Run directories: complete copies with the values in place, nothing else changed.
        run4 = os.path.join(out, "runs", "0004")
        self.assertEqual(read(os.path.join(run4, "Sedan.ini")),
                         read(os.path.join(self.base, "Sedan.ini")).replace(
                             "antiRollRear(N/m)     8000.0", "antiRollRear(N/m)     4000"))
        for name in ("Events.ini", "Goodyear2692x7.pkj"):
            self.assertEqual(read(os.path.join(run4, name)),
                             read(os.path.join(self.base, name)))
        # The terminal table: a header, one line per run.
        lines = result.stdout.splitlines()
        header = lines.index(next(line for line in lines if line.startswith("run ")))
        self.assertRegex(lines[header], r"^run\s+frontRideFrequency\s+antiRollRear\s+status")
        self.assertRegex(lines[header + 4], r"^0004\s+1\.4\s+4000\s+0\s")
        self.assertEqual(lines[-1], "Wrote %s (6 runs)" % os.path.join(out, "summary.csv"))

        # Running the same sweep again replaces the previous one.
        result = run_sweep(self.base, self.write("one.csv", "%s=1.3\n" % RIDE), "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(out, "runs"))), ["0001"])

    def test_failed_runs_keep_their_row(self):
        out = os.path.join(self.root, "sweep")
        sweep = self.write("grid.txt", "Events.ini:[car]:timeStep=0.002,-1\n%s=1.4\n" % RIDE)
        result = run_sweep(self.base, sweep, "-o", out)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, "vdsim-sweep: 1 of 2 runs failed\n")
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([(r["Events.ini:[car]:timeStep"], r["status"]) for r in rows],
                         [("0.002", "0"), ("-1", "2")])
        self.assertEqual(rows[0]["message"], "")
        self.assertEqual(rows[1]["message"],
                         "vdsim: Events.ini:4: [car], item 2: the time step must be a "
                         "positive number of seconds, found -1.000000")
        self.assertEqual(rows[1]["top_speed_mps"], "")
        self.assertEqual(rows[0]["rows"], "27")
        self.assertIn("  0002: vdsim: Events.ini:4: [car], item 2", result.stdout)

    def test_interrupted_sweep_resumes_without_redoing_finished_runs(self):
        # A simulator that logs each run and, while the flag file exists, takes
        # long enough for runs 3 and 4 to be interrupted.
        calls = os.path.join(self.root, "calls.log")
        slow = self.write("slow", "")
        fake = self.write("fake-vdsim", (
            "#!/bin/sh\n"
            "run=$(basename \"$(pwd)\")\n"
            "echo \"$run\" >> %s\n"
            "case $run in 0003|0004) [ -e %s ] && sleep 30 ;; esac\n"
            "exec %s\n") % (calls, slow, VDSIM))
        os.chmod(fake, 0o755)
        sweep = self.write("four.csv", SWEEP_6.rsplit("\n", 3)[0] + "\n")
        out = os.path.join(self.root, "sweep")
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
        command = [SCRIPT, self.base, sweep, "-o", out, "--jobs", "2", "--vdsim", fake]
        process = subprocess.Popen(
            command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
            start_new_session=True,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        try:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                started = read(calls).split() if os.path.exists(calls) else []
                if len(vs.read_joblog(os.path.join(out, "joblog"))) == 2 and len(started) == 4:
                    break
                time.sleep(0.05)
            else:
                self.fail("runs 1 and 2 did not finish")
            os.killpg(process.pid, signal.SIGINT)
            _, stderr = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        self.assertEqual(process.returncode, 130, stderr)
        self.assertIn("run again with --resume", stderr)
        self.assertEqual(sorted(vs.read_joblog(os.path.join(out, "joblog"))), [1, 2])
        done = os.path.join(out, "runs", "0001", "Data", "Output.csv")
        stamp = os.stat(done).st_mtime_ns

        os.remove(slow)
        result = subprocess.run(command + ["--resume"], capture_output=True, text=True,
                                env=env, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("4 runs in %s; 2 to run" % os.path.join(out, "runs"), result.stdout)
        # Runs 1 and 2 ran once; 3 and 4 were started, interrupted and run again.
        self.assertEqual(sorted(read(calls).split()),
                         ["0001", "0002", "0003", "0003", "0004", "0004"])
        self.assertEqual(os.stat(done).st_mtime_ns, stamp)
        self.assertEqual(sorted(vs.read_joblog(os.path.join(out, "joblog"))), [1, 2, 3, 4])
        runs = [line.split(",") for line in SWEEP_6.splitlines()[1:5]]
        self.assertMatchesDirectRuns(out, runs)

        # A resume must find the same sweep.
        other = self.write("other.csv", "%s=1.5\n" % RIDE)
        result = subprocess.run(command[:2] + [other] + command[3:] + ["--resume"],
                                capture_output=True, text=True, env=env, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn("the sweep there has other addresses", result.stderr)


# ---------------------------------------------------------------------------


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


class TwoHosts:
    """An sshd on two loopback ports, with a host key and a client key made for the test."""

    SSHD = "/usr/sbin/sshd"

    def __init__(self, directory):
        self.directory = directory
        self.process = None
        for tool in (self.SSHD, shutil.which("ssh"), shutil.which("ssh-keygen"),
                     shutil.which("rsync")):
            if not tool or not os.path.exists(tool):
                raise AssertionError(
                    "the two-host sweep needs sshd, ssh, ssh-keygen and rsync (Debian "
                    "packages openssh-server, openssh-client, rsync); missing: %s" % tool)
        for key in ("host_key", "client_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                            os.path.join(directory, key)], check=True, timeout=30)
        shutil.copyfile(os.path.join(directory, "client_key.pub"),
                        os.path.join(directory, "authorized_keys"))
        self.ports = free_ports(2)
        self.user = getpass.getuser()
        config = os.path.join(directory, "sshd_config")
        with open(config, "w") as stream:
            for port in self.ports:
                stream.write("ListenAddress 127.0.0.1:%d\n" % port)
            stream.write(
                "HostKey {d}/host_key\nPidFile {d}/sshd.pid\n"
                "AuthorizedKeysFile {d}/authorized_keys\nStrictModes no\nUsePAM no\n"
                "PermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                "KbdInteractiveAuthentication no\nUseDNS no\nPrintMotd no\n"
                "LogLevel ERROR\n".format(d=directory))
        # sshd needs its privilege separation directory (made by its init script).
        if not os.path.isdir("/run/sshd") and os.geteuid() == 0:
            os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.log = open(os.path.join(directory, "sshd.log"), "w+")
        self.process = subprocess.Popen([self.SSHD, "-D", "-e", "-f", config],
                                        stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 15
        waiting = list(self.ports)
        while waiting:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise AssertionError("sshd did not start on 127.0.0.1 ports %s: %s"
                                     % (self.ports, self.log_text() or "no message"))
            try:
                socket.create_connection(("127.0.0.1", waiting[0]), timeout=1).close()
                waiting.pop(0)
            except OSError:
                time.sleep(0.05)

    def log_text(self):
        self.log.seek(0)
        return self.log.read().strip()

    def logins(self):
        """One GNU parallel ssh login per port: a full ssh command, one job at a time."""
        return ["1/ssh -F /dev/null -p %d -i %s -o StrictHostKeyChecking=no "
                "-o UserKnownHostsFile=/dev/null -o BatchMode=yes -o LogLevel=ERROR %s@127.0.0.1"
                % (port, os.path.join(self.directory, "client_key"), self.user)
                for port in self.ports]

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
        self.log.close()


class MultiHostTest(DirectRunChecks, unittest.TestCase):
    """A sweep over two ssh hosts on loopback: spread over both, outputs as local runs."""

    def setUp(self):
        require_tools(self)
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        self.root = self.directory.name
        os.makedirs(os.path.join(self.root, "ssh"), mode=0o700)
        self.hosts = TwoHosts(os.path.join(self.root, "ssh"))
        self.addCleanup(self.hosts.stop)

    def test_sweep_over_two_hosts(self):
        hosts_file = os.path.join(self.root, "hosts")
        logins = self.hosts.logins()
        with open(hosts_file, "w") as stream:
            stream.write("# two logins to this machine\n" + "\n".join(logins) + "\n")
        sweep = os.path.join(self.root, "four.csv")
        with open(sweep, "w") as stream:
            stream.write(SWEEP_6.rsplit("\n", 3)[0] + "\n")
        base = make_short_base(os.path.join(self.root, "base"))
        workdirs = os.path.join(os.path.expanduser("~"), ".vdsim-sweep")
        before = sorted(os.listdir(workdirs)) if os.path.isdir(workdirs) else []

        out = os.path.join(self.root, "sweep")
        result = run_sweep(base, sweep, "-o", out, "--hosts", hosts_file)
        self.assertEqual(result.returncode, 0, result.stderr + self.hosts.log_text())
        log = vs.read_joblog(os.path.join(out, "joblog"))
        self.assertEqual(sorted(log), [1, 2, 3, 4])
        used = {row["Host"] for row in log.values()}
        self.assertEqual(used, {login.split("/", 1)[1] for login in logins})
        self.assertEqual({row["Exitval"] for row in log.values()}, {"0"})

        # The results came back, and no packed result is left over.
        for run in ("0001", "0002", "0003", "0004"):
            self.assertEqual(sorted(os.listdir(os.path.join(out, "runs", run))),
                             ["Data", "Events.ini", "Goodyear2692x7.pkj", "Sedan.ini",
                              "Sedan.params", "status", "stderr.txt", "stdout.txt", "time"])
        self.assertEqual(sorted(os.listdir(os.path.join(out, "runs"))),
                         ["0001", "0002", "0003", "0004"])
        runs = [line.split(",") for line in SWEEP_6.splitlines()[1:5]]
        self.assertMatchesDirectRuns(out, runs)
        # Nothing is left in the hosts' working directories.
        after = sorted(os.listdir(workdirs)) if os.path.isdir(workdirs) else []
        self.assertEqual(after, before)


if __name__ == "__main__":
    unittest.main()
