"""Tests of vdsim/metrics.py: the whole-run summary on rows whose answers are
known, the events' metrics read from Run.json and flattened, and the
examples' metrics as the README states them."""

import math
import os
import tempfile
import unittest
import warnings

import support

support.require_modules()
import numpy as np  # noqa: E402
import make_synthetic_run as syn  # noqa: E402
from vdsim import metrics as m  # noqa: E402
from vdsim import output as vo  # noqa: E402
from vdsim.scenario import InputWarning, Scenario  # noqa: E402

GOLDEN = os.path.join(support.DATA, "golden.csv")


def channels_of(lat, **columns):
    """Output Channels of rows every 0.1 s with the given lateral accelerations."""
    values = {name: np.zeros(len(lat)) for name in vo.CHANNEL_NAMES}
    values[vo.TIME] = 0.099 + 0.1 * np.arange(len(lat))
    values[vo.LAT_ACCEL] = np.asarray(lat, dtype=float)
    values.update(columns)
    return vo.Channels(vo.CHANNEL_NAMES, [values[n] for n in vo.CHANNEL_NAMES])


class SummaryTest(unittest.TestCase):
    def test_golden_peaks(self):
        summary = m.summarize(vo.read_output(GOLDEN))
        self.assertEqual(summary["rows"], 5)
        self.assertEqual(summary["duration_s"], 0.499)
        self.assertEqual((summary["top_speed_mps"], summary["top_speed_time_s"]), (5.125, 0.299))
        self.assertEqual((summary["max_engine_speed_rpm"], summary["max_engine_speed_time_s"]),
                         (6250.0, 0.299))
        # Peaks skip the non-finite last row ("inf" lateral, "-inf" longitudinal).
        self.assertEqual((summary["lat_accel_max_mps2"], summary["lat_accel_max_time_s"]),
                         (2.0, 0.299))
        self.assertEqual((summary["lat_accel_min_mps2"], summary["lat_accel_min_time_s"]),
                         (-4.905, 0.199))
        self.assertEqual((summary["long_accel_min_mps2"], summary["long_accel_min_time_s"]),
                         (-7.3575, 0.299))
        peaks = [(summary["normal_force_max_%s_N" % c], summary["normal_force_max_%s_time_s" % c])
                 for c in vo.CORNERS]
        self.assertEqual(peaks, [(4400.0, 0.299), (4300.0, 0.299), (3650.0, 0.399),
                                 (3700.0, 0.399)])
        self.assertIsNone(summary["turn_start_s"])
        self.assertEqual(summary["non_finite_from_s"], 0.499)
        self.assertEqual(list(summary), m.summary_keys())

    def test_longest_steady_turn_and_its_range(self):
        # 0-1 s straight; 1-7 s left-hand ramp 1.5 -> 4.45 m/s2 (rows 10..69);
        # 7-8 s straight; 8-16 s right-hand at -2 .. -3 m/s2 (rows 80..159, the longest).
        lat = [0.0] * 10 + [1.5 + 0.05 * i for i in range(60)] + [0.0] * 10
        lat += [-2.0 - i / 79.0 for i in range(80)] + [0.5] * 5
        summary = m.summarize(channels_of(lat))
        self.assertAlmostEqual(summary["turn_start_s"], 8.099)
        self.assertAlmostEqual(summary["turn_end_s"], 15.999)
        self.assertEqual(summary["turn_lat_accel_min_mps2"], -3.0)
        self.assertEqual(summary["turn_lat_accel_max_mps2"], -2.0)
        self.assertIsNone(summary["non_finite_from_s"])

    def test_turn_needs_five_seconds_of_one_sign_above_threshold(self):
        cases = {
            "4.5 s only": [0.0] * 5 + [3.0] * 46 + [0.0] * 5,
            "sign change splits it": [2.0] * 40 + [-2.0] * 40,
            "nan splits it": [2.0] * 40 + [math.nan] + [2.0] * 40,
            "1 m/s2 is not above 1": [2.0] * 20 + [1.0] + [2.0] * 40,
        }
        for name, lat in cases.items():
            with self.subTest(name):
                self.assertIsNone(m.summarize(channels_of(lat))["turn_start_s"])
        # 5.1 s just above the threshold, starting on the first row.
        summary = m.summarize(channels_of([1.01] * 52))
        self.assertEqual((summary["turn_start_s"], summary["turn_lat_accel_min_mps2"]),
                         (0.099, 1.01))

    def test_all_non_finite_and_huge_values(self):
        for fill in (math.nan, math.inf):
            channels = channels_of([fill, fill], **{name: np.array([math.nan, fill])
                                                    for name in vo.CHANNEL_NAMES[1:]})
            summary = m.summarize(channels)
            self.assertTrue(math.isnan(summary["top_speed_mps"]))
            self.assertIsNone(summary["turn_start_s"])
            self.assertEqual(summary["non_finite_from_s"], 0.099)
        summary = m.summarize(channels_of([1e308, -1e308]))
        self.assertEqual((summary["lat_accel_max_mps2"], summary["lat_accel_min_mps2"]),
                         (1e308, -1e308))


