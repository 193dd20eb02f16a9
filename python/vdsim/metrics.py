"""Figures of a run: the whole-run summary of Output.csv and, with
Extended.csv and Run.json, the metrics of each event of the maneuver.

Every event: kind, start and end time, speed at start and end, peak lateral
and longitudinal acceleration.

Quasi-steady cornering (SteerRamp).  Rows count from the event's entry (the
first row within 0.5 m/s of its entry speed, as the driver's own entry test)
and are quasi-steady while the radius driven, v^2 / a_y, stays within
RADIUS_TOLERANCE of the target radius (which moves from startRadius to
endRadius over the event's duration after the entry).  Over the quasi-steady
rows with FIT_RANGE_G[0] <= |a_y| / g <= FIT_RANGE_G[1], by least squares
against a_y in g:
    understeer gradient  road-wheel steer angle (mean of the two fronts)
                         less the Ackermann angle L / R, with R the radius
                         driven (deg/g; positive understeers)
    roll gradient        roll angle towards the outside of the turn (deg/g)
    sideslip gradient    sideslip angle atan2(vy, vx) (deg/g; signed as a_y)
and the highest lateral acceleration of the first unbroken stretch of
quasi-steady rows.

Braking (Brake).  Braking starts in the first row after which every row of
the event brakes (mean pedal above BRAKE_ON; the wheels' slip cut makes full
braking's mean pedal less than 1), or in the row before it when that row
brakes at the braking level already; the row's mean pedal, between the
level before it and the braking level, places the start inside it.  The
speed then comes from the rows before it.  The stopping distance is the
path length from there to the event's last row, plus v^2 / (2 a) at that
row's speed and deceleration for the last metre per second (the event ends
below 1 m/s, and the last incomplete row is not written).

Acceleration (TargetSpeed that starts well below its target).  Time from
1 m/s, or 0.5 m/s above the event's starting speed when it starts faster (as
after the built-in 2 m/s hold), to 90 % of the target speed.

Times of averaged channels are those of the middle of their row (the row's
time, which is its last step, less 49.5 time steps); crossings are
interpolated linearly between rows.
"""

import math

import numpy as np

from . import output as out

# A steady-state turn without event phases is the longest stretch of
# consecutive rows whose lateral acceleration is finite, of one sign and
# larger than TURN_MIN_LAT_ACCEL in magnitude, lasting at least
# TURN_MIN_DURATION from its first row's time to its last row's time.
TURN_MIN_LAT_ACCEL = 1.0  # m/s2
TURN_MIN_DURATION = 5.0  # s

FIT_RANGE_G = (0.1, 0.4)  # linear range of the cornering fits, |a_y| in g
FIT_MIN_ROWS = 3  # rows needed for a fit
RADIUS_TOLERANCE = 0.05  # quasi-steady: |v^2/a_y / target radius - 1| at most this
ENTRY_SPEED_TOLERANCE = 0.5  # m/s: the driver's entry test of an event
BRAKE_ON = 0.05  # a row's mean pedal above this brakes (below -0.05 is throttle)
ACCEL_FROM = 1.0  # m/s: acceleration time starts here ...
ACCEL_MARGIN = 0.5  # m/s: ... or this far above the event's starting speed
ACCEL_TO_FRACTION = 0.9  # ... and ends at this fraction of the target speed
SAMPLES_PER_ROW = 100  # time steps averaged into one row

BUILT_IN_KIND = "built-in"  # event 0: the built-in settle and 2 m/s launch
BUILT_IN_EVENT = {"number": 0, "kind": BUILT_IN_KIND, "line": None, "speed": 2.0,
                  "duration": 5.0}

# Keys of the maneuver metrics in a run's flat metrics; each group comes from
# the first event of the maneuver that yields it ("..._event" is its number).
CORNERING_KEYS = ("cornering_event", "understeer_gradient_deg_per_g", "roll_gradient_deg_per_g",
                  "sideslip_gradient_deg_per_g", "fit_from_g", "fit_to_g", "fit_rows",
                  "limit_lat_accel_mps2", "driven_radius_m", "target_radius_m")
BRAKING_KEYS = ("braking_event", "braking_start_s", "braking_start_speed_mps",
                "stopping_distance_m", "braking_decel_mean_mps2", "braking_decel_peak_mps2")
ACCEL_KEYS = ("accel_event", "accel_from_mps", "accel_to_mps", "accel_time_s")
MANEUVER_KEYS = CORNERING_KEYS + BRAKING_KEYS + ACCEL_KEYS


