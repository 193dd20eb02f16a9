"""Tests of vdsim/sweep_dir.py: the marker, what a new sweep may remove, and
the run-one script."""

import json
import os
import signal
import subprocess
import time
import unittest

import support

support.require_modules()
from vdsim import sweep_dir as sd  # noqa: E402
from vdsim.scenario import Scenario  # noqa: E402
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
        # A run of an earlier sweep as the base of a sweep that replaces it.
        run = self.path("earlier", "runs", "0002")
        os.makedirs(run)
        for resume in (False, True):
            with self.assertRaises(SweepError) as caught:
                sd.check_destination(self.path("earlier"), run, mine, resume)
            self.assertEqual(str(caught.exception),
                             "%s: the base scenario lies inside the sweep directory %s, which "
                             "the sweep replaces: copy the base scenario out of it first"
                             % (run, self.path("earlier")))
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
        # Plots are removed by plain METRIC.png names only, never by a path.
        plots = ["K.png", "../x.png", "sub/x.png", self.path("outside", "x.png"),
                 "./notes.md", "..png", "a\0.png", 7]
        for name in ("x.png", "outside/x.png", "sweep/sub/x.png", "sweep/..png"):
            self.write(name)
        sd.write_marker(out, marker(plots=plots))
        for name in ("0001", "0003"):
            self.write("sweep/runs/%s/Data/Output.csv" % name)
        self.write("sweep/runs/0002.tar")
        self.write("outside/keep.txt")
        os.symlink(self.path("outside"), self.path("sweep", "runs", "0004"))  # not the sweep's
        self.write("sweep/runs/notes.txt")
        for name in ("bin/vdsim", "bin/run-one", "bin/mine.sh", "joblog", "summary.csv",
                     "summary.csv.new", "K.png", "L.png", "notes.md", "slurm/jobs", "slurm/task",
                     "slurm/runs-1", "slurm/runs-12", "slurm/runs-x", "slurm/mine"):
            self.write("sweep/" + name)
        os.symlink(self.path("outside"), self.path("sweep", "summary.csv.link"))
        sd.remove_previous(out, sd.read_marker(out))
        self.assertEqual(self.tree(out), ["..png", "L.png", "bin", "bin/mine.sh", "notes.md",
                                          "runs", "runs/0004", "runs/notes.txt", "slurm",
                                          "slurm/mine", "slurm/runs-x", "sub", "sub/x.png",
                                          "summary.csv.link"])
        self.assertEqual(self.tree(self.path("outside")), ["keep.txt", "x.png"])
        self.assertTrue(os.path.exists(self.path("x.png")))

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
    """The script each job runs: status, time, host, standard output capped,
    the time limit, and no status for a run stopped with the script."""

    def run_one(self, simulator, *options):
        """run-one on runs/0001 with a stand-in simulator given as a shell script."""
        self.write("fake-vdsim", "#!/bin/sh\n" + simulator, mode=0o755)
        self.write("run-one", sd.RUN_ONE)
        os.makedirs(self.path("runs", "0001"))
        return subprocess.run(["sh", "run-one"] + list(options) + ["runs/0001", "fake-vdsim"],
                              cwd=self.root, timeout=60)

    def recorded(self):
        return sorted(os.listdir(self.path("runs", "0001")))

    def test_time_limit(self):
        started = time.monotonic()
        self.assertEqual(self.run_one("echo started\nexec sleep 30\n", "-t", "0.3").returncode, 124)
        self.assertLess(time.monotonic() - started, 20)
        with open(self.path("runs", "0001", "status")) as stream:
            self.assertEqual(stream.read(), "124\n")
        with open(self.path("runs", "0001", "stdout.txt")) as stream:
            self.assertEqual(stream.read(), "started\n")

    def test_stopped_with_the_script_records_no_status(self):
        # The signal goes to the job's process group, as GNU parallel and
        # Slurm send it.
        self.write("fake-vdsim", "#!/bin/sh\ntouch ../../running\nsleep 30\n", mode=0o755)
        self.write("run-one", sd.RUN_ONE)
        os.makedirs(self.path("runs", "0001"))
        process = subprocess.Popen(["sh", "run-one", "runs/0001", "fake-vdsim"], cwd=self.root,
                                   start_new_session=True)
        try:
            deadline = time.monotonic() + 30
            while not os.path.exists(self.path("running")) and time.monotonic() < deadline:
                time.sleep(0.02)
            os.killpg(process.pid, signal.SIGTERM)
            self.assertEqual(process.wait(timeout=30), 143)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        self.assertEqual(self.recorded(), ["Data", "stderr.txt", "stdout.txt"])

    def test_output_kept_from_start_and_end(self):
        result = self.run_one('echo "$@" > args\nseq 1 1000\necho oops >&2\nexit 3\n')
        self.assertEqual(result.returncode, 3)
        run = self.path("runs", "0001")
        with open(os.path.join(run, "stdout.txt")) as stream:
            lines = stream.read().splitlines()
        self.assertEqual(lines, [str(i) for i in range(1, 101)] + ["[... 800 lines left out ...]"]
                         + [str(i) for i in range(901, 1001)])
        for name, text in (("status", "3\n"), ("stderr.txt", "oops\n"), ("args", "--extended\n"),
                           ("host", os.uname().nodename + "\n")):
            with open(os.path.join(run, name)) as stream:
                self.assertEqual(stream.read(), text)
        with open(os.path.join(run, "time")) as stream:
            self.assertRegex(stream.read(), r"^\d+\.\d{3}\n$")

    def test_short_output_is_kept_whole(self):
        self.assertEqual(self.run_one("seq 1 150\n").returncode, 0)
        with open(self.path("runs", "0001", "stdout.txt")) as stream:
            self.assertEqual(stream.read().split(), [str(i) for i in range(1, 151)])


class HelpersTest(TempDir):
    def test_time_limits_written_as_plain_decimals(self):
        for seconds, text in ((1e6, "1000000"), (1e7, "10000000"), (0.1, "0.1"), (2.0, "2"),
                              (600.25, "600.25"), (1e-5, "0"), (62.0004, "62")):
            self.assertEqual(sd.seconds_text(seconds), text, seconds)

    def test_base_digest_reads_regular_files_only(self):
        base = support.make_short_base(self.path("base"))
        plain = sd.base_digest(Scenario.load(base))
        os.mkfifo(os.path.join(base, "pipe"))
        os.symlink("nowhere", os.path.join(base, ".#Events.ini"))
        scenario = Scenario.load(base)
        scenario.files = sorted(set(scenario.files) | {"pipe", ".#Events.ini"})
        self.assertEqual(sd.base_digest(scenario), plain)  # and no wait on the FIFO
        self.write("base/notes.txt", "x")
        scenario.files.append("notes.txt")
        self.assertNotEqual(sd.base_digest(scenario), plain)


if __name__ == "__main__":
    unittest.main()
