"""Tests of vdsim/sweep_file.py: both forms of the sweep file, errors that
name the file and line, and runs counted and made one at a time."""

import os
import tempfile
import time
import unittest

import support
from vdsim.scenario import Scenario
from vdsim.sweep_file import (MAX_RUNS, Sweep, SweepError, grid_of_values, parse_sweep,
                              read_sweep, short_headings)

RIDE = "{car}.params:[params]:frontRideFrequency"
ARB = "{car}.ini:[car]:antiRollRear"

class SweepFileTest(unittest.TestCase):
    """Both forms of the sweep file, and errors naming the file and line."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.scenario = Scenario.load(support.make_short_base(os.path.join(self.directory.name, "b")))

    def tearDown(self):
        self.directory.cleanup()

    def assertSweepError(self, text, message):
        with self.assertRaises(SweepError) as caught:
            parse_sweep(text, self.scenario, "sweep.csv")
        self.assertEqual(str(caught.exception), message)
        self.assertEqual(caught.exception.status, 2)

    def test_csv_form(self):
        sweep = parse_sweep(
            "# ride against anti-roll\n"
            "{car}.params:[params]:frontRideFrequency, \"{car}.ini:[car]:antiRollRear\",\n"
            "1.2, 4000   # soft\n"
            "\n"
            "1.6,16000,\n", self.scenario, "sweep.csv")
        self.assertEqual(sweep.addresses, ["{car}.params:[params]:frontRideFrequency",
                                           "{car}.ini:[car]:antiRollRear"])
        self.assertEqual(list(sweep), [["1.2", "4000"], ["1.6", "16000"]])

    def test_grid_form_is_a_product_first_line_slowest(self):
        sweep = parse_sweep(
            "# a grid\n"
            "{car}.params:[params]:frontRideFrequency = 1.2, 1.4\n"
            "{car}.ini:[car]:antiRollRear=4000,8000,16000\n"
            "Events.ini:[car]:timeStep=0.002\n", self.scenario, "grid.txt")
        self.assertEqual(len(sweep.addresses), 3)
        self.assertEqual(list(sweep), [["1.2", "4000", "0.002"], ["1.2", "8000", "0.002"],
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

    def test_values_the_simulator_cannot_read_whole_are_refused(self):
        long = "1." + "0" * 61  # 63 characters: the longest token the simulator reads
        self.assertEqual(list(parse_sweep("%s = 1.2, %s\n" % (RIDE, long), self.scenario,
                                          "s"))[1], [long])
        for form in ("%s = 1.2, %s0\n", "%s\n1.2\n%s0\n"):
            with self.subTest(form=form):
                with self.assertRaisesRegex(SweepError, r"^sweep.csv:[0-9]: .*: 64 characters: "
                                            r"the simulator reads at most 63 of a value$"):
                    parse_sweep(form % (RIDE, long), self.scenario, "sweep.csv")

    def test_a_byte_order_mark_is_skipped(self):
        for form in ("%s = 1.2, 1.4\n" % RIDE, "%s\n1.2\n1.4\n" % RIDE):
            path = os.path.join(self.directory.name, "bom.csv")
            with open(path, "w", encoding="utf-8-sig") as stream:
                stream.write(form)
            sweep = read_sweep(path, self.scenario)
            self.assertEqual((sweep.addresses, list(sweep)), ([RIDE], [["1.2"], ["1.4"]]))
        with self.assertRaisesRegex(SweepError, "none.csv: cannot read: No such file"):
            read_sweep(os.path.join(self.directory.name, "none.csv"), self.scenario)

    def test_a_mapping_is_the_grid_of_a_sweep_file(self):
        grid = parse_sweep("%s = 1.2, 1.4\n%s = 4000, 16000.5\n" % (RIDE, ARB),
                           self.scenario, "grid.txt")
        mapped = grid_of_values({RIDE: ["1.2", 1.4], ARB: (4000, 16000.5)}, self.scenario)
        self.assertEqual(mapped.to_json(), grid.to_json())
        self.assertEqual(len(mapped.targets), 2)
        self.assertEqual(list(grid_of_values({ARB: 8000.0}, self.scenario)),
                         [["8000.0"]])
        for values, message in (
                ({}, "values: expected a mapping from address to a list of values"),
                ([RIDE], "values: expected a mapping from address to a list of values"),
                ({RIDE: []}, 'values: "%s": no values' % RIDE),
                ({RIDE: [1, "x"]}, 'values: "%s": expected a number, found "x"' % RIDE),
                ({RIDE: [True]}, 'values: "%s": expected a number, found True' % RIDE),
                ({RIDE: ["1e" + "0" * 62]}, 'values: "%s": 64 characters: the simulator reads '
                 "at most 63 of a value" % RIDE),
                ({3: [1]}, "values: 3: an address is text FILE:SECTION[:INDEX]:KEY"),
                ({RIDE: [1], "Sedan.params:[params]:frontRideFrequency": [2]},
                 'values: "Sedan.params:[params]:frontRideFrequency": names the same value as '
                 '"%s"' % RIDE),
                ({"{car}.ini:[corner]:1:tireSpring": range(1000), ARB: range(1001)},
                 "values: the grid has 1,001,000 runs (1000 x 1001); a sweep may have at "
                 "most 1000000: use fewer values")):
            with self.subTest(values=values):
                with self.assertRaises(SweepError) as caught:
                    grid_of_values(values, self.scenario)
                self.assertEqual(str(caught.exception), message)

    def test_non_ascii_digits_are_refused(self):
        self.assertSweepError(
            "{car}.ini:[car]:antiRollRear = 4000, \uff11300\n",
            '%s:1: "{car}.ini:[car]:antiRollRear": expected a number, found "\uff11300"'
            % "sweep.csv")
        # An index in other digits is no index.
        self.assertSweepError(
            "{car}.ini:[corner]:\u0663:spring\n1000\n",
            'sweep.csv:1: column 1 "{car}.ini:[corner]:\u0663:spring": Sedan.ini has 4 [corner] '
            "sections: give one by number, {car}.ini:[corner]:1:\u0663:spring to "
            "{car}.ini:[corner]:4:\u0663:spring")


class RunCountTest(unittest.TestCase):
    """A grid is counted, not made: its runs come one at a time."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.scenario = Scenario.load(support.make_short_base(os.path.join(self.directory.name, "b")))

    def tearDown(self):
        self.directory.cleanup()

    def test_runs_made_by_index(self):
        sweep = Sweep(["a", "b", "c"], columns=[["1", "2"], ["x", "y", "z"], ["0"]])
        self.assertEqual(sweep.count, 6)
        self.assertEqual(sweep.values(0), ["1", "x", "0"])
        self.assertEqual(sweep.values(4), ["2", "y", "0"])
        self.assertEqual(list(sweep), [[a, b, "0"] for a in "12" for b in "xyz"])
        self.assertEqual(Sweep.from_json(sweep.to_json()).values(5), ["2", "z", "0"])
        self.assertEqual(Sweep.from_json(sweep.to_json()).digest(), sweep.digest())
        self.assertNotEqual(Sweep(["a"], rows=[["1"]]).digest(), sweep.digest())

    def test_a_huge_grid_is_refused_at_once(self):
        # 20^8 runs: 2.56e10, refused after counting, in no time and memory.
        lines = ["{car}.ini:[corner]:%d:%s = %s" % (corner, key, ", ".join(
            str(1000 + i) for i in range(20)))
                 for corner in (1, 2, 3, 4) for key in ("tireSpring", "brakeGain")]
        started = time.monotonic()
        with self.assertRaises(SweepError) as caught:
            parse_sweep("\n".join(lines) + "\n", self.scenario, "big.txt")
        self.assertLess(time.monotonic() - started, 5.0)
        self.assertEqual(str(caught.exception),
                         "big.txt: the grid has 25,600,000,000 runs (20 x 20 x 20 x 20 x 20 x 20 x "
                         "20 x 20); a sweep may have at most %d: use fewer values" % MAX_RUNS)

    def test_the_limit_itself_is_allowed(self):
        grid = "\n".join("{car}.ini:[corner]:%d:tireSpring = %s" % (corner, ", ".join(
            str(1000 + i) for i in range(10))) for corner in (1, 2, 3, 4))
        grid += "\n{car}.ini:[corner]:1:brakeGain = " + ", ".join(str(i) for i in range(100))
        sweep = parse_sweep(grid + "\n", self.scenario, "limit.txt")
        self.assertEqual(sweep.count, MAX_RUNS)
        self.assertEqual(sweep.values(MAX_RUNS - 1), ["1009", "1009", "1009", "1009", "99"])

    def test_short_headings(self):
        self.assertEqual(short_headings(["{car}.ini:[car]:mass", "{car}.ini:[corner]:1:spring",
                                         "{car}.ini:[corner]:2:spring"]),
                         ["mass", "{car}.ini:[corner]:1:spring", "{car}.ini:[corner]:2:spring"])


if __name__ == "__main__":
    unittest.main()
