"""Tests of vdsim/sweep_summary.py: the results collected from a run
directory and the job log, summary.csv and the table, the plot's values."""

import csv
import os
import tarfile
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
        self.write("0001/host", "node7\n")
        result = results.collect_run(self.path("0001"), "0001", ["1300"], 600, ":")
        self.assertFalse(result.failed)
        self.assertEqual((result.status, result.wall_time, result.host), (0, "0.250", ":"))
        self.assertAlmostEqual(result.metrics["understeer_gradient_deg_per_g"], syn.K, places=4)
        self.assertAlmostEqual(result.metrics["stopping_distance_m"], 30.25, delta=0.005)
        # Without a host from the back end, the one the run recorded.
        self.assertEqual(results.collect_run(self.path("0001"), "0001", ["1300"], 600).host,
                         "node7")

    def test_packed_results(self):
        """A host's results come back as RUN_DIR.tar: unpacked in place, or
        refused (one line, status 1) when damaged or not plainly files."""
        syn.write(self.path("packed"))
        self.write("packed/status", "0\n")
        with tarfile.open(self.path("0004.tar"), "w") as tar:
            tar.add(self.path("packed/status"), "status")
            tar.add(self.path("packed/Data"), "Data")
        self.assertEqual(results.read_status(self.path("0004")), 0)
        self.assertFalse(os.path.exists(self.path("0004.tar")))
        self.assertIsNotNone(results.collect_run(self.path("0004"), "0004", ["1"], 600).metrics)
        with tarfile.open(self.path("packed.tar"), "w") as tar:
            tar.add(self.path("packed/status"), "status")
            tar.add(self.path("packed/status"), "../status")
        with open(self.path("packed.tar"), "rb") as stream:
            data = stream.read()
        cases = (("garbage", b"not a tar file" * 100, "not a complete tar archive"),
                 ("truncated", data[:700], "not a complete tar archive"),
                 ("outside", data, "unexpected entry '../status'"))
        for name, content, message in cases:
            with self.subTest(name):
                with open(self.path(name + ".tar"), "wb") as stream:
                    stream.write(content)
                with self.assertRaises(results.SweepError) as caught:
                    results.read_status(self.path(name))
                self.assertEqual(caught.exception.status, 1)
                self.assertEqual(str(caught.exception), "%s.tar: %s" % (self.path(name), message))
                self.assertFalse(os.path.exists(self.path(name, "status")))

    def test_runs_that_left_no_result(self):
        os.makedirs(self.path("0002"))
        logged = {"Host": ":", "JobRuntime": "  62.013", "Exitval": "-1", "Signal": "15"}
        cases = (  # (the job log's row, (status, wall time, message))
            (logged, ("timeout", "62.013", "stopped after 62 s (GNU parallel's time limit)")),
            (dict(logged, Signal="9", JobRuntime="0.5"),
             (-1, "0.5", "no result came back from : (exit value -1, signal 9)")),
            (dict(logged, Signal="0", Exitval="255", Host=""),
             (255, "62.013", "no result came back from the job (exit value 255, signal 0)")))
        for row, expected in cases:
            with self.subTest(row=row):
                ended = results.joblog_end(row, 62.0)
                self.assertEqual(ended, expected)
                result = results.collect_run(self.path("0002"), "0002", ["1"], 2.0, ":", ended)
                self.assertEqual((result.status, result.wall_time, result.message), expected)
                self.assertTrue(result.failed)
        result = results.collect_run(self.path("0002"), "0002", ["1"], 2.0)
        self.assertEqual((result.status, result.message), (None, "not run"))

    def test_runs_that_failed_or_stopped(self):
        self.write("0003/status", "2\n")
        self.write("0003/stderr.txt", "vdsim: warning: x\nvdsim: Events.ini:4: bad\n")
        result = results.collect_run(self.path("0003"), "0003", ["1"], 600)
        self.assertEqual((result.status, result.message, result.metrics),
                         (2, "vdsim: Events.ini:4: bad", None))
        # Stopped by its time limit: timeout's status, whatever the run printed.
        self.write("0005/status", "124\n")
        self.write("0005/time", "1000000.020\n")
        self.write("0005/stderr.txt", "vdsim: stopped by signal 15 (Terminated)\n")
        result = results.collect_run(self.path("0005"), "0005", ["1"], 1e6)
        self.assertEqual((result.status, result.wall_time, result.message),
                         ("timeout", "1000000.020", "stopped after 1000000 s (--timeout)"))
        self.write("0006/status", "137\n")
        result = results.collect_run(self.path("0006"), "0006", ["1"], 600)
        self.assertEqual((result.status, result.message), (137, "killed by signal 9 (SIGKILL)"))
        # A diverged run failed, but its rows are a result.
        syn.write(self.path("0004"), diverge_at=20.0)
        self.write("0004/status", "3\n")
        self.write("0004/stderr.txt", "vdsim: the simulation diverged at t = 20.1 s\n")
        result = results.collect_run(self.path("0004"), "0004", ["1"], 600)
        self.assertTrue(result.failed)
        self.assertEqual(result.metrics["non_finite_from_s"], 20.099)
        self.assertEqual(result.message, "vdsim: the simulation diverged at t = 20.1 s")

    def test_job_log_runs_named_by_their_command(self):
        self.write("joblog", "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal"
                   "\tCommand\n"
                   "1\t:\t1.0\t 0.5\t0\t0\t0\t0\tsh bin/run-one -t 600 runs/0003 bin/vdsim\n"
                   "2\t:\t1.0\t 0.5\t0\t0\t0\t15\tsh bin/run-one -t 600 runs/0001 bin/vdsim\n"
                   "garbage\n"
                   "1\th2\t9.0\t 0.7\t0\t0\t2\t0\tsh bin/run-one -t 600 -p runs/0001 bin/vdsim\n")
        log = results.read_joblog(self.path("joblog"))
        self.assertEqual(sorted(log), ["0001", "0003"])
        self.assertEqual(log["0001"], {"Host": "h2", "JobRuntime": " 0.7", "Exitval": "2",
                                       "Signal": "0"})
        self.assertEqual(results.read_joblog(self.path("none")), {})


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

    def test_summary_replaced_whole_or_not_at_all(self):
        self.write("summary.csv", "previous\n")
        summary = results.Summary(self.path("summary.csv"), ["a"], 1)
        summary.add(self.result("0001", ["1"], None))
        summary.discard()
        self.assertEqual(sorted(os.listdir(self.root)), ["summary.csv"])
        with open(self.path("summary.csv")) as stream:
            self.assertEqual(stream.read(), "previous\n")
        summary = results.Summary(self.path("summary.csv"), ["a"], 1)
        summary.add(self.result("0001", ["1"], None))
        summary.close()
        self.assertEqual(sorted(os.listdir(self.root)), ["summary.csv"])
        with open(self.path("summary.csv"), newline="") as stream:
            self.assertEqual(next(csv.DictReader(stream))["run"], "0001")


if __name__ == "__main__":
    unittest.main()
