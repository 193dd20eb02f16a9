"""Tests of vdsim/plot_cli.py: its logic run in this process on synthetic runs
made once for the module, and what only a process shows (its #! line,
closed or full standard streams, a missing package) through tools/vdsim-plot
as a user runs it."""

import contextlib
import io
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import warnings

import support

support.require_modules(("numpy", "python3-numpy"), ("matplotlib", "python3-matplotlib"))
import make_synthetic_run as syn  # noqa: E402
from vdsim import launch, plot_cli, sweep_dir  # noqa: E402
from vdsim.scenario import InputWarning  # noqa: E402
from vdsim.sweep_file import Sweep  # noqa: E402

SCRIPT = os.path.join(support.TOOLS, "vdsim-plot")
GOLDEN = os.path.join(support.DATA, "golden.csv")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
HEADER = open(GOLDEN).readline()
RUNS = None  # the module's synthetic runs, made once


def setUpModule():
    global RUNS
    RUNS = tempfile.TemporaryDirectory()
    syn.write(os.path.join(RUNS.name, "diverged"), diverge_at=40.0)
    syn.write(os.path.join(RUNS.name, "extended"))
    syn.write(os.path.join(RUNS.name, "plain"), extended=False)


def tearDownModule():
    RUNS.cleanup()


def made(name, *names):
    return os.path.join(RUNS.name, name, *names)


def png_size(path):
    """(width, height) from a PNG's IHDR chunk, after checking the signature."""
    with open(path, "rb") as stream:
        head = stream.read(24)
    if head[:8] != PNG_SIGNATURE or head[12:16] != b"IHDR":
        raise AssertionError("%s is not a PNG file" % path)
    return struct.unpack(">II", head[16:24])


def plot(*arguments):
    """(exit status, standard output, standard error) of vdsim-plot run in this process."""
    stdout, stderr = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
        try:
            status = launch.run_tool(plot_cli.PROG, plot_cli.main, list(arguments))
        except SystemExit as stop:  # argparse
            status = stop.code
    return status, stdout.getvalue(), stderr.getvalue()


def run_script(*arguments, **options):
    env = support.tool_environment(**options.pop("env", {}))
    return subprocess.run([SCRIPT] + list(arguments), capture_output=True, text=True, env=env,
                          timeout=120, **options)


def one_panel(*arguments):
    """vdsim-plot drawing one channel only: quicker, for what does not depend on the picture."""
    return plot(*arguments, "--channels", "Ground Speed (m/s)")


class TempDir(support.TempDir):
    def assertFails(self, result, message):
        status, stdout, stderr = result
        self.assertEqual(status, 2, stderr)
        self.assertEqual(stderr, "vdsim-plot: %s\n" % message)
        self.assertEqual(stdout, "")

    def copy_run(self, name):
        return shutil.copytree(made(name), self.path(name))