# ---------------------------------------------------------------------------
# Whole-run summary


def _time_key(key):
    """Key of the time at which the peak `key` occurs: its unit suffix replaced by "time_s"."""
    return key.rsplit("_", 1)[0] + "_time_s"


def _finite_peak(times, values, pick):
    """(value, time) of the finite value that `pick` (np.argmax or np.argmin)
    chooses; (nan, nan) if none."""
    finite = np.isfinite(values)
    if not finite.any():
        return math.nan, math.nan
    index = np.flatnonzero(finite)[pick(values[finite])]
    return float(values[index]), float(times[index])


def steady_turn(times, lat):
    """(first index, last index) of the steady-state turn found without event
    phases, or None (see TURN_MIN_*)."""
    best = None
    start = None
    for i, a in enumerate(list(lat) + [math.nan]):
        turning = math.isfinite(a) and abs(a) > TURN_MIN_LAT_ACCEL
        if start is not None and not (turning and (a > 0) == (lat[start] > 0)):
            if best is None or times[i - 1] - times[start] > times[best[1]] - times[best[0]]:
                best = (start, i - 1)
            start = None
        if turning and start is None:
            start = i
    if best is None or times[best[1]] - times[best[0]] < TURN_MIN_DURATION:
        return None
    return best


def summarize(channels, turn=None):
    """Key figures of a run, from Output.csv's Channels.

    `turn` gives the (first, last) rows of the steady-state turn when the
    event phases are known; otherwise it is found by steady_turn().

    Returns a flat dict (key suffixes give units; peaks use finite values only
    and are nan when a channel has none):

      rows                        number of data rows
      duration_s                  time of the last row (recording starts at 0)
      top_speed_mps, top_speed_time_s
      max_engine_speed_rpm, max_engine_speed_time_s
      lat_accel_max_mps2, lat_accel_max_time_s, lat_accel_min_mps2, lat_accel_min_time_s
      long_accel_max_mps2, long_accel_max_time_s, long_accel_min_mps2, long_accel_min_time_s
      normal_force_max_LF_N ... normal_force_max_RR_N (and ..._time_s)
      turn_start_s, turn_end_s    the steady-state turn, or None
      turn_lat_accel_min_mps2, turn_lat_accel_max_mps2
                                  lateral acceleration range in that turn, or None
      non_finite_from_s           time of the first row with a nan or inf cell, or None
    """
    times = channels[out.TIME]
    summary = {"rows": len(times), "duration_s": float(times[-1]) if len(times) else math.nan}

    def peak(key, name, pick):
        summary[key], summary[_time_key(key)] = _finite_peak(times, channels[name], pick)

    peak("top_speed_mps", out.GROUND_SPEED, np.argmax)
    peak("max_engine_speed_rpm", out.ENGINE_SPEED, np.argmax)
    peak("lat_accel_max_mps2", out.LAT_ACCEL, np.argmax)
    peak("lat_accel_min_mps2", out.LAT_ACCEL, np.argmin)
    peak("long_accel_max_mps2", out.LONG_ACCEL, np.argmax)
    peak("long_accel_min_mps2", out.LONG_ACCEL, np.argmin)
    for corner, name in zip(out.CORNERS, out.NORMAL_FORCE):
        peak("normal_force_max_%s_N" % corner, name, np.argmax)

    lat = channels[out.LAT_ACCEL]
    if turn is None:
        turn = steady_turn(times, lat)
    stretch = lat[turn[0]:turn[1] + 1] if turn is not None else np.array([])
    stretch = stretch[np.isfinite(stretch)]
    if not len(stretch):
        summary.update(turn_start_s=None, turn_end_s=None,
                       turn_lat_accel_min_mps2=None, turn_lat_accel_max_mps2=None)
    else:
        summary.update(turn_start_s=float(times[turn[0]]), turn_end_s=float(times[turn[1]]),
                       turn_lat_accel_min_mps2=float(stretch.min()),
                       turn_lat_accel_max_mps2=float(stretch.max()))

    finite_rows = np.all([np.isfinite(channels[name]) for name in out.CHANNEL_NAMES], axis=0)
    bad = np.flatnonzero(~finite_rows)
    summary["non_finite_from_s"] = float(times[bad[0]]) if len(bad) else None
    return summary


