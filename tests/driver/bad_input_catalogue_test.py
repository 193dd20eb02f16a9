"""Catalogue of bad inputs, run against the real vdsim binary.

Every case builds a scenario directory from the golden scenario (its event
file, the Sedan car, parameter and tire files, and a Data directory holding an
Output.csv from an earlier run), spoils one thing, runs vdsim there and checks:
the exit status, the one line on standard error (exact text, naming the file
and the item), that standard output stays empty, and that the earlier
Data/Output.csv is left byte for byte as it was. No case may run longer than
10 s.

Exit statuses: 0 finished, 1 no Events.ini (silently), 2 bad input or output
not writable, 3 the simulation diverged or stayed singular, 4 the run cannot
go on.

Usage: bad_input_catalogue_test.py VDSIM SCENARIO_DIR [unittest options]
"""

import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

VDSIM = None
SCENARIO = None  # the golden scenario's directory

CAR_FILES = ("Events.ini", "Sedan.ini", "Sedan.params", "Goodyear2692x7.pkj")
# The Data/Output.csv of an earlier run; a refused run must not touch it.
EARLIER_OUTPUT = b"Time (s),from an earlier run,\r\n1.000000,2.000000,\n\x00\xff"
# Events.ini with the car alone: the two built-in events, 8 s simulated.
CAR_ONLY_EVENTS = "[car] name Sedan timeStep 0.001\n"
# s; a hang or a run without end is a failure. Instrumented builds (the
# sanitizers) run slower by the factor VDSIM_TEST_TIME_SCALE.
RUN_TIMEOUT = 10 * float(os.environ.get("VDSIM_TEST_TIME_SCALE", "1"))

TOO_LONG = "token longer than 63 characters: "
NO_CAR_SECTION = "no [car] section (chassis inertia, mass, aerodynamics, anti-roll bars)"
NO_POWERTRAIN = "no [powertrain] section (torque curve, engine speeds, gear ratios)"
NO_PARAMS = ("no [params] section (mass scale, wheelbase, weight split, tracks, torque and "
             "aero scales, ride frequencies, damping ratios)")
EXACT_MARKERS = "section markers are matched exactly (lower case, no blanks)"
NOT_REGULAR = "not a regular file"
TOO_LARGE = "larger than 256 MiB; an input file is a few kilobytes of text"
NEVER_NEGATIVE = "can never be reached, so the event would never end (the car's speed is never negative)"
FIFTH_CORNER = ("[corner] 5: a car has four corners (LF, RF, LR, RR); a fifth [corner] "
                "section is not allowed")
NO_OUTPUT = "Data/Output.csv: cannot create the output file: "
DIVERGED = re.compile(
    rb"vdsim: the simulation diverged \(non-finite state\) at ([0-9.e+-]+) s of simulated "
    rb"time; Data/Output\.csv keeps the rows written before\n")


def line_of(text, needle, after=""):
    """1-based line of the first needle at or after the first after."""
    start = text.index(after) if after else 0
    return text.count("\n", 0, text.index(needle, start)) + 1


def replaced(text, old, new, after=""):
    """text with the first old at or after the first after replaced by new."""
    start = text.index(after) if after else 0
    at = text.index(old, start)
    return text[:at] + new + text[at + len(old):]


def cut_after(text, needle, after=""):
    """text up to and including the first needle after after: no line end."""
    start = text.index(after) if after else 0
    return text[:text.index(needle, start) + len(needle)]


def quoted_start(token):
    """How a message shows the start of an over-long token."""
    return '"%s"...' % token[:24]


