"""Tests of vdsim/scenario.py: addresses, edits, copies, the warnings of
values that {car}.params overrides, and runs through the documented API."""

import math
import os
import re
import shutil
import tempfile
import unittest
import warnings

import support
from vdsim import inputs
from vdsim.scenario import AddressError, OverrideWarning, Scenario, ScenarioError

SKIDPAD = os.path.join(support.EXAMPLES, "skidpad")


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
        inputs.write_text(os.path.join(self.base, "Events.ini"), EVENTS)
        self.scenario = Scenario.load(self.base)
        self.car = read(os.path.join(self.base, "Sedan.ini"))
        self.params = read(os.path.join(self.base, "Sedan.params"))

    def tearDown(self):
        self.directory.cleanup()

    def rewritten(self, *pairs):
        """{file: text} of the files that setting each (address, value) pair changes."""
        edited = self.scenario.copy()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", OverrideWarning)
            for address, value in pairs:
                edited.set(address, value)
        return {name: edited.text(name) for name in edited.files
                if name != "Goodyear2692x7.pkj" and edited.text(name) != self.scenario.text(name)}

    def assertRewrites(self, address, value, file_name, expected):
        files = self.rewritten((address, value))
        self.assertEqual(list(files), [file_name])
        self.assertEqual(files[file_name], expected)

    def assertAddressError(self, address, pattern):
        with self.assertRaises(AddressError) as caught:
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



class EditTest(unittest.TestCase):
    """Values by Python type, copies, the files written, the wheelbase."""

    def setUp(self):
        self.scenario = Scenario.load(SKIDPAD)

    def test_python_numbers_are_written_exactly(self):
        s = self.scenario.copy()
        s.set("{car}.params:[params]:frontRideFrequency", 1.2)
        s.set("{car}.ini:[car]:antiRollRear", 9000)
        s.set("{car}.ini:[car]:reserved", 7)
        s.set("Events.ini:[event]:2:duration", 1e-05)
        self.assertEqual([s.get("{car}.params:[params]:frontRideFrequency"),
                          s.get("{car}.ini:[car]:antiRollRear"), s.get("{car}.ini:[car]:reserved"),
                          s.get("Events.ini:[event]:2:duration")], ["1.2", "9000", "7", "1e-05"])
        self.assertEqual(s.get("{car}.params:[params]:frontRideFrequency"), repr(1.2))

    def test_bad_values_are_refused_and_leave_the_value(self):
        s = self.scenario.copy()
        for address, value, message in (
                ("{car}.ini:[car]:antiRollRear", "abc", 'expected a number, found "abc"'),
                ("{car}.ini:[car]:antiRollRear", float("nan"), 'expected a number, found "nan"'),
                ("{car}.ini:[car]:antiRollRear", 1e39, "out of range of a 32-bit float"),
                ("{car}.ini:[car]:antiRollRear", "\uff11300", "expected a number"),
                ("{car}.ini:[car]:antiRollRear", True, "expected a number, found True"),
                ("{car}.ini:[car]:reserved", 1.0, 'expected an integer, found "1.0"')):
            with self.subTest(value=value):
                with self.assertRaisesRegex(AddressError, re.escape(message)):
                    s.set(address, value)
        self.assertEqual(s.get("{car}.ini:[car]:antiRollRear"), "8000.0")
        with self.assertRaisesRegex(AddressError, r'no item "arb" in Sedan.ini \[car\] 1'):
            s.set("{car}.ini:[car]:arb", 1)

    def test_copies_are_independent(self):
        a = self.scenario.copy()
        a.set("{car}.ini:[car]:antiRollRear", 1000)
        b = a.copy()
        b.set("{car}.ini:[car]:antiRollRear", 2000)
        self.assertEqual([self.scenario.get("{car}.ini:[car]:antiRollRear"),
                          a.get("{car}.ini:[car]:antiRollRear"),
                          b.get("{car}.ini:[car]:antiRollRear")], ["8000.0", "1000", "2000"])

    def test_write_makes_a_run_directory(self):
        with tempfile.TemporaryDirectory() as root:
            s = self.scenario.copy()
            s.set("Events.ini:[event]:2:endSpeed", 12)
            s.write(os.path.join(root, "run"))
            self.assertEqual(sorted(os.listdir(os.path.join(root, "run"))),
                             ["Data", "Events.ini", "Goodyear2692x7.pkj", "Sedan.ini",
                              "Sedan.params"])
            self.assertEqual(os.listdir(os.path.join(root, "run", "Data")), [])
            text = inputs.read_text(os.path.join(root, "run", "Events.ini"))
            self.assertEqual(text, inputs.read_text(os.path.join(SKIDPAD, "Events.ini")).replace(
                "endSpeed     17.0", "endSpeed     12"))

    def test_wheelbase_from_the_parameter_file_or_the_mounts(self):
        self.assertEqual(self.scenario.wheelbase(), 2.7)
        s = self.scenario.copy()
        s.set("{car}.params:[params]:wheelbase", 3.1)
        self.assertEqual(s.wheelbase(), 3.1)
        with tempfile.TemporaryDirectory() as root:
            support.copy_example("skidpad", os.path.join(root, "s"))
            os.remove(os.path.join(root, "s", "Sedan.params"))
            # Sedan.ini's mounts: front x 1.296, rear x -1.404.
            self.assertAlmostEqual(Scenario.load(os.path.join(root, "s")).wheelbase(), 2.7)

    def test_not_a_scenario(self):
        with tempfile.TemporaryDirectory() as root:
            with self.assertRaisesRegex(ScenarioError, r"Events.ini: cannot read: No such file"):
                Scenario.load(root)
            with self.assertRaisesRegex(ScenarioError, r"nowhere: not a directory"):
                Scenario.load(os.path.join(root, "nowhere"))