def record_run(events, rows=5):
    """RunData of `rows` rows 0.1 s apart whose Run.json lists `events`."""
    output = channels_of([0.0] * rows)
    return vo.RunData("Output.csv", output, None, {"events": events})


def measured(number, kind, **metrics):
    """A Run.json event entry of a measured event (start at `number` s)."""
    return {"number": number, "kind": kind, "line": 10 * number,
            "metrics": dict({"start_s": float(number)}, **metrics), "null_reasons": {}}


class EventMetricsTest(unittest.TestCase):
    """The events of Run.json as Python has them, and the flat metrics."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        run = os.path.join(cls.directory.name, "run")
        syn.write(run)
        cls.data = vo.load_run(run)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def test_events_with_their_values_metrics_and_reasons(self):
        events = m.event_metrics(record_run([
            {"number": 1, "kind": "Brakes", "line": 5, "ignored": True},
            dict(measured(2, "SineSteer", yaw_rate_gain_radps_per_deg=0.12,
                          lat_accel_phase_deg=None, sine_fit_periods=3),
                 speed=25, frequency=1.5, null_reasons={"lat_accel_phase_deg": "why"}),
            {"number": 3, "kind": "Brake", "line": 40, "speed": 20, "metrics": None,
             "null_reasons": {"metrics": "the run ended before the event began"}}]))
        self.assertEqual(events, [
            {"number": 2, "kind": "SineSteer", "line": 20, "speed": 25, "frequency": 1.5,
             "start_s": 2.0, "yaw_rate_gain_radps_per_deg": 0.12, "lat_accel_phase_deg": None,
             "sine_fit_periods": 3, "null_reasons": {"lat_accel_phase_deg": "why"}},
            {"number": 3, "kind": "Brake", "line": 40, "speed": 20,
             "null_reasons": {"metrics": "the run ended before the event began"}}])
        self.assertEqual([m.measured(e) for e in events], [True, False])

    def test_a_record_without_metrics_gives_no_events(self):
        # An earlier vdsim's Run.json lists the events without "metrics".
        data = record_run([{"number": 1, "kind": "Brake", "line": 4, "speed": 20}])
        self.assertEqual(m.event_metrics(data), [])
        self.assertRegex(data.metrics_note, "no metrics of the events")
        self.assertEqual(record_run([]).metrics_note, None)  # the built-in events alone
        self.assertRegex(vo.RunData("Output.csv", channels_of([0.0])).metrics_note,
                         "^no Run.json of this run: .*vdsim --extended")

    def test_each_group_from_the_first_event_that_yields_it(self):
        data = record_run([
            measured(1, "TargetSpeed", accel_time_s=None),
            measured(2, "SteerRamp", quasi_steady_radius_median_m=None, fit_steps=0),
            measured(3, "SteerRamp", quasi_steady_radius_median_m=41.0, fit_steps=900,
                     understeer_gradient_deg_per_g=0.3),
            measured(4, "TargetSpeed", accel_time_s=4.5, accel_to_mps=18.0),
            dict(measured(5, "SineSteer", yaw_rate_gain_radps_per_deg=0.1,
                          yaw_rate_phase_deg=-40.0), frequency=0.7),
            measured(6, "StepSteer", yaw_rate_steady_radps=0.15,
                     yaw_rate_gain_radps_per_deg=0.16),
            measured(7, "StepSteer", yaw_rate_steady_radps=0.3)])
        metrics = data.metrics()
        self.assertEqual(list(metrics), m.metric_keys())
        expected = {
            "cornering_event": 3, "quasi_steady_radius_median_m": 41.0, "fit_steps": 900,
            "understeer_gradient_deg_per_g": 0.3, "roll_gradient_deg_per_g": None,
            "accel_event": 4, "accel_time_s": 4.5, "accel_to_mps": 18.0,
            "sine_steer_event": 5, "sine_steer_frequency_hz": 0.7,
            "sine_steer_yaw_rate_gain_radps_per_deg": 0.1, "sine_steer_yaw_rate_phase_deg": -40.0,
            "step_steer_event": 6, "step_steer_yaw_rate_steady_radps": 0.15,
            "step_steer_yaw_rate_gain_radps_per_deg": 0.16,
            "braking_event": None, "stopping_distance_m": None,
            "sine_dwell_event": None, "sine_dwell_yaw_rate_peak_radps": None}
        self.assertEqual({key: metrics[key] for key in expected}, expected)
        # The groups' keys are distinct, and each ends in its unit.
        self.assertEqual(len(set(m.MANEUVER_KEYS)), len(m.MANEUVER_KEYS))

    def test_the_steady_turn_is_the_first_steer_ramp_from_its_entry(self):
        metrics = self.data.metrics()
        self.assertEqual((metrics["turn_start_s"], metrics["turn_end_s"]), (10.299, 40.199))
        self.assertEqual((metrics["cornering_event"], metrics["braking_event"],
                          metrics["accel_event"]), (2, 3, 1))
        self.assertEqual(metrics["understeer_gradient_deg_per_g"], syn.K)
        # A run that stopped in the turn: to its last row.
        events = self.data.event_metrics()
        cut = [dict(events[1], end_s=None, entry_s=39.0)]
        self.assertEqual(m.run_metrics(self.data, cut)["turn_start_s"], 39.099)
        self.assertEqual(m.run_metrics(self.data, cut)["turn_end_s"],
                         float(self.data.output[vo.TIME][-1]))
        # Without the events' metrics the turn is found in the rows, as without Run.json.
        plain = vo.RunData(self.data.csv_path, self.data.output)
        self.assertEqual(plain.metrics()["turn_start_s"], m.summarize(plain.output)["turn_start_s"])
        self.assertIsNone(plain.metrics()["cornering_event"])

    def test_numbers_agree_with_addresses_when_a_kind_is_unknown(self):
        support.require_vdsim(self)
        with tempfile.TemporaryDirectory() as root:
            base = support.make_short_base(os.path.join(root, "base"))
            with open(os.path.join(base, "Events.ini"), "a") as stream:
                stream.write("[event]\n  kind Brakes\n  speed 9\n"
                             "[event]\n  kind TargetSpeed\n  speed 4.5\n  hold 0.2\n")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", InputWarning)
                scenario = Scenario.load(base).copy()
            scenario.set("Events.ini:[event]:2:speed", 5)
            run = scenario.run(vdsim=support.VDSIM)
        events = run.event_metrics()
        self.assertEqual([(e["number"], e["kind"], e["speed"]) for e in events],
                         [(2, "TargetSpeed", 5)])
        self.assertEqual(run.record["events"][0],
                         {"number": 1, "kind": "Brakes", "line": 5, "ignored": True})
        self.assertEqual((run.metrics()["accel_event"], run.metrics()["accel_to_mps"]), (2, 4.5))
        rows = run.event(2)
        self.assertTrue(all(rows["Event (-)"] == 2))
        self.assertGreater(rows["Ground Speed (m/s)"][-1], 4.0)  # the swept 5 m/s, not 4.5
        with self.assertRaisesRegex(KeyError, r"no rows of event 1 \(its kind Brakes is not one "
                                              r"vdsim knows: it was ignored\); the run's rows "
                                              r"belong to events 0, 2"):
            run.event(1)


def readme_row(name):
    """The row of examples/NAME in the README's table of the examples' metrics."""
    with open(os.path.join(support.REPO, "README.md")) as stream:
        text = stream.read()
    table = text[text.index("<!-- example-metrics -->"):text.index("<!-- end example-metrics -->")]
    return next(line for line in table.splitlines() if line.startswith("| `%s` |" % name))


# How the README's table writes each metric of an example: key, text.
README_FORMS = {
    "default": (("accel_time_s", "in %.2f s"), ("understeer_gradient_deg_per_g", "%+.2f deg/g"),
                ("roll_gradient_deg_per_g", "%+.2f deg/g"),
                ("sideslip_gradient_deg_per_g", "%+.2f deg/g"),
                ("fit_from_g", "fit over %.2f to"), ("fit_to_g", "to %.2f g"),
                ("quasi_steady_radius_median_m", "median radius driven %.1f m"),
                ("braking_start_speed_mps", "stop from %.2f m/s"),
                ("stopping_distance_m", "in %.2f m"),
                ("braking_decel_mean_mps2", "mean deceleration %.2f m/s2")),
    "straight": (("accel_to_mps", "to %.1f m/s"), ("accel_time_s", "in %.2f s"),
                 ("braking_start_speed_mps", "stop from %.2f m/s"),
                 ("stopping_distance_m", "in %.2f m"),
                 ("braking_decel_mean_mps2", "mean deceleration %.2f m/s2"),
                 ("braking_decel_peak_mps2", "peak %.2f m/s2")),
    "step-steer": (("step_steer_yaw_rate_steady_radps", "steady yaw rate %.3f rad/s"),
                   ("step_steer_lat_accel_steady_mps2", "at %.2f m/s2"),
                   ("step_steer_yaw_rate_response_time_s", "response time %.3f s"),
                   ("step_steer_yaw_rate_peak_radps", "peak %.3f rad/s"),
                   ("step_steer_yaw_rate_peak_response_time_s", "%.3f s after t50"),
                   ("step_steer_yaw_rate_overshoot_pct", "(overshoot %.1f %%)"),
                   ("step_steer_lat_accel_response_time_s", "response time %.3f s; gains"),
                   ("step_steer_yaw_rate_gain_radps_per_deg", "gains %.3f rad/s"),
                   ("step_steer_lat_accel_gain_g_per_deg", "and %.3f g per deg")),
    "sine-dwell": (("sine_dwell_yaw_rate_peak_radps", "yaw-rate peak %.3f rad/s"),
                   ("sine_dwell_yaw_rate_ratio_at_1_00_s_pct", "yaw rate %.1f %% of it 1.00 s"),
                   ("sine_dwell_yaw_rate_ratio_at_1_75_s_pct", "%.1f %% after 1.75 s"),
                   ("sine_dwell_lateral_displacement_at_1_07_s_m", "displacement %.2f m")),
    "steady-sine": (("sine_steer_yaw_rate_gain_radps_per_deg", "yaw-rate gain %.3f rad/s"),
                    ("sine_steer_yaw_rate_phase_deg", "per deg, phase %.1f deg;"),
                    ("sine_steer_lat_accel_gain_g_per_deg", "lateral-acceleration gain %.3f g"),
                    ("sine_steer_lat_accel_phase_deg", "g/deg, phase %.1f deg")),
}
README_FORMS["skidpad"] = README_FORMS["default"] + (
    ("limit_lat_accel_mps2", "radius %+.2f m/s2"),)


class ExamplesTest(unittest.TestCase):
    """The examples' metrics: physically sound, and as the README states them."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.metrics = {}

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def metrics_of(self, name):
        support.require_vdsim(self)
        if name not in self.metrics:
            run = support.copy_example(name, os.path.join(self.directory.name, name))
            self.metrics[name] = vo.load_run(support.run_vdsim(run, "--extended")).metrics()
        return self.metrics[name]

    def test_the_readme_table(self):
        for name, forms in sorted(README_FORMS.items()):
            with self.subTest(name):
                metrics, row = self.metrics_of(name), readme_row(name)
                for key, form in forms:
                    self.assertIsNotNone(metrics[key], key)
                    self.assertIn(form % metrics[key], row, key)

    def test_skidpad(self):
        metrics = self.metrics_of("skidpad")
        # 52 % of the weight on the front axle, the same tires all round: a
        # small understeer (see the README), a body that rolls out of the turn,
        # the nose turned in beyond the path as the speed rises.
        self.assertEqual(metrics["cornering_event"], 2)
        self.assertGreater(metrics["understeer_gradient_deg_per_g"], 0.0)
        self.assertLess(metrics["understeer_gradient_deg_per_g"], 1.0)
        self.assertGreater(metrics["roll_gradient_deg_per_g"], 2.0)
        self.assertLess(metrics["sideslip_gradient_deg_per_g"], 0.0)
        self.assertAlmostEqual(metrics["quasi_steady_radius_median_m"], 40.0, delta=0.5)
        self.assertGreater(metrics["limit_lat_accel_mps2"], 6.0)


if __name__ == "__main__":
    unittest.main()
