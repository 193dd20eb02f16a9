"""Tests of vdsim/metrics.py: the whole-run summary, and the metrics of each
event on a synthetic run whose answers are known (tests/python/data/
make_synthetic_run.py) and on the skidpad example."""

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
from vdsim.scenario import InputWarning, Scenario, run_wheelbase  # noqa: E402

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


class EventMetricsTest(unittest.TestCase):
    """Each metric against the synthetic run's known answers."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        run = os.path.join(cls.directory.name, "run")
        syn.write(run)
        cls.data = vo.load_run(run)
        cls.wheelbase = run_wheelbase(cls.data.csv_path, cls.data.record)
        cls.events = m.event_metrics(cls.data, cls.wheelbase)
        cls.metrics = m.run_metrics(cls.data, cls.events)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def test_every_event(self):
        self.assertEqual(self.wheelbase, syn.WHEELBASE)
        self.assertEqual([(e["number"], e["kind"], e["line"]) for e in self.events],
                         [(0, "built-in", None), (1, "TargetSpeed", 5), (2, "SteerRamp", 7),
                          (3, "Brake", 9)])
        turn = self.events[2]
        self.assertAlmostEqual(turn["start_s"], 10.299)
        self.assertAlmostEqual(turn["end_s"], 40.199)
        self.assertAlmostEqual(turn["speed_end_mps"], 10.0 + 0.4 * (40.1495 - syn.T2), places=6)
        self.assertAlmostEqual(turn["lat_accel_peak_mps2"], syn.LIMIT_G * syn.G, places=6)
        self.assertAlmostEqual(self.events[3]["long_accel_peak_mps2"], -syn.BRAKE_DECEL, places=6)

    def test_cornering(self):
        turn = self.events[2]
        self.assertAlmostEqual(turn["understeer_gradient_deg_per_g"], syn.K, places=4)
        # Roll is sampled at the row's end, the lateral acceleration averaged over it.
        self.assertAlmostEqual(turn["roll_gradient_deg_per_g"], syn.ROLL, places=1)
        self.assertAlmostEqual(turn["sideslip_gradient_deg_per_g"], syn.BETA, places=4)
        # The fit covers 0.2 g (10 m/s on 50 m) to 0.4 g; then the radius opens at 0.8 g.
        self.assertAlmostEqual(turn["fit_from_g"], 10.02 ** 2 / 50 / syn.G, places=2)
        self.assertLessEqual(turn["fit_to_g"], 0.4)
        self.assertEqual(turn["fit_rows"], 100)
        self.assertAlmostEqual(turn["limit_lat_accel_mps2"], syn.LIMIT_G * syn.G, places=6)
        self.assertAlmostEqual(turn["driven_radius_m"], syn.RADIUS, places=2)
        self.assertEqual(turn["target_radius_m"], syn.RADIUS)

    def test_understeer_gradient_needs_the_wheelbase(self):
        events = m.event_metrics(self.data, math.nan)
        self.assertTrue(math.isnan(events[2]["understeer_gradient_deg_per_g"]))
        self.assertAlmostEqual(events[2]["roll_gradient_deg_per_g"], syn.ROLL, places=1)

    def test_braking(self):
        stop = self.events[3]
        self.assertAlmostEqual(stop["braking_start_s"], syn.T3 + syn.BRAKE_DELAY, places=6)
        # The speed then, from the rows before, which still rose at 0.4 m/s2 in the turn.
        self.assertAlmostEqual(stop["braking_start_speed_mps"], syn.V_TURN_END, delta=0.03)
        # 22^2 / (2 * 8) = 30.25 m; the start's position is interpolated between
        # rows, 4 mm short at 22 m/s.
        self.assertAlmostEqual(stop["stopping_distance_m"], 30.25, delta=0.005)
        self.assertAlmostEqual(stop["braking_decel_mean_mps2"], syn.BRAKE_DECEL, delta=0.02)
        self.assertAlmostEqual(stop["braking_decel_peak_mps2"], syn.BRAKE_DECEL, places=6)

    def test_acceleration(self):
        launch, accel = self.events[0], self.events[1]
        self.assertEqual((accel["accel_from_mps"], accel["accel_to_mps"]), (2.5, 9.0))
        self.assertAlmostEqual(accel["accel_time_s"], 2.6, places=6)  # at 2.5 m/s2
        self.assertEqual((launch["accel_from_mps"], launch["accel_to_mps"]), (1.0, 1.8))
        self.assertAlmostEqual(launch["accel_time_s"], 0.4, places=6)  # at 2 m/s2
        self.assertNotIn("accel_time_s", self.events[2])

    def test_run_metrics_take_the_first_event_of_each_kind(self):
        metrics = self.metrics
        self.assertEqual(list(metrics), m.metric_keys())
        self.assertEqual((metrics["cornering_event"], metrics["braking_event"],
                          metrics["accel_event"]), (2, 3, 1))
        self.assertEqual(metrics["understeer_gradient_deg_per_g"],
                         self.events[2]["understeer_gradient_deg_per_g"])
        # The steady-state turn is the SteerRamp from its entry, not the stop after it.
        self.assertAlmostEqual(metrics["turn_start_s"], 10.299)
        self.assertAlmostEqual(metrics["turn_end_s"], 40.199)

    def test_without_extended_the_whole_run_summary_stands(self):
        data = vo.RunData(self.data.csv_path, self.data.output)
        self.assertEqual(m.event_metrics(data), [])
        metrics = m.run_metrics(data)
        self.assertIsNone(metrics["cornering_event"])
        self.assertTrue(math.isnan(metrics["stopping_distance_m"]))
        self.assertEqual({k: metrics[k] for k in m.summary_keys() if k.startswith("top")},
                         {k: self.metrics[k] for k in m.summary_keys() if k.startswith("top")})


def example_metrics(name, root):
    """The flat metrics of a run of examples/NAME with --extended."""
    run = support.run_vdsim(support.copy_example(name, os.path.join(root, name)), "--extended")
    data = vo.load_run(run)
    return m.run_metrics(data, m.event_metrics(data, run_wheelbase(data.csv_path, data.record)))


def readme_row(name):
    """The row of examples/NAME in the README's table of the examples' metrics."""
    with open(os.path.join(support.REPO, "README.md")) as stream:
        text = stream.read()
    table = text[text.index("<!-- example-metrics -->"):text.index("<!-- end example-metrics -->")]
    return next(line for line in table.splitlines() if line.startswith("| `%s` |" % name))


class PhaseTest(unittest.TestCase):
    """Rows go to the event their Event (-) cell names, events to their Run.json
    record by number."""

    def test_rows_by_event_number_against_a_plain_scan(self):
        generator = np.random.default_rng(7)
        for trial in range(40):
            # Runs of event numbers, some repeated later, some cells nan.
            numbers = np.repeat(generator.integers(0, 6, 12), generator.integers(1, 5, 12))
            numbers = numbers.astype(float)
            numbers[generator.random(len(numbers)) < 0.1] = np.nan
            extended = vo.Channels([vo.EVENT], [numbers])
            record = {"events": [{"number": 3, "kind": "Brake"},
                                 {"number": 4, "kind": "Brakes", "ignored": True}]}
            phases = m.phases(vo.RunData("Output.csv", None, extended, record))
            expected = []
            for number in dict.fromkeys(int(n) for n in numbers if np.isfinite(n)):
                kind = {0: m.BUILT_IN_KIND, 3: "Brake"}.get(number, "?")
                expected.append((number, kind, list(np.flatnonzero(numbers == number))))
            self.assertEqual([(p.number, p.kind, list(p.rows)) for p in phases], expected)

    def test_numbers_agree_with_addresses_when_a_kind_is_unknown(self):
        support.require_vdsim(self)
        with tempfile.TemporaryDirectory() as root:
            base = support.make_short_base(os.path.join(root, "base"))
            with open(os.path.join(base, "Events.ini"), "a") as stream:
                stream.write("[event]\n  kind Brakes\n  speed 9\n"
                             "[event]\n  kind TargetSpeed\n  speed 3\n  hold 0.2\n")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", InputWarning)
                scenario = Scenario.load(base).copy()
            scenario.set("Events.ini:[event]:2:speed", 3.5)
            run = scenario.run(vdsim=support.VDSIM)
        events = run.event_metrics()
        self.assertEqual([(e["number"], e["kind"]) for e in events],
                         [(0, "built-in"), (2, "TargetSpeed")])
        self.assertEqual(run.data.events[0]["speed"], 3.5)
        self.assertEqual(run.record["events"][0],
                         {"number": 1, "kind": "Brakes", "line": 5, "ignored": True})
        self.assertGreater(events[1]["speed_end_mps"], 3.0)


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
            self.metrics[name] = example_metrics(name, self.directory.name)
        return self.metrics[name]

    def assertInReadme(self, name, metrics):
        """Each metric the run gives, printed as the README prints it, is in its row."""
        row = readme_row(name)
        forms = (("accel_time_s", "in %.2f s"), ("understeer_gradient_deg_per_g", "%+.2f deg/g"),
                 ("roll_gradient_deg_per_g", "%+.2f deg/g"),
                 ("sideslip_gradient_deg_per_g", "%+.2f deg/g"), ("fit_from_g", "%.2f to"),
                 ("driven_radius_m", "radius driven %.1f m"),
                 ("braking_start_speed_mps", "stop from %.2f m/s"),
                 ("stopping_distance_m", "in %.2f m"),
                 ("braking_decel_mean_mps2", "mean deceleration %.2f m/s2"))
        for key, form in forms:
            if math.isfinite(metrics[key]):
                self.assertIn(form % metrics[key], row, key)

    def test_skidpad(self):
        metrics = self.metrics_of("skidpad")
        self.assertInReadme("skidpad", metrics)
        self.assertIn("+%.2f m/s2" % metrics["limit_lat_accel_mps2"], readme_row("skidpad"))
        # 52 % of the weight on the front axle, the same tires all round: a
        # small understeer (see the README), a body that rolls out of the turn,
        # the nose turned in beyond the path as the speed rises.
        self.assertEqual(metrics["cornering_event"], 2)
        self.assertGreater(metrics["understeer_gradient_deg_per_g"], 0.0)
        self.assertLess(metrics["understeer_gradient_deg_per_g"], 1.0)
        self.assertGreater(metrics["roll_gradient_deg_per_g"], 2.0)
        self.assertLess(metrics["sideslip_gradient_deg_per_g"], 0.0)
        self.assertAlmostEqual(metrics["driven_radius_m"], 40.0, delta=0.5)
        self.assertGreater(metrics["limit_lat_accel_mps2"], 6.0)

    def test_default(self):
        metrics = self.metrics_of("default")
        self.assertInReadme("default", metrics)
        # The turn stays on its radius, and the stop is made in a straight line.
        self.assertAlmostEqual(metrics["driven_radius_m"], 100.0, delta=5.0)
        self.assertGreater(metrics["fit_rows"], 20)
        self.assertEqual(metrics["braking_event"], 4)

    def test_straight(self):
        metrics = self.metrics_of("straight")
        self.assertInReadme("straight", metrics)
        self.assertIsNone(metrics["cornering_event"])
        self.assertAlmostEqual(metrics["braking_decel_peak_mps2"], 8.99, places=2)


if __name__ == "__main__":
    unittest.main()
