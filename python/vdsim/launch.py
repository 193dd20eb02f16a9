"""What the command-line tools need before and around their work: an
interpreter that imports NumPy and matplotlib, standard streams that are open,
and standard output errors reported in one line.

Standard library only: it runs before NumPy is known to import.
"""

import errno
import os
import sys
import warnings

REEXEC_MARK = "VDSIM_TOOL_REEXEC"  # set while re-executed by another interpreter
SYSTEM_PYTHON = "/usr/bin/python3"  # the interpreter that sees Debian's packages
PACKAGES = (("numpy", "python3-numpy"), ("matplotlib", "python3-matplotlib"))


class StdoutError(Exception):
    """Standard output could not be written (other than a reader that went away)."""


def open_standard_streams():
    """Open /dev/null on descriptor 0, 1 or 2 if it is closed, so that no file
    opened later takes its place (and a child process writes into it)."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)  # the lowest free descriptor: this one
    for name, mode in (("stdin", "r"), ("stdout", "w"), ("stderr", "w")):
        if getattr(sys, name) is None:
            setattr(sys, name, open(os.devnull, mode))


def require_packages(prog, script, packages=PACKAGES):
    """Make sure the packages import, switching to Debian's python3 if needed.

    A python3 first on the PATH (pyenv, venv) may not see Debian's packages; then
    the script re-executes itself once with /usr/bin/python3.  If that fails too,
    one line names the missing package and the exit status is 2.
    """
    reexecuted = os.environ.pop(REEXEC_MARK, None) is not None
    for module, package in packages:
        try:
            __import__(module)
        except ImportError:
            break
    else:
        return
    # A venv made from Debian's python3 is another interpreter: it does not
    # see Debian's packages, although its executable leads to the same file.
    system = (os.path.realpath(sys.executable or "") == os.path.realpath(SYSTEM_PYTHON)
              and sys.prefix == sys.base_prefix)
    if not reexecuted and os.access(SYSTEM_PYTHON, os.X_OK) and not system:
        os.environ[REEXEC_MARK] = "1"
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, os.path.realpath(script)] + sys.argv[1:])
    sys.stderr.write("%s: Python module %s not found; install Debian's %s "
                     "(apt-get install %s)\n" % (prog, module, package, package))
    sys.exit(2)


def say(text):
    """Write text to standard output at once; StdoutError when that fails."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise StdoutError(error.strerror or str(error)) from None


def run_tool(prog, main, argv):
    """Run a tool's main(argv) and return its exit status: 1 when the reader
    of standard output went away, 2 when standard output cannot be written."""
    try:
        return main(argv)
    except BrokenPipeError:
        sys.stdout = open(os.devnull, "w")  # nothing more reaches the reader, not even a flush
        return 1
    except StdoutError as error:
        sys.stdout = open(os.devnull, "w")
        sys.stderr.write("%s: cannot write standard output: %s\n" % (prog, error))
        return 2
    except OSError as error:
        if error.errno == errno.EPIPE:
            sys.stdout = open(os.devnull, "w")
            return 1
        raise


def show_warnings_as(prog):
    """Python warnings (an InputWarning of Scenario.load, say) as the tool's
    own one-line warnings on standard error: "prog: warning: text"."""
    def show(message, category, filename, lineno, file=None, line=None):
        (file or sys.stderr).write("%s: warning: %s\n" % (prog, message))
    warnings.showwarning = show


def main(prog, module, script):
    """The whole of a command-line tool: streams, packages, then the main()
    of vdsim.<module> on the command line's arguments; returns the exit status."""
    open_standard_streams()
    show_warnings_as(prog)
    require_packages(prog, script)
    import importlib
    tool = importlib.import_module("vdsim." + module)
    return run_tool(prog, tool.main, sys.argv[1:])


def vdsim_plot():
    """The vdsim-plot command of an installed package."""
    sys.exit(main("vdsim-plot", "plot_cli", sys.argv[0]))


def vdsim_sweep():
    """The vdsim-sweep command of an installed package."""
    sys.exit(main("vdsim-sweep", "sweep_cli", sys.argv[0]))
