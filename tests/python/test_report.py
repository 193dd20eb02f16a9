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
        # 4.905 m/s2 is half of 9.81 m/s2: in standard gravity, 0.5002 g.
        self.assertIn("  Lateral accel, min       -4.91 m/s2 (-0.500 g) at 0.2 s\n", table)
        self.assertIn("  Longitudinal accel, max  +4.91 m/s2 (+0.500 g) at 0.2 s\n", table)
        self.assertIn("  Longitudinal accel, min  -7.36 m/s2 (-0.750 g) at 0.3 s\n", table)
        self.assertIn("  Peak normal force RR     3700 N at 0.4 s\n", table)
        self.assertIn("  Steady-state turn        none", table)
        self.assertIn("  Non-finite values        from 0.5 s (run diverged)\n", table)

    def test_no_finite_value_and_a_negative_zero(self):
        summary = m.summarize(vo.read_output(GOLDEN))
        summary.update(top_speed_mps=math.nan, lat_accel_min_mps2=-0.001,
                       lat_accel_max_mps2=98.0665,
                       turn_start_s=1.0, turn_end_s=6.0, turn_lat_accel_min_mps2=-0.004,
                       turn_lat_accel_max_mps2=2.0)
        table = report.format_summary(summary)
        self.assertIn("  Top speed                no finite value\n", table)
        self.assertIn("  Lateral accel, min       +0.00 m/s2 (+0.000 g) at 0.2 s\n", table)
        self.assertIn("  Lateral accel, max       +98.07 m/s2 (+10.000 g) at 0.3 s\n", table)
        self.assertIn("    lat. accel range       +0.00 to +2.00 m/s2 (+0.000 to +0.204 g)\n",
                      table)


class EventTableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory() as root:
            syn.write(os.path.join(root, "run"))
            data = vo.load_run(os.path.join(root, "run"))
            cls.events = data.event_metrics()
            cls.metrics = data.metrics()

    def test_one_run(self):
        text = report.format_summary(self.metrics, self.events, note="never shown")
        lines = text.splitlines()
        self.assertEqual(text.count("understeer gradient"), 1)
        self.assertNotIn("never shown", text)
        at = lines.index("Events (Run.json, measured at every step)")
        self.assertEqual(lines[at + 1].split(), ["#", "kind", "line", "start", "s", "end", "s",
                                                 "v", "start", "v", "end", "ay", "peak", "ax",
                                                 "peak"])
        self.assertEqual(lines[at + 3].split(), ["2", "SteerRamp", "7", "10.20", "40.20",
                                                 "10.00", "22.00", "+7.85", "+0.40"])
        self.assertEqual(lines[at + 5:], [
            "  Event 1, TargetSpeed     2.60 s from 2.5 m/s to 9.0 m/s",
            "  Event 2, SteerRamp       linear range 0.1 to 0.4 g (fit over 0.20 to 0.40 g, "
            "11234 steps)",
            "    understeer gradient    +2.50 deg/g",
            "    roll gradient          +4.00 deg/g",
            "    sideslip gradient      -1.50 deg/g",
            "    limit lat. accel       +7.85 m/s2 (radius within 5 %)",
            "    median radius driven   50.0 m",
            "  Event 3, Brake           full braking from 40.26 s at 22.00 m/s",
            "    stopping distance      30.25 m",
            "    deceleration           mean 8.00, last 0.1 s 8.00, peak 8.00 m/s2"])

    def test_the_transient_events_and_what_was_not_measured(self):
        step = {"number": 2, "kind": "StepSteer", "start_s": 15.1, "steer_t50_s": 15.1515,
                "road_wheel_angle_steady_deg": 0.9, "yaw_rate_steady_radps": 0.14664,
                "lat_accel_steady_mps2": 4.0518, "sideslip_steady_deg": -1.0737,
                "yaw_rate_response_time_s": 0.3414, "lat_accel_response_time_s": None,
                "yaw_rate_peak_radps": 0.14744, "yaw_rate_peak_response_time_s": 0.8823,
                "yaw_rate_overshoot_pct": 0.549, "yaw_rate_gain_radps_per_deg": 0.16293,
                "lat_accel_gain_g_per_deg": 0.45907,
                "null_reasons": {"lat_accel_response_time_s": "never reached 90 %"}}
        dwell = {"number": 3, "kind": "SineDwell", "start_s": 12.8, "steer_begin_s": 12.8206,
                 "steer_complete_s": 14.7491, "yaw_rate_peak_radps": -0.5493,
                 "yaw_rate_peak_s": 14.4332, "yaw_rate_ratio_at_1_00_s_pct": 18.996,
                 "yaw_rate_ratio_at_1_75_s_pct": 0.032, "lateral_displacement_at_1_07_s_m": 2.652,
                 "null_reasons": {}}
        sine = {"number": 4, "kind": "SineSteer", "frequency": 1.4, "start_s": 14.1,
                "sine_fit_periods": 3, "road_wheel_amplitude_deg": 0.89999,
                "yaw_rate_gain_radps_per_deg": 0.11907, "yaw_rate_phase_deg": -46.66,
                "lat_accel_gain_g_per_deg": 0.17252, "lat_accel_phase_deg": -69.64,
                "null_reasons": {}}
        never = {"number": 5, "kind": "Brake", "null_reasons": {
            "metrics": "the run ended before the event began"}}
        quiet = {"number": 6, "kind": "TargetSpeed", "start_s": 30.0, "accel_time_s": None,
                 "null_reasons": {"accel_time_s": "starts less than 2 m/s below"}}
        lines = report.format_events([step, dwell, sine, never, quiet]).splitlines()
        self.assertEqual(lines[7:], [
            "  Event 2, StepSteer       t50 at 15.152 s, steady road-wheel angle +0.900 deg",
            "    steady state           yaw rate +0.1466 rad/s, lat. accel 4.05 m/s2 (0.413 g), "
            "sideslip -1.074 deg",
            "    response time          yaw rate 0.341 s, lat. accel - (t50 to 90 %)",
            "    yaw-rate peak          +0.1474 rad/s, 0.882 s after t50, overshoot 0.5 %",
            "    gains                  yaw rate 0.1629 rad/s per deg, lat. accel 0.4591 g per deg",
            "    null                   lat_accel_response_time_s: never reached 90 %",
            "  Event 3, SineDwell       steer from 12.821 s to 14.749 s (BOS to COS)",
            "    second-lobe yaw peak   -0.5493 rad/s at 14.433 s",
            "    yaw-rate ratio         19.0 % at COS + 1.00 s (reference line 35 %), 0.0 % at "
            "COS + 1.75 s (20 %)",
            "    lateral displacement   2.65 m at BOS + 1.07 s (reference line 1.83 m)",
            "  Event 4, SineSteer       1.4 Hz, 3 whole periods fitted, road-wheel amplitude "
            "0.900 deg",
            "    yaw rate               gain 0.1191 rad/s per deg, phase -46.7 deg",
            "    lat. accel             gain 0.1725 g per deg, phase -69.6 deg",
            "  Event 5, Brake           the run ended before the event began"])
        self.assertEqual(lines[5].split(), ["5", "Brake", "-", "-", "-", "-", "-", "-", "-"])

    def test_a_run_without_the_events_metrics_says_why(self):
        plain = m.summarize(vo.read_output(GOLDEN))
        text = report.format_summary(plain, [], "no Run.json of this run")
        self.assertTrue(text.endswith("\n  Events                   not measured: no Run.json "
                                      "of this run\n"))
        self.assertEqual(report.format_summary(plain), text[:text.index("  Events")])

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
        self.assertNotIn("Sine steer", text)


