"""Tests of vdsim/address.py: addresses resolve to one value token, through
a scenario whose edits change that value only, and the messages that list
what an address could name."""

import os
import shutil
import tempfile
import unittest
import warnings

import support
from vdsim import inputs
from vdsim.address import AddressError
from vdsim.scenario import InputWarning, OverrideWarning, Scenario

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
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", InputWarning)  # kind Wobble
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

    def test_event_kinds_and_their_values(self):
        text = ("[car] name Sedan timeStep 0.001\n"
                "[event] kind StepSteer s 1 a 2 r 3 d 4\n"
                "[event] kind SineSteer s 5 a 6 f 7 c 8\n"
                "[event] kind SineDwell s 9 a 10 f 11 w 12 d 13\n")
        inputs.write_text(os.path.join(self.base, "Events.ini"), text)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            scenario = Scenario.load(self.base)
        self.assertEqual(caught, [])  # known kinds
        for number, fields in ((1, "speed angle rampTime duration"),
                               (2, "speed amplitude frequency cycles"),
                               (3, "speed amplitude frequency dwell duration")):
            got = [scenario.get("Events.ini:[event]:%d:%s" % (number, field))
                   for field in fields.split()]
            expected = {1: "1 2 3 4", 2: "5 6 7 8", 3: "9 10 11 12 13"}[number]
            self.assertEqual(" ".join(got), expected)
        self.assertEqual([scenario.resolve(address).title() for address in (
            "Events.ini:[event]:1:rampTime", "Events.ini:[event]:2:frequency",
            "Events.ini:[event]:3:dwell", "Events.ini:[event]:3:a", "Events.ini:[car]:timeStep")],
            ["ramp time (s), event 1 StepSteer", "frequency (Hz), event 2 SineSteer",
             "dwell (s), event 3 SineDwell", "amplitude (deg), event 3 SineDwell",
             "time step (s)"])

    def test_titles_of_the_car_files_values(self):
        for address, title in (
                ("{car}.params:[params]:frontRideFrequency", "front ride frequency (Hz)"),
                ("{car}.ini:[car]:antiRollRear", "anti roll rate rear (N/m)"),
                ("{car}.ini:[car]:inertia[3]", "inertia z (kg m^2)"),
                ("{car}.ini:[corner]:3:mount.x", "mount position x (m), corner 3 LR"),
                ("{car}.ini:[corner]:2:damper", "damper rate (N s/m), corner 2 RF"),
                ("{car}.ini:[powertrain]:gearRatio[2]", "gear ratio 2 (-)"),
                ("{car}.ini:[powertrain]:torqueCoefficients[1]", "torque coefficients 1 (N m)")):
            with self.subTest(address):
                self.assertEqual(self.scenario.resolve(address).title(), title)
        # Every item the files hold has its unit.
        fields = {item.field for name in self.scenario.files if self.scenario.file_kind(name)
                  for section in self.scenario.sections(name) for item in section.items}
        self.assertEqual(sorted(fields - set(inputs.FIELD_UNITS)), [])
        self.assertGreater(len(fields), 40)


class DuplicateSectionTest(support.TempDir):
    """A later [car], [powertrain] or [params] replaces the earlier one in the
    simulator: addresses edit the last, and refuse the replaced one."""

    def setUp(self):
        super().setUp()
        self.base = support.make_short_base(self.path("base"))
        # An earlier [car] and [params] of another car, which the later ones replace.
        for name, marker, end, old, new in (
                ("Sedan.ini", "[car]", "[powertrain]", "mass(kg)              1300.0",
                 "mass(kg)              900.0"),
                ("Sedan.params", "[params]", None, "aeroScale              1.0",
                 "aeroScale              3.0"),
                ("Events.ini", "[car]", None, "timeStep  0.002", "timeStep  0.005")):
            path = os.path.join(self.base, name)
            text = read(path)
            section = text[text.index(marker):text.index(end) if end else None]
            inputs.write_text(path, section.replace(old, new) + "\n" + text)
        self.scenario = Scenario.load(self.base)

    def test_the_section_the_simulator_uses(self):
        s = self.scenario
        self.assertEqual([s.get("{car}.ini:[car]:mass"), s.get("{car}.ini:[car]:2:mass"),
                          s.get("Events.ini:[car]:timeStep"),
                          s.get("{car}.params:[params]:aeroScale")],
                         ["1300.0", "1300.0", "0.002", "1.0"])
        with self.assertRaisesRegex(AddressError, r"^Sedan.ini has 2 \[car\] sections and the "
                                    r"simulator uses only the last \(line \d+\), which replaces "
                                    r"the one at line 1: address it as \{car\}.ini:\[car\]:mass "
                                    r"or \{car\}.ini:\[car\]:2:mass$"):
            s.resolve("{car}.ini:[car]:1:mass")
        for address in ("Events.ini:[car]:1:timeStep", "{car}.params:[params]:1:massScale"):
            self.assertRaisesRegex(AddressError, "uses only the last", s.resolve, address)
        # The override note reads the parameter file's last section too.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            s.copy().set("{car}.ini:[car]:drag", 0.5)
        self.assertEqual(caught, [])  # aeroScale 1.0: nothing to say

    def test_an_edit_reaches_the_run(self):
        support.require_vdsim(self)
        edit = ("{car}.ini:[car]:mass", 1250)
        doubled = self.scenario.copy()
        plain = Scenario.load(support.make_short_base(self.path("plain"))).copy()
        for scenario, name in ((doubled, "doubled"), (plain, "plain")):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", OverrideWarning)
                scenario.set(*edit)
            scenario.write(self.path(name + "-run"))
            # Events.ini: the doubled one's first [car] has another step, so run the plain one's.
            shutil.copyfile(os.path.join(self.path("plain"), "Events.ini"),
                            self.path(name + "-run", "Events.ini"))
            support.run_vdsim(self.path(name + "-run"))
        self.assertEqual(read(self.path("doubled-run", "Data", "Output.csv")),
                         read(self.path("plain-run", "Data", "Output.csv")))


if __name__ == "__main__":
    unittest.main()
