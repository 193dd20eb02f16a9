"""The results of a sweep: each run's outcome read from its directory (and,
for a run that left none, from what its back end saw: GNU parallel's job
log, Slurm's state of the task), summary.csv (one row per run, written as
the runs are collected and put in place whole), the table printed at the
end, and the values of a metric to plot against a swept value."""

import csv
import math
import os
import re
import signal
import tarfile

from . import metrics as m
from . import output as out
from . import report
from . import sweep_dir as sd
from .sweep_file import SweepError, short_headings

TIMEOUT_STATUS = "timeout"

TABLE_MAX_RUNS = 200  # the printed table lists at most this many runs
FAILED_MAX_LINES = 50  # and the messages of at most this many failed runs

# Columns of the printed table: heading, metric key, format.
TABLE_METRICS = (
    ("vmax", "top_speed_mps", "%.2f"),
    ("ay max", "lat_accel_max_mps2", "%+.2f"),
    ("ay min", "lat_accel_min_mps2", "%+.2f"),
    ("ax max", "long_accel_max_mps2", "%+.2f"),
    ("ax min", "long_accel_min_mps2", "%+.2f"),
    ("Fz LF", "normal_force_max_LF_N", "%.0f"),
    ("Fz RF", "normal_force_max_RF_N", "%.0f"),
    ("Fz LR", "normal_force_max_LR_N", "%.0f"),
    ("Fz RR", "normal_force_max_RR_N", "%.0f"),
    ("K", "understeer_gradient_deg_per_g", "%+.2f"),
    ("stop", "stopping_distance_m", "%.1f"),
)
TABLE_LEGEND = ("vmax: top speed (m/s); ay, ax: peak lateral and longitudinal acceleration "
                "(m/s2); Fz: peak normal force (N); K: understeer gradient (deg/g); stop: "
                "stopping distance (m); time: wall time (s)")


JOBLOG_FIELDS = ("Host", "JobRuntime", "Exitval", "Signal")  # the job log's columns kept
_JOBLOG_RUN = re.compile(r"(?:^|\s)runs/([0-9]{4,7})(?:\s|$)")  # the run in a Command


def read_joblog(path):
    """{run name: {field: text}} of GNU parallel's job log, JOBLOG_FIELDS only,
    the run named by its command line, the last entry of a run kept (empty
    when there is no log)."""
    try:
        with open(path, newline="") as stream:
            rows = list(csv.reader(stream, delimiter="\t"))
    except FileNotFoundError:
        return {}
    if not rows:
        return {}
    header = rows[0]
    log = {}
    for row in rows[1:]:
        if len(row) < len(header) or not row[0].isdigit():
            continue
        fields = dict(zip(header, row))
        run = _JOBLOG_RUN.search(fields.get("Command", ""))
        if run:
            log[run.group(1)] = {key: fields[key] for key in JOBLOG_FIELDS if key in fields}
    return log


def joblog_end(logged, limit):
    """(status, wall time, message) of a run that GNU parallel logged but that
    left no status: stopped by parallel's own time limit `limit` (s), or
    its result lost on the way back from a host."""
    wall_time = logged.get("JobRuntime", "").strip()
    if logged.get("Signal", "0") not in ("", "0") and _seconds(wall_time) >= 0.95 * limit:
        return TIMEOUT_STATUS, wall_time, "stopped after %s s (GNU parallel's time limit)" % (
            sd.seconds_text(limit))
    try:
        status = int(logged.get("Exitval", "-1"))
    except ValueError:
        status = -1
    return status, wall_time, "no result came back from %s (exit value %s, signal %s)" % (
        logged.get("Host") or "the job", logged.get("Exitval", "?"), logged.get("Signal", "?"))


def unpack_result(run_dir):
    """Unpacks RUN_DIR.tar (results returned from a host) into the run
    directory; SweepError (status 1) for an archive that is damaged or holds
    more than files and directories below it."""
    archive = run_dir + ".tar"
    if not os.path.exists(archive):
        return
    try:
        with tarfile.open(archive) as tar:
            for member in tar.getmembers():
                name = os.path.normpath(member.name)
                if name.startswith("..") or os.path.isabs(name) or not (
                        member.isfile() or member.isdir()):
                    raise SweepError("%s: unexpected entry %r" % (archive, member.name), 1)
            os.makedirs(run_dir, exist_ok=True)
            if hasattr(tarfile, "data_filter"):
                tar.extractall(run_dir, filter="data")
            else:
                tar.extractall(run_dir)
    except tarfile.TarError:  # its text may run over several lines
        raise SweepError("%s: not a complete tar archive" % archive, 1) from None
    os.remove(archive)