def many_events(count):
    """RunData of a run whose Run.json lists `count` measured events, cycling
    through the kinds with metrics."""
    output = vo.Channels(vo.CHANNEL_NAMES, [0.099 + 0.1 * np.arange(4)]
                         + [np.zeros(4)] * (len(vo.CHANNEL_NAMES) - 1))
    kinds = (("TargetSpeed", {"accel_time_s": 1.0}),
             ("SteerRamp", {"quasi_steady_radius_median_m": 40.0, "fit_steps": 3}),
             ("Brake", {"stopping_distance_m": 20.0}))
    events = [{"number": n, "kind": kinds[(n - 1) % 3][0], "line": n,
               "metrics": dict(kinds[(n - 1) % 3][1], start_s=0.1 * n, end_s=0.1 * n + 0.1),
               "null_reasons": {}} for n in range(1, count + 1)]
    return vo.RunData("Output.csv", output, None, {"events": events})


class ScaleTest(unittest.TestCase):
    """The summary of the most events a run accepts takes time in proportion
    to its events, and shows the first 50."""

    def test_the_most_events_a_run_has(self):
        data = many_events(100000)
        start = time.process_time()  # CPU time: the machine may be busy
        events = data.event_metrics()
        text = report.format_summary(data.metrics(), events)
        self.assertLess(time.process_time() - start, 5.0)
        lines = text.splitlines()
        table = lines[lines.index("Events (Run.json, measured at every step)") + 2:]
        self.assertEqual([line.split()[:2] for line in table[:2]],
                         [["1", "TargetSpeed"], ["2", "SteerRamp"]])
        self.assertEqual(table[49].split()[:2], ["50", "SteerRamp"])
        self.assertEqual(table[50], "  ... and 99950 more events, left out of this table")
        self.assertEqual(report.format_events(events[:50]), report.format_events(events, 50)
                         .replace("  ... and 99950 more events, left out of this table\n", ""))


if __name__ == "__main__":
    unittest.main()