def summary_keys():
    """The keys of summarize(), in its order."""
    channels = {name: np.zeros(3) for name in out.CHANNEL_NAMES}
    channels[out.TIME] = np.arange(3.0)
    return list(summarize(channels))


def metric_keys():
    """The keys of run_metrics(), in its order: whole-run summary, then the maneuver's."""
    return summary_keys() + list(MANEUVER_KEYS)


# ---------------------------------------------------------------------------
# Helpers on rows


def _centre_times(times, dt):
    """Times of the middle of each row, to which the row means of averaged channels belong."""
    return times - 0.5 * (SAMPLES_PER_ROW - 1) * dt


def _crossing(times, values, level, start=0):
    """Time at which values first rise to `level` at or after index start,
    interpolated between rows; nan if never."""
    above = np.flatnonzero(values[start:] >= level)
    if not len(above):
        return math.nan
    i = start + above[0]
    if i == 0 or values[i - 1] >= level or not np.isfinite(values[i - 1]):
        return float(times[i])
    fraction = (level - values[i - 1]) / (values[i] - values[i - 1])
    return float(times[i - 1] + fraction * (times[i] - times[i - 1]))


def _slope(x, y):
    """Least-squares slope of y against x; nan for fewer than FIT_MIN_ROWS or no spread."""
    keep = np.isfinite(x) & np.isfinite(y)
    x, y = x[keep], y[keep]
    if len(x) < FIT_MIN_ROWS or np.ptp(x) <= 0.0:
        return math.nan
    return float(np.polyfit(x, y, 1)[0])


def _signed_peak(values):
    """The finite value of largest magnitude, with its sign; nan if none."""
    finite = values[np.isfinite(values)]
    return float(finite[np.argmax(np.abs(finite))]) if len(finite) else math.nan


def _value(event, key):
    value = event.get(key)
    return float(value) if isinstance(value, (int, float)) else math.nan


# ---------------------------------------------------------------------------
# Events


class Phase:
    """One event of the run: its record from Run.json and the indices of its rows."""

    def __init__(self, event, rows):
        self.event, self.rows = event, rows
        self.number, self.kind = event["number"], event.get("kind", "?")


def phases(data):
    """The Phases of a RunData with Extended.csv and Run.json, in row order; [] without them.

    Rows belong to the event whose number their "Event (-)" cell holds, and
    an event is found in Run.json by its "number" (events it lists as
    ignored never run).  Time and memory grow with the rows, not with rows
    times events."""
    if data.extended is None or data.record is None:
        return []
    numbers = data.extended[out.EVENT]
    events = {event.get("number"): event for event in data.events}
    events.setdefault(0, BUILT_IN_EVENT)
    # The rows of each event number, in one sort: by number, then row.
    finite = np.flatnonzero(np.isfinite(numbers))
    keys = np.trunc(numbers[finite])
    order = np.argsort(keys, kind="stable")
    groups = np.split(finite[order], np.flatnonzero(np.diff(keys[order])) + 1) if len(finite) else []
    result = []
    for rows in sorted(groups, key=lambda rows: rows[0]):
        number = int(numbers[rows[0]])
        result.append(Phase(events.get(number, {"number": number, "kind": "?"}), rows))
    return result


def _entry(phase, speed):
    """Index (into the run's rows) of the event's entry: the first row within
    ENTRY_SPEED_TOLERANCE of its speed; None if never."""
    target = _value(phase.event, "speed")
    near = np.flatnonzero(np.abs(speed[phase.rows] - target) < ENTRY_SPEED_TOLERANCE)
    return int(phase.rows[near[0]]) if len(near) else None


