"""Tests of tools/vdsim_output.py: reading "Data/Output.csv" and the run summary."""

import math
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import vdsim_output as vo  # noqa: E402

GOLDEN = os.path.join(HERE, "data", "golden.csv")


def golden_lines():
    with open(GOLDEN) as stream:
        return stream.read().splitlines()


class TempFiles(unittest.TestCase):
    """A temporary directory for variants of the golden file."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.directory.cleanup()

    def write(self, text, name="Output.csv", mode="w"):
        path = os.path.join(self.directory.name, name)
        with open(path, mode) as stream:
            stream.write(text)
        return path

    def write_lines(self, lines):
        return self.write("".join(line + "\n" for line in lines))

    def assertOutputError(self, path, line, message):
        with self.assertRaises(vo.OutputError) as caught:
            vo.read_output(path)
        self.assertEqual(caught.exception.line, line)
        self.assertEqual(caught.exception.message, message)
        where = path if line is None else "%s:%d" % (path, line)
        self.assertEqual(str(caught.exception), "%s: %s" % (where, message))


class ReadGoldenTest(TempFiles):
    def test_names_in_column_order_with_two_blanks_before_rf(self):
        channels = vo.read_output(GOLDEN)
        self.assertEqual(list(channels), list(vo.CHANNEL_NAMES))
        self.assertEqual(len(vo.CHANNEL_NAMES), 21)
        self.assertEqual(list(channels)[10], "Suspension Deflection  RF (m)")
        self.assertEqual(vo.SUSPENSION_DEFLECTION[1], "Suspension Deflection  RF (m)")
        self.assertEqual(vo.MOUNT_MOMENT[3], "Suspension Mount Moment RR (Nm)")
        self.assertTrue(all(len(name) <= 31 for name in vo.CHANNEL_NAMES))

    def test_values(self):
        channels = vo.read_output(GOLDEN)
        self.assertTrue(all(len(values) == 5 for values in channels.values()))
        self.assertEqual(channels[vo.TIME], [0.099, 0.199, 0.299, 0.399, 0.499])
        self.assertEqual(channels[vo.LAT_ACCEL][:4], [0.25, -4.905, 2.0, 1.0])
        self.assertEqual(channels["Suspension Deflection  RF (m)"][:2], [-0.121, -0.123])
        self.assertEqual(channels["Suspension Mount Moment RR (Nm)"][3], 3710.0)
        second_row = [channels[name][1] for name in vo.CHANNEL_NAMES]
        self.assertEqual(second_row[:5], [0.199, 3.25, 4800.0, -4.905, 4.905])
        self.assertEqual(second_row[5:9], [3800.0, 4050.0, 3500.0, 3550.0])

    def test_non_finite_cells(self):
        channels = vo.read_output(GOLDEN)
        last = {name: values[-1] for name, values in channels.items()}
        self.assertTrue(math.isnan(last[vo.GROUND_SPEED]))  # "nan"
        self.assertTrue(math.isnan(last[vo.ENGINE_SPEED]))  # "-nan"
        self.assertEqual(last[vo.LAT_ACCEL], math.inf)  # "inf"
        self.assertEqual(last[vo.LONG_ACCEL], -math.inf)  # "-inf"

    def test_trailing_comma_optional_and_crlf_line_ends(self):
        expected = vo.read_output(GOLDEN)
        without_commas = self.write_lines([line.rstrip(",") for line in golden_lines()])
        self.assertEqual(repr(vo.read_output(without_commas)), repr(expected))
        crlf = self.write("".join(line + "\r\n" for line in golden_lines()).encode(),
                          name="crlf.csv", mode="wb")
        self.assertEqual(repr(vo.read_output(crlf)), repr(expected))

    def test_last_line_without_line_end(self):
        path = self.write("\n".join(golden_lines()))
        self.assertEqual(len(vo.read_output(path)[vo.TIME]), 5)


class ReadBadInputTest(TempFiles):
    def test_missing_file(self):
        path = os.path.join(self.directory.name, "Data", "Output.csv")
        self.assertOutputError(path, None, "No such file or directory")

    def test_empty_file(self):
        self.assertOutputError(self.write(""), 1,
                               "empty file, expected a header of 21 channel names")

    def test_header_only(self):
        self.assertOutputError(self.write_lines(golden_lines()[:1]), 1,
                               "header only, no data rows")

    def test_header_with_one_blank_before_rf(self):
        lines = golden_lines()
        lines[0] = lines[0].replace("Deflection  RF", "Deflection RF")
        self.assertOutputError(
            self.write_lines(lines), 1,
            'header cell 11 is "Suspension Deflection RF (m)", '
            'expected "Suspension Deflection  RF (m)"')

    def test_header_cell_count(self):
        lines = golden_lines()
        lines[0] = lines[0].replace("Time (s),", "")
        self.assertOutputError(self.write_lines(lines), 1, "expected 21 header cells, found 20")

    def test_data_rows_as_header(self):
        self.assertOutputError(self.write_lines(golden_lines()[1:]), 1,
                               'header cell 1 is "0.099000", expected "Time (s)"')

    def test_row_missing_a_cell(self):
        lines = golden_lines()
        lines[3] = lines[3].replace("6250.000000,", "")
        self.assertOutputError(self.write_lines(lines), 4, "expected 21 cells, found 20")

    def test_row_with_an_extra_cell(self):
        lines = golden_lines()
        lines[2] += "1.0,"
        self.assertOutputError(self.write_lines(lines), 3, "expected 21 cells, found 22")

    def test_blank_line(self):
        lines = golden_lines()
        lines.insert(2, "")
        self.assertOutputError(self.write_lines(lines), 3, "expected 21 cells, found 0")

    def test_cell_not_a_number(self):
        for bad, shown in (("abc", '"abc"'), ("", '""'), ("1_000", '"1_000"'),
                           ("4.9O5", '"4.9O5"'), ("x" * 50, '"%s..."' % ("x" * 40))):
            with self.subTest(cell=bad):
                lines = golden_lines()
                cells = lines[2].split(",")
                cells[4] = bad
                lines[2] = ",".join(cells)
                self.assertOutputError(
                    self.write_lines(lines), 3,
                    'cell 5 (Long. Accel (m/s2)) is not a number: ' + shown)

    def test_binary_file(self):
        path = self.write(bytes(range(256)) * 4, mode="wb")
        with self.assertRaises(vo.OutputError) as caught:
            vo.read_output(path)
        self.assertEqual(caught.exception.line, 1)
        self.assertNotIn("\n", str(caught.exception))


def write_run(path, rows):
    """Write a run file from (time, lat accel) pairs; other channels carry known ramps."""
    with open(path, "w") as stream:
        stream.write("".join(name + "," for name in vo.CHANNEL_NAMES) + "\n")
        for index, (time, lat) in enumerate(rows):
            values = [time, 10.0 + 0.01 * index, 2000.0 + index, lat, 0.0]
            values += [4000.0 + corner for corner in range(4)] + [0.0] * 12
            stream.write("".join("%f," % value for value in values) + "\n")


class SummaryTest(TempFiles):
    def test_golden_peaks(self):
        summary = vo.summarize(vo.read_output(GOLDEN))
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
        self.assertEqual((summary["long_accel_max_mps2"], summary["long_accel_max_time_s"]),
                         (4.905, 0.199))
        self.assertEqual((summary["long_accel_min_mps2"], summary["long_accel_min_time_s"]),
                         (-7.3575, 0.299))
        peaks = [(summary["normal_force_max_%s_N" % c], summary["normal_force_max_%s_time_s" % c])
                 for c in vo.CORNERS]
        self.assertEqual(peaks, [(4400.0, 0.299), (4300.0, 0.299), (3650.0, 0.399),
                                 (3700.0, 0.399)])
        self.assertIsNone(summary["turn_start_s"])
        self.assertIsNone(summary["turn_lat_accel_max_mps2"])
        self.assertEqual(summary["non_finite_from_s"], 0.499)

    def test_golden_table(self):
        table = vo.format_summary(vo.summarize(vo.read_output(GOLDEN)))
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

    def test_longest_steady_turn_and_its_range(self):
        # 0-1 s straight; 1-7 s left-hand ramp 1.5 -> 4.45 m/s2 (rows 10..69);
        # 7-8 s straight; 8-16 s right-hand at -2 .. -3 m/s2 (rows 80..159, the longest).
        lat = [0.0] * 10 + [1.5 + 0.05 * i for i in range(60)] + [0.0] * 10
        lat += [-2.0 - i / 79.0 for i in range(80)] + [0.5] * 5
        path = self.directory.name + "/turn.csv"
        write_run(path, [(0.099 + 0.1 * i, a) for i, a in enumerate(lat)])
        summary = vo.summarize(vo.read_output(path))
        self.assertEqual(summary["turn_start_s"], 8.099)
        self.assertEqual(summary["turn_end_s"], 15.999)
        self.assertEqual(summary["turn_lat_accel_min_mps2"], -3.0)
        self.assertEqual(summary["turn_lat_accel_max_mps2"], -2.0)
        self.assertIsNone(summary["non_finite_from_s"])
        table = vo.format_summary(summary)
        self.assertIn("  Steady-state turn        8.1 to 16.0 s\n", table)
        self.assertIn("    lat. accel range       -3.00 to -2.00 m/s2 (-0.306 to -0.204 g)\n",
                      table)

    def test_turn_needs_five_seconds_of_one_sign_above_threshold(self):
        def turn_of(lat):
            channels = {channel: [0.0] * len(lat) for channel in vo.CHANNEL_NAMES}
            channels[vo.TIME] = [0.099 + 0.1 * i for i in range(len(lat))]
            channels[vo.LAT_ACCEL] = lat
            summary = vo.summarize(channels)
            return summary["turn_start_s"], summary["turn_lat_accel_min_mps2"]

        cases = {
            "4.5 s only": [0.0] * 5 + [3.0] * 46 + [0.0] * 5,
            "sign change splits it": [2.0] * 40 + [-2.0] * 40,
            "nan splits it": [2.0] * 40 + [math.nan] + [2.0] * 40,
            "1 m/s2 is not above 1": [2.0] * 20 + [1.0] + [2.0] * 40,
        }
        for name, lat in cases.items():
            with self.subTest(name):
                self.assertEqual(turn_of(lat), (None, None))
        # 5.1 s just above the threshold, starting on the first row.
        self.assertEqual(turn_of([1.01] * 52), (0.099, 1.01))

    def test_all_non_finite_channel_gives_nan_peak(self):
        channels = {name: [math.nan, math.inf] for name in vo.CHANNEL_NAMES}
        channels[vo.TIME] = [0.099, 0.199]
        summary = vo.summarize(channels)
        self.assertTrue(math.isnan(summary["top_speed_mps"]))
        self.assertEqual(summary["non_finite_from_s"], 0.099)
        self.assertIn("  Top speed                no finite value\n", vo.format_summary(summary))


if __name__ == "__main__":
    unittest.main()