class Scenario:
    """A working directory with the default example's files."""

    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="vdsim-bad-input-")
        test.addCleanup(self.remove)
        for name in CAR_FILES:
            shutil.copyfile(os.path.join(SCENARIO, name), self.path(name))
        os.mkdir(self.path("Data"))
        self.write("Data/Output.csv", EARLIER_OUTPUT)

    def remove(self):
        for root, dirs, _ in os.walk(self.dir):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o700)
        shutil.rmtree(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def text(self, name):
        with open(self.path(name), encoding="latin-1", newline="") as f:
            return f.read()

    def write(self, name, content):
        data = content if isinstance(content, bytes) else content.encode("latin-1")
        if os.path.lexists(self.path(name)):
            os.remove(self.path(name))
        with open(self.path(name), "wb") as f:
            f.write(data)

    def replace(self, name, old, new, after=""):
        """Replaces old in file name; returns the line of the change."""
        text = self.text(name)
        line = line_of(text, old, after)
        self.write(name, replaced(text, old, new, after))
        return line

    def listing(self):
        return sorted(os.listdir(self.path("Data"))) if os.path.isdir(self.path("Data")) else None

    def run(self, *args):
        return subprocess.run([VDSIM] + list(args), cwd=self.dir, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=RUN_TIMEOUT)


def example_text(name):
    with open(os.path.join(SCENARIO, name), encoding="latin-1", newline="") as f:
        return f.read()


def last_token_line(text):
    """1-based line of the last whitespace-separated token (1 for an empty text)."""
    stripped = text.rstrip(" \t\n\v\f\r")
    return stripped.count("\n") + 1


def nth_token(text, index):
    """(start, end, line) of the whitespace-separated token number index."""
    for i, m in enumerate(re.finditer(r"\S+", text)):
        if i == index:
            return m.start(), m.end(), text.count("\n", 0, m.start()) + 1
    raise IndexError(index)


def is_root():
    return hasattr(os, "geteuid") and os.geteuid() == 0


class CatalogueCase(unittest.TestCase):
    maxDiff = None

    def refused(self, scenario, message, status=2, args=()):
        """Runs vdsim; it must stop with status and one line "vdsim: message"."""
        before = scenario.listing()
        result = scenario.run(*args)
        expected = b"" if message is None else ("vdsim: %s\n" % message).encode("latin-1")
        self.assertEqual(result.stderr, expected)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(scenario.listing(), before, "Data/ changed")
        if before is not None and "Output.csv" in before and os.path.isfile(
                scenario.path("Data/Output.csv")):
            with open(scenario.path("Data/Output.csv"), "rb") as f:
                self.assertEqual(f.read(), EARLIER_OUTPUT, "Data/Output.csv was touched")

    def refused_file(self, name, content, message):
        """Writes content as file name; the run must stop with message (status 2)."""
        scenario = Scenario(self)
        scenario.write(name, content)
        self.refused(scenario, message)

    def finished(self, scenario):
        """Runs vdsim; it must finish silently and write a fresh output."""
        result = scenario.run()
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"")
        with open(scenario.path("Data/Output.csv"), "rb") as f:
            lines = f.read().split(b"\n")
        self.assertHeader(lines[0])
        self.assertGreater(len(lines), 10)

    def assertHeader(self, line):
        """The output's header: 21 channel names, each followed by a comma."""
        self.assertTrue(line.startswith(b"Time (s),Ground Speed (m/s),"), line)
        self.assertEqual(line.count(b","), 21, line)
        self.assertTrue(line.endswith(b","), line)


class MissingAndUnreadableFiles(CatalogueCase):
    """Each file missing, a directory in its place, a file that cannot be read."""

    def test_without_events_ini_the_run_exits_1_silently(self):
        scenario = Scenario(self)
        os.remove(scenario.path("Events.ini"))
        self.refused(scenario, None, status=1)

    def test_events_ini_that_is_there_but_cannot_be_opened(self):
        # A symbolic link to itself cannot be opened, not even by root; a
        # link to nothing names a file that is not there. Neither is a
        # missing file: exit 2, with the reason.
        for target, reason in (("Events.ini", "Too many levels of symbolic links"),
                               ("Gone.ini", "No such file or directory (a symbolic link to a "
                                            "file that is not there)")):
            with self.subTest(target):
                scenario = Scenario(self)
                os.remove(scenario.path("Events.ini"))
                os.symlink(target, scenario.path("Events.ini"))
                self.refused(scenario, "Events.ini: cannot open: " + reason)

    def test_missing_car_and_tire_files(self):
        for name in ("Sedan.ini", "Goodyear2692x7.pkj"):
            with self.subTest(name):
                scenario = Scenario(self)
                os.remove(scenario.path(name))
                self.refused(scenario, "%s: cannot open: No such file or directory" % name)

    def test_a_car_name_whose_files_do_not_exist(self):
        scenario = Scenario(self)
        scenario.replace("Events.ini", "Sedan", "Coupe", "\n[car]")
        self.refused(scenario, "Coupe.ini: cannot open: No such file or directory")

    def test_missing_parameter_file_is_allowed(self):
        # The car file's own rates and mounts stand; the run finishes.
        scenario = Scenario(self)
        os.remove(scenario.path("Sedan.params"))
        scenario.write("Events.ini", CAR_ONLY_EVENTS)
        self.finished(scenario)

    def test_a_directory_where_a_file_should_be(self):
        for name in CAR_FILES:
            with self.subTest(name):
                scenario = Scenario(self)
                os.remove(scenario.path(name))
                os.mkdir(scenario.path(name))
                self.refused(scenario, "%s: cannot read: is a directory" % name)

    def test_a_file_that_cannot_be_opened(self):
        # A symbolic link to itself: open fails for every user, root included.
        for name in CAR_FILES[1:]:
            with self.subTest(name):
                scenario = Scenario(self)
                os.remove(scenario.path(name))
                os.symlink(name, scenario.path(name))
                self.refused(scenario,
                             "%s: cannot open: Too many levels of symbolic links" % name)

    @unittest.skipUnless(os.path.exists("/proc/self/mem"), "needs /proc/self/mem")
    def test_a_file_that_opens_but_cannot_be_read(self):
        # /proc/self/mem opens, and reading at offset 0 (an unmapped address
        # of vdsim itself) fails with an I/O error, for root too.
        for name in CAR_FILES[1:]:
            with self.subTest(name):
                scenario = Scenario(self)
                os.remove(scenario.path(name))
                os.symlink("/proc/self/mem", scenario.path(name))
                self.refused(scenario, "%s: cannot read: Input/output error" % name)

    @unittest.skipIf(is_root(), "running as root, who may read a file of mode 000; "
                     "the unopenable and unreadable cases above cover root")
    def test_a_file_without_read_permission(self):
        for name in CAR_FILES:
            with self.subTest(name):
                scenario = Scenario(self)
                os.chmod(scenario.path(name), 0)
                self.refused(scenario, "%s: cannot open: Permission denied" % name)


