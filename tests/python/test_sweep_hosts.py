"""Tests of vdsim-sweep --hosts: a sweep over two ssh "hosts", an sshd this
test starts on two free loopback ports, whose sessions have their HOME and
working directory inside the test's temporary directory (so the hosts'
working directories, and the shell's start-up files, are the test's alone).
"""

import getpass
import os
import shutil
import socket
import subprocess
import time
import unittest

import support
import sweep_support as ss

from vdsim import sweep_summary as results  # noqa: E402


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
    """An sshd on two loopback ports, with a host key and a client key made
    for the test; every session runs in `home` with HOME set to it (before
    the shell starts, which reads its start-up files from there), and
    leaves a line in the file `sessions`."""

    SSHD = "/usr/sbin/sshd"

    def __init__(self, directory, home):
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
                "SetEnv HOME={h}\n"
                "ForceCommand echo >> {d}/sessions; cd {h} && eval \"$SSH_ORIGINAL_COMMAND\"\n"
                "LogLevel ERROR\n".format(d=directory, h=home))
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


class MultiHostTest(ss.SweepCase):
    """A sweep over two ssh hosts on loopback: spread over both, outputs as local runs."""

    def setUp(self):
        super().setUp()
        support.require_programs(self, (TwoHosts.SSHD, "openssh-server"),
                                 ("ssh", "openssh-client"), ("ssh-keygen", "openssh-client"),
                                 ("rsync", "rsync"))
        os.makedirs(self.path("ssh"), mode=0o700)
        self.remote = self.path("remote")
        os.makedirs(self.remote)
        self.hosts = TwoHosts(self.path("ssh"), self.remote)
        self.addCleanup(self.hosts.stop)

    def test_sweep_over_two_hosts(self):
        logins = self.hosts.logins()
        hosts_file = self.write("hosts", "# two logins to this machine\n" + "\n".join(logins)
                                + "\n")
        out = self.path("sweep")
        two = "".join(ss.SWEEP_4.splitlines(True)[:3])
        status, _, stderr = self.sweep(self.base, self.write("two.csv", two), "-o", out,
                                       "--hosts", hosts_file)
        self.assertEqual(status, 0, stderr + self.hosts.log_text())
        log = results.read_joblog(os.path.join(out, "joblog"))
        self.assertEqual(sorted(log), ["0001", "0002"])
        self.assertEqual({row["Host"] for row in log.values()},
                         {login.split("/", 1)[1] for login in logins})
        self.assertEqual({row["Exitval"] for row in log.values()}, {"0"})

        # The results came back, and no packed result is left over.
        for run in ("0001", "0002"):
            self.assertEqual(sorted(os.listdir(os.path.join(out, "runs", run))),
                             ["Data", "Events.ini", "Goodyear2692x7.pkj", "Sedan.ini",
                              "Sedan.params", "host", "status", "stderr.txt", "stdout.txt",
                              "time"])
        self.assertEqual(sorted(os.listdir(os.path.join(out, "runs"))), ["0001", "0002"])
        self.assertMatchesDirectRuns(out, ss.RUNS_4[:2])
        # Every session went through the test's sshd, and nothing is left in
        # the hosts' working directory.
        self.assertGreater(os.path.getsize(self.path("ssh", "sessions")), 4)
        self.assertEqual(os.listdir(self.remote), [])


if __name__ == "__main__":
    unittest.main()
