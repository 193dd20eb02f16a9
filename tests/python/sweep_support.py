"""What the tests of vdsim-sweep share: a short base scenario in a temporary
directory that is also the sweep's HOME, the tool run in this process or as
a user runs it, stand-in simulators, and direct runs of the simulator to
compare a sweep's runs with.
"""

import contextlib
import csv
import io
import os
import subprocess
import tempfile
from unittest import mock

import support

support.require_modules()
from vdsim import inputs  # noqa: E402
from vdsim import metrics as m  # noqa: E402
from vdsim import output as vo  # noqa: E402
from vdsim import sweep_cli  # noqa: E402
from vdsim import sweep_dir as sd  # noqa: E402
from vdsim import sweep_run  # noqa: E402
from vdsim.sweep_summary import format_cell  # noqa: E402

SCRIPT = os.path.join(support.TOOLS, "vdsim-sweep")
VDSIM = support.VDSIM
RIDE = "{car}.params:[params]:frontRideFrequency"
ARB = "{car}.ini:[car]:antiRollRear"
SWEEP_4 = "%s,%s\n1.2,4000.0\n1.2,16000.0\n1.4,8000.0\n1.4,4000\n" % (RIDE, ARB)
RUNS_4 = [line.split(",") for line in SWEEP_4.splitlines()[1:]]


def read(path):
    with open(path, "rb") as stream:
        return stream.read().decode("latin-1")


def read_summary(path):
    with open(path, newline="") as stream:
        return list(csv.DictReader(stream))


_direct_outputs = {}  # (ride frequency, anti-roll rate) -> Output.csv bytes


def direct_output(ride_frequency, anti_roll_rear):
    """Output.csv bytes of vdsim run directly in a copy of the short base scenario,
    with the two swept values written in by plain text replacement (run once
    per pair of values)."""
    key = (ride_frequency, anti_roll_rear)
    if key not in _direct_outputs:
        with tempfile.TemporaryDirectory() as root:
            directory = support.make_short_base(os.path.join(root, "run"))
            params = os.path.join(directory, "Sedan.params")
            car = os.path.join(directory, "Sedan.ini")
            inputs.write_text(params, read(params).replace(
                "frontRideFrequency(Hz) 1.4", "frontRideFrequency(Hz) " + ride_frequency))
            inputs.write_text(car, read(car).replace(
                "antiRollRear(N/m)     8000.0", "antiRollRear(N/m)     " + anti_roll_rear))
            subprocess.run([VDSIM], cwd=directory, check=True, timeout=60)
            with open(os.path.join(directory, "Data", "Output.csv"), "rb") as stream:
                _direct_outputs[key] = stream.read()
    return _direct_outputs[key]


class OneAfterAnother:
    """A back end for the tests of what a sweep does around its runs: each
    run with run-one, one after the other, in this process (GNU parallel's
    start-up is most of a short sweep's time; other tests run it)."""

    name = "one after another"

    def __init__(self, settings, progress):
        self.directory, self.timeout = settings.out, settings.timeout

    def where(self):
        return "one after another"

    def run(self, names, todo, interrupts):
        for name in names:
            subprocess.run(["sh", os.path.join(sd.BIN, "run-one"), "-t",
                            sd.seconds_text(self.timeout), os.path.join(sd.RUNS, name),
                            os.path.join(sd.BIN, "vdsim")], cwd=self.directory,
                           stdout=subprocess.DEVNULL, timeout=60)
        return 0

    def stop(self):
        pass

    def outcome(self, name):
        return None


class SweepCase(support.TempDir):
    """A test in a temporary directory that holds a short base scenario and
    the HOME of every sweep it runs (GNU parallel keeps files there).  With
    one_after_another set the sweeps run without GNU parallel."""

    one_after_another = False

    def setUp(self):
        support.require_vdsim(self)
        if not self.one_after_another:
            support.require_programs(self, ("parallel", "parallel"))
        super().setUp()
        self.home = self.path("home")
        os.makedirs(self.home)
        patches = [mock.patch.dict(os.environ, HOME=self.home)]
        if self.one_after_another:
            patches.append(mock.patch.object(sweep_run, "make_backend", OneAfterAnother))
        for patch in patches:
            patch.start()
            self.addCleanup(patch.stop)
        self.base = support.make_short_base(self.path("base"))

    def sweep(self, *argv):
        """(exit status, standard output, standard error) of vdsim-sweep run in
        this process, with the simulator under test unless --vdsim is given."""
        argv = list(argv) + ([] if "--vdsim" in argv else ["--vdsim", VDSIM])
        stdout, stderr = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            status = sweep_cli.main(argv)
        return status, stdout.getvalue(), stderr.getvalue()

    def command(self, *argv):
        """tools/vdsim-sweep's command line, with the simulator under test."""
        return [SCRIPT] + list(argv) + ([] if "--vdsim" in argv else ["--vdsim", VDSIM])

    def environment(self, **extra):
        return support.tool_environment(HOME=self.home, **extra)

    def sweep_process(self, *argv, timeout=120):
        """tools/vdsim-sweep run as a user runs it: a CompletedProcess."""
        return subprocess.run(self.command(*argv), capture_output=True, text=True,
                              env=self.environment(), timeout=timeout)

    def stand_in(self, body, name="fake-vdsim"):
        """An executable shell script that runs `body` in the run directory
        ($run is its name), then the simulator under test."""
        return self.write(name, "#!/bin/sh\nrun=$(basename \"$(pwd)\")\n%s\nexec %s \"$@\"\n"
                          % (body, VDSIM), mode=0o755)

    def assertMatchesDirectRuns(self, out, runs, hosts=None):
        """summary.csv and every run's Data/Output.csv equal direct runs of the
        inputs; returns the summary's rows."""
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([row["run"] for row in rows],
                         ["%04d" % i for i in range(1, len(runs) + 1)])
        keys = m.metric_keys()
        for row, (ride, arb) in zip(rows, runs):
            self.assertEqual((row[RIDE], row[ARB], row["status"], row["message"]),
                             (ride, arb, "0", ""))
            self.assertRegex(row["wall_time_s"], r"^\d+\.\d{3}$")
            swept = os.path.join(out, "runs", row["run"])
            self.assertEqual(read(os.path.join(swept, "Data", "Output.csv")).encode("latin-1"),
                             direct_output(ride, arb), "run %s" % row["run"])
            data = vo.load_run(swept)
            self.assertIsNotNone(data.extended)  # the runs use --extended
            metrics = data.metrics()
            self.assertEqual([row[key] for key in keys],
                             [format_cell(metrics[key]) for key in keys])
        return rows
