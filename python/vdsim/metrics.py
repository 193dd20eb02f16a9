"""Figures of a run: the whole-run summary of Output.csv's rows and the
metrics of each event, which the simulator measures at every time step with
`vdsim --extended` and writes into Run.json (the README's "Metrics of each
event" defines each key).

    event_metrics(data)   one dict per event of Run.json: its number, kind,
                          line and values, its metrics (None where Run.json
                          has null) and "null_reasons"
    run_metrics(data)     flat: summarize() and, per group below, the metrics
                          of the first event of its kind that yields them

The whole-run summary (peaks, the steady-state turn) is computed here from
Output.csv alone, so that a run without Run.json's metrics (an older run, or
one without --extended) still has one.
"""

import math

import numpy as np

from . import output as out

# A steady-state turn without event metrics is the longest stretch of
# consecutive rows whose lateral acceleration is finite, of one sign and
# larger than TURN_MIN_LAT_ACCEL in magnitude, lasting at least
# TURN_MIN_DURATION from its first row's time to its last row's time.
TURN_MIN_LAT_ACCEL = 1.0  # m/s2
TURN_MIN_DURATION = 5.0  # s

FIT_RANGE_G = (0.1, 0.4)  # the simulator's linear range of the cornering fits, |a_y| in g
RADIUS_TOLERANCE = 0.05  # its quasi-steady steps: radius driven within 5 % of the target
STEER_KINDS = ("StepSteer", "SineSteer", "SineDwell")  # the open-loop steer events


class Group:
    """Metrics of one kind of event in a run's flat metrics: they come from
    the first event of `kind` whose `value_key` is not null, each under
    `prefix` + its Run.json key, with that event's number as NAME_event."""

    def __init__(self, name, kind, prefix, value_key, keys):
        self.name, self.kind, self.prefix, self.value_key, self.keys = (
            name, kind, prefix, value_key, keys)

    @property
    def event_key(self):
        return self.name + "_event"

    def flat_keys(self):
        return (self.event_key,) + tuple(self.prefix + key for key in self.keys)


# The flat metrics keep Run.json's names for the three kinds of the steady
# tests; the transient tests share some names (a yaw-rate gain, a peak), so
# theirs carry the kind as a prefix.  SineSteer's frequency is the event's
# own value, for a frequency response over a sweep.
GROUPS = (
    Group("cornering", "SteerRamp", "", "quasi_steady_radius_median_m", (
        "understeer_gradient_deg_per_g", "roll_gradient_deg_per_g",
        "sideslip_gradient_deg_per_g", "fit_from_g", "fit_to_g", "fit_steps",
        "limit_lat_accel_mps2", "quasi_steady_radius_median_m")),
    Group("braking", "Brake", "", "stopping_distance_m", (
        "braking_start_s", "braking_start_speed_mps", "stopping_distance_m",
        "braking_decel_mean_mps2", "braking_decel_end_mps2", "braking_decel_peak_mps2")),
    Group("accel", "TargetSpeed", "", "accel_time_s", (
        "accel_from_mps", "accel_to_mps", "accel_time_s")),
    Group("step_steer", "StepSteer", "step_steer_", "yaw_rate_steady_radps", (
        "steer_t50_s", "road_wheel_angle_steady_deg", "yaw_rate_steady_radps",
        "lat_accel_steady_mps2", "sideslip_steady_deg", "yaw_rate_response_time_s",
        "lat_accel_response_time_s", "yaw_rate_peak_radps", "yaw_rate_peak_response_time_s",
        "yaw_rate_overshoot_pct", "yaw_rate_gain_radps_per_deg", "lat_accel_gain_g_per_deg")),
    Group("sine_dwell", "SineDwell", "sine_dwell_", "yaw_rate_peak_radps", (
        "steer_begin_s", "steer_complete_s", "yaw_rate_peak_radps", "yaw_rate_peak_s",
        "yaw_rate_ratio_at_1_00_s_pct", "yaw_rate_ratio_at_1_75_s_pct",
        "lateral_displacement_at_1_07_s_m")),
    Group("sine_steer", "SineSteer", "sine_steer_", "yaw_rate_gain_radps_per_deg", (
        "frequency_hz", "sine_fit_periods", "road_wheel_amplitude_deg",
        "yaw_rate_amplitude_radps", "lat_accel_amplitude_mps2", "yaw_rate_gain_radps_per_deg",
        "yaw_rate_phase_deg", "lat_accel_gain_g_per_deg", "lat_accel_phase_deg")),
)
GROUP_OF_KIND = {group.kind: group for group in GROUPS}
MANEUVER_KEYS = tuple(key for group in GROUPS for key in group.flat_keys())

# Event values that a group shows under a metric's name.
EVENT_VALUES = {"frequency_hz": "frequency"}


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
    metrics, or None (see TURN_MIN_*)."""
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
    events' metrics give it; otherwise it is found by steady_turn().

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
# Events


def has_event_metrics(record):
    """True when Run.json holds the events' metrics: some event has a
    "metrics" entry (null for one the run never reached).  An older vdsim's
    record has none."""
    return any("metrics" in event for event in (record or {}).get("events") or ()
               if isinstance(event, dict))


def event_metrics(data):
    """One dict per event of Run.json that ran or was to run (ignored events
    are left out): "number", "kind", "line", the event's values as Run.json
    gives them, then its metrics (null as None) and "null_reasons".  An event
    the run never reached has no metric keys.  [] without Run.json's metrics."""
    if not has_event_metrics(data.record):
        return []
    result = []
    for entry in data.events:
        event = {key: value for key, value in entry.items()
                 if key not in ("metrics", "null_reasons")}
        metrics = entry.get("metrics")
        if isinstance(metrics, dict):
            event.update((key, _number(value)) for key, value in metrics.items())
        reasons = entry.get("null_reasons")
        event["null_reasons"] = dict(reasons) if isinstance(reasons, dict) else {}
        result.append(event)
    return result


def _number(value):
    """A metric as Python has it: a float or int, None for null (or anything else)."""
    return value if isinstance(value, (int, float)) else None


def measured(event):
    """True when the run reached the event (its metrics are there)."""
    return event.get("start_s") is not None


def _turn_rows(times, events):
    """(first, last) rows of the steady-state turn by the event metrics: the
    first SteerRamp from its entry to its end (the last row when the run
    stopped in it); None without one."""
    for event in events:
        if event.get("kind") == "SteerRamp" and event.get("entry_s") is not None:
            end = event.get("end_s")
            inside = (times >= event["entry_s"]) & (times <= (math.inf if end is None else end))
            rows = np.flatnonzero(inside)
            if len(rows):
                return int(rows[0]), int(rows[-1])
    return None


def run_metrics(data, events=None):
    """The flat metrics of a run: summarize() (its turn from the event metrics
    when there are some) and, per group of GROUPS, the metrics of the first
    event of its kind whose value key is not null (None where none is)."""
    if events is None:
        events = event_metrics(data)
    turn = _turn_rows(data.output[out.TIME], events) if events else None
    metrics = summarize(data.output, turn)
    metrics.update(dict.fromkeys(MANEUVER_KEYS))
    for group in GROUPS:
        event = next((e for e in events if e.get("kind") == group.kind
                      and e.get(group.value_key) is not None), None)
        if event is None:
            continue
        metrics[group.event_key] = event["number"]
        for key in group.keys:
            value = event.get(EVENT_VALUES.get(key, key))
            metrics[group.prefix + key] = _number(value)
    return metrics
