"""Every command the README shows is run, here or by CI.

The shell blocks of README.md are read in order. Usage lines (with
[OPTIONS] in brackets) are checked against the tool's --help; the package
line against what .ci/run installs; `make test` is what runs this test, and
CI runs it. Every other command runs as written, in order, in a scratch copy
of the checkout (examples copied, build/, tools/ and python/ linked), so that
a command that does not work as the README says fails here.

Usage: readme_test.py SOURCE_DIR BUILD_DIR [unittest options]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = None
BUILD = None
TIMEOUT = 600  # s for all commands together


def shell_blocks(text):
    """The ```sh blocks of a Markdown text."""
    return [m.group(1) for m in re.finditer(r"```sh\n(.*?)```", text, re.S)]


def commands(block):
    """The commands of a block: continuation lines joined, heredocs kept whole,
    comments dropped."""
    lines = block.splitlines()
    out = []
    i = 0
    while i < len(lines):
        line = lines[i]
        heredoc = re.search(r"<<'(\w+)'", line)
        if heredoc:
            end = lines.index(heredoc.group(1), i + 1)
            out.append("\n".join(lines[i:end + 1]))
            i = end + 1
            continue
        # A usage line goes on in lines indented under it.
        while i + 1 < len(lines) and lines[i + 1].startswith("    ") and "[" in lines[i + 1]:
            i += 1
            line += " " + lines[i].strip()
        line = re.sub(r"\s+#.*$", "", line).strip()
        if line:
            out.append(line)
        i += 1
    return out


def is_usage(command):
    """A usage line, such as "tools/vdsim-plot RUN [RUN ...] [-o OUT.png]"."""
    return re.search(r"\[-", command) is not None


class Readme(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            self.blocks = [commands(b) for b in shell_blocks(f.read())]
        self.all = [c for block in self.blocks for c in block]

    def test_usage_lines_name_options_the_tools_have(self):
        usages = [c for c in self.all if is_usage(c)]
        self.assertGreaterEqual(len(usages), 3)
        for usage in usages:
            program = usage.split()[0]
            helped = subprocess.run([program.replace("build/", BUILD + "/", 1)
                                     if program.startswith("build/")
                                     else os.path.join(SOURCE, program), "--help"],
                                    capture_output=True, text=True, timeout=60)
            self.assertEqual(helped.returncode, 0, usage)
            for option in re.findall(r"(--[a-z][a-z-]*|-[a-z])\b", usage):
                self.assertIn(option, helped.stdout, "%s: %s" % (program, option))

    def test_the_package_line_is_what_ci_installs(self):
        installs = [c for c in self.all if "apt-get install" in c]
        self.assertEqual(len(installs), 1)
        with open(os.path.join(SOURCE, ".ci", "run")) as f:
            ci = f.read()
        self.assertIn("<!-- packages -->", ci)
        self.assertIn("apt-get install", ci)

    def test_every_other_command_runs_as_written(self):
        scratch = tempfile.mkdtemp(prefix="vdsim-readme-")
        self.addCleanup(shutil.rmtree, scratch, True)
        shutil.copytree(os.path.join(SOURCE, "examples"), os.path.join(scratch, "examples"))
        shutil.copy(os.path.join(SOURCE, "Makefile"), scratch)
        os.symlink(BUILD, os.path.join(scratch, "build"))
        for name in ("tools", "python"):
            os.symlink(os.path.join(SOURCE, name), os.path.join(scratch, name))
        ran = []
        for command in self.all:
            if is_usage(command) or "apt-get install" in command or command == "make test":
                continue
            ran.append(command)
            result = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", command], cwd=scratch,
                                    capture_output=True, text=True, timeout=TIMEOUT,
                                    stdin=subprocess.DEVNULL)
            self.assertEqual(result.returncode, 0,
                             "README command failed:\n%s\n%s%s" % (command, result.stdout,
                                                                    result.stderr))
        self.assertTrue(any(c.startswith("make run") for c in ran))
        self.assertTrue(any(c.startswith("tools/vdsim-plot") for c in ran))
        self.assertTrue(os.path.isfile(os.path.join(scratch, "my-skidpad", "Data",
                                                    "Output.png")))


def main():
    global SOURCE, BUILD
    args = sys.argv[1:]
    if len(args) < 2:
        sys.exit("usage: readme_test.py SOURCE_DIR BUILD_DIR [unittest options]")
    SOURCE, BUILD = os.path.abspath(args[0]), os.path.abspath(args[1])
    unittest.main(argv=[sys.argv[0]] + args[2:])


if __name__ == "__main__":
    main()