class EventFile(CatalogueCase):
    """Events.ini: the [car] section, event values, tokens."""

    def setUp(self):
        self.events = example_text("Events.ini")

    def event_error(self, old, new, after, message):
        """Replaces old (after after) by new; message follows "Events.ini:LINE: "."""
        self.refused_file("Events.ini", replaced(self.events, old, new, after),
                          "Events.ini:%d: %s" % (line_of(self.events, old, after), message))

    def event_text_error(self, text, message):
        self.refused_file("Events.ini", text, "Events.ini" + message)

    def test_empty_file_and_missing_car_section(self):
        # Named at the end of the file, with the nearest thing to a [car].
        missing = "no [car] section: the car base name and time step are missing"
        self.event_text_error("", ":1: %s; the file has no section marker at all" % missing)
        misspelled = replaced(self.events, "\n[car]", "\n[Car]")
        self.event_text_error(misspelled, ':%d: %s; line %d has "[Car]"; %s' % (
            last_token_line(misspelled), missing, line_of(misspelled, "[Car]"), EXACT_MARKERS))
        cut = replaced(self.events, "\n[car]", "\ncar")
        self.event_text_error(cut, ":%d: %s; the last section read is [event] at line %d" % (
            last_token_line(cut), missing, cut[:cut.rindex("[event]")].count("\n") + 1))

    def test_time_step_that_does_not_convert(self):
        for value in ("quick", "0,001", "1ms"):
            with self.subTest(value):
                self.event_error("0.001", value, "\n[car]",
                                 '[car], item 2: expected a number for timeStep, found "%s"' % value)

    def test_time_step_that_is_not_finite(self):
        for value in ("nan", "inf", "-inf", "1e999", "NAN(0x1)"):
            with self.subTest(value):
                self.event_error("0.001", value, "\n[car]",
                                 '[car], item 2: expected a finite number for timeStep, found "%s"'
                                 % value)

    def test_time_step_zero_or_negative(self):
        for value, shown in (("0", "0"), ("-0", "-0"), ("-0.001", "-0.001"), ("1e-60", "0")):
            with self.subTest(value):
                self.event_error("0.001", value, "\n[car]",
                                 "[car], item 2: the time step must be a positive number of "
                                 "seconds, found " + shown)

    def test_time_step_too_small_for_the_clock(self):
        # A float clock at 3 s does not move for steps below about 1.2e-7 s:
        # the built-in settle would never end.
        self.event_error("0.001", "1e-7", "\n[car]",
                         "[car], item 2: the time step 1e-07 s is too small for the run's "
                         "clock to advance past 3 s")

    def test_event_values_that_do_not_convert(self):
        self.event_error("15.0", "fast", "\n[event]",
                         '[event] 1 (TargetSpeed), item 2: expected a number for speed, '
                         'found "fast"')
        self.event_error("50.0", "1e999", "\n  startRadius",
                         '[event] 2 (SteerRamp), item 4: expected a finite number for startRadius, '
                         'found "1e999"')
        self.event_error("15.0", "nan", "\n  kind      Brake",
                         '[event] 3 (Brake), item 2: expected a finite number for speed, '
                         'found "nan"')

    def test_events_that_could_never_finish(self):
        # The measured speed is never negative: a target of -0.5 m/s or less is
        # never within 0.5 m/s of it. A start radius of 0 is never reached.
        self.event_error("15.0", "-5", "\n[event]",
                         "[event] 1 (TargetSpeed), item 2: a speed of -5 m/s " + NEVER_NEGATIVE)
        self.event_error("15.0", "-0.5", "\n  kind         SteerRamp",
                         "[event] 2 (SteerRamp), item 2: a speed of -0.5 m/s " + NEVER_NEGATIVE)
        self.event_error("50.0", "0.0", "\n  startRadius",
                         "[event] 2 (SteerRamp), item 4: a start radius of 0 m can never be "
                         "reached, so the event would never end (a positive radius turns "
                         "right, a negative one left)")

    def test_file_cut_short_in_a_section(self):
        # Cut without a line end: the message names the missing item and the
        # line of the last token read.
        for needle, after, item in (
                ("50.0", "\n  startRadius", "[event] 2 (SteerRamp), item 5"),
                ("timeStep", "\n[car]", "[car], item 2"),
                ("kind", "\n[event]", "[event] 1, item 1")):
            with self.subTest(item):
                self.event_text_error(
                    cut_after(self.events, needle, after),
                    ":%d: %s: file ends before this value"
                    % (line_of(self.events, needle, after), item))

    def test_over_long_tokens(self):
        key = "t" * 64
        self.event_error("timeStep", key, "\n[car]",
                         "[car], item 2: " + TOO_LONG + quoted_start(key))
        value = "0." + "0" * 80 + "1"
        self.event_error("0.001", value, "\n[car]",
                         "[car], item 2: " + TOO_LONG + quoted_start(value))
        # A word of the free text, met by the scan itself.
        word = "x" * 100000
        self.event_error("Golden-output", word, "", TOO_LONG + quoted_start(word))

    def test_over_long_base_names(self):
        self.event_error("Sedan", "S" * 57, "\n[car]",
                         "[car], item 1: car base name longer than 56 characters")
        self.event_error("Sedan", "S" * 64, "\n[car]",
                         "[car], item 1: " + TOO_LONG + quoted_start("S" * 64))

    def test_base_name_with_a_control_character(self):
        # A NUL would cut the file name short, so that "Se" would be opened.
        self.event_error("Sedan", "Se\x00dan", "\n[car]",
                         '[car], item 1: the car base name holds a control character: '
                         '"Se\\x00dan"')
        self.event_error("Sedan", "Se\x1bdan", "\n[car]",
                         '[car], item 1: the car base name holds a control character: '
                         '"Se\\x1bdan"')

    def test_a_nul_byte_inside_a_value(self):
        self.event_error("15.0", "15\x00.0", "\n[event]",
                         '[event] 1 (TargetSpeed), item 2: expected a number for speed, '
                         'found "15\\x00.0"')

    def test_a_second_car_section_is_checked_too(self):
        text = self.events + "\n[car] name Sedan timeStep -1"
        self.event_text_error(text, ":%d: [car], item 2: the time step must be a positive "
                              "number of seconds, found -1" % (text.count("\n") + 1))


