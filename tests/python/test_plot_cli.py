"""Tests of vdsim/plot_cli.py, run as a user runs it: tools/vdsim-plot
through its own #! line."""

import os
import struct
import subprocess
import unittest

import support

support.require_modules(("numpy", "python3-numpy"), ("matplotlib", "python3-matplotlib"))
import make_synthetic_run as syn  # noqa: E402
from vdsim import sweep_dir  # noqa: E402
from vdsim.sweep_file import Sweep  # noqa: E402

SCRIPT = os.path.join(support.TOOLS, "vdsim-plot")
GOLDEN = os.path.join(support.DATA, "golden.csv")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
HEADER = open(GOLDEN).readline()


def png_size(path):
    """(width, height) from a PNG's IHDR chunk, after checking the signature."""
    with open(path, "rb") as stream:
        head = stream.read(24)
    if head[:8] != PNG_SIGNATURE or head[12:16] != b"IHDR":
        raise AssertionError("%s is not a PNG file" % path)
    return struct.unpack(">II", head[16:24])


def run_plot(*arguments, **options):
    env = support.tool_environment(**options.pop("env", {}))
    return subprocess.run([SCRIPT] + list(arguments), capture_output=True, text=True, env=env,
                          timeout=120, **options)


class TempDir(support.TempDir):
    def assertFails(self, result, message):
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertNotIn("Traceback", result.stderr)
        self.assertEqual(result.stderr, "vdsim-plot: %s\n" % message)


