"""Tests of vdsim/scenario.py: edits, copies, the files written, the
warnings of values that {car}.params overrides, and runs through the
documented API."""

import math
import os
import re
import tempfile
import unittest
import warnings

import support
from vdsim import inputs
from vdsim.address import AddressError
from vdsim.scenario import OverrideWarning, Scenario, ScenarioError

SKIDPAD = os.path.join(support.EXAMPLES, "skidpad")


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