class CarFile(CatalogueCase):
    """Sedan.ini: sections, items, counts, tokens."""

    def setUp(self):
        self.car = example_text("Sedan.ini")

    def car_error(self, old, new, after, message):
        """Replaces old (after after) by new; message follows "Sedan.ini:LINE: "."""
        self.refused_file("Sedan.ini", replaced(self.car, old, new, after),
                          "Sedan.ini:%d: %s" % (line_of(self.car, old, after), message))

    def car_text_error(self, text, message):
        self.refused_file("Sedan.ini", text, "Sedan.ini" + message)

    def test_each_section_missing(self):
        # Named at the last token, where the reader gave up, with the last
        # section it read or the token that looks like the missing marker.
        def gave_up(text, message):
            self.car_text_error(text, ":%d: %s" % (last_token_line(text), message))

        text = replaced(self.car, "\n[car]", "\ncar")
        gave_up(text, NO_CAR_SECTION + "; the last section read is [corner] at line %d"
                % line_of(text, "[corner]", "\nRight rear"))
        text = replaced(self.car, "\n[powertrain]", "\n[power train]")
        gave_up(text, NO_POWERTRAIN + "; the last section read is [corner] at line %d"
                % line_of(text, "[corner]", "\nRight rear"))
        text = replaced(self.car, "[corner]", "[Corner]", "\nRight rear")
        gave_up(text, '3 [corner] sections (a car needs four, one per corner: LF, RF, LR, RR); '
                'line %d has "[Corner]"; %s' % (line_of(text, "[Corner]"), EXACT_MARKERS))
        text = self.car[:self.car.index("\nLeft front")]
        gave_up(text, "0 [corner] sections (a car needs four, one per corner: LF, RF, LR, RR); "
                "the last section read is [powertrain] at line %d" % line_of(text, "[powertrain]"))

    def test_a_fifth_corner(self):
        last = self.car[self.car.rindex("[corner]"):]
        text = self.car.rstrip("\n") + "\n\nSpare\n" + last
        self.car_text_error(text, ":%d: %s" % (line_of(text, "\nSpare") + 2, FIFTH_CORNER))

    def test_values_that_do_not_convert(self):
        self.car_error("2000.0", "2000,0", "\n[car]",
                       '[car], item 1, value 2 of 3: expected a number for inertia, found "2000,0"')
        self.car_error("10.0", "ten", "\n[powertrain]",
                       '[powertrain], item 2, value 3 of 4: expected a number, found "ten"')
        self.car_error("0.775", "0.775m", "\nRight front",
                       '[corner] 2, item 2, value 2 of 3: expected a number for mount, '
                       'found "0.775m"')
        self.car_error("31532.21", "abc", "\nLeft rear",
                       '[corner] 3, item 6: expected a number for spring, found "abc"')

    def test_integers_that_do_not_convert(self):
        self.car_error("0\n", "none\n", "\nreserved",
                       '[car], item 7: expected an integer for reserved, found "none"')
        self.car_error("6\n", "6.0\n", "\ngears",
                       '[powertrain], item 5: expected an integer for gears, found "6.0"')
        # A leading 0 makes the digits octal: 08 is not an integer.
        self.car_error("6\n", "08\n", "\ngears",
                       '[powertrain], item 5: expected an integer for gears, found "08"')
        self.car_error("3\n", "99999999999\n", "\ntorqueOrder",
                       '[powertrain], item 1: integer out of range: "99999999999"')

    def test_values_that_are_not_finite(self):
        self.car_error("1300.0", "1e999", "\nmass(kg)",
                       '[car], item 2: expected a finite number for mass, found "1e999"')
        self.car_error("-1.5", "inf", "\ntorqueOrder",
                       '[powertrain], item 2, value 1 of 4: expected a finite number, '
                       'found "inf"')
        self.car_error("2.73", "-nan", "\ngears",
                       '[powertrain], item 6, value 6 of 6: expected a finite number, '
                       'found "-nan"')
        self.car_error("1500.0", "NaN", "\nRight rear",
                       '[corner] 4, item 11: expected a finite number for brakeGain, found "NaN"')

    def test_a_nul_byte_inside_a_value(self):
        self.car_error("1300.0", "13\x0000.0", "\nmass(kg)",
                       '[car], item 2: expected a number for mass, found "13\\x0000.0"')

    def test_file_cut_short_in_a_section(self):
        # Without a line end at the end: in the torque list, in a corner, in
        # the last item of the last corner.
        for needle, after, item in (
                ("10.0", "\ntorqueOrder", "[powertrain], item 2, value 4 of 4"),
                ("0.31", "\nRight front", "[corner] 2, item 4"),
                ("brakeGain(N*m)", "\nRight rear", "[corner] 4, item 11")):
            with self.subTest(item):
                self.car_text_error(cut_after(self.car, needle, after),
                                    ":%d: %s: file ends before this value"
                                    % (line_of(self.car, needle, after), item))

    def test_over_long_tokens(self):
        digits = "9" * 70
        self.car_error("0.2", digits, "\ndownforce(kg/m)",
                       "[car], item 4: " + TOO_LONG + quoted_start(digits))
        key = "k" * 64
        self.car_error("radius(m)", key, "\nLeft rear",
                       "[corner] 3, item 3: " + TOO_LONG + quoted_start(key))
        word = "w" * 100000
        self.car_error("example", word, "", TOO_LONG + quoted_start(word))

    def test_torque_order_out_of_bounds(self):
        for order in ("-1", "65", "0x7fffffff", "2000000000"):
            with self.subTest(order):
                self.car_error("3\n", order + "\n", "\ntorqueOrder",
                               "[powertrain], item 1: the torque order must be from 0 to 64, "
                               "found %d" % int(order, 0))

    def test_gear_count_out_of_bounds(self):
        for gears in ("0", "-5", "65", "2000000000"):
            with self.subTest(gears):
                self.car_error("6\n", gears + "\n", "\ngears",
                               "[powertrain], item 5: the gear count must be from 1 to 64, "
                               "found " + gears)

    def test_counts_asking_for_gigabytes_are_refused_at_once(self):
        # 2000000000 coefficients and ratios would take 8 GB each: the first
        # count is refused before anything is allocated.
        text = replaced(self.car, "3\n", "2000000000\n", "\ntorqueOrder")
        text = replaced(text, "6\n", "2000000000\n", "\ngears")
        self.car_text_error(text, ":%d: [powertrain], item 1: the torque order must be from 0 "
                            "to 64, found 2000000000" % line_of(self.car, "3\n", "\ntorqueOrder"))

    def test_a_repeated_powertrain_is_checked_too(self):
        section = self.car[self.car.index("\n[powertrain]"):self.car.index("\nCorners,")]
        text = self.car + replaced(section, "6\n", "-5\n", "\ngears")
        self.car_text_error(text, ":%d: [powertrain], item 5: the gear count must be from 1 to "
                            "64, found -5" % (text.count("\n", 0, text.rindex("-5\n")) + 1))


