"""Every command the README shows is run, here or by CI.

The shell blocks of README.md are read in order. Usage lines (with
[OPTIONS] in brackets) are checked against the tool's --help; the package
line against what .ci/run installs; `make test` is what runs this test, and
CI runs it. Every other command runs as written, in order, in a scratch copy
of the checkout (examples copied; tools/ and python/ linked; build/ a
directory of links to the build tree's files, so that what the commands
write there stays in the scratch copy), so that a command that does not work
as the README says fails here.

Each command runs once: a part of a command joined by "&&" that an earlier
command ran is left out. Each has its own time limit. The commands are in
two parts, run by two tests: those that make or read a parameter sweep
("sweep"), and all the others ("commands", with the usage and package
checks).

The commands run as a user set up by the README runs them: with a python3
first on the PATH that cannot import matplotlib (a virtual environment of
Debian's python3, standing for pyenv's or one's own). A ```python block
after "<!-- python-example: NAME -->" is the file NAME that the commands
run, written into the scratch copy first. A ```sh block followed by a plain
``` block shows the output of its last command: the lines of its standard
output and error must be those shown (in any order: the two streams are
not ordered with each other).

Usage: readme_test.py SOURCE_DIR BUILD_DIR [--part commands|sweep] [unittest options]
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
PART = "commands"
COMMAND_TIMEOUT = 120  # s for one command
BUILD_OUTPUTS = ("sweep-example",)  # what the README's commands write into build/


def shell_blocks(text):
    """The ```sh blocks of a Markdown text."""
    return [m.group(1) for m in re.finditer(r"```sh\n(.*?)```", text, re.S)]


def python_examples(text):
    """{file name: text} of the ```python blocks marked as example files."""
    return {m.group(1): m.group(2) for m in re.finditer(
        r"<!-- python-example: ([\w.-]+) -->\n```python\n(.*?)```", text, re.S)}


def shown_outputs(text):
    """{command: its output lines} of the ```sh blocks followed by a plain
    ``` block, for the block's last command."""
    return {commands(m.group(1))[-1]: m.group(2).splitlines()
            for m in re.finditer(r"```sh\n(.*?)```\n\n```\n(.*?)```", text, re.S)}


def user_python(directory):
    """A directory whose python3 cannot import matplotlib, as a pyenv or
    virtual environment's first on a user's PATH: a virtual environment of
    Debian's python3 without its packages."""
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--without-pip", directory], check=True,
                   timeout=60)
    return os.path.join(directory, "bin")


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


def once(commands):
    """The commands with every part joined by "&&" that an earlier one ran left out."""
    seen = set()
    result = []
    for command in commands:
        parts = [command] if "\n" in command else [p.strip() for p in command.split("&&")]
        new = [part for part in parts if part not in seen]
        seen.update(parts)
        if new:
            result.append(" && ".join(new))
    return result


def in_part(command, part):
    return ("sweep" in command) == (part == "sweep")


class Readme(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            self.text = f.read()
        self.blocks = [commands(b) for b in shell_blocks(self.text)]
        self.all = [c for block in self.blocks for c in block]

    def test_usage_lines_name_options_the_tools_have(self):
        if PART != "commands":
            self.skipTest("checked with the commands")
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
        if PART != "commands":
            self.skipTest("checked with the commands")
        installs = [c for c in self.all if "apt-get install" in c]
        self.assertEqual(len(installs), 1)
        with open(os.path.join(SOURCE, ".ci", "run")) as f:
            ci = f.read()
        # The line of .ci/run that reads the package list out of the README.
        reader = [line for line in ci.splitlines() if line.startswith("packages=")]
        self.assertEqual(len(reader), 1)
        found = subprocess.run(["bash", "-c", reader[0] + '; printf "%s" "$packages"'],
                               cwd=SOURCE, capture_output=True, text=True, timeout=60)
        self.assertEqual(found.stdout.split(), installs[0].split("apt-get install", 1)[1].split())
        self.assertIn("apt-get install", ci)

    def test_every_other_command_runs_as_written(self):
        scratch = tempfile.mkdtemp(prefix="vdsim-readme-")
        self.addCleanup(shutil.rmtree, scratch, True)
        shutil.copytree(os.path.join(SOURCE, "examples"), os.path.join(scratch, "examples"))
        shutil.copy(os.path.join(SOURCE, "Makefile"), scratch)
        os.mkdir(os.path.join(scratch, "build"))
        for name in os.listdir(BUILD):
            if name not in BUILD_OUTPUTS:
                os.symlink(os.path.join(BUILD, name), os.path.join(scratch, "build", name))
        for name in ("tools", "python"):
            os.symlink(os.path.join(SOURCE, name), os.path.join(scratch, name))
        for name, text in python_examples(self.text).items():
            with open(os.path.join(scratch, name), "w") as stream:
                stream.write(text)
        bin_dir = user_python(os.path.join(scratch, ".user-python"))
        environment = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"])
        environment.pop("PYTHONPATH", None)
        found = subprocess.run(["python3", "-c", "import matplotlib"], env=environment,
                               capture_output=True, timeout=60)
        self.assertNotEqual(found.returncode, 0, "the user's python3 imports matplotlib")
        outputs = shown_outputs(self.text)
        ran = []
        for command in once(self.all):
            if is_usage(command) or "apt-get install" in command or command == "make test":
                continue
            if not in_part(command, PART):
                continue
            ran.append(command)
            result = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", command], cwd=scratch,
                                    capture_output=True, text=True, timeout=COMMAND_TIMEOUT,
                                    stdin=subprocess.DEVNULL, env=environment)
            self.assertEqual(result.returncode, 0,
                             "README command failed:\n%s\n%s%s" % (command, result.stdout,
                                                                    result.stderr))
            if command in outputs:
                self.assertEqual(sorted((result.stdout + result.stderr).splitlines()),
                                 sorted(outputs[command]), "README output of:\n" + command)
        made = ("build/sweep-example/overlay.png", "frequency-sweep/bode.png") \
            if PART == "sweep" else ("my-skidpad/Data/Output.png", "ride.png")
        for name in made:
            self.assertTrue(os.path.isfile(os.path.join(scratch, name)), name)
        if PART == "sweep":
            self.assertTrue(any(c.startswith("make sweep-example") for c in ran))
        else:
            self.assertTrue(any(c.startswith("make run") for c in ran))
            self.assertTrue(any(c.startswith("tools/vdsim-plot") for c in ran))
            self.assertEqual(len(outputs), 1)
            self.assertTrue(any(command in ran for command in outputs))


def main():
    global SOURCE, BUILD, PART
    args = sys.argv[1:]
    if len(args) < 2:
        sys.exit("usage: readme_test.py SOURCE_DIR BUILD_DIR [--part commands|sweep] "
                 "[unittest options]")
    SOURCE, BUILD = os.path.abspath(args[0]), os.path.abspath(args[1])
    args = args[2:]
    if args[:1] == ["--part"]:
        PART = args[1]
        if PART not in ("commands", "sweep"):
            sys.exit("readme_test.py: --part is commands or sweep, not %s" % PART)
        args = args[2:]
    unittest.main(argv=[sys.argv[0]] + args)


if __name__ == "__main__":
    main()