class DashboardTest(TempDir):
    def test_dashboard_of_a_run_directory(self):
        syn.write(self.path("run"), diverge_at=40.0)
        result = run_plot(self.path("run"))
        self.assertEqual(result.returncode, 0, result.stderr)
        png = self.path("run", "Data", "Output.png")
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "Run summary")
        self.assertIn("  Steady-state turn        10.3 to 40.2 s", lines)
        self.assertIn("  Non-finite values        from 40.1 s (run diverged)", lines)
        self.assertIn("Events (Extended.csv, Run.json)", lines)
        self.assertEqual(lines[-1], "Wrote " + png)
        self.assertEqual(png_size(png), (1600, 1700))
        self.assertEqual(result.stderr, "")

    def test_named_channels_without_summary(self):
        syn.write(self.path("run"), extended=False)
        out = self.path("two.png")
        # The two-blank column is also found by its name written with one blank.
        result = run_plot(self.path("run", "Data", "Output.csv"), "-o", out, "--no-summary",
                          "--channels", "Engine Speed (rpm)", "Suspension Deflection RF (m)")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "Wrote %s\n" % out)
        self.assertEqual(png_size(out), (1600, 600))

    def test_rows_all_nan_or_huge(self):
        for name, cell in (("nan", "nan"), ("huge", "1e308"), ("minus huge", "-1e308")):
            with self.subTest(name):
                csv = self.write("Output.csv", HEADER + ("%s," % cell) * 21 + "\n"
                                 + ("%s," % cell) * 21 + "\n")
                result = run_plot(csv, "-o", self.path("out.png"))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(png_size(self.path("out.png")), (1600, 1200))
                if cell == "nan":
                    self.assertIn("  Top speed                no finite value", result.stdout)
                    self.assertIn("  Duration                 nan s", result.stdout)

    def test_an_earlier_runs_extended_files_are_left_out(self):
        syn.write(self.path("run"))
        with open(self.path("run", "Data", "Output.csv"), "a") as stream:
            stream.write(",".join(["50.099000"] + ["1.000000"] * 20) + ",\n")
        result = run_plot(self.path("run"), "-o", self.path("out.png"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "vdsim-plot: note: Extended.csv and Run.json left out: "
                                        "they belong to an earlier run (the SHA-256 of "
                                        "Output.csv differs from Run.json's)\n")
        self.assertNotIn("Events", result.stdout)
        self.assertEqual(png_size(self.path("out.png")), (1600, 1200))


class OverlayTest(TempDir):
    def test_two_runs_side_by_side(self):
        syn.write(self.path("a"))
        syn.write(self.path("b"), extended=False)
        result = run_plot(self.path("a"), self.path("b"), "--labels", "soft", "stiff",
                          "-o", self.path("both.png"))
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "Run summaries")
        self.assertEqual(lines[1].split(), ["Runs", "soft", "stiff"])
        self.assertEqual(lines[-1], "Wrote " + self.path("both.png"))
        self.assertEqual(png_size(self.path("both.png")), (1600, 1700))

    def test_channels_against_lateral_acceleration(self):
        syn.write(self.path("a"))
        syn.write(self.path("b"))
        result = run_plot(self.path("a"), self.path("b"), "--x", "lat. accel (m/s2)",
                          "--channels", "Roll (rad)", "Normal Force LF (N)", "--no-summary",
                          cwd=self.root)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "Wrote overlay.png\n")
        self.assertEqual(png_size(self.path("overlay.png")), (1600, 600))

    def test_a_sweep_directory(self):
        sweep = Sweep(["{car}.params:[params]:frontRideFrequency"], columns=[["1.2", "1.4"]])
        marker = {"format": sweep_dir.FORMAT, "version": sweep_dir.VERSION, "runs": 2,
                  "sweep": sweep, "plots": []}
        os.makedirs(self.path("sweep"))
        sweep_dir.write_marker(self.path("sweep"), marker)
        for name in ("0001", "0002"):
            syn.write(self.path("sweep", "runs", name))
        result = run_plot(self.path("sweep"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines()[1].split(), ["frontRideFrequency", "1.2", "1.4"])
        self.assertEqual(png_size(self.path("sweep", "overlay.png")), (1600, 1700))

    def test_labels_and_runs_must_agree(self):
        syn.write(self.path("a"), extended=False)
        self.assertFails(run_plot(self.path("a"), "--labels", "x", "y"), "--labels: 2 labels "
                                                                         "for 1 runs")
        self.assertFails(run_plot(*[self.path("a")] * 11), "11 runs; an overlay shows at "
                                                           "most 10")
        self.assertFails(run_plot(self.path("a"), "--x", "Time (s)"),
                         "--x goes with --channels: name the channels to draw against it")


def run_one_panel(*arguments, **options):
    """vdsim-plot drawing one channel only: quicker, for what does not depend on the picture."""
    return run_plot(*arguments, "--channels", "Ground Speed (m/s)", **options)


class PictureTest(TempDir):
    """-o writes exactly the path given; failures are one line."""

    def setUp(self):
        super().setUp()
        syn.write(self.path("run"), extended=False)
        self.run = self.path("run")

    def test_png_added_only_to_a_new_name_without_suffix(self):
        result = run_one_panel(self.run, "-o", self.path("myplot"), "--no-summary")
        self.assertEqual(result.stdout, "Wrote %s.png\n" % self.path("myplot"))
        self.assertEqual(png_size(self.path("myplot.png")), (1600, 400))
        result = run_one_panel(self.run, "-o", self.path("plot.v2"), "--no-summary")
        self.assertEqual(result.stdout, "Wrote %s\n" % self.path("plot.v2"))
        self.assertEqual(png_size(self.path("plot.v2")), (1600, 400))
        result = run_one_panel(self.run, "-o", self.path("plot.svg"), "--no-summary")
        with open(self.path("plot.svg")) as stream:
            self.assertIn("<svg", stream.read(1000))

    def test_an_existing_file_is_written_as_named(self):
        self.write("existing", "old")
        result = run_one_panel(self.run, "-o", self.path("existing"), "--no-summary")
        self.assertEqual(result.stdout, "Wrote %s\n" % self.path("existing"))
        self.assertEqual(png_size(self.path("existing")), (1600, 400))
        self.assertFalse(os.path.exists(self.path("existing.png")))

    def test_unwritable_pictures(self):
        if os.path.exists("/dev/full"):
            self.assertFails(run_one_panel(self.run, "-o", "/dev/full"),
                             "cannot write /dev/full: No space left on device")
            self.assertFalse(os.path.exists("/dev/full.png"))
        self.assertFails(run_one_panel(self.run, "-o", self.path("no", "such.png")),
                         "cannot write %s: no such directory" % self.path("no", "such.png"))
        self.assertFails(run_one_panel(self.run, "-o", self.root),
                         "cannot write %s: is a directory" % self.root)
        # A failed write keeps the file that was there.
        self.write("kept.png", "old")
        os.chmod(self.root, 0o555)
        try:
            result = run_one_panel(self.run, "-o", self.path("kept.png"))
            if os.geteuid() != 0:  # root writes anyway
                self.assertEqual(result.returncode, 2)
                self.assertRegex(result.stderr, r"^vdsim-plot: cannot write .*kept.png: "
                                                r"Permission denied\n$")
                with open(self.path("kept.png")) as stream:
                    self.assertEqual(stream.read(), "old")
        finally:
            os.chmod(self.root, 0o755)

    def test_standard_output_closed_or_full(self):
        result = run_one_panel(self.run, "-o", self.path("a.png"), stdout=None,
                          preexec_fn=lambda: os.close(1))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertEqual(png_size(self.path("a.png")), (1600, 400))
        if os.path.exists("/dev/full"):
            with open("/dev/full", "w") as full:
                result = subprocess.run([SCRIPT, self.run, "-o", self.path("b.png"), "--channels",
                                         "Ground Speed (m/s)"],
                                        stdout=full, stderr=subprocess.PIPE, text=True,
                                        env=support.tool_environment(), timeout=120)
            self.assertEqual(result.returncode, 2)
            self.assertEqual(result.stderr, "vdsim-plot: cannot write standard output: No "
                                            "space left on device\n")

    def test_a_reader_that_goes_away(self):
        result = subprocess.run("%s %s -o %s --channels 'Ground Speed (m/s)' | head -1"
                                % (SCRIPT, self.run, self.path("c.png")),
                                shell=True, capture_output=True, text=True,
                                env=support.tool_environment(), timeout=120)
        self.assertEqual(result.stdout, "Run summary\n")
        self.assertNotIn("Traceback", result.stderr)


class BadInputTest(TempDir):
    """Every failure: exit status 2, one line on standard error, nothing on standard output."""

    def assertFails(self, result, message):
        super().assertFails(result, message)
        self.assertEqual(result.stdout, "")

    def golden_lines(self):
        with open(GOLDEN) as stream:
            return stream.read().splitlines(keepends=True)

    def test_missing_run_directory_output(self):
        self.assertFails(run_plot(self.root),
                         "%s/Data/Output.csv: No such file or directory" % self.root)

    def test_empty_file(self):
        path = self.write("Output.csv", "")
        self.assertFails(run_plot(path),
                         "%s:1: empty file, expected a header of 21 channel names" % path)

    def test_header_only(self):
        path = self.write("Output.csv", self.golden_lines()[0])
        self.assertFails(run_plot(path), "%s:1: header only, no data rows" % path)

    def test_row_with_wrong_cell_count(self):
        lines = self.golden_lines()
        lines[5] = lines[5].replace("nan,", "", 1)
        path = self.write("Output.csv", "".join(lines))
        self.assertFails(run_plot(path), "%s:6: expected 21 cells, found 20" % path)

    def test_unknown_channel_lists_valid_names(self):
        result = run_plot(GOLDEN, "--channels", "Ground Speed (m/s)", "Yaw Rate (rad/s)")
        self.assertEqual(result.returncode, 2)
        self.assertTrue(result.stderr.startswith(
            'vdsim-plot: unknown channel "Yaw Rate (rad/s)"; valid names: "Time (s)", '
            '"Ground Speed (m/s)", '))
        self.assertIn('"Suspension Deflection  RF (m)", ', result.stderr)
        self.assertTrue(result.stderr.endswith('"Suspension Mount Moment RR (Nm)"\n'))
        self.assertEqual(result.stderr.count("\n"), 1)

    def test_missing_matplotlib_is_named(self):
        # A matplotlib that fails to import stands in for one that is not installed.
        fake = self.path("fake", "matplotlib")
        os.makedirs(fake)
        self.write("fake/matplotlib/__init__.py", "raise ImportError('not installed')\n")
        result = run_plot(GOLDEN, env={"PYTHONPATH": os.path.dirname(fake)})
        self.assertFails(result, "Python module matplotlib not found; install Debian's "
                                 "python3-matplotlib (apt-get install python3-matplotlib)")


if __name__ == "__main__":
    unittest.main()
