"""Readers of a run's files: "Data/Output.csv", "Data/Extended.csv" and
"Data/Run.json".

Output.csv: one header line of 21 channel names and one row of 21 numbers
per 100 time steps.  Every cell, header cells included, is followed by a
comma, so each line ends with ",\\n".  Numbers are in C's "%f" form
("12.345678"); a diverged run can hold "nan", "-nan", "inf" or "-inf".

Extended.csv (written with `vdsim --extended`): plain CSV, one row per row of
Output.csv with the same time cell, more channels (event number, steering,
path, attitude, rates, per-corner slip and tire forces).  Run.json: the run
record (version, inputs and their SHA-256, car, time step, events as read,
how the run ended, SHA-256 of the outputs).  Both are used only when
Run.json's hash of Output.csv matches the file: a run without --extended
leaves an earlier run's Extended.csv behind.

    read_output(path) -> Channels      channel name -> NumPy array
    read_extended(path, output)        the same for Extended.csv
    read_record(path) -> dict          Run.json
    load_run(path) -> RunData          all of a run directory that belongs together
    run.metrics(), run.event_metrics() the figures of vdsim.metrics
    run.channels(), run.event(n)       both files' channels, all rows or one event's
    run.frame()                        the channels as a pandas DataFrame
"""

import collections.abc
import json
import os
import re

import numpy as np

from .inputs import file_sha256, open_regular

# Column names of Output.csv in file order, exactly as the simulator writes
# them.  Column 11 has two blanks before "RF".  The four "Mount Moment"
# columns hold the magnitude of the hub force in N, under that label.
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
MOUNT_MOMENT = CHANNEL_NAMES[17:21]  # the hub force magnitude (N)

# Extended.csv.  Signs: body x forward, y right, z down; a right turn has
# positive lateral acceleration, yaw rate, steer and heading change.
EVENT = "Event (-)"
GEAR = "Gear (-)"
STEER_INPUT = "Steer Input (-)"  # -0.5..0.5; the front road wheels turn by half of it (rad)
STEER_ANGLE = ("Steer Angle LF (rad)", "Steer Angle RF (rad)")  # road wheels, + to the right
PEDAL = "Pedal (-)"  # below -0.05 throttle, otherwise brake (1 = full brake)
POSITION_X = "Position X (m)"  # centre of mass, world axes
POSITION_Y = "Position Y (m)"
HEADING = "Heading (rad)"  # unwrapped, + turning right
ROLL = "Roll (rad)"  # + right side down
PITCH = "Pitch (rad)"  # + nose up
VELOCITY_X = "Velocity X (m/s)"
VELOCITY_Y = "Velocity Y (m/s)"
SIDESLIP = "Sideslip (rad)"  # atan2(vy, vx)
YAW_RATE = "Yaw Rate (rad/s)"
ROLL_RATE = "Roll Rate (rad/s)"
PITCH_RATE = "Pitch Rate (rad/s)"
SLIP_RATIO = tuple("Slip Ratio %s (-)" % c for c in CORNERS)
SLIP_ANGLE = tuple("Slip Angle %s (rad)" % c for c in CORNERS)
WHEEL_SPIN = tuple("Wheel Spin %s (rad/s)" % c for c in CORNERS)
TIRE_FORCE_X = tuple("Tire Force X %s (N)" % c for c in CORNERS)
TIRE_FORCE_Y = tuple("Tire Force Y %s (N)" % c for c in CORNERS)
DRIVE_TORQUE = "Drive Torque (N m)"
EXTENDED_NAMES = ((TIME, EVENT, GEAR, STEER_INPUT) + STEER_ANGLE + (
    PEDAL, POSITION_X, POSITION_Y, HEADING, ROLL, PITCH, VELOCITY_X, VELOCITY_Y, SIDESLIP,
    YAW_RATE, ROLL_RATE, PITCH_RATE) + SLIP_RATIO + SLIP_ANGLE + WHEEL_SPIN + TIRE_FORCE_X
    + TIRE_FORCE_Y + (DRIVE_TORQUE,))

# Accelerations in g divide by standard gravity, as the simulator's metrics
# do (the car's own gravity is 9.81 m/s2: that is the model).
G = 9.80665  # m/s2

OUTPUT_FILE = "Output.csv"
EXTENDED_FILE = "Extended.csv"
RECORD_FILE = "Run.json"

# "%f" output, optionally with an exponent for hand-edited files, or the C
# library's spellings of non-finite values (ASCII only).
_NUMBER = re.compile(
    r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|[+-]?(?:nan|inf|infinity)",
    re.IGNORECASE)


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


