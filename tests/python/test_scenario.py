"""Tests of vdsim/scenario.py: edits, copies, the files written, the
warnings of values that {car}.params overrides, and runs through the
documented API."""

import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import warnings

import support
import vdsim
from vdsim import inputs
from vdsim.address import AddressError
from vdsim.scenario import OverrideWarning, Scenario, ScenarioError
from vdsim.simulator import SimulatorError

SKIDPAD = os.path.join(support.EXAMPLES, "skidpad")
INPUTS = ["Events.ini", "Goodyear2692x7.pkj", "Sedan.ini", "Sedan.params"]


def tree(directory):
    """{relative path: bytes, or "-> target" for a link} of everything under a directory."""
    found = {}
    for root, dirs, names in os.walk(directory):
        for name in names + [d for d in dirs if os.path.islink(os.path.join(root, d))]:
            path = os.path.join(root, name)
            key = os.path.relpath(path, directory)
            if os.path.islink(path):
                found[key] = "-> " + os.readlink(path)
            else:
                with open(path, "rb") as stream:
                    found[key] = stream.read()
    return found


def output_of(run_directory):
    with open(os.path.join(run_directory, "Data", "Output.csv"), "rb") as stream:
        return stream.read()


def set_quietly(scenario, *pairs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OverrideWarning)
        for address, value in pairs:
            scenario.set(address, value)
    return scenario


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


class RunDirectoryTest(support.TempDir):
    """write() and run(dir=...) change nothing of the scenario's own, and leave
    the run directory holding exactly the scenario's inputs."""

    def setUp(self):
        super().setUp()
        support.require_vdsim(self)
        self.base = support.make_short_base(self.path("base"))
        self.before = tree(self.base)
        self.edited = set_quietly(Scenario.load(self.base).copy(),
                                  ("{car}.ini:[car]:antiRollRear", 9000))

    def test_directories_that_would_change_the_scenario_are_refused(self):
        os.symlink(self.base, self.path("link"))
        for directory in (self.base, self.path("link"), self.path("base", "runs", "1"),
                          self.root):
            with self.subTest(directory=directory):
                with self.assertRaises(ScenarioError) as caught:
                    self.edited.write(directory)
                self.assertIn(directory, str(caught.exception))
                self.assertIn(self.base, str(caught.exception))
                with self.assertRaises(SimulatorError) as caught:
                    self.edited.run(dir=directory, vdsim=support.VDSIM)
                self.assertEqual(caught.exception.status, None)
                self.assertIn(directory, caught.exception.message)
                self.assertEqual(tree(self.base), self.before)
        self.assertFalse(os.path.exists(self.path("base", "runs")))

    def test_links_are_replaced_never_written_through(self):
        run = self.path("run")
        os.makedirs(run)
        for name in ("Events.ini", "Sedan.ini", "Data"):
            os.symlink(os.path.join(self.base, name), os.path.join(run, name))
        result = self.edited.run(dir=run, vdsim=support.VDSIM)
        self.assertEqual(result.status, 0)
        self.assertEqual(tree(self.base), self.before)
        self.assertFalse(any(map(os.path.islink, (os.path.join(run, n) for n in os.listdir(run)))))
        self.assertIn(b"9000", tree(run)["Sedan.ini"])

    def test_inputs_of_an_earlier_scenario_do_not_take_part(self):
        # A has a parameter file that makes the car heavier; B has none.
        a = Scenario.load(self.base).copy()
        set_quietly(a, ("{car}.params:[params]:massScale", 1.6))
        b_base = support.make_short_base(self.path("b"))
        os.remove(os.path.join(b_base, "Sedan.params"))
        b = Scenario.load(b_base)
        run = self.path("run")
        a.run(dir=run, vdsim=support.VDSIM)
        a_output = output_of(run)
        self.write("run/notes.txt", "mine")
        self.assertEqual(b.run(dir=run, vdsim=support.VDSIM).status, 0)
        self.assertEqual(sorted(os.listdir(run)),
                         ["Data", "Events.ini", "Goodyear2692x7.pkj", "Sedan.ini", "notes.txt"])
        b.run(dir=self.path("fresh"), vdsim=support.VDSIM)
        self.assertEqual(output_of(run), output_of(self.path("fresh")))
        self.assertNotEqual(output_of(run), a_output)  # A's Sedan.params would give A's run