class ParameterFile(CatalogueCase):
    """Sedan.params: the [params] section."""

    def setUp(self):
        self.params = example_text("Sedan.params")

    def params_error(self, old, new, after, message):
        """Replaces old (after after) by new; message follows "Sedan.params:LINE: "."""
        self.refused_file("Sedan.params", replaced(self.params, old, new, after),
                          "Sedan.params:%d: %s" % (line_of(self.params, old, after), message))

    def test_section_missing(self):
        text = replaced(self.params, "\n[params]", "\nparams")
        self.refused_file("Sedan.params", text, "Sedan.params:%d: %s; the file has no section "
                          "marker at all" % (last_token_line(text), NO_PARAMS))
        self.refused_file("Sedan.params", "", "Sedan.params:1: %s; the file has no section "
                          "marker at all" % NO_PARAMS)
        text = replaced(self.params, "\n[params]", "\n[PARAMS]")
        self.refused_file("Sedan.params", text, 'Sedan.params:%d: %s; line %d has "[PARAMS]"; %s'
                          % (last_token_line(text), NO_PARAMS, line_of(text, "[PARAMS]"),
                             EXACT_MARKERS))

    def test_values_that_do_not_convert(self):
        self.params_error("2.7", "2,7", "\nwheelbase",
                          '[params], item 2: expected a number for wheelbase, found "2,7"')
        self.params_error("1.0", "nan", "\ntorqueScale",
                          '[params], item 6: expected a finite number for torqueScale, '
                          'found "nan"')
        self.params_error("0.35", "1e39", "\nrearDampingRatio",
                          '[params], item 11: expected a finite number for rearDampingRatio, '
                          'found "1e39"')

    def test_file_cut_short_in_the_section(self):
        after = "\nfrontDampingRatio"
        self.refused_file("Sedan.params", cut_after(self.params, "0.35", after),
                          "Sedan.params:%d: [params], item 10: file ends before this value"
                          % line_of(self.params, "0.35", after))

    def test_over_long_token(self):
        key = "m" * 64
        self.params_error("massScale", key, "\n[params]",
                          "[params], item 1: " + TOO_LONG + quoted_start(key))