class Channels(collections.abc.Mapping):
    """Channels of one file: name -> NumPy array (float64, one value per row),
    in column order.  `time_texts` keeps the time cells as written."""

    def __init__(self, names, columns, time_texts=()):
        self.names = tuple(names)
        self._columns = dict(zip(self.names, columns))
        self.time_texts = tuple(time_texts)

    def __getitem__(self, name):
        try:
            return self._columns[name]
        except KeyError:
            raise KeyError('no channel "%s"; the channels are %s'
                           % (name, ", ".join('"%s"' % n for n in self.names))) from None

    def __iter__(self):
        return iter(self.names)

    def __len__(self):
        return len(self.names)

    @property
    def rows(self):
        return len(self._columns[self.names[0]]) if self.names else 0


def _quote(text, limit=40):
    """Text of a cell for a message: quoted, printable, at most `limit` characters."""
    shown = "".join(c if c.isprintable() else "?" for c in text[:limit])
    return '"%s%s"' % (shown, "..." if len(text) > limit else "")


def _cells(line):
    """The comma-separated cells of one line; a trailing comma ends the last cell."""
    cells = line.split(",")
    if cells[-1] == "":
        cells.pop()
    return cells


def _read_lines(path, what):
    try:
        with open_regular(path) as stream:
            lines = stream.read().decode("utf-8", "replace").splitlines()
    except OSError as error:
        raise OutputError(path, None, error.strerror or str(error)) from None
    if not lines:
        raise OutputError(path, 1, "empty file, expected a header of %s" % what)
    return lines


def _read_rows(path, lines, names, allow_empty):
    """The data rows of lines[1:] as float columns, and the first cells as written."""
    if len(lines) == 1 and not allow_empty:
        raise OutputError(path, 1, "header only, no data rows")
    columns = [[] for _ in names]
    times = []
    for number, line in enumerate(lines[1:], start=2):
        cells = _cells(line)
        if len(cells) != len(names):
            raise OutputError(path, number, "expected %d cells, found %d"
                              % (len(names), len(cells)))
        for column, (cell, values) in enumerate(zip(cells, columns), start=1):
            text = cell.strip()
            if not _NUMBER.fullmatch(text):
                raise OutputError(path, number, "cell %d (%s) is not a number: %s"
                                  % (column, names[column - 1], _quote(cell)))
            values.append(float(text))
        times.append(cells[0].strip())
    return [np.array(values, dtype=float) for values in columns], times


def read_output(path, allow_empty=False):
    """Read a run's Output.csv into Channels named as CHANNEL_NAMES.

    "nan" and "inf" cells become float nan and inf.  The trailing comma of
    each line is expected but not required.  Raises OutputError for a file
    that cannot be opened, is empty, has a header other than CHANNEL_NAMES,
    has no data rows (unless allow_empty: a run can end before its first
    row), or has a row whose cell count is not 21 or whose cell is not a number.
    """
    lines = _read_lines(path, "%d channel names" % len(CHANNEL_NAMES))
    header = [cell.strip() for cell in _cells(lines[0])]
    if len(header) != len(CHANNEL_NAMES):
        raise OutputError(path, 1, "expected %d header cells, found %d"
                          % (len(CHANNEL_NAMES), len(header)))
    for column, (found, expected) in enumerate(zip(header, CHANNEL_NAMES), start=1):
        if found != expected:
            raise OutputError(path, 1, "header cell %d is %s, expected %s"
                              % (column, _quote(found), _quote(expected)))
    columns, times = _read_rows(path, lines, CHANNEL_NAMES, allow_empty)
    return Channels(CHANNEL_NAMES, columns, times)


def read_extended(path, output=None):
    """Read Extended.csv into Channels named by its header.

    The header must start with "Time (s)" and hold "Event (-)", without a
    name twice.  With `output` (the run's Output.csv Channels) the rows must
    match it one for one: same count, same time cells as written.
    """
    lines = _read_lines(path, "channel names")
    header = [cell.strip() for cell in lines[0].split(",")]
    if header[0] != TIME:
        raise OutputError(path, 1, "header cell 1 is %s, expected %s"
                          % (_quote(header[0]), _quote(TIME)))
    if EVENT not in header:
        raise OutputError(path, 1, "no %s column" % _quote(EVENT))
    repeated = next((name for name in header if header.count(name) > 1), None)
    if repeated is not None:
        raise OutputError(path, 1, "channel %s appears twice" % _quote(repeated))
    columns, times = _read_rows(path, lines, header, output is not None and not output.time_texts)
    if output is not None:
        if len(times) != len(output.time_texts):
            raise OutputError(path, None, "%d rows, but %s has %d"
                              % (len(times), OUTPUT_FILE, len(output.time_texts)))
        for number, (mine, theirs) in enumerate(zip(times, output.time_texts), start=2):
            if mine != theirs:
                raise OutputError(path, number, "time %s differs from %s's %s on the same row"
                                  % (_quote(mine), OUTPUT_FILE, _quote(theirs)))
    return Channels(header, columns, times)


