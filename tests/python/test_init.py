"""Tests of vdsim/__init__.py: the version is the simulator's, and dir(vdsim)
lists the API without loading its modules."""

import os
import re
import subprocess
import sys
import unittest

import support

import vdsim  # noqa: E402


class PackageTest(unittest.TestCase):
    def test_version_is_the_projects(self):
        with open(os.path.join(support.REPO, "CMakeLists.txt")) as stream:
            cmake = re.search(r"project\(vdsim VERSION ([0-9.]+)", stream.read()).group(1)
        with open(os.path.join(support.REPO, "pyproject.toml")) as stream:
            pyproject = re.search(r'^version = "([0-9.]+)"', stream.read(), re.M).group(1)
        self.assertEqual((vdsim.__version__, pyproject), (cmake, cmake))

    def test_dir_lists_the_api_and_loads_nothing(self):
        # A fresh interpreter: dir() names every export, and each one resolves.
        result = subprocess.run(
            [sys.executable, "-c", "import sys, vdsim; names = dir(vdsim); "
             "loaded = sorted(m for m in sys.modules if m.startswith('vdsim.')); "
             "print(' '.join(names)); print(' '.join(loaded))"],
            capture_output=True, text=True, timeout=60,
            env=dict(os.environ, PYTHONPATH=support.PYTHON))
        names, loaded = result.stdout.splitlines()
        self.assertEqual((names.split(), loaded), (sorted(vdsim.__all__ + ["__version__"]), ""))
        for name in vdsim.__all__:
            self.assertEqual(getattr(vdsim, name).__name__, name)
        self.assertIn("load_run", names.split())
        with self.assertRaisesRegex(AttributeError, "module 'vdsim' has no attribute 'nope'"):
            vdsim.nope


if __name__ == "__main__":
    unittest.main()