class TireFile(CatalogueCase):
    """Goodyear2692x7.pkj: 74 bare numbers."""

    NAME = "Goodyear2692x7.pkj"

    def setUp(self):
        self.tire = example_text(self.NAME)

    def tire_error(self, index, token, message):
        """Puts token in place of number index; message follows "NAME:LINE: "."""
        start, end, line = nth_token(self.tire, index)
        self.refused_file(self.NAME, self.tire[:start] + token + self.tire[end:],
                          "%s:%d: %s" % (self.NAME, line, message))

    def test_value_that_does_not_convert(self):
        self.tire_error(4, "five", 'coefficient 4 (pEx2): expected a number, found "five"')
        self.tire_error(73, "1.9.0", 'coefficient 73 (rVy6): expected a number, found "1.9.0"')

    def test_value_that_is_not_finite(self):
        self.tire_error(14, "1e999",
                        'coefficient 14 (nominalLoad): expected a finite number, found "1e999"')
        self.tire_error(40, "nan", 'coefficient 40 (qBz10): expected a finite number, found "nan"')

    def test_file_cut_short(self):
        _, end, line = nth_token(self.tire, 72)
        self.refused_file(self.NAME, self.tire[:end], "%s:%d: coefficient 73 (rVy6): file ends "
                          "before this value" % (self.NAME, line))
        self.refused_file(self.NAME, "", self.NAME + ":1: coefficient 0 (pCx1): file ends before "
                          "this value")

    def test_over_long_token(self):
        number = "1." + "0" * 70
        self.tire_error(20, number, "coefficient 20 (pEy1): " + TOO_LONG + quoted_start(number))


