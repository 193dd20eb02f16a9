"""Tests of tools/vdsim-plot, run as a user runs it (through its own #! line)."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "tools", "vdsim-plot")
GOLDEN = os.path.join(HERE, "data", "golden.csv")
sys.path.insert(0, os.path.join(HERE, "data"))
import make_synthetic_output  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_size(path):
    """(width, height) from a PNG's IHDR chunk, after checking the signature."""
    with open(path, "rb") as stream:
        head = stream.read(24)
    if head[:8] != PNG_SIGNATURE or head[12:16] != b"IHDR":
        raise AssertionError("%s is not a PNG file" % path)
    return struct.unpack(">II", head[16:24])


def run_plot(*arguments, **environment):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", **environment)
    return subprocess.run([SCRIPT] + list(arguments), capture_output=True, text=True,
                          env=env, timeout=120)


class PlotTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.run_dir = os.path.join(self.directory.name, "run")
        os.makedirs(os.path.join(self.run_dir, "Data"))
        self.csv = os.path.join(self.run_dir, "Data", "Output.csv")

    def tearDown(self):
        self.directory.cleanup()

    def test_dashboard_of_a_run_directory(self):
        make_synthetic_output.write(self.csv, diverge_at=45.0)
        result = run_plot(self.run_dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        png = os.path.join(self.run_dir, "Data", "Output.png")
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "Run summary")
        self.assertIn("  Steady-state turn        17.1 to 42.4 s", lines)
        self.assertIn("  Non-finite values        from 45.1 s (run diverged)", lines)
        self.assertEqual(lines[-1], "Wrote " + png)
        self.assertEqual(png_size(png), (1600, 1200))

    def test_named_channels_without_summary(self):
        make_synthetic_output.write(self.csv, duration=10.0)
        out = os.path.join(self.directory.name, "two.png")
        # The two-blank column is also found by its name written with one blank.
        result = run_plot(self.csv, "-o", out, "--no-summary", "--channels",
                          "Engine Speed (rpm)", "Suspension Deflection RF (m)")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "Wrote %s\n" % out)
        self.assertEqual(png_size(out), (1600, 600))


class BadInputTest(unittest.TestCase):
    """Every failure: exit status 2, one line on standard error, nothing on standard output."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.directory.cleanup()

    def assertFails(self, result, message):
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertNotIn("Traceback", result.stderr)
        self.assertEqual(result.stderr, "vdsim-plot: %s\n" % message)

    def write(self, text):
        path = os.path.join(self.directory.name, "Output.csv")
        with open(path, "w") as stream:
            stream.write(text)
        return path

    def golden_lines(self):
        with open(GOLDEN) as stream:
            return stream.read().splitlines(keepends=True)

    def test_missing_run_directory_output(self):
        self.assertFails(run_plot(self.directory.name),
                         "%s/Data/Output.csv: No such file or directory" % self.directory.name)

    def test_empty_file(self):
        path = self.write("")
        self.assertFails(run_plot(path),
                         "%s:1: empty file, expected a header of 21 channel names" % path)

    def test_header_only(self):
        path = self.write(self.golden_lines()[0])
        self.assertFails(run_plot(path), "%s:1: header only, no data rows" % path)

    def test_row_with_wrong_cell_count(self):
        lines = self.golden_lines()
        lines[6 - 1] = lines[6 - 1].replace("nan,", "", 1)
        path = self.write("".join(lines))
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

    def test_output_directory_missing(self):
        out = os.path.join(self.directory.name, "no", "such.png")
        self.assertFails(run_plot(GOLDEN, "-o", out),
                         "cannot write %s: no such directory" % out)

    def test_missing_matplotlib_is_named(self):
        # A matplotlib that fails to import stands in for one that is not installed.
        fake = os.path.join(self.directory.name, "fake", "matplotlib")
        os.makedirs(fake)
        with open(os.path.join(fake, "__init__.py"), "w") as stream:
            stream.write("raise ImportError('not installed')\n")
        result = run_plot(GOLDEN, PYTHONPATH=os.path.dirname(fake))
        self.assertFails(result, "Python module matplotlib not found; install Debian's "
                                 "python3-matplotlib (apt-get install python3-matplotlib)")


if __name__ == "__main__":
    unittest.main()