class DashboardTest(TempDir):
    def test_dashboard_of_a_run_directory(self):
        # The real entry point, once, on the full dashboard.
        result = run_script(made("diverged"))
        self.assertEqual(result.returncode, 0, result.stderr)
        png = made("diverged", "Data", "Output.png")
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "Run summary")
        self.assertIn("  Steady-state turn        10.3 to 40.2 s", lines)
        self.assertIn("  Non-finite values        from 40.1 s (run diverged)", lines)
        self.assertIn("Events (Run.json, measured at every step)", lines)
        self.assertEqual(lines[-1], "Wrote " + png)
        self.assertEqual(png_size(png), (1600, 1700))
        self.assertEqual(result.stderr, "")

    def test_named_channels_without_summary(self):
        out = self.path("two.png")
        # The two-blank column is also found by its name written with one blank.
        status, stdout, stderr = plot(made("plain", "Data", "Output.csv"), "-o", out,
                                      "--no-summary", "--channels", "Engine Speed (rpm)",
                                      "Suspension Deflection RF (m)")
        self.assertEqual(status, 0, stderr)
        self.assertEqual(stdout, "Wrote %s\n" % out)
        self.assertEqual(png_size(out), (1600, 600))

    def test_rows_all_nan_or_huge(self):
        # plottable() is tested on both signs; here the dashboard as a whole.
        for name, cell in (("nan", "nan"), ("minus huge", "-1e308")):
            with self.subTest(name):
                csv = self.write("Output.csv", HEADER + ("%s," % cell) * 21 + "\n"
                                 + ("%s," % cell) * 21 + "\n")
                status, stdout, stderr = plot(csv, "-o", self.path("out.png"))
                self.assertEqual(status, 0, stderr)
                self.assertEqual(png_size(self.path("out.png")), (1600, 1200))
                if cell == "nan":
                    self.assertIn("  Top speed                no finite value", stdout)
                    self.assertIn("  Duration                 nan s", stdout)
                    self.assertIn("  Events                   not measured: no Run.json of this "
                                  "run: the events are measured by vdsim --extended", stdout)

    def test_an_earlier_runs_extended_files_are_left_out(self):
        run = self.copy_run("extended")
        with open(os.path.join(run, "Data", "Output.csv"), "a") as stream:
            stream.write(",".join(["50.099000"] + ["1.000000"] * 20) + ",\n")
        status, stdout, stderr = one_panel(run, "-o", self.path("out.png"))
        self.assertEqual(status, 0, stderr)
        self.assertEqual(stderr, "vdsim-plot: note: Extended.csv and Run.json left out: "
                                 "they belong to an earlier run (the SHA-256 of "
                                 "Output.csv differs from Run.json's)\n")
        self.assertIn("  Events                   not measured: no Run.json of this run (the one "
                      "there was left out, see the note)", stdout)

    def test_a_run_record_of_another_shape_is_a_note(self):
        run = self.copy_run("extended")
        record = os.path.join(run, "Data", "Run.json")
        for text in ("[" * 100000 + "]" * 100000, '{"outputs": 5}', '{"events": [{"number": []}]}',
                     '{"inputs": 7, "outputs": [{"file": "Output.csv"}]}'):
            with self.subTest(text=text[:20]):
                with open(record, "w") as stream:
                    stream.write(text)
                status, stdout, stderr = one_panel(run, "-o", self.path("out.png"))
                self.assertEqual(status, 0, stderr)
                self.assertRegex(stderr, r"^vdsim-plot: note: Run.json left out: .*\n$")
                self.assertNotIn("Events (Run.json", stdout)


class OverlayTest(TempDir):
    def test_two_runs_side_by_side(self):
        status, stdout, stderr = plot(made("extended"), made("plain"), "--labels", "soft",
                                      "stiff", "-o", self.path("both.png"))
        self.assertEqual(status, 0, stderr)
        lines = stdout.splitlines()
        self.assertEqual(lines[0], "Run summaries")
        self.assertEqual(lines[1].split(), ["Runs", "soft", "stiff"])
        self.assertEqual(lines[-1], "Wrote " + self.path("both.png"))
        self.assertEqual(png_size(self.path("both.png")), (1600, 1700))

    def test_channels_against_lateral_acceleration(self):
        cwd = os.getcwd()
        os.chdir(self.root)
        try:
            status, stdout, stderr = plot(made("extended"), made("diverged"), "--x",
                                          "lat. accel (m/s2)", "--channels", "Roll (rad)",
                                          "Normal Force LF (N)", "--no-summary")
        finally:
            os.chdir(cwd)
        self.assertEqual(status, 0, stderr)
        self.assertEqual(stdout, "Wrote overlay.png\n")
        self.assertEqual(png_size(self.path("overlay.png")), (1600, 600))

    def test_a_sweep_directory(self):
        sweep = Sweep(["{car}.params:[params]:frontRideFrequency"], columns=[["1.2", "1.4"]])
        marker = {"format": sweep_dir.FORMAT, "version": sweep_dir.VERSION, "runs": 2,
                  "sweep": sweep, "plots": []}
        os.makedirs(self.path("sweep"))
        sweep_dir.write_marker(self.path("sweep"), marker)
        for name in ("0001", "0002"):
            shutil.copytree(made("extended"), self.path("sweep", "runs", name))
        status, stdout, stderr = one_panel(self.path("sweep"))
        self.assertEqual(status, 0, stderr)
        self.assertEqual(stdout.splitlines()[1].split(), ["frontRideFrequency", "1.2", "1.4"])
        self.assertEqual(png_size(self.path("sweep", "overlay.png")), (1600, 400))
        self.assertFails(plot(self.path("sweep"), "-o", self.path("sweep", "sweep.json")),
                         "cannot write %s: it is an input of the plot"
                         % self.path("sweep", "sweep.json"))

    def test_labels_and_runs_must_agree(self):
        run = made("plain")
        self.assertFails(plot(run, "--labels", "x", "y"), "--labels: 2 labels for 1 runs")
        self.assertFails(plot(*[run] * 11), "11 runs; an overlay shows at most 10")
        self.assertFails(plot(run, "--x", "Time (s)"),
                         "--x goes with --channels: name the channels to draw against it")


