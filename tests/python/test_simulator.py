"""Tests of vdsim/simulator.py: runs of the simulator under test and how
each way a run ends surfaces in Python."""

import os
import tempfile
import unittest

import support

support.require_modules()
from vdsim import simulator  # noqa: E402
from vdsim.scenario import Scenario  # noqa: E402


class RunTest(unittest.TestCase):
    def setUp(self):
        support.require_vdsim(self)
        self.directory = tempfile.TemporaryDirectory()
        self.root = self.directory.name
        self.scenario = Scenario.load(os.path.join(support.EXAMPLES, "skidpad"))

    def tearDown(self):
        self.directory.cleanup()

    def run_with(self, address, value, **options):
        s = self.scenario.copy()
        s.set(address, value)
        return s.run(vdsim=support.VDSIM, **options)

    def test_a_run_without_extended_outputs(self):
        run = self.run_with("Events.ini:[event]:2:duration", 2, extended=False)
        self.assertEqual((run.status, run.end, run.message, run.warnings), (0, "finished", "", []))
        self.assertIsNone(run.extended)
        self.assertIsNone(run.record)
        self.assertIsNone(run.directory)  # the temporary directory is gone
        self.assertEqual(len(run.output["Time (s)"]), run.output.rows)
        self.assertIsNone(run.metrics()["cornering_event"])
        self.assertEqual(run.event_metrics(), [])

    def test_bad_input_raises_with_the_simulators_line(self):
        with self.assertRaises(simulator.SimulatorError) as caught:
            self.run_with("Events.ini:[car]:timeStep", "-1")
        self.assertEqual(caught.exception.status, 2)
        self.assertRegex(caught.exception.message, r"^vdsim: Events.ini:\d+: \[car\], item 2: ")
        self.assertEqual(str(caught.exception), caught.exception.message)

    def test_no_events_file(self):
        with self.assertRaises(simulator.SimulatorError) as caught:
            simulator.run_directory(self.root, vdsim=support.VDSIM)
        self.assertEqual(caught.exception.status, 1)
        self.assertEqual(caught.exception.message,
                         "vdsim: no Events.ini in %s; nothing to run" % self.root)

    def test_runs_that_stop_keep_their_rows(self):
        run = self.run_with("Events.ini:[event]:2:duration", 40, max_time=12)
        self.assertEqual((run.status, run.end), (4, "max-time"))
        self.assertIn("12", run.message)
        self.assertEqual(len(run.output["Time (s)"]), len(run.extended["Time (s)"]))
        run = self.run_with("{car}.ini:[car]:mass", 0)  # singular at every step
        self.assertEqual((run.status, run.end), (3, "singular"))
        self.assertIn("singular", run.message)

    def test_a_run_that_does_not_end_is_stopped(self):
        fake = os.path.join(self.root, "fake-vdsim")
        with open(fake, "w") as stream:
            stream.write("#!/bin/sh\nexec sleep 30\n")
        os.chmod(fake, 0o755)
        with self.assertRaises(simulator.SimulatorError) as caught:
            simulator.run_scenario(self.scenario, vdsim=fake, timeout=0.5)
        self.assertEqual((caught.exception.status, caught.exception.message),
                         (None, "stopped after 0.5 s: the run did not end"))

    def test_no_simulator(self):
        with self.assertRaisesRegex(simulator.SimulatorError, r"^no simulator at /nowhere/vdsim"):
            self.scenario.run(vdsim="/nowhere/vdsim")


if __name__ == "__main__":
    unittest.main()