class OverrideWarningTest(unittest.TestCase):
    """Values of {car}.ini that {car}.params replaces or scales are named."""

    def setUp(self):
        self.scenario = Scenario.load(SKIDPAD)

    def warnings_of(self, scenario, address, value):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            scenario.set(address, value)
        return [str(w.message) for w in caught if w.category is OverrideWarning]

    def test_derived_values_have_no_effect(self):
        s = self.scenario.copy()
        self.assertEqual(self.warnings_of(s, "{car}.ini:[corner]:1:spring", 30000), [
            "Sedan.ini [corner] 1, spring(N/m): Sedan.params is present and derives the spring "
            "rate from its frontRideFrequency, so the value set here has no effect; set "
            "{car}.params:[params]:frontRideFrequency instead"])
        for address, source in (("{car}.ini:[corner]:4:damper", "rearDampingRatio"),
                                ("{car}.ini:[corner]:3:mount.x", "wheelbase and "
                                                                 "frontWeightFraction"),
                                ("{car}.ini:[corner]:2:mount[2]", "frontTrack")):
            with self.subTest(address=address):
                found = self.warnings_of(s, address, 1)
                self.assertEqual(len(found), 1)
                self.assertIn("from its %s, so the value set here has no effect" % source,
                              found[0])

    def test_values_that_reach_the_car(self):
        s = self.scenario.copy()
        for address in ("{car}.ini:[corner]:1:mount.z", "{car}.ini:[corner]:1:tireSpring",
                        "{car}.ini:[car]:drag", "{car}.ini:[car]:antiRollFront",
                        "{car}.params:[params]:frontRideFrequency"):
            with self.subTest(address=address):
                self.assertEqual(self.warnings_of(s, address, 1), [])

    def test_scaled_values_name_their_factor(self):
        s = self.scenario.copy()
        self.assertEqual(self.warnings_of(s, "{car}.params:[params]:aeroScale", 2), [])
        self.assertEqual(self.warnings_of(s, "{car}.ini:[car]:drag", 0.7), [
            "Sedan.ini [car] 1, drag(kg/m): Sedan.params is present and multiplies the value "
            "set here by aeroScale 2"])
        self.assertEqual(self.warnings_of(s, "{car}.ini:[car]:mass", 1400), [
            "Sedan.ini [car] 1, mass(kg): Sedan.params is present and derives the spring and "
            "damper rates from the mass, keeping the ride frequencies"])

    def test_no_warning_without_a_parameter_file(self):
        with tempfile.TemporaryDirectory() as root:
            support.copy_example("skidpad", os.path.join(root, "s"))
            os.remove(os.path.join(root, "s", "Sedan.params"))
            s = Scenario.load(os.path.join(root, "s"))
            self.assertEqual(self.warnings_of(s, "{car}.ini:[corner]:1:spring", 30000), [])


def readme_example():
    """The Python block of the README's "Driving vdsim from Python" section."""
    with open(os.path.join(support.REPO, "README.md")) as stream:
        text = stream.read()
    section = text[text.index("## Driving vdsim from Python"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


class ApiTest(unittest.TestCase):
    """The documented API end to end on examples/skidpad with the simulator under test."""

    def setUp(self):
        support.require_vdsim(self)
        os.environ["VDSIM"] = support.VDSIM

    def test_readme_example(self):
        import matplotlib
        matplotlib.use("Agg")
        code = readme_example()
        printed = []
        cwd = os.getcwd()
        with tempfile.TemporaryDirectory() as root:
            os.symlink(support.EXAMPLES, os.path.join(root, "examples"))
            os.chdir(root)
            try:
                exec(compile(code, "README.md", "exec"), {"print": lambda *a: printed.append(a)})
            finally:
                os.chdir(cwd)
            self.assertTrue(os.path.isfile(os.path.join(root, "ride.png")))
        self.assertEqual([p[0] for p in printed], [1.2, 1.4, 1.6])
        self.assertEqual({p[1] for p in printed}, {0})
        gradients = [p[2] for p in printed]
        self.assertTrue(all(math.isfinite(k) and -2.0 < k < 2.0 for k in gradients), gradients)
        self.assertEqual(len(set(gradients)), 3)  # the three cars differ

    def test_runs_in_a_given_directory_and_keeps_it(self):
        with tempfile.TemporaryDirectory() as root:
            s = Scenario.load(SKIDPAD).copy()
            s.set("Events.ini:[event]:2:duration", 5)
            run = s.run(dir=os.path.join(root, "run"))
            self.assertEqual((run.status, run.end, run.message), (0, "finished", ""))
            self.assertTrue(os.path.isfile(os.path.join(root, "run", "Data", "Extended.csv")))
            self.assertEqual(len(run.output["Time (s)"]), len(run.extended["Event (-)"]))
            self.assertEqual(run.record["events"][1]["duration"], 5)
            self.assertEqual(run.metrics()["cornering_event"], 2)


if __name__ == "__main__":
    unittest.main()
