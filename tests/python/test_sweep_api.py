"""Tests of vdsim/sweep_api.py: vdsim.sweep(), the sweep of vdsim-sweep called
from Python with a mapping of values, its summary as typed rows or a
DataFrame, and Ctrl-C."""

import os
import signal
import sys
import unittest
from unittest import mock

import support
import sweep_support as ss
from sweep_support import ARB, RIDE, read_summary

import vdsim  # noqa: E402
from vdsim import metrics as m  # noqa: E402
from vdsim.sweep_summary import format_cell  # noqa: E402


class SweepTest(ss.SweepCase):
    one_after_another = True

    def test_a_mapping_is_swept_as_a_grid(self):
        out = self.path("sweep")
        rows = vdsim.sweep(self.base, {RIDE: [1.2, "1.4"], ARB: [4000, "16000.0"]}, out, jobs=2)
        self.assertMatchesDirectRuns(out, [("1.2", "4000"), ("1.2", "16000.0"),
                                           ("1.4", "4000"), ("1.4", "16000.0")])
        # The rows are summary.csv's, with numbers for numbers.
        written = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([list(row) for row in rows], [list(row) for row in written])
        for row, text in zip(rows, written):
            self.assertEqual((row["run"], row[RIDE], row[ARB], row["status"], row["host"],
                              row["message"], row["rows"]),
                             (text["run"], float(text[RIDE]), float(text[ARB]), 0,
                              os.uname().nodename, "", 27))
            # Every metric reads back to its cell, an empty one as None.
            for key in m.metric_keys():
                self.assertEqual(format_cell(row[key]), text[key], key)
            self.assertEqual(row["wall_time_s"], float(text["wall_time_s"]))
        with self.assertRaises(vdsim.SweepError) as caught:
            vdsim.sweep(self.base, {RIDE: ["fast"]}, self.path("other"))
        self.assertEqual((str(caught.exception), caught.exception.status),
                         ('values: "%s": expected a number, found "fast"' % RIDE, 2))
        self.assertFalse(os.path.exists(self.path("other")))

    def test_a_frame_and_a_warning(self):
        sweep_file = self.write("springs.txt", "{car}.ini:[corner]:1:spring = 20000\n")
        with mock.patch.dict(sys.modules, pandas=None):
            with self.assertRaisesRegex(ImportError, r"needs pandas \(Debian: apt-get install "
                                                     r"python3-pandas\)"):
                vdsim.sweep(self.base, sweep_file, self.path("sweep"), as_frame=True)
        self.assertFalse(os.path.exists(self.path("sweep")))
        support.require_modules(("pandas", "python3-pandas"))
        with self.assertWarnsRegex(vdsim.OverrideWarning, r"^\{car\}.ini:\[corner\]:1:spring: "
                                                          r"Sedan.ini \[corner\] 1"):
            frame = vdsim.sweep(self.base, sweep_file, self.path("sweep"), as_frame=True)
        self.assertEqual(list(frame["run"]), ["0001"])
        self.assertEqual(list(frame["{car}.ini:[corner]:1:spring"]), [20000.0])
        self.assertEqual(list(frame["status"]), [0])


class InterruptTest(ss.SweepCase):
    """Through GNU parallel, whose runs the interrupt stops."""

    def test_ctrl_c_writes_the_summary_of_what_finished(self):
        # Run 2 interrupts this process, as Ctrl-C would, then waits to be
        # stopped (the first time: the resume runs the same copy).
        flag = self.write("flag")
        fake = self.stand_in("case $run in 0002) [ -e %s ] && kill -INT %d && exec sleep 60 ;; "
                             "esac" % (flag, os.getpid()))
        out = self.path("sweep")
        # Python's own SIGINT handler, even where this test was started with SIGINT ignored.
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        self.addCleanup(signal.signal, signal.SIGINT, previous)
        with self.assertRaisesRegex(KeyboardInterrupt, "interrupted by SIGINT: 1 of 3 runs "
                                                       "finished; finish the sweep with --resume"):
            vdsim.sweep(self.base, {RIDE: [1.2, 1.3, 1.4]}, out, jobs=1, vdsim=fake)
        self.assertEqual([(row["run"], row["status"]) for row in read_summary(
            os.path.join(out, "summary.csv"))], [("0001", "0"), ("0002", ""), ("0003", "")])
        os.remove(flag)
        rows = vdsim.sweep(self.base, {RIDE: [1.2, 1.3, 1.4]}, out, resume=True)
        self.assertEqual([row["status"] for row in rows], [0, 0, 0])


if __name__ == "__main__":
    unittest.main()
