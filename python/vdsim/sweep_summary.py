"""The results of a sweep: summary.csv (one row per run, written as the runs
are collected), the table printed at the end, and a metric plotted against a
swept value."""

import csv
import math

from . import metrics as m
from . import report
from .sweep_file import short_headings

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
        self.addresses, self.count = addresses, count
        self.keys = m.metric_keys()
        self.stream = open(path, "w", newline="")
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
        self.stream.close()

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