class PictureTest(TempDir):
    """-o writes exactly the path given, never over a file the plot reads;
    failures are one line."""

    def test_png_added_only_to_a_new_name_without_suffix(self):
        run = made("plain")
        for given, written in (("myplot", "myplot.png"), ("plot.v2", "plot.v2")):
            status, stdout, stderr = one_panel(run, "-o", self.path(given), "--no-summary")
            self.assertEqual(stdout, "Wrote %s\n" % self.path(written))
            self.assertEqual(png_size(self.path(written)), (1600, 400))
        one_panel(run, "-o", self.path("plot.svg"), "--no-summary")
        with open(self.path("plot.svg")) as stream:
            self.assertIn("<svg", stream.read(1000))
        self.write("existing", "old")
        status, stdout, stderr = one_panel(run, "-o", self.path("existing"), "--no-summary")
        self.assertEqual(stdout, "Wrote %s\n" % self.path("existing"))
        self.assertEqual(png_size(self.path("existing")), (1600, 400))
        self.assertFalse(os.path.exists(self.path("existing.png")))

    def test_unwritable_pictures(self):
        run = made("plain")
        if os.path.exists("/dev/full"):
            self.assertFails(one_panel(run, "-o", "/dev/full", "--no-summary"),
                             "cannot write /dev/full: No space left on device")
            self.assertFalse(os.path.exists("/dev/full.png"))
        self.assertFails(one_panel(run, "-o", self.path("no", "such.png")),
                         "cannot write %s: no such directory" % self.path("no", "such.png"))
        self.assertFails(one_panel(run, "-o", self.root),
                         "cannot write %s: is a directory" % self.root)
        # A failed write keeps the file that was there.
        self.write("kept.png", "old")
        os.chmod(self.root, 0o555)
        try:
            status, stdout, stderr = one_panel(run, "-o", self.path("kept.png"))
            if os.geteuid() != 0:  # root writes anyway
                self.assertEqual(status, 2)
                self.assertRegex(stderr, r"^vdsim-plot: cannot write .*kept.png: "
                                         r"Permission denied\n$")
                with open(self.path("kept.png")) as stream:
                    self.assertEqual(stream.read(), "old")
        finally:
            os.chmod(self.root, 0o755)

    def test_a_picture_never_replaces_an_input(self):
        run = self.copy_run("extended")
        data = os.path.join(run, "Data")
        os.symlink(os.path.join(data, "Run.json"), self.path("link.png"))
        os.link(os.path.join(data, "Extended.csv"), self.path("hard.png"))
        before = {name: open(os.path.join(data, name), "rb").read() for name in os.listdir(data)}
        for picture, input_path in ((os.path.join(data, "Output.csv"), None),
                                    (self.path("link.png"), os.path.join(data, "Run.json")),
                                    (self.path("hard.png"), os.path.join(data, "Extended.csv")),
                                    (os.path.join(run, "Sedan.params"), "")):
            with self.subTest(picture=picture):
                status, stdout, stderr = one_panel(run, "-o", picture)
                self.assertEqual(status, 2)
                self.assertEqual(stdout, "")
                self.assertRegex(stderr, r"^vdsim-plot: cannot write %s: it is an input of the "
                                         r"plot" % picture)
                if input_path:
                    self.assertIn("(%s)" % input_path, stderr)
        self.assertEqual({name: open(os.path.join(data, name), "rb").read()
                          for name in os.listdir(data)}, before)
        with open(os.path.join(run, "Sedan.params"), "rb") as stream:
            self.assertNotIn(PNG_SIGNATURE, stream.read())

    def test_standard_output_closed_full_or_gone(self):
        run = made("plain")
        result = run_script(run, "-o", self.path("a.png"), "--channels", "Ground Speed (m/s)",
                            stdout=None, preexec_fn=lambda: os.close(1))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertEqual(png_size(self.path("a.png")), (1600, 400))
        if os.path.exists("/dev/full"):
            with open("/dev/full", "w") as full:
                result = subprocess.run([SCRIPT, run, "-o", self.path("b.png"), "--channels",
                                         "Ground Speed (m/s)"],
                                        stdout=full, stderr=subprocess.PIPE, text=True,
                                        env=support.tool_environment(), timeout=120)
            self.assertEqual(result.returncode, 2)
            self.assertEqual(result.stderr, "vdsim-plot: cannot write standard output: No "
                                            "space left on device\n")
        result = subprocess.run("%s %s -o %s --channels 'Ground Speed (m/s)' | head -1"
                                % (SCRIPT, run, self.path("c.png")),
                                shell=True, capture_output=True, text=True,
                                env=support.tool_environment(), timeout=120)
        self.assertEqual(result.stdout, "Run summary\n")
        self.assertNotIn("Traceback", result.stderr)