def read_record(path):
    """Run.json as a dict; OutputError when it cannot be read, is not a JSON
    object or holds a list the readers need ("inputs", "outputs", "events")
    in another shape (see record_problem)."""
    try:
        with open_regular(path) as stream:
            record = json.loads(stream.read().decode("utf-8"))
    except OSError as error:
        raise OutputError(path, None, error.strerror or str(error)) from None
    except RecursionError:
        raise OutputError(path, None, "not a JSON run record: nested too deeply") from None
    except (UnicodeDecodeError, ValueError) as error:
        raise OutputError(path, None, "not a JSON run record: %s" % error) from None
    if not isinstance(record, dict):
        raise OutputError(path, None, "not a JSON run record: expected an object")
    problem = record_problem(record)
    if problem:
        raise OutputError(path, None, "not a run record of this vdsim: %s" % problem)
    return record


def record_problem(record):
    """What makes a Run.json object unusable, or None: "inputs", "outputs" and
    "events", when present, must be lists of objects, and each event's
    "number" an integer (ignored events included)."""
    for key in ("inputs", "outputs", "events"):
        entries = record.get(key)
        if entries is not None and not (isinstance(entries, list)
                                        and all(isinstance(e, dict) for e in entries)):
            return '"%s" is not a list of objects' % key
    for event in record.get("events") or ():
        number = event.get("number")
        if not isinstance(number, int) or isinstance(number, bool):
            return 'an event\'s "number" is not an integer'
    return None


def recorded_sha256(record, name):
    """The SHA-256 that Run.json's "outputs" gives for file `name`, or None."""
    for entry in record.get("outputs") or ():
        if isinstance(entry, dict) and entry.get("file") == name:
            return entry.get("sha256")
    return None


class RunData:
    """What a run directory holds, read together.

    csv_path   path of Output.csv
    output     its Channels
    extended   Extended.csv's Channels, or None (absent, or from an earlier run)
    record     Run.json as a dict, or None (likewise)
    notes      why Extended.csv or Run.json was left out, one line each

    metrics(), event_metrics(), channels(), event(n) and frame() give its
    figures and channels (see each).
    """

    def __init__(self, csv_path, output, extended=None, record=None, notes=()):
        self.csv_path, self.output, self.extended, self.record = csv_path, output, extended, record
        self.notes = list(notes)
        self._events = None

    @property
    def events(self):
        """The events of Run.json that ran ("number", "kind", "line" and their
        values), without those it lists as ignored; [] without it.  An event's
        "number" is that of its "[event]" section in Events.ini, as in
        Extended.csv's "Event (-)" column and in addresses
        (Events.ini:[event]:N:...): events of an unknown kind count too."""
        events = (self.record or {}).get("events") or []
        return [event for event in events if isinstance(event, dict) and not event.get("ignored")]

    def describe(self):
        """Car, time step and version from Run.json, e.g. "Sedan, dt 0.001 s, vdsim 0.1.0"."""
        if not self.record:
            return ""
        parts = []
        if self.record.get("car"):
            parts.append(str(self.record["car"]))
        step = self.record.get("time_step_s")
        if isinstance(step, (int, float)):
            parts.append("dt %g s" % step)
        if self.record.get("vdsim_version"):
            parts.append("vdsim %s" % self.record["vdsim_version"])
        return ", ".join(parts)

    def time_step(self, default=0.001):
        step = (self.record or {}).get("time_step_s")
        return float(step) if isinstance(step, (int, float)) and step > 0 else default

    def channel(self, name):
        """A channel of Output.csv or Extended.csv by name."""
        if name in self.output:
            return self.output[name]
        if self.extended is not None and name in self.extended:
            return self.extended[name]
        return self.output[name]  # KeyError listing the names

    def channel_names(self):
        names = list(self.output.names)
        if self.extended is not None:
            names += [name for name in self.extended.names if name not in self.output]
        return names

    def channels(self):
        """The channels of Output.csv and Extended.csv in one Channels, in
        column order (the time once)."""
        names = self.channel_names()
        return Channels(names, [self.channel(name) for name in names], self.output.time_texts)

    def event(self, number):
        """The channels of both files at the rows of one event, by the number
        of its [event] section in Events.ini (0: the built-in settle and
        launch), as Extended.csv's "Event (-)" column gives it.  KeyError for
        a number the run has no rows of; OutputError without Extended.csv."""
        if self.extended is None:
            raise OutputError(self.csv_path, None, "the rows of an event need %s beside it "
                              "(run vdsim --extended)" % EXTENDED_FILE)
        rows = self.extended[EVENT] == number
        if not rows.any():
            ran = sorted({int(n) for n in self.extended[EVENT] if np.isfinite(n)})
            ignored = [e for e in (self.record or {}).get("events") or ()
                       if isinstance(e, dict) and e.get("number") == number and e.get("ignored")]
            why = (" (its kind %s is not one vdsim knows: it was ignored)" % ignored[0].get("kind")
                   if ignored else "")
            raise KeyError("no rows of event %r%s; the run's rows belong to event%s %s"
                           % (number, why, "" if len(ran) == 1 else "s",
                              ", ".join(map(str, ran)) or "none"))
        names = self.channel_names()
        return Channels(names, [self.channel(name)[rows] for name in names],
                        [text for text, keep in zip(self.output.time_texts, rows) if keep])

    def frame(self):
        """The channels of both files as a pandas DataFrame, one column each;
        ImportError, saying what to install, without pandas."""
        try:
            import pandas
        except ImportError:
            raise ImportError("run.frame() needs pandas (Debian: apt-get install "
                              "python3-pandas); run.output and run.extended give the same "
                              "channels as NumPy arrays") from None
        channels = self.channels()
        return pandas.DataFrame({name: channels[name] for name in channels})

    def event_metrics(self):
        """One dict per event, as Run.json measured it (vdsim.metrics.event_metrics);
        [] without Run.json's metrics (see metrics_note)."""
        from . import metrics
        if self._events is None:
            self._events = metrics.event_metrics(self)
        return self._events

    def metrics(self):
        """The run's flat metrics (vdsim.metrics.run_metrics): the whole-run
        summary of Output.csv and the first event's metrics of each kind, e.g.
        "understeer_gradient_deg_per_g", "stopping_distance_m", "top_speed_mps"."""
        from . import metrics
        return metrics.run_metrics(self, self.event_metrics())

    @property
    def metrics_note(self):
        """Why the run has no event metrics, or None when Run.json holds them."""
        from . import metrics
        if metrics.has_event_metrics(self.record):
            return None
        if self.record is None:
            return ("no %s of this run%s: the events are measured by vdsim --extended"
                    % (RECORD_FILE, " (the one there was left out, see the note)"
                       if self.notes else ""))
        if not self.events:
            return None  # the built-in events only: nothing to measure
        return ("%s holds no metrics of the events (an earlier vdsim wrote it): run it "
                "again with vdsim --extended" % RECORD_FILE)