def cornering(data, phase, wheelbase):
    """Quasi-steady cornering metrics of a SteerRamp phase (see the module's text)."""
    result = dict.fromkeys(CORNERING_KEYS[1:], math.nan)
    result["fit_rows"] = 0
    o, x = data.output, data.extended
    speed, lat = o[out.GROUND_SPEED], o[out.LAT_ACCEL]
    entry = _entry(phase, speed)
    if entry is None:
        return result
    # Rows from the entry on; the target radius moves over the event's duration.
    rows = phase.rows[phase.rows >= entry]
    centre = _centre_times(o[out.TIME][rows], data.time_step())
    event = phase.event
    start_radius, end_radius = _value(event, "start_radius"), _value(event, "end_radius")
    duration = _value(event, "duration")
    ramp = np.clip((centre - centre[0]) / duration, 0.0, 1.0) if duration > 0 else 0.0
    target = start_radius + (end_radius - start_radius) * ramp
    # Quasi-steady: the radius driven within RADIUS_TOLERANCE of the target.
    v, ay = speed[rows], lat[rows]
    with np.errstate(divide="ignore", invalid="ignore"):
        driven = v * v / ay
        steady = np.abs(driven / target - 1.0) <= RADIUS_TOLERANCE
    if np.isfinite(driven).any():
        result["driven_radius_m"] = float(np.nanmedian(driven))
    result["target_radius_m"] = float(np.mean(target))

    # The highest lateral acceleration of the first unbroken quasi-steady stretch.
    first = np.flatnonzero(steady)
    if len(first):
        broken = np.flatnonzero(~steady[first[0]:])
        stretch = ay[first[0]:first[0] + broken[0]] if len(broken) else ay[first[0]:]
        result["limit_lat_accel_mps2"] = _signed_peak(stretch)

    # Slopes against a_y in g over the quasi-steady rows of the linear range.
    g = ay / out.G
    fit = steady & (np.abs(g) >= FIT_RANGE_G[0]) & (np.abs(g) <= FIT_RANGE_G[1])
    if fit.sum() < FIT_MIN_ROWS:
        return result
    steer = 0.5 * (x[out.STEER_ANGLE[0]][rows] + x[out.STEER_ANGLE[1]][rows])
    ackermann = wheelbase * ay / (v * v)
    result["understeer_gradient_deg_per_g"] = _slope(g[fit], np.degrees(steer - ackermann)[fit])
    result["roll_gradient_deg_per_g"] = -_slope(g[fit], np.degrees(x[out.ROLL][rows])[fit])
    result["sideslip_gradient_deg_per_g"] = _slope(g[fit], np.degrees(x[out.SIDESLIP][rows])[fit])
    result["fit_from_g"] = float(np.abs(g[fit]).min())
    result["fit_to_g"] = float(np.abs(g[fit]).max())
    result["fit_rows"] = int(fit.sum())
    return result


def braking(data, phase):
    """Braking metrics of a Brake phase (see the module's text)."""
    result = dict.fromkeys(BRAKING_KEYS[1:], math.nan)
    o, x = data.output, data.extended
    times, dt = o[out.TIME], data.time_step()
    speed, long_accel = o[out.GROUND_SPEED], o[out.LONG_ACCEL]
    pedal = x[out.PEDAL]
    rows, last = phase.rows, int(phase.rows[-1])
    # f: the first row after which every row of the event brakes.
    releases = np.flatnonzero(~(pedal[rows] > BRAKE_ON))
    if len(releases) and releases[-1] + 1 >= len(rows):
        return result
    f = int(rows[releases[-1] + 1]) if len(releases) else int(rows[0])
    if f + 2 > last or f < 2:
        return result
    # Braking began in row f, or in the row before when row f brakes at the
    # braking level already: a row's mean pedal between the level before it
    # and the braking level tells what share of it braked.
    row_time = float(times[f] - times[f - 1])
    level = float(np.median(pedal[f + 1:min(f + 6, last + 1)]))

    def share(row, full):
        gain = full - pedal[row - 1]
        if gain <= 1e-9:
            return 1.0
        return float(np.clip((pedal[row] - pedal[row - 1]) / gain, 0.0, 1.0))

    if pedal[f] < level:
        start = float(times[f]) - share(f, level) * row_time
    else:
        start = float(times[f - 1]) - share(f - 1, pedal[f]) * row_time
    first = f + 1  # a row that brakes throughout
    px, py = x[out.POSITION_X], x[out.POSITION_Y]
    later = np.arange(f - 1, last + 1)
    later = later[times[later] > start]
    path_x = np.concatenate(([np.interp(start, times, px)], px[later]))
    path_y = np.concatenate(([np.interp(start, times, py)], py[later]))
    distance = float(np.sum(np.hypot(np.diff(path_x), np.diff(path_y))))
    # The rest of the stop beyond the last row, at the last row's deceleration.
    end_decel = -long_accel[last]
    end_speed = speed[last] - end_decel * (times[last] - _centre_times(times[last], dt))
    if end_decel > 0 and end_speed > 0:
        distance += end_speed * end_speed / (2.0 * end_decel)
    # The speed at the start: the last two rows before it, extrapolated to it
    # (the braking rows' deceleration takes a moment to build up).
    b = max(int(np.searchsorted(times, start, side="right")) - 1, 1)
    centre_b, centre_before = _centre_times(times[b], dt), _centre_times(times[b - 1], dt)
    slope = (speed[b] - speed[b - 1]) / (centre_b - centre_before)
    start_speed = float(speed[b] + slope * (start - centre_b))
    result.update(braking_start_s=start, braking_start_speed_mps=start_speed,
                  stopping_distance_m=distance,
                  braking_decel_mean_mps2=(start_speed - end_speed) / (float(times[last]) - start),
                  braking_decel_peak_mps2=float(np.nanmax(-long_accel[first:last + 1])))
    return result


