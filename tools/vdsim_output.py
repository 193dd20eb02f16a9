"""Reader and summary of a vdsim run's "Data/Output.csv".

The simulator writes one header line of 21 channel names and one row of 21
numbers per 100 time steps.  Every cell, header cells included, is followed
by a comma, so each line ends with ",\\n".  Numbers are in C's "%f" form
("12.345678"); a diverged run can hold "nan", "-nan", "inf" or "-inf".

Public interface (kept small and stable; tools such as parameter sweeps
import it):

    read_output(path) -> channels      dict: column name -> list of floats
    summarize(channels) -> summary     dict: flat, unit-suffixed keys
    format_summary(summary) -> str     the summary as a small text table
    OutputError                        raised by read_output for bad files

This module uses the standard library only, so any Python 3 can import it.
"""

import math
import re

# Column names in file order, exactly as the simulator writes them.  Column 11
# has two blanks before "RF".  The four "Mount Moment" columns hold the
# magnitude of the hub force in N, under that label.
CHANNEL_NAMES = (
    "Time (s)",
    "Ground Speed (m/s)",
    "Engine Speed (rpm)",
    "Lat. Accel (m/s2)",
    "Long. Accel (m/s2)",
    "Normal Force LF (N)",
    "Normal Force RF (N)",
    "Normal Force LR (N)",
    "Normal Force RR (N)",
    "Suspension Deflection LF (m)",
    "Suspension Deflection  RF (m)",
    "Suspension Deflection LR (m)",
    "Suspension Deflection RR (m)",
    "Suspension Mount Force LF (N)",
    "Suspension Mount Force RF (N)",
    "Suspension Mount Force LR (N)",
    "Suspension Mount Force RR (N)",
    "Suspension Mount Moment LF (Nm)",
    "Suspension Mount Moment RF (Nm)",
    "Suspension Mount Moment LR (Nm)",
    "Suspension Mount Moment RR (Nm)",
)

TIME = CHANNEL_NAMES[0]
GROUND_SPEED = CHANNEL_NAMES[1]
ENGINE_SPEED = CHANNEL_NAMES[2]
LAT_ACCEL = CHANNEL_NAMES[3]
LONG_ACCEL = CHANNEL_NAMES[4]

# Corners in the simulator's order (0 left front, 1 right front, 2 left rear,
# 3 right rear); each per-corner tuple below follows it.
CORNERS = ("LF", "RF", "LR", "RR")
NORMAL_FORCE = CHANNEL_NAMES[5:9]
SUSPENSION_DEFLECTION = CHANNEL_NAMES[9:13]
MOUNT_FORCE = CHANNEL_NAMES[13:17]
MOUNT_MOMENT = CHANNEL_NAMES[17:21]

G = 9.81  # standard gravity used for accelerations in g (m/s2)

# A steady-state turn is the longest stretch of consecutive rows whose lateral
# acceleration is finite, of one sign and larger than TURN_MIN_LAT_ACCEL in
# magnitude, lasting at least TURN_MIN_DURATION from its first row's time to
# its last row's time.
TURN_MIN_LAT_ACCEL = 1.0  # m/s2
TURN_MIN_DURATION = 5.0  # s

