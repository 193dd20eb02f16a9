"""Tests of vdsim/sweep_summary.py: the results collected from a run
directory and the job log, summary.csv and the table, the plot's values."""

import csv
import os
import unittest

import support

support.require_modules()
import make_synthetic_run as syn  # noqa: E402
from vdsim import metrics as m  # noqa: E402
from vdsim import sweep_summary as results  # noqa: E402


class CollectTest(support.TempDir):
    def test_a_finished_run(self):
        syn.write(self.path("0001"))
        self.write("0001/status", "0\n")
        self.write("0001/time", "0.250\n")
        result = results.collect_run(self.path("0001"), "0001", ["1300"], {"Host": ":"})
        self.assertFalse(result.failed)
        self.assertEqual((result.status, result.wall_time, result.host), (0, "0.250", ":"))
        self.assertAlmostEqual(result.metrics["understeer_gradient_deg_per_g"], syn.K, places=4)
        self.assertAlmostEqual(result.metrics["stopping_distance_m"], 30.25, delta=0.005)

    def test_a_timed_out_run(self):
        os.makedirs(self.path("0002"))
        logged = {"Host": ":", "JobRuntime": "  2.013", "Exitval": "-1", "Signal": "15"}
        result = results.collect_run(self.path("0002"), "0002", ["1400"], logged, timeout=2.0)
        self.assertEqual((result.status, result.message), ("timeout", "stopped after 2 s "
                                                                      "(--timeout)"))
        self.assertTrue(result.failed)
        result = results.collect_run(self.path("0002"), "0002", ["1400"], dict(logged, Signal="9",
                                                                          JobRuntime="0.5"), 2.0)
        self.assertEqual(result.status, -1)
        self.assertIn("no result came back", result.message)

    def test_runs_that_failed_or_stopped(self):
        self.write("0003/status", "2\n")
        self.write("0003/stderr.txt", "vdsim: warning: x\nvdsim: Events.ini:4: bad\n")
        result = results.collect_run(self.path("0003"), "0003", ["1"], None)
        self.assertEqual((result.status, result.message, result.metrics),
                         (2, "vdsim: Events.ini:4: bad", None))
        # A diverged run failed, but its rows are a result.
        syn.write(self.path("0004"), diverge_at=20.0)
        self.write("0004/status", "3\n")
        self.write("0004/stderr.txt", "vdsim: the simulation diverged at t = 20.1 s\n")
        result = results.collect_run(self.path("0004"), "0004", ["1"], None)
        self.assertTrue(result.failed)
        self.assertEqual(result.metrics["non_finite_from_s"], 20.099)
        self.assertEqual(result.message, "vdsim: the simulation diverged at t = 20.1 s")


class SummaryTest(support.TempDir):
    def result(self, name, values, status, metrics=None, message=""):
        result = results.RunResult(name, values)
        result.status, result.wall_time, result.host, result.message = status, "0.5", ":", message
        result.metrics = metrics
        return result

    def test_rows_table_and_plot_values(self):
        metrics = dict.fromkeys(m.metric_keys(), 1.0)
        metrics.update(understeer_gradient_deg_per_g=-0.004, stopping_distance_m=float("nan"),
                       cornering_event=2, turn_start_s=None)
        summary = results.Summary(self.path("summary.csv"), ["a:b:ride", "a:b:arb"], 3,
                                  ["understeer_gradient_deg_per_g"])
        summary.add(self.result("0001", ["1.2", "4000"], 0, metrics))
        summary.add(self.result("0002", ["1.4", "4000"], "timeout", None, "stopped"))
        summary.add(self.result("0003", ["1.2", "8000"], None, None, "not run"))
        summary.close()
        with open(self.path("summary.csv"), newline="") as stream:
            rows = list(csv.DictReader(stream))
        self.assertEqual(list(rows[0])[:5], ["run", "a:b:ride", "a:b:arb", "status", "wall_time_s"])
        self.assertEqual(list(rows[0])[5:-2], m.metric_keys())
        self.assertEqual([(r["status"], r["message"]) for r in rows],
                         [("0", ""), ("timeout", "stopped"), ("", "not run")])
        self.assertEqual((rows[0]["understeer_gradient_deg_per_g"], rows[0]["cornering_event"],
                          rows[0]["stopping_distance_m"], rows[0]["turn_start_s"]),
                         ("-0.004", "2", "nan", ""))
        self.assertEqual((summary.failed_total, summary.not_run), (2, 1))
        table = summary.table().splitlines()
        self.assertRegex(table[0], r"^run\s+ride\s+arb\s+status\s+time\s+vmax.*\s+K\s+stop$")
        self.assertRegex(table[1], r"^0001\s+1.2\s+4000\s+0\s+0.5\s.*\s\+0.00\s+-$")
        self.assertEqual(table[-3:], ["Failed runs:", "  0002: stopped", "  0003: not run"])
        self.assertEqual(summary.plot_lines("understeer_gradient_deg_per_g", 0, 1),
                         {"4000": [(1.2, -0.004)]})


if __name__ == "__main__":
    unittest.main()
