"""Tests of vdsim/plot.py: the panels of the dashboard with and without
Extended.csv, overlays, channels against another channel, the event numbers,
the panel of the open-loop steer events, and the plots of a sweep, checked
on the figures themselves."""

import math
import os
import tempfile
import unittest

import support

support.require_modules(("numpy", "python3-numpy"), ("matplotlib", "python3-matplotlib"))
import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import make_synthetic_run as syn  # noqa: E402
from vdsim import output as vo  # noqa: E402
from vdsim import plot  # noqa: E402
from vdsim.plot_cli import load  # noqa: E402


def texts(figure):
    """Every text of a figure: titles, labels, legend entries, annotations."""
    found = [figure._suptitle.get_text()] if figure._suptitle else []
    for ax in figure.axes:
        found += [ax.get_title(), ax.get_xlabel(), ax.get_ylabel()]
        found += [t.get_text() for t in ax.texts]
        legend = ax.get_legend()
        if legend is not None:
            found += [t.get_text() for t in legend.get_texts()] + [legend.get_title().get_text()]
    return found


def axes_titled(figure, start):
    return [ax for ax in figure.axes if ax.get_title().startswith(start)
            or (ax.get_legend() and ax.get_legend().get_title().get_text().startswith(start))]


def line_labelled(ax, label):
    return next(line for line in ax.get_lines() if line.get_label() == label)


class PlotTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        root = cls.directory.name
        syn.write(os.path.join(root, "extended"))
        syn.write(os.path.join(root, "plain"), extended=False)
        cls.extended = load(os.path.join(root, "extended"), "extended")
        cls.plain = load(os.path.join(root, "plain"), "plain")

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def tearDown(self):
        plt.close("all")

    def test_dashboard_with_extended_channels(self):
        figure = plot.dashboard(plt, [self.extended], "title; Sedan, dt 0.001 s, vdsim 0.1.0")
        found = texts(figure)
        path = axes_titled(figure, "Path seen from above")[0]
        self.assertEqual(path.get_aspect(), 1.0)
        self.assertTrue(path.yaxis_inverted())  # y down the page: a right turn is clockwise
        self.assertEqual(len(path.collections), 1)  # the heading arrows
        # Events numbered once, named in the key, drawn on every time panel where they begin.
        for label in ("1", "2", "3"):
            self.assertEqual(found.count(label), 1, label)
        self.assertIn("Time (s)\nevents: 1 TargetSpeed, 2 SteerRamp, 3 Brake", found)
        hub = axes_titled(figure, "Hub forces")[0]
        self.assertEqual(hub.get_ylabel(), "Hub Force (N)")
        boundaries = [segment[0][0] for lines in hub.collections
                      for segment in lines.get_segments() if segment[0][0] == segment[1][0]]
        self.assertEqual(sorted(boundaries), [syn.T1, syn.T2, syn.T3])
        self.assertTrue(any("Events (Run.json, measured at every step)" in t for t in found))
        self.assertEqual(tuple(figure.get_size_inches()), plot.EXTENDED_SIZE)
        self.assertEqual(axes_titled(figure, "Open-loop steer events"), [])  # none in this run

    def test_handling_diagram_takes_l_over_r_off(self):
        # The synthetic car steers L/R + K a_y/g: less L/R, K a_y/g is left,
        # whatever the radius; the line drawn is vdsim's fit through it.
        figure = plt.figure()
        ax = plot._handling_panel(figure, figure.add_gridspec(1, 1)[0, 0], [self.extended])
        self.assertEqual(ax.get_ylabel(), "Road-wheel angle less L/R (deg)")
        lat, angle, cornering = plot.handling_points(self.extended)
        steady = cornering & (lat > 0.1) & (lat < syn.LIMIT_G - 0.01)
        np.testing.assert_allclose(angle[steady], syn.K * lat[steady], atol=1e-3)  # row means
        fit = line_labelled(ax, "understeer gradient +2.50 deg/g (fit 0.20 to 0.40 g)")
        x, y = fit.get_xdata(), fit.get_ydata()
        self.assertEqual(list(x), [100.0 / syn.RADIUS / syn.G, 0.4])
        self.assertAlmostEqual((y[1] - y[0]) / (x[1] - x[0]), syn.K)
        self.assertAlmostEqual(y[0], syn.K * x[0], places=3)
        self.assertEqual([t.get_text() for t in ax.get_legend().get_texts()][0],
                         "cornering events: +2.50 deg/g")
        # Without a wheelbase the road-wheel angle itself, and the axis says so.
        bare = plot.PlotRun("bare", self.extended.data, self.extended.metrics,
                            self.extended.events)
        angle_alone = plot.handling_points(bare)[1]
        np.testing.assert_allclose(angle_alone[steady] - angle[steady],
                                   np.degrees(syn.WHEELBASE * lat[steady] * vo.G
                                              / self.extended.data.output[vo.GROUND_SPEED][steady]
                                              ** 2), atol=1e-9)

    def test_dashboard_of_output_csv_alone(self):
        figure = plot.dashboard(plt, [self.plain], "title", note="no Run.json of this run")
        self.assertEqual(axes_titled(figure, "Path"), [])
        self.assertEqual(axes_titled(figure, "Handling"), [])
        self.assertEqual(tuple(figure.get_size_inches()), plot.DASHBOARD_SIZE)
        self.assertEqual(axes_titled(figure, "Hub forces")[0].get_ylabel(), "Hub Force (N)")
        self.assertNotIn("Suspension Mount Moment (Nm)", texts(figure))
        self.assertTrue(any("not measured: no Run.json of this run" in t for t in texts(figure)))

    def test_overlay_one_line_per_run_unless_corners_are_asked_for(self):
        figure = plot.dashboard(plt, [self.extended, self.plain], "two runs", "ride, arb")
        speeds = axes_titled(figure, "ride, arb; speeds")[0]
        self.assertEqual([t.get_text() for t in speeds.get_legend().get_texts()],
                         ["extended", "plain", "Ground Speed (m/s)", "Engine Speed (rpm)"])
        normal = axes_titled(figure, "Normal forces")[0]
        self.assertEqual([(line.get_color(), line.get_linestyle(), line.get_label())
                          for line in normal.get_lines()],
                         [(plot.RUN_COLOURS[0], "-", vo.NORMAL_FORCE[0]),
                          (plot.RUN_COLOURS[1], "-", vo.NORMAL_FORCE[0])])
        self.assertEqual(normal.get_legend().get_title().get_text(), "Normal forces, LF")
        # The path of the run that has one; the summaries side by side.
        self.assertEqual(len(axes_titled(figure, "Path")), 1)
        self.assertTrue(any(t.startswith("Run summaries\n  ride, arb") for t in texts(figure)))
        # Corners asked for: one line per run and corner, corners by line style.
        ax = plt.figure().add_subplot()
        plot._time_panel(ax, [self.extended, self.plain], vo.NORMAL_FORCE, "N", "Normal forces",
                         plot._channel_label, ("LF", "RR"))
        self.assertEqual([(line.get_color(), line.get_linestyle()) for line in ax.get_lines()],
                         [(plot.RUN_COLOURS[i], style) for i in (0, 1) for style in ("-", "-.")])
        self.assertEqual([t.get_text() for t in ax.get_legend().get_texts()], ["LF", "RR"])

    def test_channels_in_degrees_against_another_channel(self):
        other = plot.PlotRun("other", self.extended.data, self.extended.metrics, [])
        figure = plot.channels(plt, [self.extended, other], ["Roll (rad)"], "title",
                               x_name="Lat. Accel (m/s2)")
        ax = figure.axes[0]
        self.assertEqual((ax.get_xlabel(), ax.get_ylabel()), ("Lat. Accel (m/s2)", "Roll (deg)"))
        self.assertEqual([t.get_text() for t in ax.get_legend().get_texts()], ["extended", "other"])
        np.testing.assert_array_equal(ax.get_lines()[0].get_xdata(),
                                      self.extended.data.output["Lat. Accel (m/s2)"])
        np.testing.assert_allclose(ax.get_lines()[0].get_ydata(),
                                   np.degrees(self.extended.data.extended["Roll (rad)"]))
        for name, shown in (("Yaw Rate (rad/s)", ("Yaw Rate (deg/s)", 180 / math.pi)),
                            ("Pitch Rate (rad/s)", ("Pitch Rate (deg/s)", 180 / math.pi)),
                            ("Wheel Spin LF (rad/s)", ("Wheel Spin LF (rad/s)", 1.0)),
                            ("Slip Angle RR (rad)", ("Slip Angle RR (deg)", 180 / math.pi)),
                            ("Pedal (-)", ("Pedal (-)", 1.0))):
            self.assertEqual(plot.shown(name), shown)

    def test_event_numbers_never_overlap(self):
        # 40 events 0.05 s apart, then 10 spread out, on one panel of a 40 s run.
        starts = [5.0 + 0.05 * i for i in range(40)] + [10.0 + 3.0 * i for i in range(10)]
        events = [{"number": n, "kind": "TargetSpeed", "start_s": t}
                  for n, t in enumerate(starts, start=1)]
        run = plot.PlotRun("many", self.extended.data, self.extended.metrics, events)
        figure = plot.channels(plt, [run], ["Ground Speed (m/s)"], "title")
        figure.canvas.draw()
        labels = [t for t in figure.axes[0].texts if t.get_text().isdigit()]
        boxes = [label.get_window_extent() for label in labels]
        for i, box in enumerate(boxes):
            for other in boxes[i + 1:]:
                self.assertFalse(box.overlaps(other), (box, other))
        numbers = [int(label.get_text()) for label in labels]
        self.assertEqual(numbers[:plot.EVENT_LABEL_LEVELS], [1, 2, 3])  # stacked in rows
        self.assertEqual(numbers[-10:], list(range(41, 51)))  # the spread ones all shown
        self.assertLess(len(numbers), 50)  # and some of the close ones left out
        self.assertEqual(len({round(box.y0) for box in boxes}), plot.EVENT_LABEL_LEVELS)
        self.assertEqual(figure.axes[0].get_xlabel(), "Time (s)\nevents numbered by their "
                         "[event] in Events.ini (kinds: see the summary)")

    def test_a_summary_longer_than_its_panel_says_what_it_left_out(self):
        figure = plt.figure(figsize=(8.0, 2.0), dpi=plot.DPI)
        text = "".join("line %d\n" % n for n in range(1, 101))
        shown = plot._text_panel(figure, figure.add_gridspec(1, 1)[0, 0], text, 7).texts[0]
        lines = shown.get_text().split("\n")
        kept = len(lines) - 1
        self.assertEqual(lines[-2:], ["line %d" % kept, "... %d more lines in the summary "
                                                        "vdsim-plot prints" % (100 - kept)])
        figure.canvas.draw()
        self.assertGreaterEqual(shown.get_window_extent().y0, 0.0)  # inside the picture
        self.assertGreater(kept, 8)  # and not much room left over

    def test_non_finite_and_huge_values_are_left_out(self):
        values = plot.plottable([1.0, np.nan, np.inf, -1e308, 3e38, -3.5e38])
        np.testing.assert_array_equal(values, [1.0, np.nan, np.nan, np.nan, 3e38, np.nan])