def csv_path(argument):
    """The Output.csv an argument names: a run directory's Data/Output.csv, or the file itself."""
    if os.path.isdir(argument):
        return os.path.normpath(os.path.join(argument, "Data", OUTPUT_FILE))
    return argument


def load_run(path, allow_empty=False):
    """RunData of a run directory or of an Output.csv and the files beside it.

    Extended.csv and Run.json are read when both are there and Run.json's
    hash of Output.csv matches; otherwise they are left out with a note.
    A present but broken Extended.csv whose record matches raises OutputError,
    as does an Output.csv without rows unless allow_empty.
    """
    path = csv_path(path)
    output = read_output(path, allow_empty)
    directory = os.path.dirname(path)
    extended_path = os.path.join(directory, EXTENDED_FILE)
    record_path = os.path.join(directory, RECORD_FILE)
    if os.path.basename(path) != OUTPUT_FILE or not os.path.exists(record_path):
        notes = []
        if os.path.basename(path) == OUTPUT_FILE and os.path.exists(extended_path):
            notes.append("%s left out: no %s beside it to show it belongs to this run"
                         % (extended_path, RECORD_FILE))
        return RunData(path, output, notes=notes)
    try:
        record = read_record(record_path)
    except OutputError as error:
        return RunData(path, output, notes=["%s left out: %s" % (RECORD_FILE, error)])
    if recorded_sha256(record, OUTPUT_FILE) != file_sha256(path):
        return RunData(path, output, notes=[
            "%s and %s left out: they belong to an earlier run (the SHA-256 of %s differs "
            "from %s's)" % (EXTENDED_FILE, RECORD_FILE, OUTPUT_FILE, RECORD_FILE)])
    extended = None
    notes = []
    if os.path.exists(extended_path):
        if recorded_sha256(record, EXTENDED_FILE) not in (None, file_sha256(extended_path)):
            notes.append("%s left out: its SHA-256 differs from %s's"
                         % (EXTENDED_FILE, RECORD_FILE))
        else:
            extended = read_extended(extended_path, output)
    return RunData(path, output, extended, record, notes)