class BadInputTest(TempDir):
    """Every failure: exit status 2, one line on standard error, nothing on standard output."""

    def golden_lines(self):
        with open(GOLDEN) as stream:
            return stream.read().splitlines(keepends=True)

    def test_unreadable_outputs(self):
        lines = self.golden_lines()
        short = lines[:5] + [lines[5].replace("nan,", "", 1)] + lines[6:]
        for text, message in (
                (None, "%s/Data/Output.csv: No such file or directory"),
                ("", "%s:1: empty file, expected a header of 21 channel names"),
                (lines[0], "%s:1: header only, no data rows"),
                ("".join(short), "%s:6: expected 21 cells, found 20")):
            with self.subTest(message=message):
                path = self.root if text is None else self.write("Output.csv", text)
                self.assertFails(plot(path), message % path)

    def test_unknown_channel_lists_valid_names(self):
        status, stdout, stderr = plot(GOLDEN, "--channels", "Ground Speed (m/s)",
                                      "Yaw Rate (rad/s)")
        self.assertEqual(status, 2)
        self.assertTrue(stderr.startswith(
            'vdsim-plot: unknown channel "Yaw Rate (rad/s)"; valid names: "Time (s)", '
            '"Ground Speed (m/s)", '))
        self.assertIn('"Suspension Deflection  RF (m)", ', stderr)
        self.assertTrue(stderr.endswith('"Suspension Mount Moment RR (Nm)"\n'))
        self.assertEqual(stderr.count("\n"), 1)

    def test_missing_matplotlib_is_named(self):
        # A matplotlib that fails to import stands in for one that is not installed.
        self.write("fake/matplotlib/__init__.py", "raise ImportError('not installed')\n")
        result = run_script(GOLDEN, env={"PYTHONPATH": self.path("fake")})
        self.assertFails((result.returncode, result.stdout, result.stderr),
                         "Python module matplotlib not found; install Debian's "
                         "python3-matplotlib (apt-get install python3-matplotlib)")


class LaunchTest(unittest.TestCase):
    def test_python_warnings_are_the_tools_one_line_warnings(self):
        stderr = io.StringIO()
        with warnings.catch_warnings(), contextlib.redirect_stderr(stderr):
            warnings.simplefilter("always")
            launch.show_warnings_as("vdsim-sweep")
            warnings.warn("Events.ini:5: unknown event kind", InputWarning)
        self.assertEqual(stderr.getvalue(), "vdsim-sweep: warning: Events.ini:5: unknown event "
                                            "kind\n")


if __name__ == "__main__":
    unittest.main()