class InputFilesTest(support.TempDir):
    """Only the scenario's input files are read, hashed and written, and only
    regular ones; a byte-order mark is skipped; a car from a shared folder
    travels with the run."""

    def setUp(self):
        super().setUp()
        self.base = support.make_short_base(self.path("base"))

    def load_within(self, seconds, directory):
        """Scenario.load, failing instead of waiting for ever on a FIFO."""
        def stop(signum, frame):
            raise AssertionError("no answer within %d s" % seconds)
        previous = signal.signal(signal.SIGALRM, stop)
        signal.alarm(seconds)
        try:
            return Scenario.load(directory)
        finally:
            signal.alarm(0)
            signal.signal(signal.SIGALRM, previous)

    def test_other_files_are_neither_opened_nor_copied(self):
        os.mkfifo(self.path("base", "pipe"))
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(self.path("base", "sock"))
        os.symlink("root@host.1234", self.path("base", ".#Events.ini"))  # an editor's lock
        self.write("base/notes/todo.txt", "x")
        scenario = self.load_within(10, self.base)
        self.assertEqual(scenario.files, INPUTS)
        scenario.write(self.path("run"))
        self.assertEqual(sorted(os.listdir(self.path("run"))), sorted(INPUTS + ["Data"]))

    def test_an_input_that_is_not_a_regular_file_is_refused(self):
        os.remove(self.path("base", "Sedan.params"))
        os.mkfifo(self.path("base", "Sedan.params"))
        with self.assertRaisesRegex(ScenarioError, r"Sedan.params: cannot read: not a regular "
                                                   r"file$"):
            self.load_within(10, self.base)
        os.remove(self.path("base", "Events.ini"))
        os.mkdir(self.path("base", "Events.ini"))
        with self.assertRaisesRegex(ScenarioError, r"Events.ini: cannot read: Is a directory$"):
            self.load_within(10, self.base)

    def test_a_byte_order_mark_is_skipped_and_kept(self):
        # The mark right before the first marker, where it would hide it.
        for name, marker in (("Events.ini", "[car]"), ("Sedan.params", "[params]")):
            path = self.path("base", name)
            text = inputs.read_text(path)
            inputs.write_text(path, inputs.BOM + text[text.index(marker):])
        scenario = Scenario.load(self.base).copy()
        self.assertEqual(scenario.car, "Sedan")
        scenario.set("Events.ini:[car]:timeStep", 0.004)
        scenario.set("{car}.params:[params]:massScale", 1.1)
        scenario.write(self.path("run"))
        for name, old, new in (("Events.ini", "timeStep  0.002", "timeStep  0.004"),
                               ("Sedan.params", "massScale              1.0",
                                "massScale              1.1")):
            self.assertEqual(inputs.read_text(self.path("run", name)),
                             inputs.read_text(self.path("base", name)).replace(old, new))

    def test_a_car_from_a_shared_folder_is_written_into_the_run(self):
        support.require_vdsim(self)
        shared = self.path("cars")
        os.makedirs(shared)
        for name in ("Sedan.ini", "Sedan.params"):
            os.rename(self.path("base", name), os.path.join(shared, name))
        events = self.path("base", "Events.ini")
        inputs.write_text(events, inputs.read_text(events).replace("Sedan", "../cars/Sedan"))
        cars = tree(shared)
        scenario = Scenario.load(self.base).copy()
        self.assertEqual(scenario.files, ["../cars/Sedan.ini", "../cars/Sedan.params",
                                          "Events.ini", "Goodyear2692x7.pkj"])
        edit = ("{car}.params:[params]:frontRideFrequency", 1.1)
        set_quietly(scenario, edit)
        run = scenario.run(dir=self.path("run"), vdsim=support.VDSIM)
        self.assertEqual(sorted(os.listdir(self.path("run"))), sorted(INPUTS + ["Data"]))
        self.assertEqual(inputs.read_text(self.path("run", "Events.ini")),
                         inputs.read_text(events).replace("../cars/Sedan", "Sedan"))
        self.assertEqual(tree(shared), cars)
        # The same car and edit in the scenario's own folder runs the same.
        plain = set_quietly(Scenario.load(support.make_short_base(self.path("plain"))).copy(),
                            edit)
        plain.run(dir=self.path("plain-run"), vdsim=support.VDSIM)
        self.assertEqual(output_of(self.path("run")), output_of(self.path("plain-run")))
        self.assertEqual(run.status, 0)
        with self.assertRaisesRegex(ScenarioError, r"Sedan.ini would replace the scenario's "
                                                   r"input"):
            scenario.write(shared)


