"""Tests of vdsim/sweep_file.py: both forms of the sweep file, errors that
name the file and line, and runs counted and made one at a time."""

import os
import tempfile
import time
import unittest

import support
from vdsim.scenario import Scenario
from vdsim.sweep_file import MAX_RUNS, Sweep, SweepError, parse_sweep, short_headings

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
