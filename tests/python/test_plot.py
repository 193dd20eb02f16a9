"""Tests of vdsim/plot.py: the panels of the dashboard with and without
Extended.csv, overlays, channels against another channel, and the plot of a
sweep's metric, checked on the figures themselves."""

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
        handling = axes_titled(figure, "Handling diagram (linear range 0.1 to 0.4 g)")[0]
        self.assertEqual((handling.get_xlabel(), handling.get_ylabel()),
                         ("Lateral acceleration (g)", "Road-wheel steer angle (deg)"))
        self.assertIn("understeer gradient: +2.50 deg/g", found)
        # Event boundaries, labelled once, drawn on every time panel.
        for label in ("1 TargetSpeed", "2 SteerRamp", "3 Brake"):
            self.assertEqual(found.count(label), 1, label)
        hub = axes_titled(figure, "Hub forces")[0]
        self.assertEqual(hub.get_ylabel(), "Hub Force (N)")
        boundaries = [segment[0][0] for lines in hub.collections
                      for segment in lines.get_segments() if segment[0][0] == segment[1][0]]
        self.assertEqual(sorted(round(x, 3) for x in boundaries), [6.049, 10.249, 40.249])
        self.assertTrue(any("Events (Extended.csv, Run.json)" in t for t in found))
        self.assertEqual(tuple(figure.get_size_inches()), plot.EXTENDED_SIZE)

    def test_dashboard_of_output_csv_alone(self):
        figure = plot.dashboard(plt, [self.plain], "title")
        self.assertEqual(axes_titled(figure, "Path"), [])
        self.assertEqual(axes_titled(figure, "Handling"), [])
        self.assertEqual(tuple(figure.get_size_inches()), plot.DASHBOARD_SIZE)
        self.assertEqual(axes_titled(figure, "Hub forces")[0].get_ylabel(), "Hub Force (N)")
        self.assertNotIn("Suspension Mount Moment (Nm)", texts(figure))

    def test_overlay(self):
        figure = plot.dashboard(plt, [self.extended, self.plain], "two runs", "ride, arb")
        # The runs' colours in the speed panel's legend, corners by line style elsewhere.
        speeds = axes_titled(figure, "ride, arb; speeds")[0]
        self.assertEqual([t.get_text() for t in speeds.get_legend().get_texts()],
                         ["extended", "plain", "Ground Speed (m/s)", "Engine Speed (rpm)"])
        normal = axes_titled(figure, "Normal forces")[0]
        self.assertEqual([t.get_text() for t in normal.get_legend().get_texts()],
                         ["LF", "RF", "LR", "RR"])
        colours = {line.get_color() for line in normal.get_lines()[:8]}
        self.assertEqual(colours, {plot.RUN_COLOURS[0], plot.RUN_COLOURS[1]})
        styles = [line.get_linestyle() for line in normal.get_lines()[:4]]
        self.assertEqual(styles, ["-", "--", ":", "-."])
        # The path of the run that has one; the summaries side by side.
        self.assertEqual(len(axes_titled(figure, "Path")), 1)
        self.assertTrue(any(t.startswith("Run summaries\n  ride, arb") for t in texts(figure)))

    def test_channels_against_another_channel(self):
        figure = plot.channels(plt, [self.extended, self.plain], ["Normal Force LF (N)"],
                               "title", x_name="Lat. Accel (m/s2)")
        ax = figure.axes[0]
        self.assertEqual(ax.get_xlabel(), "Lat. Accel (m/s2)")
        self.assertEqual([t.get_text() for t in ax.get_legend().get_texts()], ["extended", "plain"])
        np.testing.assert_array_equal(ax.get_lines()[0].get_xdata(),
                                      self.extended.data.output["Lat. Accel (m/s2)"])

    def test_non_finite_and_huge_values_are_left_out(self):
        values = plot.plottable([1.0, np.nan, np.inf, -1e308, 3e38, -3.5e38])
        np.testing.assert_array_equal(values, [1.0, np.nan, np.nan, np.nan, 3e38, np.nan])

    def test_sweep_metric(self):
        lines = {"4000": [(1.4, 0.3), (1.2, 0.2)], "8000": [(1.2, 0.25), (1.4, 0.35)]}
        figure = plot.sweep_metric(plt, "understeer_gradient_deg_per_g",
                                   "{car}.params:[params]:frontRideFrequency", [1.2, 1.4],
                                   "antiRollRear", lines, "title")
        ax = figure.axes[0]
        self.assertEqual([t.get_text() for t in ax.get_legend().get_texts()],
                         ["antiRollRear = 4000", "antiRollRear = 8000"])
        self.assertEqual(list(ax.get_lines()[0].get_xdata()), [1.2, 1.4])
        self.assertEqual(ax.get_ylabel(), "understeer_gradient_deg_per_g")


if __name__ == "__main__":
    unittest.main()
