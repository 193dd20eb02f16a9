"""Tests of vdsim/sweep_dir.py: the marker, what a new sweep may remove, the
run-one script, and the results collected from a run directory."""

import json
import os
import subprocess
import unittest

import support

support.require_modules()
import make_synthetic_run as syn  # noqa: E402
from vdsim import sweep_dir as sd  # noqa: E402
from vdsim.sweep_file import Sweep, SweepError  # noqa: E402

SWEEP = Sweep(["{car}.ini:[car]:mass"], columns=[["1300", "1400", "1500"]])


def marker(runs=3, plots=()):
    return {"format": sd.FORMAT, "version": sd.VERSION, "base": "/base", "base_digest": "0",
            "sweep": SWEEP, "runs": runs, "plots": list(plots)}


class TempDir(support.TempDir):
    def tree(self, top):
        """Relative paths of everything under top, links not followed."""
        found = []
        for root, dirs, files in os.walk(top):
            found += [os.path.relpath(os.path.join(root, n), top) for n in dirs + files]
        return sorted(found)


class MarkerTest(TempDir):
    def test_only_this_format_and_version_count(self):
        sd.write_marker(self.root, marker())
        found = sd.read_marker(self.root)
        self.assertEqual(found["runs"], 3)
        self.assertEqual(found["sweep"].values(2), ["1500"])
        written = dict(marker(), sweep=SWEEP.to_json())
        old_manifest = {"base": "/b", "addresses": ["a"], "runs": [["1"]]}  # before the marker
        for other in (old_manifest,
                      dict(written, version=1), dict(written, format="something"),
                      dict(written, runs=-1), dict(written, runs="3"),
                      dict(written, sweep={"addresses": ["a"]}), [1, 2]):
            with self.subTest(other=other):
                with open(self.path(sd.MARKER), "w") as stream:
                    json.dump(other, stream)
                self.assertIsNone(sd.read_marker(self.root))

    def test_where_a_sweep_may_go(self):
        base = self.path("base")
        os.makedirs(base)
        mine = marker()
        self.assertIsNone(sd.check_destination(self.path("new"), base, mine, False))
        os.makedirs(self.path("empty"))
        self.assertIsNone(sd.check_destination(self.path("empty"), base, mine, False))
        self.write("other/sweep.json", '{"base": "/b", "runs": [["1"]]}')
        with self.assertRaisesRegex(SweepError, r"other: exists and is not a sweep directory of "
                                                r"this tool \(no sweep.json of vdsim-sweep "
                                                r"directory version 2\)"):
            sd.check_destination(self.path("other"), base, mine, False)
        with self.assertRaisesRegex(SweepError, "must not lie inside the base scenario"):
            sd.check_destination(os.path.join(base, "sweep"), base, mine, False)
        self.write("file")
        with self.assertRaisesRegex(SweepError, "file: exists and is not a directory"):
            sd.check_destination(self.path("file"), base, mine, False)
        with self.assertRaisesRegex(SweepError, "no sweep to resume here"):
            sd.check_destination(self.path("empty"), base, mine, True)
        os.makedirs(self.path("old"))
        sd.write_marker(self.path("old"), dict(marker(), base_digest="1"))
        self.assertEqual(sd.check_destination(self.path("old"), base, mine, False)["runs"], 3)
        with self.assertRaisesRegex(SweepError, "the sweep there has other base scenario files"):
            sd.check_destination(self.path("old"), base, mine, True)


class RemoveTest(TempDir):
    def test_only_what_the_previous_sweep_made_is_removed(self):
        out = self.path("sweep")
        os.makedirs(out)
        sd.write_marker(out, marker(plots=["K.png"]))
        for name in ("0001", "0003"):
            self.write("sweep/runs/%s/Data/Output.csv" % name)
        self.write("sweep/runs/0002.tar")
        self.write("outside/keep.txt")
        os.symlink(self.path("outside"), self.path("sweep", "runs", "0004"))  # not the sweep's
        self.write("sweep/runs/notes.txt")
        for name in ("bin/vdsim", "bin/run-one", "bin/mine.sh", "joblog", "summary.csv", "K.png",
                     "L.png", "notes.md"):
            self.write("sweep/" + name)
        os.symlink(self.path("outside"), self.path("sweep", "summary.csv.link"))
        sd.remove_previous(out, sd.read_marker(out))
        self.assertEqual(self.tree(out), ["L.png", "bin", "bin/mine.sh", "notes.md", "runs",
                                          "runs/0004", "runs/notes.txt", "summary.csv.link"])
        self.assertEqual(self.tree(self.path("outside")), ["keep.txt"])

    def test_a_run_that_is_a_link_loses_the_link_only(self):
        out = self.path("sweep")
        os.makedirs(out)
        sd.write_marker(out, marker(runs=1))
        self.write("outside/keep.txt")
        os.makedirs(self.path("sweep", "runs"))
        os.symlink(self.path("outside"), self.path("sweep", "runs", "0001"))
        sd.remove_previous(out, sd.read_marker(out))
        self.assertEqual(self.tree(out), [])
        self.assertEqual(self.tree(self.path("outside")), ["keep.txt"])