def acceleration(data, phase):
    """Acceleration time of a TargetSpeed phase that starts well below its target; nan otherwise."""
    result = dict.fromkeys(ACCEL_KEYS[1:], math.nan)
    o = data.output
    speed = o[out.GROUND_SPEED]
    target = _value(phase.event, "speed")
    before = max(int(phase.rows[0]) - 1, 0)
    start_speed = float(speed[before])
    to = ACCEL_TO_FRACTION * target
    if not start_speed < to - ACCEL_MARGIN:
        return result
    source = max(ACCEL_FROM, start_speed + ACCEL_MARGIN) if phase.number else ACCEL_FROM
    rows = np.arange(before, int(phase.rows[-1]) + 1)
    centre = _centre_times(o[out.TIME][rows], data.time_step())
    t_from = _crossing(centre, speed[rows], source)
    t_to = _crossing(centre, speed[rows], to)
    result.update(accel_from_mps=source, accel_to_mps=to, accel_time_s=t_to - t_from)
    return result


def event_metrics(data, wheelbase=math.nan):
    """One dict per event of the run (see the module's text); [] without
    Extended.csv and Run.json.  Keys: number, kind, line, start_s, end_s,
    speed_start_mps, speed_end_mps, lat_accel_peak_mps2, long_accel_peak_mps2,
    and the cornering, braking or acceleration keys of its kind."""
    o = data.output
    times, speed = o[out.TIME], o[out.GROUND_SPEED]
    result = []
    for phase in phases(data):
        rows = phase.rows
        metrics = {
            "number": phase.number, "kind": phase.kind, "line": phase.event.get("line"),
            "start_s": float(times[rows[0]]), "end_s": float(times[rows[-1]]),
            "speed_start_mps": float(speed[rows[0]]), "speed_end_mps": float(speed[rows[-1]]),
            "lat_accel_peak_mps2": _signed_peak(o[out.LAT_ACCEL][rows]),
            "long_accel_peak_mps2": _signed_peak(o[out.LONG_ACCEL][rows]),
        }
        if phase.kind == "SteerRamp":
            metrics.update(cornering(data, phase, wheelbase))
        elif phase.kind == "Brake":
            metrics.update(braking(data, phase))
        elif phase.kind in ("TargetSpeed", BUILT_IN_KIND):
            metrics.update(acceleration(data, phase))
        result.append(metrics)
    return result


def _turn_rows(data):
    """(first, last) rows of the steady-state turn by the event phases: the
    first SteerRamp from its entry to its end; None without one."""
    for phase in phases(data):
        if phase.kind == "SteerRamp":
            entry = _entry(phase, data.output[out.GROUND_SPEED])
            if entry is not None:
                return entry, int(phase.rows[-1])
    return None


def run_metrics(data, events=None, wheelbase=math.nan):
    """The flat metrics of a run: summarize() (its turn from the event phases
    when known) and the maneuver's metrics, each group from the first event of
    the maneuver that yields it (nan or None where none does)."""
    if events is None:
        events = event_metrics(data, wheelbase)
    turn = _turn_rows(data) if events else None
    metrics = summarize(data.output, turn)
    metrics.update(dict.fromkeys(MANEUVER_KEYS, math.nan))
    metrics.update(cornering_event=None, braking_event=None, accel_event=None, fit_rows=0)
    for keys, value_key in ((CORNERING_KEYS, "driven_radius_m"),
                            (BRAKING_KEYS, "stopping_distance_m"),
                            (ACCEL_KEYS, "accel_time_s")):
        for event in events:
            if event["number"] > 0 and math.isfinite(event.get(value_key, math.nan)):
                metrics[keys[0]] = event["number"]
                metrics.update((key, event[key]) for key in keys[1:])
                break
    return metrics
