"""Tests of vdsim/output.py: reading Output.csv, Extended.csv and Run.json,
and telling which of them belong to one run."""

import importlib.util
import json
import math
import os
import re
import sys
import tempfile
import unittest
from unittest import mock

import support

support.require_modules()
import make_synthetic_run  # noqa: E402
from vdsim import output as vo  # noqa: E402

GOLDEN = os.path.join(support.DATA, "golden.csv")


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
        self.assertEqual(list(channels[vo.TIME]), [0.099, 0.199, 0.299, 0.399, 0.499])
        self.assertEqual(list(channels[vo.LAT_ACCEL][:4]), [0.25, -4.905, 2.0, 1.0])
        self.assertEqual(list(channels["Suspension Deflection  RF (m)"][:2]), [-0.121, -0.123])
        self.assertEqual(channels.time_texts[:2], ("0.099000", "0.199000"))
        self.assertEqual(channels["Suspension Mount Moment RR (Nm)"][3], 3710.0)
        second_row = [float(channels[name][1]) for name in vo.CHANNEL_NAMES]
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
        self.assertEqual(repr(dict(vo.read_output(without_commas))), repr(dict(expected)))
        crlf = self.write("".join(line + "\r\n" for line in golden_lines()).encode(),
                          name="crlf.csv", mode="wb")
        self.assertEqual(repr(dict(vo.read_output(crlf))), repr(dict(expected)))

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