class RunOneTest(TempDir):
    """The script each job runs: status, time, and standard output capped."""

    def run_one(self, simulator):
        """run-one on runs/0001 with a stand-in simulator given as a shell script."""
        self.write("fake-vdsim", "#!/bin/sh\n" + simulator, mode=0o755)
        self.write("run-one", sd.RUN_ONE)
        os.makedirs(self.path("runs", "0001"))
        return subprocess.run(["sh", "run-one", "runs/0001", "fake-vdsim"], cwd=self.root,
                              timeout=60)

    def test_output_kept_from_start_and_end(self):
        result = self.run_one('echo "$@" > args\nseq 1 1000\necho oops >&2\nexit 3\n')
        self.assertEqual(result.returncode, 3)
        run = self.path("runs", "0001")
        with open(os.path.join(run, "stdout.txt")) as stream:
            lines = stream.read().splitlines()
        self.assertEqual(lines, [str(i) for i in range(1, 101)] + ["[... 800 lines left out ...]"]
                         + [str(i) for i in range(901, 1001)])
        for name, text in (("status", "3\n"), ("stderr.txt", "oops\n"), ("args", "--extended\n")):
            with open(os.path.join(run, name)) as stream:
                self.assertEqual(stream.read(), text)
        with open(os.path.join(run, "time")) as stream:
            self.assertRegex(stream.read(), r"^\d+\.\d{3}\n$")

    def test_short_output_is_kept_whole(self):
        self.assertEqual(self.run_one("seq 1 150\n").returncode, 0)
        with open(self.path("runs", "0001", "stdout.txt")) as stream:
            self.assertEqual(stream.read().split(), [str(i) for i in range(1, 151)])


class CollectTest(TempDir):
    def test_a_finished_run(self):
        syn.write(self.path("0001"))
        self.write("0001/status", "0\n")
        self.write("0001/time", "0.250\n")
        result = sd.collect_run(self.path("0001"), "0001", ["1300"], {"Host": ":"})
        self.assertFalse(result.failed)
        self.assertEqual((result.status, result.wall_time, result.host), (0, "0.250", ":"))
        self.assertAlmostEqual(result.metrics["understeer_gradient_deg_per_g"], syn.K, places=4)
        self.assertAlmostEqual(result.metrics["stopping_distance_m"], 30.25, delta=0.005)

    def test_a_timed_out_run(self):
        os.makedirs(self.path("0002"))
        logged = {"Host": ":", "JobRuntime": "  2.013", "Exitval": "-1", "Signal": "15"}
        result = sd.collect_run(self.path("0002"), "0002", ["1400"], logged, timeout=2.0)
        self.assertEqual((result.status, result.message), ("timeout", "stopped after 2 s "
                                                                      "(--timeout)"))
        self.assertTrue(result.failed)
        result = sd.collect_run(self.path("0002"), "0002", ["1400"], dict(logged, Signal="9",
                                                                          JobRuntime="0.5"), 2.0)
        self.assertEqual(result.status, -1)
        self.assertIn("no result came back", result.message)

    def test_runs_that_failed_or_stopped(self):
        self.write("0003/status", "2\n")
        self.write("0003/stderr.txt", "vdsim: warning: x\nvdsim: Events.ini:4: bad\n")
        result = sd.collect_run(self.path("0003"), "0003", ["1"], None)
        self.assertEqual((result.status, result.message, result.metrics),
                         (2, "vdsim: Events.ini:4: bad", None))
        # A diverged run failed, but its rows are a result.
        syn.write(self.path("0004"), diverge_at=20.0)
        self.write("0004/status", "3\n")
        self.write("0004/stderr.txt", "vdsim: the simulation diverged at t = 20.1 s\n")
        result = sd.collect_run(self.path("0004"), "0004", ["1"], None)
        self.assertTrue(result.failed)
        self.assertEqual(result.metrics["non_finite_from_s"], 20.099)
        self.assertEqual(result.message, "vdsim: the simulation diverged at t = 20.1 s")


if __name__ == "__main__":
    unittest.main()