def _first_line(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            for line in stream:
                if line.strip() and not line.startswith("vdsim: warning: "):
                    return line.strip()
    except OSError:
        pass
    return ""


def _read_small(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            return stream.read(4096).strip()
    except OSError:
        return None


def read_status(run_dir):
    """The exit status run-one recorded in a run directory (its packed
    result unpacked first), or None when it holds none: the run has not
    finished."""
    unpack_result(run_dir)
    text = _read_small(os.path.join(run_dir, "status"))
    return int(text) if text is not None and re.fullmatch(r"-?[0-9]+", text) else None


class RunResult:
    """The outcome of one run: status (int, "timeout", a Slurm state, or None
    when it never ran), wall time text, host, message, and its metrics (None
    when it wrote no outputs that could be read)."""

    def __init__(self, name, values):
        self.name, self.values = name, values
        self.status, self.wall_time, self.host, self.message = None, "", "", ""
        self.metrics = None

    @property
    def failed(self):
        """True unless the run finished (status 0) and its outputs were read."""
        return self.status != 0 or self.metrics is None


def collect_run(run_dir, name, values, timeout, host="", ended=None):
    """The RunResult of one run directory.  `host` is where the back end ran
    it ("" for the machine the run recorded); `ended` is (status, wall time,
    message) of a run that left no status, as its back end saw it (None: it
    did not run)."""
    result = RunResult(name, values)
    status = read_status(run_dir)
    result.host = host or _read_small(os.path.join(run_dir, "host")) or ""
    if status is None:
        if ended is None:
            result.message = "not run"
        else:
            result.status, result.wall_time, result.message = ended
        return result
    result.status = status
    result.wall_time = _read_small(os.path.join(run_dir, "time")) or ""
    if status == sd.TIMED_OUT:
        result.status = TIMEOUT_STATUS
        result.message = "stopped after %s s (--timeout)" % sd.seconds_text(timeout)
        return result
    if status not in (0, 3, 4):
        message = _first_line(os.path.join(run_dir, "stderr.txt"))
        if status > 128 and not message:
            number = status - 128
            try:
                message = "killed by signal %d (%s)" % (number, signal.Signals(number).name)
            except ValueError:
                message = "killed by signal %d" % number
        result.message = message or "exit status %d" % status
        return result
    try:
        data = out.load_run(run_dir, allow_empty=True)
        result.metrics = data.metrics()
        if status != 0:
            result.message = _first_line(os.path.join(run_dir, "stderr.txt"))
    except out.OutputError as error:
        result.message = str(error)
    return result


def _seconds(text):
    try:
        return float(text)
    except ValueError:
        return 0.0


def format_cell(value):
    """A summary value as a CSV cell: exact (repr) for floats, empty for None."""
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value)
    return str(value)


class Summary:
    """summary.csv written one run at a time, and what the end of the sweep
    prints and plots: the table rows (up to TABLE_MAX_RUNS), the failed runs
    and the values of the metrics to plot."""

    def __init__(self, path, addresses, count, plot_metrics=()):
        self.path, self.addresses, self.count = path, addresses, count
        self.keys = m.metric_keys()
        self.stream = open(path + ".new", "w", newline="")
        self.writer = csv.writer(self.stream, lineterminator="\n")
        self.writer.writerow(["run"] + addresses + ["status", "wall_time_s"] + self.keys
                             + ["host", "message"])
        self.results = []
        self.failed = []  # (name, message) of the first failed runs
        self.failed_total = 0  # runs that failed or never ran
        self.not_run = 0
        self.plot_metrics = plot_metrics
        self.points = []  # (values, {metric: value}) of each run

    def add(self, result):
        values = [format_cell(result.metrics[key]) if result.metrics else "" for key in self.keys]
        self.writer.writerow([result.name] + result.values
                             + ["" if result.status is None else str(result.status),
                                result.wall_time] + values + [result.host, result.message])
        if len(self.results) < TABLE_MAX_RUNS:
            self.results.append(result)
        if result.status is None:
            self.not_run += 1
        if result.failed:
            self.failed_total += 1
            if len(self.failed) < FAILED_MAX_LINES:
                self.failed.append((result.name, result.message or "status %s" % result.status))
        if self.plot_metrics:
            self.points.append((result.values, {key: result.metrics[key] if result.metrics
                                                else None for key in self.plot_metrics}))

    def close(self):
        """Puts summary.csv in place, whole."""
        self.stream.close()
        os.replace(self.path + ".new", self.path)

    def discard(self):
        """Drops the summary being written; a previous summary.csv stays."""
        self.stream.close()
        try:
            os.remove(self.path + ".new")
        except OSError:
            pass

    def table(self):
        """The results as an aligned text table, with failed runs' messages after it."""
        headings = ["run"] + short_headings(self.addresses) + ["status", "time"] + [
            heading for heading, _, _ in TABLE_METRICS]
        rows = []
        for result in self.results:
            cells = [report.number(form, result.metrics[key]) if result.metrics
                     and result.metrics[key] is not None and not math.isnan(result.metrics[key])
                     else "-" for _, key, form in TABLE_METRICS]
            rows.append([result.name] + result.values
                        + ["-" if result.status is None else str(result.status),
                           result.wall_time or "-"] + cells)
        widths = [max(len(row[i]) for row in [headings] + rows) for i in range(len(headings))]
        numeric_from = 1 + len(self.addresses)
        lines = []
        for row in [headings] + rows:
            cells = [cell.ljust(width) if i < numeric_from else cell.rjust(width)
                     for i, (cell, width) in enumerate(zip(row, widths))]
            lines.append("  ".join(cells).rstrip())
        if self.count > len(self.results):
            lines.append("(the first %d of %d runs; all are in summary.csv)"
                         % (len(self.results), self.count))
        lines.append(TABLE_LEGEND)
        if self.failed:
            lines.append("Failed runs:")
            lines.extend("  %s: %s" % pair for pair in self.failed)
            if self.failed_total > len(self.failed):
                lines.append("  ... and %d more (see summary.csv)"
                             % (self.failed_total - len(self.failed)))
        return "\n".join(lines) + "\n"

    def bode_lines(self, line_index):
        """{value of the line address (None without one): [metrics]} of the
        runs that measured a SineSteer frequency response."""
        lines = {}
        for values, found in self.points:
            if found.get("sine_steer_frequency_hz") is None:
                continue
            key = values[line_index] if line_index is not None else None
            lines.setdefault(key, []).append(found)
        return lines

    def plot_lines(self, metric, x_index, line_index):
        """{value of the line address (None without one): [(x, metric)]} of the
        runs with a finite value of the metric."""
        lines = {}
        for values, found in self.points:
            value = found.get(metric)
            if value is None or not math.isfinite(value):
                continue
            key = values[line_index] if line_index is not None else None
            lines.setdefault(key, []).append((float(values[x_index]), value))
        return lines