class RunFilesTest(unittest.TestCase):
    """Extended.csv and Run.json beside Output.csv, used only when they belong to it."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.run = os.path.join(self.directory.name, "run")
        make_synthetic_run.write(self.run)
        self.data = os.path.join(self.run, "Data")

    def tearDown(self):
        self.directory.cleanup()

    def rewrite(self, name, change):
        path = os.path.join(self.data, name)
        with open(path) as stream:
            text = stream.read()
        with open(path, "w") as stream:
            stream.write(change(text))

    def test_a_whole_run(self):
        run = vo.load_run(self.run)
        self.assertEqual(run.notes, [])
        self.assertEqual(run.extended.names, vo.EXTENDED_NAMES)
        self.assertEqual(len(vo.EXTENDED_NAMES), 39)
        self.assertEqual(run.extended.time_texts, run.output.time_texts)
        self.assertEqual([e["kind"] for e in run.events], ["TargetSpeed", "SteerRamp", "Brake"])
        self.assertEqual(run.describe(), "Sedan, dt 0.001 s, vdsim 0.1.0")
        self.assertEqual(run.channel("Heading (rad)")[0], run.extended["Heading (rad)"][0])
        self.assertEqual(run.channel_names()[:22], list(vo.CHANNEL_NAMES) + ["Event (-)"])
        with self.assertRaisesRegex(KeyError, 'no channel "Yaw"; the channels are "Time'):
            run.channel("Yaw")

    def test_an_earlier_runs_files_are_left_out(self):
        # A run without --extended replaces Output.csv only.
        self.rewrite("Output.csv", lambda text: text.replace("0.099000,", "0.099001,", 1))
        run = vo.load_run(self.run)
        self.assertIsNone(run.extended)
        self.assertIsNone(run.record)
        self.assertEqual(run.notes, [
            "Extended.csv and Run.json left out: they belong to an earlier run (the SHA-256 of "
            "Output.csv differs from Run.json's)"])

    def test_extended_without_a_record_or_with_another_digest(self):
        self.rewrite("Extended.csv", lambda text: text.replace("\n0.099000,0,", "\n0.099000,1,"))
        self.assertIsNone(vo.load_run(self.run).extended)
        self.assertIn("its SHA-256 differs", vo.load_run(self.run).notes[0])
        os.remove(os.path.join(self.data, "Run.json"))
        self.assertIn("no Run.json beside it", vo.load_run(self.run).notes[0])

    def test_a_broken_record_is_a_note(self):
        self.rewrite("Run.json", lambda text: text[:-20])
        run = vo.load_run(self.run)
        self.assertIsNone(run.extended)
        self.assertRegex(run.notes[0], r"^Run.json left out: .*Run.json: not a JSON run record")

    def test_records_of_another_shape_are_notes(self):
        with open(os.path.join(self.data, "Run.json")) as stream:
            record = json.load(stream)
        deep = "[" * 100000 + "]" * 100000
        for key, value in (("outputs", 5), ("outputs", {"file": "Output.csv"}), ("events", {}),
                           ("inputs", "Sedan.ini"), ("events", [1]),
                           ("events", [{"number": "2"}]), ("events", [{"number": True}]),
                           ("events", [{"number": [2]}]), ("events", deep)):
            with self.subTest(key=key, value=str(value)[:20]):
                text = json.dumps(dict(record, **{key: 0})).replace(
                    '"%s": 0' % key, deep if value is deep else json.dumps(value))
                self.rewrite("Run.json", lambda _: text)
                run = vo.load_run(self.run)
                self.assertIsNone(run.record)
                self.assertIsNone(run.extended)
                self.assertEqual(len(run.notes), 1)
                self.assertRegex(run.notes[0], r"^Run.json left out: .*Run.json: not a (JSON )?run "
                                               r"record")

    def test_events_are_found_by_number_and_ignored_ones_left_out(self):
        with open(os.path.join(self.data, "Run.json")) as stream:
            record = json.load(stream)
        record["events"].insert(1, {"number": 2, "kind": "Brakes", "line": 7, "ignored": True})
        self.rewrite("Run.json", lambda _: json.dumps(record))
        self.assertEqual([(e["number"], e["kind"]) for e in vo.load_run(self.run).events],
                         [(1, "TargetSpeed"), (2, "SteerRamp"), (3, "Brake")])

    def test_the_rows_of_one_event_and_the_frame(self):
        run = vo.load_run(self.run)
        turn = run.event(2)
        self.assertEqual(list(turn), run.channel_names())
        times = turn["Time (s)"]
        self.assertTrue(all(turn["Event (-)"] == 2))
        self.assertEqual((times[0], times[-1]), (10.299, 40.199))
        self.assertEqual(turn.time_texts[0], "10.299000")
        self.assertEqual(len(turn["Normal Force LF (N)"]), len(times))
        self.assertEqual(sum(run.event(n).rows for n in range(4)), run.output.rows)
        with self.assertRaisesRegex(KeyError, r"no rows of event 7; the run's rows belong to "
                                              r"events 0, 1, 2, 3"):
            run.event(7)
        if importlib.util.find_spec("pandas") is None:
            support.missing("Python module pandas", "python3-pandas", self)
        frame = run.frame()
        self.assertEqual(list(frame.columns), run.channel_names())
        for name, channels in (("Yaw Rate (rad/s)", run.extended),
                               ("Lat. Accel (m/s2)", run.output)):
            self.assertEqual(frame[name].tolist(), channels[name].tolist())

    def test_without_extended_or_pandas(self):
        plain = vo.RunData(os.path.join(self.data, "Output.csv"),
                           vo.read_output(os.path.join(self.data, "Output.csv")))
        with self.assertRaisesRegex(vo.OutputError, r"Output.csv: the rows of an event need "
                                                    r"Extended.csv beside it \(run vdsim "
                                                    r"--extended\)$"):
            plain.event(1)
        with mock.patch.dict(sys.modules, pandas=None):  # as if it were not installed
            with self.assertRaisesRegex(ImportError, r"^run.frame\(\) needs pandas \(Debian: "
                                                     r"apt-get install python3-pandas\)"):
                plain.frame()

    def test_rows_must_match_output(self):
        record = os.path.join(self.data, "Run.json")
        with open(record) as stream:
            data = json.load(stream)
        data["outputs"] = [o for o in data["outputs"] if o["file"] == "Output.csv"]
        with open(record, "w") as stream:
            json.dump(data, stream)
        self.rewrite("Extended.csv", lambda text: text.replace("\n0.199000,", "\n0.199001,"))
        with self.assertRaisesRegex(vo.OutputError, r"Extended.csv:3: time \"0.199001\" differs "
                                                    r"from Output.csv's \"0.199000\""):
            vo.load_run(self.run)
        self.rewrite("Extended.csv", lambda text: text.rsplit("\n", 2)[0] + "\n")
        with self.assertRaisesRegex(vo.OutputError, r"Extended.csv: 428 rows, but Output.csv "
                                                    r"has 429"):
            vo.load_run(self.run)

    def test_extended_header(self):
        path = os.path.join(self.directory.name, "Extended.csv")
        for header, message in (("Event (-),Time (s)", 'header cell 1 is "Event (-)"'),
                                ("Time (s),Gear (-)", 'no "Event (-)" column'),
                                ("Time (s),Event (-),Event (-)", 'channel "Event (-)" appears '
                                                                  "twice")):
            with open(path, "w") as stream:
                stream.write(header + "\n" + ",".join("1" * len(header.split(","))) + "\n")
            with self.assertRaisesRegex(vo.OutputError, re.escape("Extended.csv:1: " + message)):
                vo.read_extended(path)


if __name__ == "__main__":
    unittest.main()
