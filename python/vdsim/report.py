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


def summary_lines(metrics, maneuver=True):
    """(label, text) pairs of a run's flat metrics (vdsim.metrics.run_metrics
    or summarize), in the order of the table; the maneuver's cornering,
    braking and acceleration metrics only with `maneuver`."""
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
    if not maneuver:
        return rows
    if metrics.get("cornering_event") is not None:
        rows.extend(_cornering_lines(metrics, "Cornering, event %d" % metrics["cornering_event"]))
    if metrics.get("braking_event") is not None:
        rows.extend(_braking_lines(metrics, "Braking, event %d" % metrics["braking_event"]))
    if metrics.get("accel_event") is not None:
        rows.extend(_accel_lines(metrics, "Acceleration, event %d" % metrics["accel_event"]))
    return rows


def _value(form, value, unit=""):
    return "nan" if _missing(value) else number(form, value) + unit


def _cornering_lines(metrics, heading):
    fitted = metrics["fit_rows"]
    fit = ("fit over %s to %s g, %d rows" % (number("%.2f", metrics["fit_from_g"]),
                                            number("%.2f", metrics["fit_to_g"]), fitted)
           if fitted else "no quasi-steady rows in range")
    return [
        (heading, "linear range %g to %g g (%s)" % (m.FIT_RANGE_G + (fit,))),
        ("  understeer gradient", _value("%+.2f", metrics["understeer_gradient_deg_per_g"],
                                         " deg/g")),
        ("  roll gradient", _value("%+.2f", metrics["roll_gradient_deg_per_g"], " deg/g")),
        ("  sideslip gradient", _value("%+.2f", metrics["sideslip_gradient_deg_per_g"],
                                       " deg/g")),
        ("  limit lat. accel", _value("%+.2f", metrics["limit_lat_accel_mps2"], " m/s2")
         + " (radius within %g %%)" % (100 * m.RADIUS_TOLERANCE)),
        ("  radius driven", "%s (target %s)" % (_value("%.1f", metrics["driven_radius_m"], " m"),
                                                _value("%.1f", metrics["target_radius_m"], " m"))),
    ]


def _braking_lines(metrics, heading):
    return [
        (heading, "full braking from %s at %s" % (
            _value("%.2f", metrics["braking_start_s"], " s"),
            _value("%.2f", metrics["braking_start_speed_mps"], " m/s"))),
        ("  stopping distance", _value("%.2f", metrics["stopping_distance_m"], " m")),
        ("  deceleration", "mean %s, peak %s" % (
            _value("%.2f", metrics["braking_decel_mean_mps2"], " m/s2"),
            _value("%.2f", metrics["braking_decel_peak_mps2"], " m/s2"))),
    ]


def _accel_lines(metrics, heading):
    return [(heading, "%s from %s to %s" % (
        _value("%.2f", metrics["accel_time_s"], " s"),
        _value("%.1f", metrics["accel_from_mps"], " m/s"),
        _value("%.1f", metrics["accel_to_mps"], " m/s")))]


def _table(heading, rows):
    return heading + "\n" + "".join("  %-24s %s\n" % row for row in rows)


def format_summary(metrics, events=None):
    """The run summary as an aligned text table (lines end with "\\n"); with
    `events` (event_metrics) the maneuver's metrics come in the events table
    that follows it."""
    if not events:
        return _table("Run summary", summary_lines(metrics))
    return format_whole_run(metrics) + format_events(events)


def format_whole_run(metrics):
    """The run summary without the maneuver's metrics."""
    return _table("Run summary", summary_lines(metrics, maneuver=False))


EVENT_COLUMNS = (  # heading, key, form
    ("#", "number", "%d"), ("kind", "kind", "%s"), ("line", "line", "%s"),
    ("start s", "start_s", "%.1f"), ("end s", "end_s", "%.1f"),
    ("v start", "speed_start_mps", "%.2f"), ("v end", "speed_end_mps", "%.2f"),
    ("ay peak", "lat_accel_peak_mps2", "%+.2f"), ("ax peak", "long_accel_peak_mps2", "%+.2f"),
)


MAX_EVENT_LINES = 50  # events shown in the events table


def format_events(events, limit=MAX_EVENT_LINES):
    """The events of a run, one line each (speeds m/s, accelerations m/s2),
    then each event's cornering, braking or acceleration metrics: the first
    `limit` events, and a line saying how many are left out."""
    left_out = max(len(events) - limit, 0)
    events = events[:limit]
    rows = [[heading for heading, _, _ in EVENT_COLUMNS]]
    for event in events:
        rows.append(["-" if _missing(event.get(key)) else number(form, event[key])
                     if form != "%s" else str(event[key]) for _, key, form in EVENT_COLUMNS])
    widths = [max(len(row[i]) for row in rows) for i in range(len(EVENT_COLUMNS))]
    lines = ["Events (Extended.csv, Run.json)"]
    for row in rows:
        cells = [cell.ljust(w) if i == 1 else cell.rjust(w)
                 for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  " + "  ".join(cells).rstrip())
    if left_out:
        lines.append("  ... and %d more event%s, left out of this table"
                     % (left_out, "" if left_out == 1 else "s"))
    details = []
    for event in events:
        heading = "Event %d, %s" % (event["number"], event["kind"])
        if "understeer_gradient_deg_per_g" in event:
            details += _cornering_lines(event, heading)
        elif "stopping_distance_m" in event:
            details += _braking_lines(event, heading)
        elif not _missing(event.get("accel_time_s")):
            details += _accel_lines(event, heading)
    lines += ["  %-24s %s" % row for row in details]
    return "".join(line + "\n" for line in lines)


# Rows of the summaries side by side: label, metric key, form, unit.
SIDE_BY_SIDE = (
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
    ("Understeer gradient", "understeer_gradient_deg_per_g", "%+.2f", " deg/g"),
    ("Roll gradient", "roll_gradient_deg_per_g", "%+.2f", " deg/g"),
    ("Sideslip gradient", "sideslip_gradient_deg_per_g", "%+.2f", " deg/g"),
    ("  fitted from", "fit_from_g", "%.2f", " g"),
    ("  to", "fit_to_g", "%.2f", " g"),
    ("Limit lat. accel", "limit_lat_accel_mps2", "%+.2f", " m/s2"),
    ("Radius driven", "driven_radius_m", "%.1f", " m"),
    ("Stopping distance", "stopping_distance_m", "%.2f", " m"),
    ("  from", "braking_start_speed_mps", "%.2f", " m/s"),
    ("  mean deceleration", "braking_decel_mean_mps2", "%.2f", " m/s2"),
    ("Acceleration time", "accel_time_s", "%.2f", " s"),
    ("  from", "accel_from_mps", "%.1f", " m/s"),
    ("  to", "accel_to_mps", "%.1f", " m/s"),
)


def format_side_by_side(labels, summaries, runs_title="Runs"):
    """Several runs' flat metrics in one table, one column per run headed by
    its label (runs_title says what the labels are); rows that no run has a
    value for are left out."""
    rows = [[runs_title] + list(labels)]
    for label, key, form, unit in SIDE_BY_SIDE:
        cells = ["-" if _missing(metrics.get(key)) else number(form, metrics[key]) + unit
                 for metrics in summaries]
        if any(cell != "-" for cell in cells):
            rows.append([label] + cells)
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(cell.ljust(width) if i == 0 else cell.rjust(width)
                       for i, (cell, width) in enumerate(zip(row, widths))).rstrip()
             for row in rows]
    return "Run summaries\n" + "".join("  " + line + "\n" for line in lines)