class OutputFile(CatalogueCase):
    """Data/Output.csv cannot be created: status 2, before the first step."""

    def test_a_missing_data_directory_is_created_but_nothing_else_replaced(self):
        scenario = Scenario(self)
        shutil.rmtree(scenario.path("Data"))
        scenario.write("Events.ini", CAR_ONLY_EVENTS)
        result = scenario.run()
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(scenario.listing(), ["Output.csv"])
        # Not for a run that is refused.
        shutil.rmtree(scenario.path("Data"))
        scenario.write("Events.ini", CAR_ONLY_EVENTS.replace("0.001", "0"))
        self.refused(scenario, "Events.ini:1: [car], item 2: the time step must be a positive "
                     "number of seconds, found 0")
        # A file, or a link to a directory that is not there: the user's.
        for kind, message in (
                ("file", "Data: not a directory, but the outputs go into Data/; move it away "
                         "and vdsim creates the directory"),
                ("link", "Data: a symbolic link to a directory that is not there; create the "
                         "directory it names, or remove the link and vdsim creates Data/")):
            with self.subTest(kind):
                scenario = Scenario(self)
                shutil.rmtree(scenario.path("Data"))
                if kind == "file":
                    scenario.write("Data", EARLIER_OUTPUT)
                else:
                    os.symlink("Gone", scenario.path("Data"))
                result = scenario.run()
                self.assertEqual((result.returncode, result.stderr.decode()),
                                 (2, "vdsim: %s\n" % message))
                self.assertFalse(os.path.exists(scenario.path("Gone")))
                if kind == "file":
                    self.assertEqual(scenario.text("Data").encode("latin-1"), EARLIER_OUTPUT)

    def test_output_file_is_a_directory(self):
        scenario = Scenario(self)
        os.remove(scenario.path("Data/Output.csv"))
        os.mkdir(scenario.path("Data/Output.csv"))
        self.refused(scenario, NO_OUTPUT + "Is a directory")
        self.assertEqual(os.listdir(scenario.path("Data/Output.csv")), [])

    def test_output_file_is_a_fifo_or_device(self):
        # A FIFO would block the run until a reader came; a device is not a file.
        for kind in ("fifo", "/dev/null", "/dev/full"):
            with self.subTest(kind):
                scenario = Scenario(self)
                os.remove(scenario.path("Data/Output.csv"))
                if kind == "fifo":
                    os.mkfifo(scenario.path("Data/Output.csv"))
                else:
                    os.symlink(kind, scenario.path("Data/Output.csv"))
                self.refused(scenario, NO_OUTPUT + "not a regular file (a FIFO, socket or device "
                             "is in its place)")

    @unittest.skipIf(is_root(), "running as root, who may write into a directory of mode 555")
    def test_data_directory_not_writable(self):
        scenario = Scenario(self)
        os.remove(scenario.path("Data/Output.csv"))
        os.chmod(scenario.path("Data"), 0o555)
        self.refused(scenario, NO_OUTPUT + "Permission denied")


class Divergence(CatalogueCase):
    """A run whose state stops being finite: status 3, the rows so far kept."""

    def test_too_long_a_time_step_diverges(self):
        # At 0.1 s the car bounces off the ground and blows up within the 3 s
        # settle, which records nothing: the header alone is kept.
        scenario = Scenario(self)
        scenario.write("Events.ini", CAR_ONLY_EVENTS.replace("0.001", "0.1"))
        result = scenario.run()
        self.assertEqual(result.returncode, 3, result.stderr)
        match = DIVERGED.fullmatch(result.stderr)
        self.assertIsNotNone(match, result.stderr)
        self.assertGreater(float(match.group(1)), 0.0)
        self.assertLessEqual(float(match.group(1)), 3.0)
        self.assertEqual(result.stdout, b"")
        with open(scenario.path("Data/Output.csv"), "rb") as f:
            header, rest = f.read().split(b"\n", 1)
        self.assertHeader(header)
        self.assertEqual(rest, b"")


