"""Tests of vdsim/sweep_cli.py: tools/vdsim-sweep run as a user runs it.

The sweeps run the simulator of the build under test (environment variable
VDSIM, else build/vdsim of the checkout) through GNU parallel: on this
machine, over ssh to two "hosts" served by an sshd this test starts on two
loopback ports, and interrupted then resumed.  Everything the tool checks is
checked before it touches the disk.
"""

import csv
import getpass
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import support

support.require_modules()
from vdsim import inputs  # noqa: E402
from vdsim import metrics as m  # noqa: E402
from vdsim import output as vo  # noqa: E402
from vdsim import sweep_dir as sd  # noqa: E402
from vdsim.scenario import run_wheelbase  # noqa: E402
from vdsim import sweep_summary as results  # noqa: E402
from vdsim.sweep_summary import format_cell  # noqa: E402

SCRIPT = os.path.join(support.TOOLS, "vdsim-sweep")
VDSIM = support.VDSIM

SWEEP_6 = (
    "{car}.params:[params]:frontRideFrequency,{car}.ini:[car]:antiRollRear\n"
    "1.2,4000.0\n1.2,16000.0\n1.4,8000.0\n1.4,4000\n1.6,8000.0\n1.6,16000.0\n")
RIDE = "{car}.params:[params]:frontRideFrequency"
ARB = "{car}.ini:[car]:antiRollRear"


def read(path):
    with open(path, "rb") as stream:
        return stream.read().decode("latin-1")


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


def run_sweep(*arguments, **popen):
    return subprocess.run([SCRIPT] + list(arguments) + ["--vdsim", VDSIM], capture_output=True,
                          text=True, env=support.tool_environment(), timeout=180, **popen)


def read_summary(path):
    with open(path, newline="") as stream:
        return list(csv.DictReader(stream))


def require_tools(test):
    support.require_vdsim(test)
    support.require_programs(test, ("parallel", "parallel"))


class Sweeping(support.TempDir):
    """A temporary directory with a short base scenario."""

    def setUp(self):
        require_tools(self)
        super().setUp()
        self.base = support.make_short_base(self.path("base"))


class DirectRunChecks:
    """Comparison of a sweep with direct runs of the short base scenario."""

    def assertMatchesDirectRuns(self, out, runs):
        """summary.csv and every run's Data/Output.csv equal direct runs of the inputs."""
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([row["run"] for row in rows],
                         ["%04d" % i for i in range(1, len(runs) + 1)])
        keys = m.metric_keys()
        for row, (ride, arb) in zip(rows, runs):
            self.assertEqual((row[RIDE], row[ARB], row["status"], row["message"]),
                             (ride, arb, "0", ""))
            self.assertRegex(row["wall_time_s"], r"^\d+\.\d{3}$")
            direct = direct_output(ride, arb)
            swept = os.path.join(out, "runs", row["run"], "Data", "Output.csv")
            with open(swept, "rb") as stream:
                self.assertEqual(stream.read(), direct, "run %s" % row["run"])
            data = vo.load_run(os.path.dirname(os.path.dirname(swept)))
            self.assertIsNotNone(data.extended)  # the runs use --extended
            metrics = m.run_metrics(data, m.event_metrics(
                data, run_wheelbase(data.csv_path, data.record)))
            self.assertEqual([row[key] for key in keys],
                             [format_cell(metrics[key]) for key in keys])
        return rows