class SteerPanelTest(unittest.TestCase):
    """The panel of the open-loop steer events, on runs of the examples."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.runs = {}
        if os.path.isfile(support.VDSIM):
            for name in ("step-steer", "sine-dwell"):
                run = support.copy_example(name, os.path.join(cls.directory.name, name))
                cls.runs[name] = load(support.run_vdsim(run, "--extended"), name)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def panel(self, name):
        support.require_vdsim(self)
        figure = plt.figure(figsize=(16, 4))
        self.addCleanup(plt.close, figure)
        run = self.runs[name]
        ax = plot._steer_panel(figure, figure.add_gridspec(1, 1)[0, 0], [run])
        event = plot.steer_events(run)[0]
        instants = sorted(line.get_xdata()[0] for line in ax.get_lines()
                          if line.get_linestyle() == ":")
        yaw = figure.axes[1]
        time = run.data.output[vo.TIME]
        np.testing.assert_allclose(yaw.get_lines()[0].get_ydata(),
                                   np.degrees(run.data.extended[vo.YAW_RATE]))
        np.testing.assert_array_equal(yaw.get_lines()[0].get_xdata(), time)
        self.assertEqual((ax.get_ylabel(), yaw.get_ylabel()),
                         ("Road-wheel angle (deg)", "Yaw rate (deg/s)"))
        self.assertEqual(ax.get_xlim(), (event["start_s"] - 1.0, event["end_s"] + 0.5))
        return event, instants, yaw

    def test_step_steer(self):
        event, instants, yaw = self.panel("step-steer")
        self.assertEqual(instants, [event["steer_t50_s"]])
        levels = sorted(line.get_ydata()[0] for line in yaw.get_lines()[1:]
                        if line.get_xdata()[0] == 0)
        steady = math.degrees(event["yaw_rate_steady_radps"])
        np.testing.assert_allclose(levels, [0.9 * steady, steady])
        peak = [line for line in yaw.get_lines() if line.get_marker() == "v"][0]
        self.assertAlmostEqual(peak.get_xdata()[0],
                               event["steer_t50_s"] + event["yaw_rate_peak_response_time_s"])

    def test_sine_with_dwell(self):
        event, instants, yaw = self.panel("sine-dwell")
        complete = event["steer_complete_s"]
        self.assertEqual(instants, [event["steer_begin_s"], complete, complete + 1.0,
                                    complete + 1.75])
        # Short lines at 35 % and 20 % of the second lobe's peak.
        references = [(np.mean(line.get_xdata()), line.get_ydata()[0])
                      for line in yaw.get_lines()[1:]]
        peak = math.degrees(event["yaw_rate_peak_radps"])
        np.testing.assert_allclose(references, [(complete + 1.0, 0.35 * peak),
                                                (complete + 1.75, 0.2 * peak)])


class SweepPlotTest(unittest.TestCase):
    def tearDown(self):
        plt.close("all")

    def test_metric_titles(self):
        for key, title, scale in (
                ("understeer_gradient_deg_per_g", "understeer gradient (deg/g)", 1.0),
                ("braking_decel_mean_mps2", "braking deceleration mean (m/s2)", 1.0),
                ("step_steer_yaw_rate_steady_radps", "step steer yaw rate steady (deg/s)",
                 180 / math.pi),
                ("sine_steer_yaw_rate_gain_radps_per_deg",
                 "sine steer yaw rate gain ((deg/s)/deg)", 180 / math.pi),
                ("lat_accel_max_mps2", "lateral acceleration maximum (m/s2)", 1.0),
                ("sine_dwell_yaw_rate_ratio_at_1_00_s_pct",
                 "sine dwell yaw rate ratio at 1 00 s (%)", 1.0),
                ("normal_force_max_LF_N", "normal force maximum LF (N)", 1.0),
                ("fit_steps", "fit steps (-)", 1.0), ("g", "g (-)", 1.0)):
            with self.subTest(key):
                self.assertEqual(plot.metric_title(key), (title, scale))

    def test_sweep_metric(self):
        lines = {"4000": [(1.4, 0.3), (1.2, 0.2)], "8000": [(1.2, 0.25), (1.4, 0.35)]}
        figure = plot.sweep_metric(plt, "understeer_gradient_deg_per_g",
                                   "front ride frequency (Hz)", "antiRollRear", lines, "title")
        ax = figure.axes[0]
        self.assertEqual([t.get_text() for t in ax.get_legend().get_texts()],
                         ["antiRollRear = 4000", "antiRollRear = 8000"])
        self.assertEqual(list(ax.get_lines()[0].get_xdata()), [1.2, 1.4])
        self.assertEqual((ax.get_xlabel(), ax.get_ylabel()),
                         ("front ride frequency (Hz)", "understeer gradient (deg/g)"))

    def test_bode(self):
        def point(f, gain):
            return {"sine_steer_frequency_hz": f, "sine_steer_yaw_rate_gain_radps_per_deg": gain,
                    "sine_steer_lat_accel_gain_g_per_deg": 0.4, "sine_steer_yaw_rate_phase_deg":
                    -10.0 * f, "sine_steer_lat_accel_phase_deg": None}
        lines = {"20": [point(2.0, 0.05), point(0.5, 0.15)], "30": [point(1.0, 0.1)]}
        figure = plot.bode(plt, "speed", lines, "title")
        gain, _, phase, lat_phase = figure.axes
        self.assertEqual([ax.get_xscale() for ax in figure.axes], ["log"] * 4)
        self.assertEqual(list(gain.get_lines()[0].get_xdata()), [0.5, 2.0])
        np.testing.assert_allclose(gain.get_lines()[0].get_ydata(),
                                   np.degrees([0.15, 0.05]))
        self.assertEqual(list(phase.get_lines()[1].get_ydata()), [-10.0])
        self.assertEqual(len(lat_phase.get_lines()[0].get_xdata()), 0)  # nulls left out
        self.assertEqual([t.get_text() for t in gain.get_legend().get_texts()],
                         ["speed = 20", "speed = 30"])
        self.assertEqual([t.get_text() for t in phase.get_xticklabels()], ["0.5", "1", "2"])
        self.assertEqual(phase.get_xlabel(), "SineSteer frequency (Hz)")


if __name__ == "__main__":
    unittest.main()