class InputFileKinds(CatalogueCase):
    """Every input must be a regular file of sane size; a byte-order mark is skipped."""

    def test_a_fifo_or_device_in_place_of_an_input(self):
        # A FIFO would block the reader; /dev/zero and /dev/urandom never end.
        for name in CAR_FILES:
            for kind in ("fifo", "/dev/zero", "/dev/urandom", "/dev/null"):
                with self.subTest(name=name, kind=kind):
                    scenario = Scenario(self)
                    os.remove(scenario.path(name))
                    if kind == "fifo":
                        os.mkfifo(scenario.path(name))
                    else:
                        os.symlink(kind, scenario.path(name))
                    self.refused(scenario, "%s: %s" % (name, NOT_REGULAR))

    def test_a_file_larger_than_the_limit(self):
        # A sparse file: refused by its size, before anything is read.
        for name in CAR_FILES:
            with self.subTest(name):
                scenario = Scenario(self)
                with open(scenario.path(name), "r+b") as f:
                    f.truncate(257 << 20)
                self.refused(scenario, "%s: %s" % (name, TOO_LARGE))

    def test_a_byte_order_mark_is_skipped(self):
        # Some editors start a UTF-8 file with EF BB BF; glued to "[car]" it
        # must not hide the marker.
        for name in CAR_FILES:
            with self.subTest(name):
                scenario = Scenario(self)
                scenario.write(name, b"\xef\xbb\xbf" + scenario.text(name).lstrip().encode("latin-1"))
                if name == "Events.ini":
                    self.assertTrue(scenario.text(name).startswith("\xef\xbb\xbfGolden"))
                    scenario.write(name, b"\xef\xbb\xbf" + CAR_ONLY_EVENTS.encode())
                self.finished(scenario)

    def test_a_byte_order_mark_elsewhere_is_text(self):
        scenario = Scenario(self)
        scenario.write("Events.ini", "x\xef\xbb\xbf[car] name Sedan timeStep 0.001\n")
        self.refused(scenario, "Events.ini:1: no [car] section: the car base name and time step "
                     "are missing; the file has no section marker at all")


class RunsThatCouldNeverEnd(CatalogueCase):
    """A car or maneuver that would run forever is stopped with a reason."""

    def run_to_end(self, scenario, *args):
        result = scenario.run(*args)
        with open(scenario.path("Data/Output.csv"), "rb") as f:
            output = f.read()
        self.assertNotEqual(output, EARLIER_OUTPUT, "the rows of the run are kept")
        self.assertHeader(output.split(b"\n")[0])
        self.assertEqual(sorted(os.listdir(scenario.path("Data"))), ["Output.csv"])
        return result, output

    def test_zero_mass_or_inertia_is_singular_at_every_step(self):
        # Each singular step prints its message; after 1000 in a row the run
        # stops with status 3 and says what usually causes it.
        for old, new, after in (("1300.0", "0.0", "\nmass(kg)"),
                                ("0.6 1.2 0.6", "0.6 0 0.6", "\nLeft front")):
            with self.subTest(new):
                scenario = Scenario(self)
                scenario.replace("Sedan.ini", old, new, after)
                result, _ = self.run_to_end(scenario)
                self.assertEqual(result.returncode, 3, result.stderr)
                lines = result.stdout.decode().splitlines()
                self.assertEqual(len(lines), 1000)
                self.assertTrue(all(re.fullmatch(r"Sing\. Found At: \d+", x) for x in lines))
                self.assertRegex(result.stderr.decode(), (
                    r"^vdsim: the car's equations have been singular since [0-9.]+ s of "
                    r"simulated time \(1000 steps in a row\), so the state no longer means "
                    r"anything; a zero mass or inertia in the car file usually causes it; "
                    r"Data/Output\.csv keeps the rows written before\n$"))

    def test_a_target_speed_out_of_reach_warns_once_and_max_time_ends_it(self):
        # A 5 ms step keeps the 315 s of simulated time short.
        scenario = Scenario(self)
        scenario.write("Events.ini", "[car] name Sedan timeStep 0.005\n"
                       "[event] kind TargetSpeed speed 500 hold 1\n")
        result, output = self.run_to_end(scenario, "--max-time", "315")
        self.assertEqual(result.returncode, 4, result.stderr)
        self.assertEqual(result.stdout, b"")
        warning, stop = result.stderr.decode().splitlines()
        self.assertRegex(warning, r"^vdsim: warning: Events.ini:2: TargetSpeed 500 m/s not "
                         r"reached after 300 s \(speed \d+\.\d m/s\)$")
        self.assertRegex(stop, r"^vdsim: stopped at the --max-time limit after 31[45](\.\d+)? s "
                         r"of simulated time, during Events.ini:2 \(TargetSpeed\); "
                         r"Data/Output\.csv keeps the rows written before$")
        # Just over 3 s of settle, then one row per 100 steps of 5 ms.
        self.assertEqual(output.count(b"\n") - 1, 624)


def main():
    global VDSIM, SCENARIO
    args = sys.argv[1:]
    if len(args) < 2:
        args = [os.environ.get("VDSIM", ""), os.environ.get("VDSIM_SCENARIO", "")] + args
    VDSIM, SCENARIO = os.path.abspath(args[0]), os.path.abspath(args[1])
    if not os.access(VDSIM, os.X_OK) or not os.path.isfile(os.path.join(SCENARIO, "Events.ini")):
        sys.exit("usage: bad_input_catalogue_test.py VDSIM SCENARIO_DIR [unittest options]")
    unittest.main(argv=[sys.argv[0]] + args[2:])


if __name__ == "__main__":
    main()