class EventWarningTest(support.TempDir):
    """Scenario.load warns of each event the simulator ignores, in its words:
    the simulator's own warnings on the same file are the same lines."""

    def warnings_of(self, events):
        if not os.path.isdir(self.path("s")):
            support.make_short_base(self.path("s"))
        self.write("s/Events.ini", "[car]\n  name Sedan\n  timeStep 0.001\n" + events)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            Scenario.load(self.path("s"))
        self.assertTrue(all(w.category is vdsim.InputWarning for w in caught))
        found = [str(w.message) for w in caught]
        checked = subprocess.run([support.VDSIM, "--check", self.path("s")], timeout=60,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        prefix = "vdsim: warning: Events.ini:"
        # The list of known kinds grows as the simulator learns them.
        same = [re.sub(r"\(known: [^)]*\)", "(known: ...)", line[len("vdsim: warning: "):])
                for line in checked.stderr.splitlines() if line.startswith(prefix)]
        self.assertEqual([re.sub(r"\(known: [^)]*\)", "(known: ...)", text) for text in found],
                         same)
        return found

    def test_misspelled_events(self):
        support.require_vdsim(self)
        known = ("(known: TargetSpeed, SteerRamp, Brake, StepSteer, SineSteer, SineDwell)")
        marker = " is not a section marker and is ignored (markers are matched exactly: " \
                 "[car], [event])"
        for events, expected in (
                ("[event]\n  kind Brakes\n  speed 1\n",
                 ['Events.ini:5: unknown event kind "Brakes" ignored ' + known]),
                ("[event] kind brake speed 1\n",
                 ['Events.ini:4: unknown event kind "brake" ignored ' + known]),
                ("[Event] kind Brake speed 1\n", ['Events.ini:4: "[Event]"' + marker]),
                ("\n[events]\n", ['Events.ini:5: "[events]"' + marker]),
                ("[ event]\n", ['Events.ini:4: "event]"' + marker]),
                ("[\n event ]\n", ['Events.ini:4: "[ event"' + marker]),
                ("[CAR]\n", ['Events.ini:4: "[CAR]"' + marker]),
                ("[event] kind Brake speed 1\n# [eventual] [vent] event [ [event] kind Brake "
                 "speed 0\n", []),
                ("[event] kind Brake speed [Event]\n", [])):  # a value, not a marker
            with self.subTest(events=events):
                self.assertEqual(self.warnings_of(events), expected)


class ScaleTest(support.TempDir):
    """A file of the most events a run accepts loads, is edited and written in
    a few seconds; one more is refused."""

    def test_the_most_events(self):
        os.makedirs(self.path("s"))
        head = "[car]\n  name Sedan\n  timeStep 0.001\n"
        events = "[event]\n  kind TargetSpeed\n  speed 3\n  hold 0.001\n" * inputs.MAX_EVENTS
        self.write("s/Events.ini", head + events)
        start = time.process_time()  # CPU time: the machine may be busy
        scenario = Scenario.load(self.path("s")).copy()
        scenario.set("Events.ini:[event]:%d:speed" % inputs.MAX_EVENTS, 4)
        scenario.write(self.path("run"))
        self.assertLess(time.process_time() - start, 15.0)
        self.assertTrue(inputs.read_text(self.path("run", "Events.ini")).endswith(
            "speed 4\n  hold 0.001\n"))
        self.write("s/Events.ini", head + events + "[event]\n")
        line = 4 + 4 * inputs.MAX_EVENTS
        with self.assertRaisesRegex(ScenarioError, r"Events.ini:%d: more than 100000 events"
                                    % line):
            Scenario.load(self.path("s"))


class ApiTest(unittest.TestCase):
    """The documented API end to end on examples/skidpad with the simulator under test."""

    def setUp(self):
        support.require_vdsim(self)
        os.environ["VDSIM"] = support.VDSIM

    def test_runs_in_a_given_directory_and_keeps_it(self):
        with tempfile.TemporaryDirectory() as root:
            s = Scenario.load(SKIDPAD).copy()
            s.set("Events.ini:[event]:2:duration", 12)
            run = s.run(dir=os.path.join(root, "run"))
            self.assertEqual((run.status, run.end, run.message), (0, "finished", ""))
            self.assertTrue(os.path.isfile(os.path.join(root, "run", "Data", "Extended.csv")))
            self.assertEqual(len(run.output["Time (s)"]), len(run.extended["Event (-)"]))
            self.assertEqual(run.record["events"][1]["duration"], 12)
            self.assertEqual(run.metrics()["cornering_event"], 2)


if __name__ == "__main__":
    unittest.main()