# "%f" output, optionally with an exponent for hand-edited files, or the C
# library's spellings of non-finite values.
_NUMBER = re.compile(
    r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|[+-]?(?:nan|inf|infinity)", re.IGNORECASE)


class OutputError(Exception):
    """A file that cannot be read as a run's output.

    str() gives the GNU form "PATH:LINE: message" (or "PATH: message" when no
    line applies, e.g. a missing file).
    """

    def __init__(self, path, line, message):
        self.path = str(path)
        self.line = line
        self.message = message
        where = self.path if line is None else "%s:%d" % (self.path, line)
        super().__init__("%s: %s" % (where, message))


def _quote(text, limit=40):
    """Text of a cell for a message: quoted, printable, at most `limit` characters."""
    shown = "".join(c if c.isprintable() else "?" for c in text[:limit])
    return '"%s%s"' % (shown, "..." if len(text) > limit else "")


def _cells(line):
    """The comma-separated cells of one line; the trailing comma ends the last cell."""
    cells = line.split(",")
    if cells[-1] == "":
        cells.pop()
    return cells


def read_output(path):
    """Read a run's output CSV into named channels.

    Returns a dict mapping each of the 21 names of CHANNEL_NAMES, in column
    order, to a list of floats with one value per data row ("nan" and "inf"
    cells become float nan and inf).  The trailing comma of each line is
    expected but not required.

    Raises OutputError for a file that cannot be opened, is empty, has a
    header other than CHANNEL_NAMES, has no data rows, or has a row whose
    cell count is not 21 or whose cell is not a number.
    """
    try:
        with open(path, "r", encoding="utf-8", errors="replace") as stream:
            lines = stream.read().splitlines()
    except OSError as error:
        raise OutputError(path, None, error.strerror or str(error)) from None
    if not lines:
        raise OutputError(path, 1, "empty file, expected a header of %d channel names"
                          % len(CHANNEL_NAMES))

    header = [cell.strip() for cell in _cells(lines[0])]
    if len(header) != len(CHANNEL_NAMES):
        raise OutputError(path, 1, "expected %d header cells, found %d"
                          % (len(CHANNEL_NAMES), len(header)))
    for column, (found, expected) in enumerate(zip(header, CHANNEL_NAMES), start=1):
        if found != expected:
            raise OutputError(path, 1, "header cell %d is %s, expected %s"
                              % (column, _quote(found), _quote(expected)))
    if len(lines) == 1:
        raise OutputError(path, 1, "header only, no data rows")

    columns = [[] for _ in CHANNEL_NAMES]
    for number, line in enumerate(lines[1:], start=2):
        cells = _cells(line)
        if len(cells) != len(CHANNEL_NAMES):
            raise OutputError(path, number, "expected %d cells, found %d"
                              % (len(CHANNEL_NAMES), len(cells)))
        for column, (cell, values) in enumerate(zip(cells, columns), start=1):
            text = cell.strip()
            if not _NUMBER.fullmatch(text):
                raise OutputError(path, number, "cell %d (%s) is not a number: %s"
                                  % (column, CHANNEL_NAMES[column - 1], _quote(cell)))
            values.append(float(text))
    return dict(zip(CHANNEL_NAMES, columns))


def _time_key(key):
    """Key of the time at which the peak `key` occurs: its unit suffix replaced by "time_s"."""
    return key.rsplit("_", 1)[0] + "_time_s"


def _finite_peak(times, values, pick):
    """(value, time) of the finite value chosen by `pick` (max or min); (nan, nan) if none."""
    pairs = [(v, t) for t, v in zip(times, values) if math.isfinite(v)]
    if not pairs:
        return math.nan, math.nan
    return pick(pairs, key=lambda pair: pair[0])


def _steady_turn(times, lat):
    """(first index, last index) of the steady-state turn, or None (see TURN_MIN_*)."""
    best = None
    start = None
    for i, a in enumerate(lat + [math.nan]):
        turning = math.isfinite(a) and abs(a) > TURN_MIN_LAT_ACCEL
        if start is not None and not (turning and (a > 0) == (lat[start] > 0)):
            stretch = (start, i - 1)
            if best is None or (times[i - 1] - times[start] > times[best[1]] - times[best[0]]):
                best = stretch
            start = None
        if turning and start is None:
            start = i
    if best is None or times[best[1]] - times[best[0]] < TURN_MIN_DURATION:
        return None
    return best


def summarize(channels):
    """Key figures of a run, from channels as returned by read_output.

    Returns a flat dict (key suffixes give units; peaks use finite values only
    and are nan when a channel has none):

      rows                        number of data rows
      duration_s                  time of the last row (recording starts at 0)
      top_speed_mps, top_speed_time_s
      max_engine_speed_rpm, max_engine_speed_time_s
      lat_accel_max_mps2, lat_accel_max_time_s, lat_accel_min_mps2, lat_accel_min_time_s
      long_accel_max_mps2, long_accel_max_time_s, long_accel_min_mps2, long_accel_min_time_s
      normal_force_max_LF_N ... normal_force_max_RR_N (and ..._time_s)
      turn_start_s, turn_end_s    the steady-state turn (see TURN_MIN_*), or None
      turn_lat_accel_min_mps2, turn_lat_accel_max_mps2
                                  lateral acceleration range in that turn, or None
      non_finite_from_s           time of the first row with a nan or inf cell, or None
    """
    times = channels[TIME]
    summary = {"rows": len(times), "duration_s": times[-1] if times else math.nan}

    def peak(key, name, pick):
        summary[key], summary[_time_key(key)] = _finite_peak(times, channels[name], pick)

    peak("top_speed_mps", GROUND_SPEED, max)
    peak("max_engine_speed_rpm", ENGINE_SPEED, max)
    peak("lat_accel_max_mps2", LAT_ACCEL, max)
    peak("lat_accel_min_mps2", LAT_ACCEL, min)
    peak("long_accel_max_mps2", LONG_ACCEL, max)
    peak("long_accel_min_mps2", LONG_ACCEL, min)
    for corner, name in zip(CORNERS, NORMAL_FORCE):
        peak("normal_force_max_%s_N" % corner, name, max)

    lat = list(channels[LAT_ACCEL])
    turn = _steady_turn(times, lat)
    if turn is None:
        summary.update(turn_start_s=None, turn_end_s=None,
                       turn_lat_accel_min_mps2=None, turn_lat_accel_max_mps2=None)
    else:
        first, last = turn
        summary.update(turn_start_s=times[first], turn_end_s=times[last],
                       turn_lat_accel_min_mps2=min(lat[first:last + 1]),
                       turn_lat_accel_max_mps2=max(lat[first:last + 1]))

    summary["non_finite_from_s"] = next(
        (times[row] for row in range(len(times))
         if not all(math.isfinite(channels[name][row]) for name in CHANNEL_NAMES)), None)
    return summary


def format_summary(summary):
    """The summary of summarize() as a small aligned text table (lines end with "\\n")."""
    rows = []

    def add(label, text):
        rows.append("  %-24s %s" % (label, text))

    def peak(label, key, form):
        """A peak as `form` writes its value, and the time it occurs."""
        value = summary[key]
        if math.isnan(value):
            add(label, "no finite value")
        else:
            add(label, form(value) + " at %.1f s" % summary[_time_key(key)])

    add("Rows", "%d" % summary["rows"])
    add("Duration", "%.1f s" % summary["duration_s"])
    peak("Top speed", "top_speed_mps", lambda v: "%.2f m/s (%.1f km/h)" % (v, v * 3.6))
    peak("Highest engine speed", "max_engine_speed_rpm", lambda v: "%.0f rpm" % v)
    for label, key in (("Lateral accel, max", "lat_accel_max_mps2"),
                       ("Lateral accel, min", "lat_accel_min_mps2"),
                       ("Longitudinal accel, max", "long_accel_max_mps2"),
                       ("Longitudinal accel, min", "long_accel_min_mps2")):
        peak(label, key, lambda v: "%+.2f m/s2 (%+.3f g)" % (v, v / G))
    for corner in CORNERS:
        peak("Peak normal force " + corner, "normal_force_max_%s_N" % corner,
             lambda v: "%.0f N" % v)
    if summary["turn_start_s"] is None:
        add("Steady-state turn", "none (needs |lat. accel| > %g m/s2 for %g s)"
            % (TURN_MIN_LAT_ACCEL, TURN_MIN_DURATION))
    else:
        low, high = summary["turn_lat_accel_min_mps2"], summary["turn_lat_accel_max_mps2"]
        add("Steady-state turn",
            "%.1f to %.1f s" % (summary["turn_start_s"], summary["turn_end_s"]))
        add("  lat. accel range", "%+.2f to %+.2f m/s2 (%+.3f to %+.3f g)"
            % (low, high, low / G, high / G))
    if summary["non_finite_from_s"] is not None:
        add("Non-finite values", "from %.1f s (run diverged)" % summary["non_finite_from_s"])
    return "Run summary\n" + "".join(row + "\n" for row in rows)
