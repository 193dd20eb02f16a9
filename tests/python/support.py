"""What the tests of the vdsim package share: paths, the simulator under
test, synthetic runs, and the packages a test needs.

A test whose package is missing is skipped with a reason that names the
Debian package; with VDSIM_TEST_REQUIRE_ALL=1 in the environment (CI) it
fails instead, so that nothing is skipped there.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
PYTHON = os.path.join(REPO, "python")
TOOLS = os.path.join(REPO, "tools")
EXAMPLES = os.path.join(REPO, "examples")
DATA = os.path.join(HERE, "data")
sys.path.insert(0, PYTHON)
sys.path.insert(0, DATA)

VDSIM = os.path.abspath(os.environ.get("VDSIM") or os.path.join(REPO, "build", "vdsim"))
REQUIRE_ALL = os.environ.get("VDSIM_TEST_REQUIRE_ALL") == "1"

# matplotlib keeps its font cache in a directory of this test process (and
# of the tools it starts), not in the home directory.
_MATPLOTLIB_CACHE = tempfile.TemporaryDirectory(prefix="vdsim-test-mpl-")
os.environ.setdefault("MPLCONFIGDIR", _MATPLOTLIB_CACHE.name)


def missing(what, package, test=None):
    """Skip (the test, or the module when test is None) because `what` is
    missing, naming its Debian package; fail instead under VDSIM_TEST_REQUIRE_ALL=1."""
    reason = "%s is not installed (Debian package %s)" % (what, package)
    if REQUIRE_ALL:
        message = reason + "; VDSIM_TEST_REQUIRE_ALL=1 requires every package"
        if test is None:
            raise ImportError(message)
        test.fail(message)
    if test is None:
        raise unittest.SkipTest(reason)
    test.skipTest(reason)


def require_modules(*pairs):
    """At a test module's import: the Python modules it needs, as (module, Debian package)."""
    for module, package in pairs or (("numpy", "python3-numpy"),):
        if importlib.util.find_spec(module) is None:
            missing("Python module " + module, package)


def require_programs(test, *pairs):
    """The programs a test needs, as (program or absolute path, Debian package)."""
    for program, package in pairs:
        found = os.path.exists(program) if os.path.isabs(program) else shutil.which(program)
        if not found:
            missing(program, package, test)


def require_vdsim(test):
    if not (os.path.isfile(VDSIM) and os.access(VDSIM, os.X_OK)):
        test.fail("no simulator at %s (set VDSIM or build it)" % VDSIM)


def copy_example(name, directory):
    """A copy of examples/NAME without its Data/ files, with an empty Data/."""
    shutil.copytree(os.path.join(EXAMPLES, name), directory,
                    ignore=lambda path, names: [n for n in names if path.endswith("Data")])
    return directory


def run_vdsim(directory, *options):
    subprocess.run([VDSIM] + list(options) + [directory], check=True, timeout=120,
                   stdout=subprocess.DEVNULL)
    return directory


def tool_environment(**extra):
    return dict(os.environ, PYTHONDONTWRITEBYTECODE="1", **extra)


def make_short_base(directory):
    """A base scenario: the skidpad example's car with an event file of only
    "[car]" (the two built-in events, 8 s) and a 2 ms step, for short runs."""
    os.makedirs(os.path.join(directory, "Data"))
    for name in ("Sedan.ini", "Sedan.params", "Goodyear2692x7.pkj"):
        shutil.copyfile(os.path.join(EXAMPLES, "skidpad", name), os.path.join(directory, name))
    with open(os.path.join(directory, "Events.ini"), "w") as stream:
        stream.write("# Built-in events only.\n[car]\n  name      Sedan\n  timeStep  0.002\n")
    return directory


class TempDir(unittest.TestCase):
    """A test in a temporary directory of its own."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.root = self.directory.name

    def tearDown(self):
        self.directory.cleanup()

    def path(self, *names):
        return os.path.join(self.root, *names)

    def write(self, name, text="x", mode=0o644):
        """Write a file (its directories made), name relative with "/"; returns its path."""
        path = self.path(*name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as stream:
            stream.write(text)
        os.chmod(path, mode)
        return path
