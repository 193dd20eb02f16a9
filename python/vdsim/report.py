"""Text tables of a run's metrics: the run summary, the events of the
maneuver, and the summaries of several runs side by side.

Numbers that round to zero print without a minus sign ("+0.00", not "-0.00"),
and huge ones in exponent form.
"""

import math

from . import metrics as m
from .output import CORNERS, G


HUGE = 1e12  # numbers this large print in exponent form


def number(form, value):
    """value in the printf form, without the sign of a negative number that
    rounds to zero; in exponent form ("+1e+308") when it is huge."""
    if isinstance(value, float) and math.isfinite(value) and abs(value) >= HUGE:
        return ("%+.4g" if "+" in form else "%.4g") % value
    text = form % value
    if text.lstrip().startswith("-") and float(text) == 0.0:
        text = text.replace("-", "+" if "+" in form else "", 1)
    return text


def _missing(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


def summary_lines(metrics):
    """(label, text) pairs of the whole-run summary of a run's flat metrics
    (vdsim.metrics.run_metrics or summarize), in the order of the table."""
    rows = []

    def add(label, text):
        rows.append((label, text))

    def peak(label, key, form):
        """A peak as `form` writes its value, and the time it occurs."""
        value = metrics[key]
        if math.isnan(value):
            add(label, "no finite value")
        else:
            add(label, form(value) + " at %s s" % number("%.1f", metrics[m._time_key(key)]))

    def accel(value):
        return "%s m/s2 (%s g)" % (number("%+.2f", value), number("%+.3f", value / G))

    add("Rows", "%d" % metrics["rows"])
    add("Duration", "%s s" % number("%.1f", metrics["duration_s"]))
    peak("Top speed", "top_speed_mps",
         lambda v: "%s m/s (%s km/h)" % (number("%.2f", v), number("%.1f", v * 3.6)))
    peak("Highest engine speed", "max_engine_speed_rpm", lambda v: number("%.0f", v) + " rpm")
    for label, key in (("Lateral accel, max", "lat_accel_max_mps2"),
                       ("Lateral accel, min", "lat_accel_min_mps2"),
                       ("Longitudinal accel, max", "long_accel_max_mps2"),
                       ("Longitudinal accel, min", "long_accel_min_mps2")):
        peak(label, key, accel)
    for corner in CORNERS:
        peak("Peak normal force " + corner, "normal_force_max_%s_N" % corner,
             lambda v: number("%.0f", v) + " N")
    if metrics["turn_start_s"] is None:
        add("Steady-state turn", "none (needs |lat. accel| > %g m/s2 for %g s)"
            % (m.TURN_MIN_LAT_ACCEL, m.TURN_MIN_DURATION))
    else:
        low, high = metrics["turn_lat_accel_min_mps2"], metrics["turn_lat_accel_max_mps2"]
        add("Steady-state turn", "%s to %s s" % (number("%.1f", metrics["turn_start_s"]),
                                                 number("%.1f", metrics["turn_end_s"])))
        add("  lat. accel range", "%s to %s m/s2 (%s to %s g)"
            % (number("%+.2f", low), number("%+.2f", high), number("%+.3f", low / G),
               number("%+.3f", high / G)))
    if metrics["non_finite_from_s"] is not None:
        add("Non-finite values",
            "from %s s (run diverged)" % number("%.1f", metrics["non_finite_from_s"]))
    return rows


def _value(form, value, unit=""):
    return "-" if _missing(value) else number(form, value) + unit


def _accel_g(value):
    """An acceleration in m/s2 and in g."""
    if _missing(value):
        return "-"
    return "%s m/s2 (%s g)" % (number("%.2f", value), number("%.3f", value / G))


def _cornering_lines(event):
    steps = event.get("fit_steps")
    fit = ("fit over %s to %s g, %d steps" % (_value("%.2f", event.get("fit_from_g")),
                                              _value("%.2f", event.get("fit_to_g")), steps)
           if steps else "no quasi-steady steps in range")
    return [
        ("", "linear range %g to %g g (%s)" % (m.FIT_RANGE_G + (fit,))),
        ("  understeer gradient", _value("%+.2f", event.get("understeer_gradient_deg_per_g"),
                                         " deg/g")),
        ("  roll gradient", _value("%+.2f", event.get("roll_gradient_deg_per_g"), " deg/g")),
        ("  sideslip gradient", _value("%+.2f", event.get("sideslip_gradient_deg_per_g"),
                                       " deg/g")),
        ("  limit lat. accel", _value("%+.2f", event.get("limit_lat_accel_mps2"), " m/s2")
         + " (radius within %g %%)" % (100 * m.RADIUS_TOLERANCE)),
        ("  median radius driven", _value("%.1f", event.get("quasi_steady_radius_median_m"),
                                          " m")),
    ]


def _braking_lines(event):
    return [
        ("", "full braking from %s at %s" % (_value("%.2f", event.get("braking_start_s"), " s"),
                                             _value("%.2f", event.get("braking_start_speed_mps"),
                                                    " m/s"))),
        ("  stopping distance", _value("%.2f", event.get("stopping_distance_m"), " m")),
        ("  deceleration", "mean %s, last 0.1 s %s, peak %s m/s2" % tuple(
            _value("%.2f", event.get(key)) for key in (
                "braking_decel_mean_mps2", "braking_decel_end_mps2", "braking_decel_peak_mps2"))),
    ]


def _accel_lines(event):
    return [("", "%s from %s to %s" % (_value("%.2f", event.get("accel_time_s"), " s"),
                                       _value("%.1f", event.get("accel_from_mps"), " m/s"),
                                       _value("%.1f", event.get("accel_to_mps"), " m/s")))]


def _step_steer_lines(event):
    return [
        ("", "t50 at %s, steady road-wheel angle %s" % (
            _value("%.3f", event.get("steer_t50_s"), " s"),
            _value("%+.3f", event.get("road_wheel_angle_steady_deg"), " deg"))),
        ("  steady state", "yaw rate %s, lat. accel %s, sideslip %s" % (
            _value("%+.4f", event.get("yaw_rate_steady_radps"), " rad/s"),
            _accel_g(event.get("lat_accel_steady_mps2")),
            _value("%+.3f", event.get("sideslip_steady_deg"), " deg"))),
        ("  response time", "yaw rate %s, lat. accel %s (t50 to 90 %%)" % (
            _value("%.3f", event.get("yaw_rate_response_time_s"), " s"),
            _value("%.3f", event.get("lat_accel_response_time_s"), " s"))),
        ("  yaw-rate peak", "%s, %s after t50, overshoot %s" % (
            _value("%+.4f", event.get("yaw_rate_peak_radps"), " rad/s"),
            _value("%.3f", event.get("yaw_rate_peak_response_time_s"), " s"),
            _value("%.1f", event.get("yaw_rate_overshoot_pct"), " %"))),
        ("  gains", "yaw rate %s, lat. accel %s" % (
            _value("%.4f", event.get("yaw_rate_gain_radps_per_deg"), " rad/s per deg"),
            _value("%.4f", event.get("lat_accel_gain_g_per_deg"), " g per deg"))),
    ]


# Reference lines commonly drawn beside the sine-with-dwell figures: the
# yaw-rate ratios at 1.00 s and 1.75 s after the steer (%), the lateral
# displacement at 1.07 s (m).  They are shown, not applied to the car.
SINE_DWELL_REFERENCES = {"yaw_rate_ratio_at_1_00_s_pct": 35.0,
                         "yaw_rate_ratio_at_1_75_s_pct": 20.0,
                         "lateral_displacement_at_1_07_s_m": 1.83}


def _sine_dwell_lines(event):
    refs = SINE_DWELL_REFERENCES
    return [
        ("", "steer from %s to %s (BOS to COS)" % (
            _value("%.3f", event.get("steer_begin_s"), " s"),
            _value("%.3f", event.get("steer_complete_s"), " s"))),
        ("  second-lobe yaw peak", "%s at %s" % (
            _value("%+.4f", event.get("yaw_rate_peak_radps"), " rad/s"),
            _value("%.3f", event.get("yaw_rate_peak_s"), " s"))),
        ("  yaw-rate ratio", "%s at COS + 1.00 s (reference line %g %%), %s at COS + 1.75 s "
         "(%g %%)" % (_value("%.1f", event.get("yaw_rate_ratio_at_1_00_s_pct"), " %"),
                      refs["yaw_rate_ratio_at_1_00_s_pct"],
                      _value("%.1f", event.get("yaw_rate_ratio_at_1_75_s_pct"), " %"),
                      refs["yaw_rate_ratio_at_1_75_s_pct"])),
        ("  lateral displacement", "%s at BOS + 1.07 s (reference line %g m)" % (
            _value("%.2f", event.get("lateral_displacement_at_1_07_s_m"), " m"),
            refs["lateral_displacement_at_1_07_s_m"])),
    ]


def _sine_steer_lines(event):
    return [
        ("", "%s Hz, %s whole periods fitted, road-wheel amplitude %s" % (
            _value("%g", event.get("frequency")), _value("%d", event.get("sine_fit_periods")),
            _value("%.3f", event.get("road_wheel_amplitude_deg"), " deg"))),
        ("  yaw rate", "gain %s, phase %s" % (
            _value("%.4f", event.get("yaw_rate_gain_radps_per_deg"), " rad/s per deg"),
            _value("%+.1f", event.get("yaw_rate_phase_deg"), " deg"))),
        ("  lat. accel", "gain %s, phase %s" % (
            _value("%.4f", event.get("lat_accel_gain_g_per_deg"), " g per deg"),
            _value("%+.1f", event.get("lat_accel_phase_deg"), " deg"))),
    ]


# The lines of each kind's metrics, and the key that must not be null for
# an event of that kind to show them (None: shown whenever measured).
DETAILS = {
    "SteerRamp": (_cornering_lines, None),
    "Brake": (_braking_lines, None),
    "TargetSpeed": (_accel_lines, "accel_time_s"),
    "StepSteer": (_step_steer_lines, None),
    "SineDwell": (_sine_dwell_lines, None),
    "SineSteer": (_sine_steer_lines, None),
}


def event_lines(event):
    """(label, text) pairs of one event's own metrics (none for a kind
    without), a first line headed by the event, then why values are null."""
    heading = "Event %d, %s" % (event["number"], event["kind"])
    if not m.measured(event):
        reason = event.get("null_reasons", {}).get("metrics", "not reached")
        return [(heading, reason)]
    lines, needed = DETAILS.get(event["kind"], (None, None))
    if lines is None or (needed is not None and event.get(needed) is None):
        return []
    rows = lines(event)
    rows[0] = (heading, rows[0][1])
    reasons = {}
    for key, reason in sorted(event.get("null_reasons", {}).items()):
        reasons.setdefault(reason, []).append(key)
    rows += [("  null", "%s: %s" % (", ".join(keys), reason)) for reason, keys in reasons.items()]
    return rows


def _table(heading, rows):
    return heading + "\n" + "".join("  %-24s %s\n" % row for row in rows)


def format_summary(metrics, events=None, note=None):
    """The run summary as an aligned text table (lines end with "\\n"), then
    with `events` (event_metrics) the events table and each event's metrics,
    or else `note`, why there are none."""
    text = _table("Run summary", summary_lines(metrics))
    if events:
        return text + format_events(events)
    if note:
        text += "  %-24s %s\n" % ("Events", "not measured: " + note)
    return text


EVENT_COLUMNS = (  # heading, key, form
    ("#", "number", "%d"), ("kind", "kind", "%s"), ("line", "line", "%s"),
    ("start s", "start_s", "%.2f"), ("end s", "end_s", "%.2f"),
    ("v start", "speed_start_mps", "%.2f"), ("v end", "speed_end_mps", "%.2f"),
    ("ay peak", "lat_accel_peak_mps2", "%+.2f"), ("ax peak", "long_accel_peak_mps2", "%+.2f"),
)


MAX_EVENT_LINES = 50  # events shown in the events table


def format_events(events, limit=MAX_EVENT_LINES):
    """The events of a run, one line each (speeds m/s, accelerations m/s2),
    then each event's own metrics: the first `limit` events, and a line
    saying how many are left out."""
    left_out = max(len(events) - limit, 0)
    events = events[:limit]
    rows = [[heading for heading, _, _ in EVENT_COLUMNS]]
    for event in events:
        rows.append(["-" if _missing(event.get(key)) else number(form, event[key])
                     if form != "%s" else str(event[key]) for _, key, form in EVENT_COLUMNS])
    widths = [max(len(row[i]) for row in rows) for i in range(len(EVENT_COLUMNS))]
    lines = ["Events (Run.json, measured at every step)"]
    for row in rows:
        cells = [cell.ljust(w) if i == 1 else cell.rjust(w)
                 for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  " + "  ".join(cells).rstrip())
    if left_out:
        lines.append("  ... and %d more event%s, left out of this table"
                     % (left_out, "" if left_out == 1 else "s"))
    lines += ["  %-24s %s" % row for event in events for row in event_lines(event)]
    return "".join(line + "\n" for line in lines)


# Rows of the summaries side by side: label, metric key, form, unit.
SIDE_BY_SIDE_WHOLE_RUN = (
    ("Duration", "duration_s", "%.1f", " s"),
    ("Top speed", "top_speed_mps", "%.2f", " m/s"),
    ("Highest engine speed", "max_engine_speed_rpm", "%.0f", " rpm"),
    ("Lateral accel, max", "lat_accel_max_mps2", "%+.2f", " m/s2"),
    ("Lateral accel, min", "lat_accel_min_mps2", "%+.2f", " m/s2"),
    ("Longitudinal accel, max", "long_accel_max_mps2", "%+.2f", " m/s2"),
    ("Longitudinal accel, min", "long_accel_min_mps2", "%+.2f", " m/s2"),
) + tuple(("Peak normal force " + c, "normal_force_max_%s_N" % c, "%.0f", " N") for c in CORNERS) + (
    ("Steady turn, lat. accel from", "turn_lat_accel_min_mps2", "%+.2f", " m/s2"),
    ("  to", "turn_lat_accel_max_mps2", "%+.2f", " m/s2"),
    ("Non-finite values from", "non_finite_from_s", "%.1f", " s"),
)
SIDE_BY_SIDE_MANEUVER = (
    ("Understeer gradient", "understeer_gradient_deg_per_g", "%+.2f", " deg/g"),
    ("Roll gradient", "roll_gradient_deg_per_g", "%+.2f", " deg/g"),
    ("Sideslip gradient", "sideslip_gradient_deg_per_g", "%+.2f", " deg/g"),
    ("  fitted from", "fit_from_g", "%.2f", " g"),
    ("  to", "fit_to_g", "%.2f", " g"),
    ("Limit lat. accel", "limit_lat_accel_mps2", "%+.2f", " m/s2"),
    ("Median radius driven", "quasi_steady_radius_median_m", "%.1f", " m"),
    ("Stopping distance", "stopping_distance_m", "%.2f", " m"),
    ("  from", "braking_start_speed_mps", "%.2f", " m/s"),
    ("  mean deceleration", "braking_decel_mean_mps2", "%.2f", " m/s2"),
    ("Acceleration time", "accel_time_s", "%.2f", " s"),
    ("  from", "accel_from_mps", "%.1f", " m/s"),
    ("  to", "accel_to_mps", "%.1f", " m/s"),
    ("Step steer, yaw rate", "step_steer_yaw_rate_steady_radps", "%+.4f", " rad/s"),
    ("  response time", "step_steer_yaw_rate_response_time_s", "%.3f", " s"),
    ("  overshoot", "step_steer_yaw_rate_overshoot_pct", "%.1f", " %"),
    ("  lat. accel resp. time", "step_steer_lat_accel_response_time_s", "%.3f", " s"),
    ("Sine dwell, yaw peak", "sine_dwell_yaw_rate_peak_radps", "%+.4f", " rad/s"),
    ("  ratio at 1.00 s", "sine_dwell_yaw_rate_ratio_at_1_00_s_pct", "%.1f", " %"),
    ("  ratio at 1.75 s", "sine_dwell_yaw_rate_ratio_at_1_75_s_pct", "%.1f", " %"),
    ("  lateral displacement", "sine_dwell_lateral_displacement_at_1_07_s_m", "%.2f", " m"),
    ("Sine steer, frequency", "sine_steer_frequency_hz", "%g", " Hz"),
    ("  yaw-rate gain", "sine_steer_yaw_rate_gain_radps_per_deg", "%.4f", " rad/s/deg"),
    ("  yaw-rate phase", "sine_steer_yaw_rate_phase_deg", "%+.1f", " deg"),
    ("  lat. accel gain", "sine_steer_lat_accel_gain_g_per_deg", "%.4f", " g/deg"),
    ("  lat. accel phase", "sine_steer_lat_accel_phase_deg", "%+.1f", " deg"),
)


SIDE_BY_SIDE = SIDE_BY_SIDE_WHOLE_RUN + SIDE_BY_SIDE_MANEUVER


def format_side_by_side(labels, summaries, runs_title="Runs", table=None):
    """Several runs' flat metrics in one table, one column per run headed by
    its label (runs_title says what the labels are), of the rows of `table`
    (by default SIDE_BY_SIDE); rows that no run has a value for are left out."""
    rows = [[runs_title] + list(labels)]
    for label, key, form, unit in table or SIDE_BY_SIDE:
        cells = ["-" if _missing(metrics.get(key)) else number(form, metrics[key]) + unit
                 for metrics in summaries]
        if any(cell != "-" for cell in cells):
            rows.append([label] + cells)
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(cell.ljust(width) if i == 0 else cell.rjust(width)
                       for i, (cell, width) in enumerate(zip(row, widths))).rstrip()
             for row in rows]
    return "Run summaries\n" + "".join("  " + line + "\n" for line in lines)