class SweepRunTest(DirectRunChecks, Sweeping):
    """Sweeps that run: each run's output is that of a direct run of the same inputs."""

    def test_local_sweep_of_six_runs_on_two_jobs(self):
        out = os.path.join(self.root, "sweep")
        result = run_sweep(self.base, self.write("six.csv", SWEEP_6), "-o", out, "--jobs", "2")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        runs = [line.split(",") for line in SWEEP_6.splitlines()[1:]]
        rows = self.assertMatchesDirectRuns(out, runs)
        self.assertEqual({row["host"] for row in rows}, {":"})
        log = results.read_joblog(os.path.join(out, "joblog"))
        self.assertEqual(sorted(log), [1, 2, 3, 4, 5, 6])
        # Run directories: complete copies with the values in place, nothing else changed.
        run4 = os.path.join(out, "runs", "0004")
        self.assertEqual(read(os.path.join(run4, "Sedan.ini")),
                         read(os.path.join(self.base, "Sedan.ini")).replace(
                             "antiRollRear(N/m)     8000.0", "antiRollRear(N/m)     4000"))
        for name in ("Events.ini", "Goodyear2692x7.pkj"):
            self.assertEqual(read(os.path.join(run4, name)),
                             read(os.path.join(self.base, name)))
        # The terminal table: a header, one line per run.
        lines = result.stdout.splitlines()
        header = lines.index(next(line for line in lines if line.startswith("run ")))
        self.assertRegex(lines[header], r"^run\s+frontRideFrequency\s+antiRollRear\s+status")
        self.assertRegex(lines[header + 4], r"^0004\s+1\.4\s+4000\s+0\s")
        self.assertEqual(lines[-1], "Wrote %s (6 runs)" % os.path.join(out, "summary.csv"))

        # Running the same sweep again replaces the previous one.
        result = run_sweep(self.base, self.write("one.csv", "%s=1.3\n" % RIDE), "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(out, "runs"))), ["0001"])

    def test_failed_runs_keep_their_row(self):
        out = os.path.join(self.root, "sweep")
        sweep = self.write("grid.txt", "Events.ini:[car]:timeStep=0.002,-1\n%s=1.4\n" % RIDE)
        result = run_sweep(self.base, sweep, "-o", out)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, "vdsim-sweep: 1 of 2 runs failed\n")
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([(r["Events.ini:[car]:timeStep"], r["status"]) for r in rows],
                         [("0.002", "0"), ("-1", "2")])
        self.assertEqual(rows[0]["message"], "")
        self.assertEqual(rows[1]["message"],
                         "vdsim: Events.ini:4: [car], item 2: the time step must be a "
                         "positive number of seconds, found -1")
        self.assertEqual(rows[1]["top_speed_mps"], "")
        self.assertEqual(rows[0]["rows"], "27")
        self.assertIn("  0002: vdsim: Events.ini:4: [car], item 2", result.stdout)

    def test_interrupted_sweep_resumes_without_redoing_finished_runs(self):
        # A simulator that logs each run and, while the flag file exists, takes
        # long enough for runs 3 and 4 to be interrupted.
        calls = os.path.join(self.root, "calls.log")
        slow = self.write("slow", "")
        fake = self.write("fake-vdsim", (
            "#!/bin/sh\n"
            "run=$(basename \"$(pwd)\")\n"
            "echo \"$run\" >> %s\n"
            "case $run in 0003|0004) [ -e %s ] && sleep 30 ;; esac\n"
            "exec %s \"$@\"\n") % (calls, slow, VDSIM))
        os.chmod(fake, 0o755)
        sweep = self.write("four.csv", SWEEP_6.rsplit("\n", 3)[0] + "\n")
        out = os.path.join(self.root, "sweep")
        env = support.tool_environment()
        command = [SCRIPT, self.base, sweep, "-o", out, "--jobs", "2", "--vdsim", fake]
        process = subprocess.Popen(
            command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
            start_new_session=True,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        try:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                started = read(calls).split() if os.path.exists(calls) else []
                if len(results.read_joblog(os.path.join(out, "joblog"))) == 2 and len(started) == 4:
                    break
                time.sleep(0.05)
            else:
                self.fail("runs 1 and 2 did not finish")
            os.killpg(process.pid, signal.SIGINT)
            _, stderr = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        self.assertEqual(process.returncode, 130, stderr)
        self.assertIn("run again with --resume", stderr)
        self.assertEqual(sorted(results.read_joblog(os.path.join(out, "joblog"))), [1, 2])
        done = os.path.join(out, "runs", "0001", "Data", "Output.csv")
        stamp = os.stat(done).st_mtime_ns

        os.remove(slow)
        result = subprocess.run(command + ["--resume"], capture_output=True, text=True,
                                env=env, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("4 runs in %s; 2 to run" % os.path.join(out, "runs"), result.stdout)
        # Runs 1 and 2 ran once; 3 and 4 were started, interrupted and run again.
        self.assertEqual(sorted(read(calls).split()),
                         ["0001", "0002", "0003", "0003", "0004", "0004"])
        self.assertEqual(os.stat(done).st_mtime_ns, stamp)
        self.assertEqual(sorted(results.read_joblog(os.path.join(out, "joblog"))), [1, 2, 3, 4])
        runs = [line.split(",") for line in SWEEP_6.splitlines()[1:5]]
        self.assertMatchesDirectRuns(out, runs)

        # A resume must find the same sweep.
        other = self.write("other.csv", "%s=1.5\n" % RIDE)
        result = subprocess.run(command[:2] + [other] + command[3:] + ["--resume"],
                                capture_output=True, text=True, env=env, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn("the sweep there has other addresses", result.stderr)


# ---------------------------------------------------------------------------


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


class TwoHosts:
    """An sshd on two loopback ports, with a host key and a client key made for the test."""

    SSHD = "/usr/sbin/sshd"

    def __init__(self, directory):
        self.directory = directory
        self.process = None
        for key in ("host_key", "client_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                            os.path.join(directory, key)], check=True, timeout=30)
        shutil.copyfile(os.path.join(directory, "client_key.pub"),
                        os.path.join(directory, "authorized_keys"))
        self.ports = free_ports(2)
        self.user = getpass.getuser()
        config = os.path.join(directory, "sshd_config")
        with open(config, "w") as stream:
            for port in self.ports:
                stream.write("ListenAddress 127.0.0.1:%d\n" % port)
            stream.write(
                "HostKey {d}/host_key\nPidFile {d}/sshd.pid\n"
                "AuthorizedKeysFile {d}/authorized_keys\nStrictModes no\nUsePAM no\n"
                "PermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                "KbdInteractiveAuthentication no\nUseDNS no\nPrintMotd no\n"
                "LogLevel ERROR\n".format(d=directory))
        # sshd needs its privilege separation directory (made by its init script).
        if not os.path.isdir("/run/sshd") and os.geteuid() == 0:
            os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.log = open(os.path.join(directory, "sshd.log"), "w+")
        self.process = subprocess.Popen([self.SSHD, "-D", "-e", "-f", config],
                                        stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 15
        waiting = list(self.ports)
        while waiting:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise AssertionError("sshd did not start on 127.0.0.1 ports %s: %s"
                                     % (self.ports, self.log_text() or "no message"))
            try:
                socket.create_connection(("127.0.0.1", waiting[0]), timeout=1).close()
                waiting.pop(0)
            except OSError:
                time.sleep(0.05)

    def log_text(self):
        self.log.seek(0)
        return self.log.read().strip()

    def logins(self):
        """One GNU parallel ssh login per port: a full ssh command, one job at a time."""
        return ["1/ssh -F /dev/null -p %d -i %s -o StrictHostKeyChecking=no "
                "-o UserKnownHostsFile=/dev/null -o BatchMode=yes -o LogLevel=ERROR %s@127.0.0.1"
                % (port, os.path.join(self.directory, "client_key"), self.user)
                for port in self.ports]

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
        self.log.close()


class MultiHostTest(DirectRunChecks, unittest.TestCase):
    """A sweep over two ssh hosts on loopback: spread over both, outputs as local runs."""

    def setUp(self):
        require_tools(self)
        support.require_programs(self, (TwoHosts.SSHD, "openssh-server"),
                                 ("ssh", "openssh-client"), ("ssh-keygen", "openssh-client"),
                                 ("rsync", "rsync"))
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        self.root = self.directory.name
        os.makedirs(os.path.join(self.root, "ssh"), mode=0o700)
        self.hosts = TwoHosts(os.path.join(self.root, "ssh"))
        self.addCleanup(self.hosts.stop)

    def test_sweep_over_two_hosts(self):
        hosts_file = os.path.join(self.root, "hosts")
        logins = self.hosts.logins()
        with open(hosts_file, "w") as stream:
            stream.write("# two logins to this machine\n" + "\n".join(logins) + "\n")
        sweep = os.path.join(self.root, "four.csv")
        with open(sweep, "w") as stream:
            stream.write(SWEEP_6.rsplit("\n", 3)[0] + "\n")
        base = support.make_short_base(os.path.join(self.root, "base"))
        workdirs = os.path.join(os.path.expanduser("~"), ".vdsim-sweep")
        before = sorted(os.listdir(workdirs)) if os.path.isdir(workdirs) else []

        out = os.path.join(self.root, "sweep")
        result = run_sweep(base, sweep, "-o", out, "--hosts", hosts_file)
        self.assertEqual(result.returncode, 0, result.stderr + self.hosts.log_text())
        log = results.read_joblog(os.path.join(out, "joblog"))
        self.assertEqual(sorted(log), [1, 2, 3, 4])
        used = {row["Host"] for row in log.values()}
        self.assertEqual(used, {login.split("/", 1)[1] for login in logins})
        self.assertEqual({row["Exitval"] for row in log.values()}, {"0"})

        # The results came back, and no packed result is left over.
        for run in ("0001", "0002", "0003", "0004"):
            self.assertEqual(sorted(os.listdir(os.path.join(out, "runs", run))),
                             ["Data", "Events.ini", "Goodyear2692x7.pkj", "Sedan.ini",
                              "Sedan.params", "status", "stderr.txt", "stdout.txt", "time"])
        self.assertEqual(sorted(os.listdir(os.path.join(out, "runs"))),
                         ["0001", "0002", "0003", "0004"])
        runs = [line.split(",") for line in SWEEP_6.splitlines()[1:5]]
        self.assertMatchesDirectRuns(out, runs)
        # Nothing is left in the hosts' working directories.
        after = sorted(os.listdir(workdirs)) if os.path.isdir(workdirs) else []
        self.assertEqual(after, before)


# ---------------------------------------------------------------------------


class CheckedFirstTest(Sweeping):
    """Every check comes before the disk is touched: a previous sweep survives a bad one."""

    def previous_sweep(self):
        """SWEEP_DIR holding a finished sweep of one run; returns its Output.csv's bytes."""
        out = os.path.join(self.root, "sweep")
        result = run_sweep(self.base, self.write("one.txt", "%s=1.3\n" % RIDE), "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        return out, read(os.path.join(out, "runs", "0001", "Data", "Output.csv"))

    def assertUntouched(self, out, output):
        self.assertEqual(read(os.path.join(out, "runs", "0001", "Data", "Output.csv")), output)
        self.assertEqual(read_summary(os.path.join(out, "summary.csv"))[0][RIDE], "1.3")

    def test_command_line_errors_stop_before_anything_runs(self):
        sweep_file = self.write("bad.csv", "{car}.ini:[corner]:9:spring\n1000\n")
        out = os.path.join(self.root, "out")
        result = run_sweep(self.base, sweep_file, "-o", out)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr,
                         'vdsim-sweep: %s:1: column 1 "{car}.ini:[corner]:9:spring": Sedan.ini '
                         "has 4 [corner] sections (numbered from 1), not 9\n" % sweep_file)
        self.assertFalse(os.path.exists(out))
        result = run_sweep(os.path.join(self.root, "nowhere"), sweep_file, "-o", out)
        self.assertEqual(result.returncode, 2)
        self.assertRegex(result.stderr, r"^vdsim-sweep: .*nowhere: not a directory\n$")
        good = self.write("good.txt", "{car}.ini:[corner]:1:tireSpring=1000\n")
        result = run_sweep(self.base, good, "-o", os.path.join(self.base, "sweep"))
        self.assertEqual(result.returncode, 2)
        self.assertIn("must not lie inside the base scenario", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.base, "sweep")))
        for options, message in ((["--timeout", "0"], "--timeout must be a positive number"),
                                 (["--jobs", "0"], "--jobs must be at least 1"),
                                 (["--plot", "k"], '--plot: no metric "k"; the metrics are rows,'),
                                 (["--plot-x", RIDE], "--plot-x and --plot-lines go with --plot")):
            result = run_sweep(self.base, good, "-o", out, *options)
            self.assertEqual(result.returncode, 2)
            self.assertIn(message, result.stderr)
            self.assertFalse(os.path.exists(out))

    def test_a_bad_sweep_leaves_the_previous_one(self):
        out, output = self.previous_sweep()
        for name, text in (("digits.txt", "%s = 1.2, \uff11.4\n" % RIDE),
                           ("grid.txt", "\n".join("{car}.ini:[corner]:%d:%s = %s" % (
                               c, key, ",".join(str(1000 + i) for i in range(20)))
                               for c in (1, 2, 3, 4) for key in ("tireSpring", "brakeGain")))):
            with self.subTest(name):
                result = run_sweep(self.base, self.write(name, text), "-o", out)
                self.assertEqual(result.returncode, 2)
                self.assertNotIn("Traceback", result.stderr)
                self.assertUntouched(out, output)
        self.assertIn("expected a number, found", run_sweep(
            self.base, self.write("digits.txt", "%s = \uff11.4\n" % RIDE), "-o", out).stderr)
        result = subprocess.run([SCRIPT, self.base, self.write("ok.txt", "%s=1.5\n" % RIDE),
                                 "-o", out, "--vdsim", os.path.join(self.root, "no-vdsim")],
                                capture_output=True, text=True, env=support.tool_environment(),
                                timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn("no simulator at %s" % os.path.join(self.root, "no-vdsim"), result.stderr)
        self.assertUntouched(out, output)

    def test_only_a_sweep_of_this_tool_is_replaced(self):
        out, output = self.previous_sweep()
        # What the user keeps in the sweep directory stays.
        for name in ("notes.md", os.path.join("runs", "mine.txt"), os.path.join("bin", "x.sh")):
            self.write(os.path.join("sweep", name), "mine\n")
        result = run_sweep(self.base, self.write("two.txt", "%s=1.2,1.6\n" % RIDE), "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(out, "runs"))),
                         ["0001", "0002", "mine.txt"])
        self.assertEqual(read(os.path.join(out, "notes.md")), "mine\n")
        self.assertEqual(read(os.path.join(out, "bin", "x.sh")), "mine\n")
        # A directory whose sweep.json is not this tool's marker is not touched.
        other = os.path.join(self.root, "other")
        os.makedirs(os.path.join(other, "runs"))
        for name in ("sweep.json", "summary.csv", os.path.join("runs", "0001")):
            self.write(os.path.join("other", name), '{"base": "x", "runs": [["1"]]}\n')
        result = run_sweep(self.base, self.write("one.txt", "%s=1.3\n" % RIDE), "-o", other)
        self.assertEqual(result.returncode, 2)
        self.assertIn("other: exists and is not a sweep directory of this tool", result.stderr)
        self.assertEqual(sorted(os.listdir(other)), ["runs", "summary.csv", "sweep.json"])


class RunLimitsTest(Sweeping):
    def test_a_run_that_does_not_end_is_stopped(self):
        fake = self.write("fake-vdsim", "#!/bin/sh\ncase $(basename \"$(pwd)\") in 0002) "
                                        "while :; do echo Sing. Found At: 7; done ;; esac\n"
                                        "exec %s \"$@\"\n" % VDSIM)
        os.chmod(fake, 0o755)
        out = os.path.join(self.root, "sweep")
        started = time.monotonic()
        result = subprocess.run([SCRIPT, self.base, self.write("two.txt", "%s=1.2,1.4\n" % RIDE),
                                 "-o", out, "--vdsim", fake, "--timeout", "2"],
                                capture_output=True, text=True, env=support.tool_environment(),
                                timeout=120)
        self.assertLess(time.monotonic() - started, 60)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertTrue(result.stderr.endswith("vdsim-sweep: 1 of 2 runs failed\n"), result.stderr)
        rows = read_summary(os.path.join(out, "summary.csv"))
        self.assertEqual([(r["status"], r["message"]) for r in rows],
                         [("0", ""), ("timeout", "stopped after 2 s (--timeout)")])
        self.assertIn("  0002: stopped after 2 s (--timeout)", result.stdout)
        # What is kept of its output is bounded.
        kept = os.path.join(out, "runs", "0002", "stdout.txt")
        self.assertLess(os.path.getsize(kept), 10000)

    def test_override_warning_comes_first(self):
        out = os.path.join(self.root, "sweep")
        sweep = self.write("springs.txt", "{car}.ini:[corner]:1:spring = 20000, 40000\n")
        result = run_sweep(self.base, sweep, "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr.splitlines(), [
            "vdsim-sweep: warning: {car}.ini:[corner]:1:spring: Sedan.ini [corner] 1, "
            "spring(N/m): Sedan.params is present and derives the spring rate from its "
            "frontRideFrequency, so the value set here has no effect; set "
            "{car}.params:[params]:frontRideFrequency instead"])
        runs = [read(os.path.join(out, "runs", r, "Data", "Output.csv")) for r in ("0001", "0002")]
        self.assertEqual(runs[0], runs[1])  # as the warning says


class PlotTest(Sweeping):
    def test_a_metric_against_a_swept_value(self):
        support.require_modules(("matplotlib", "python3-matplotlib"))
        out = os.path.join(self.root, "sweep")
        grid = self.write("grid.txt", "%s = 1.2, 1.6\n%s = 4000, 16000\n" % (RIDE, ARB))
        result = run_sweep(self.base, grid, "-o", out, "--plot", "normal_force_max_LF_N",
                           "--plot-lines", "antiRollRear")
        self.assertEqual(result.returncode, 0, result.stderr)
        png = os.path.join(out, "normal_force_max_LF_N.png")
        self.assertEqual(result.stdout.splitlines()[-1], "Wrote " + png)
        with open(png, "rb") as stream:
            self.assertEqual(stream.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertEqual(sd.read_marker(out)["plots"], ["normal_force_max_LF_N.png"])
        # The plot is the sweep's: the next sweep removes it.
        result = run_sweep(self.base, self.write("one.txt", "%s=1.3\n" % RIDE), "-o", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(png))
        result = run_sweep(self.base, grid, "-o", out, "--plot", "rows", "--plot-x", "mass")
        self.assertEqual(result.returncode, 2)
        self.assertIn('--plot-x: "mass" is not a swept address', result.stderr)


class SkipPolicyTest(unittest.TestCase):
    """A missing package skips the tests that need it, saying which; with
    VDSIM_TEST_REQUIRE_ALL=1 it fails them."""

    def run_without_parallel(self, **environment):
        bare = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, bare)
        env = dict(support.tool_environment(**environment), PATH=bare)
        env.pop("VDSIM_TEST_REQUIRE_ALL", None) if not environment else None
        return subprocess.run([sys.executable, "run_tests.py", "test_sweep_cli.SweepRunTest"],
                              cwd=support.HERE, capture_output=True, text=True, env=env,
                              timeout=120)

    def test_skipped_with_the_reason(self):
        result = self.run_without_parallel()
        self.assertEqual(result.returncode, 77, result.stderr)
        self.assertIn("skipped 'parallel is not installed (Debian package parallel)'",
                      result.stderr)

    def test_required_in_ci(self):
        result = self.run_without_parallel(VDSIM_TEST_REQUIRE_ALL="1")
        self.assertEqual(result.returncode, 1)
        self.assertIn("AssertionError: parallel is not installed (Debian package parallel); "
                      "VDSIM_TEST_REQUIRE_ALL=1 requires every package", result.stderr)


if __name__ == "__main__":
    unittest.main()
