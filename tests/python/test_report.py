"""Tests of vdsim/report.py: the summary table, the events table and the
summaries of several runs side by side."""

import math
import os
import tempfile
import time
import unittest

import support

support.require_modules()
import numpy as np  # noqa: E402
import make_synthetic_run as syn  # noqa: E402
from vdsim import metrics as m  # noqa: E402
from vdsim import output as vo  # noqa: E402
from vdsim import report  # noqa: E402
from vdsim.scenario import run_wheelbase  # noqa: E402

GOLDEN = os.path.join(support.DATA, "golden.csv")


class NumberTest(unittest.TestCase):
    def test_no_minus_sign_on_zero(self):
        self.assertEqual(report.number("%+.2f", -0.004), "+0.00")
        self.assertEqual(report.number("%.2f", -0.004), "0.00")
        self.assertEqual(report.number("%+.2f", -0.006), "-0.01")
        self.assertEqual(report.number("%.1f", math.nan), "nan")


class SummaryTableTest(unittest.TestCase):
    def test_golden_table(self):
        table = report.format_summary(m.summarize(vo.read_output(GOLDEN)))
        self.assertTrue(table.startswith("Run summary\n  Rows                     5\n"))
        self.assertIn("  Duration                 0.5 s\n", table)
        self.assertIn("  Top speed                5.12 m/s (18.4 km/h) at 0.3 s\n", table)
        self.assertIn("  Highest engine speed     6250 rpm at 0.3 s\n", table)
        # 4.905 m/s2 is half of g = 9.81 m/s2; 7.3575 is three quarters.
        self.assertIn("  Lateral accel, min       -4.91 m/s2 (-0.500 g) at 0.2 s\n", table)
        self.assertIn("  Longitudinal accel, max  +4.91 m/s2 (+0.500 g) at 0.2 s\n", table)
        self.assertIn("  Longitudinal accel, min  -7.36 m/s2 (-0.750 g) at 0.3 s\n", table)
        self.assertIn("  Peak normal force RR     3700 N at 0.4 s\n", table)
        self.assertIn("  Steady-state turn        none", table)
        self.assertIn("  Non-finite values        from 0.5 s (run diverged)\n", table)

    def test_no_finite_value_and_a_negative_zero(self):
        summary = m.summarize(vo.read_output(GOLDEN))
        summary.update(top_speed_mps=math.nan, lat_accel_min_mps2=-0.001,
                       turn_start_s=1.0, turn_end_s=6.0, turn_lat_accel_min_mps2=-0.004,
                       turn_lat_accel_max_mps2=2.0)
        table = report.format_summary(summary)
        self.assertIn("  Top speed                no finite value\n", table)
        self.assertIn("  Lateral accel, min       +0.00 m/s2 (+0.000 g) at 0.2 s\n", table)
        self.assertIn("    lat. accel range       +0.00 to +2.00 m/s2 (+0.000 to +0.204 g)\n",
                      table)


class EventTableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory() as root:
            syn.write(os.path.join(root, "run"))
            data = vo.load_run(os.path.join(root, "run"))
            cls.events = m.event_metrics(data, run_wheelbase(data.csv_path, data.record))
            cls.metrics = m.run_metrics(data, cls.events)

    def test_one_run(self):
        text = report.format_summary(self.metrics, self.events)
        lines = text.splitlines()
        # The maneuver's metrics come once, in the events table.
        self.assertEqual(text.count("understeer gradient"), 1)
        at = lines.index("Events (Extended.csv, Run.json)")
        self.assertEqual(lines[at + 1].split(), ["#", "kind", "line", "start", "s", "end", "s",
                                                 "v", "start", "v", "end", "ay", "peak", "ax",
                                                 "peak"])
        self.assertEqual(lines[at + 4].split(), ["2", "SteerRamp", "7", "10.3", "40.2", "10.02",
                                                 "21.98", "+7.85", "+0.40"])
        self.assertIn("  Event 2, SteerRamp       linear range 0.1 to 0.4 g (fit over 0.20 to "
                      "0.40 g, 100 rows)", lines)
        self.assertIn("    understeer gradient    +2.50 deg/g", lines)
        self.assertIn("    limit lat. accel       +7.85 m/s2 (radius within 5 %)", lines)
        self.assertIn("  Event 3, Brake           full braking from 40.26 s at 22.02 m/s", lines)
        self.assertIn("    stopping distance      30.25 m", lines)
        self.assertIn("  Event 1, TargetSpeed     2.60 s from 2.5 m/s to 9.0 m/s", lines)

    def test_side_by_side(self):
        plain = m.summarize(vo.read_output(GOLDEN))
        text = report.format_side_by_side(["synthetic", "golden"], [self.metrics, plain], "run")
        lines = text.splitlines()
        self.assertEqual(lines[0], "Run summaries")
        self.assertEqual(lines[1].split(), ["run", "synthetic", "golden"])
        self.assertIn("  Top speed                       21.98 m/s    5.12 m/s", lines)
        self.assertIn("  Understeer gradient           +2.50 deg/g           -", lines)
        self.assertIn("  Non-finite values from                  -       0.5 s", lines)
        # A row no run has a value for is left out.
        self.assertNotIn("Non-finite", report.format_side_by_side(["a"], [self.metrics]))


def many_events(count, rows_per_event=4):
    """RunData of a run of `count` events (cycling through the three kinds
    with metrics) of a few rows each, built in memory with the extended
    channels that the metrics read."""
    rows = count * rows_per_event
    output = {name: np.zeros(rows) for name in vo.CHANNEL_NAMES}
    output[vo.TIME] = 0.099 + 0.1 * np.arange(rows)
    output[vo.GROUND_SPEED] = 3.0 + np.sin(np.arange(rows))
    names = (vo.TIME, vo.EVENT, vo.PEDAL, vo.POSITION_X, vo.POSITION_Y, vo.ROLL,
             vo.SIDESLIP) + vo.STEER_ANGLE
    extended = {name: np.zeros(rows) for name in names}
    extended[vo.TIME] = output[vo.TIME]
    extended[vo.EVENT] = np.repeat(np.arange(1, count + 1), rows_per_event).astype(float)
    kinds = ({"kind": "TargetSpeed", "speed": 4, "duration": 0.1},
             {"kind": "SteerRamp", "speed": 3, "end_speed": 4, "start_radius": 40,
              "end_radius": 40, "duration": 0.1},
             {"kind": "Brake", "speed": 3})
    events = [dict(kinds[(n - 1) % 3], number=n, line=n) for n in range(1, count + 1)]
    return vo.RunData("Output.csv", vo.Channels(vo.CHANNEL_NAMES, list(output.values())),
                      vo.Channels(names, list(extended.values())),
                      {"events": events, "time_step_s": 0.001})


class ScaleTest(unittest.TestCase):
    """The summary of the most events a run accepts takes time in proportion
    to its rows and events: a pass over every row for every event (as it once
    made) takes many times the limit here."""

    def test_the_most_events_a_run_has(self):
        data = many_events(100000)
        start = time.process_time()  # CPU time: the machine may be busy
        events = m.event_metrics(data, 2.7)
        text = report.format_summary(m.run_metrics(data, events), events)
        self.assertLess(time.process_time() - start, 15.0)
        lines = text.splitlines()
        table = lines[lines.index("Events (Extended.csv, Run.json)") + 2:]
        self.assertEqual([line.split()[:2] for line in table[:2]],
                         [["1", "TargetSpeed"], ["2", "SteerRamp"]])
        self.assertEqual(table[49].split()[:2], ["50", "SteerRamp"])
        self.assertEqual(table[50], "  ... and 99950 more events, left out of this table")
        self.assertEqual(report.format_events(events[:50]), report.format_events(events, 50)
                         .replace("  ... and 99950 more events, left out of this table\n", ""))


if __name__ == "__main__":
    unittest.main()
