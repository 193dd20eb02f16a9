"""Figures of runs: the dashboard, channels against time or another channel,
overlays of several runs, a metric of a sweep against a swept value, and the
frequency response of a sweep of steady sines.

One run: corners by colour (LF blue, RF orange, LR green, RR red; front
solid, rear dashed).  Several runs: one colour per run and one line per run
in each panel, of one corner (LF unless others are asked for; several
corners by line style).  With Extended.csv and Run.json the dashboard adds
the path (x-y, heading marked), the handling diagram (road-wheel angle less
L/R against lateral acceleration), a time panel of the open-loop steer
events (road-wheel angle and yaw rate), and the events, numbered, on every
time panel.  Angles are drawn in degrees and angular rates in deg/s.

Values that a 32-bit float cannot hold (beyond 3.4e38), nan and inf are left
out of the plots; the summaries report them.
"""

import math
import textwrap

import numpy as np

from . import metrics as m
from . import output as out
from . import report

DPI = 100
DASHBOARD_SIZE = (16.0, 12.0)  # inches: 1600 x 1200 pixels
EXTENDED_SIZE = (16.0, 17.0)  # inches, with the path, handling and events panels
STEER_ROW = 3.5  # inches added for the panel of the open-loop steer events
PANEL_HEIGHT = 2.6  # inches per panel of a channel figure
FLOAT_MAX = 3.4028234663852886e38  # largest finite 32-bit float
CORNER_COLOUR = {"LF": "tab:blue", "RF": "tab:orange", "LR": "tab:green", "RR": "tab:red"}
CORNER_LINE = {"LF": "-", "RF": "-", "LR": "--", "RR": "--"}  # one run
OVERLAY_LINE = {"LF": "-", "RF": "--", "LR": ":", "RR": "-."}  # several runs, several corners
OVERLAY_CORNERS = ("LF",)  # the corner an overlay draws unless told otherwise
RUN_COLOURS = ("tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown",
               "tab:pink", "tab:gray", "tab:olive", "tab:cyan")
HEADING_MARKS = 16  # heading arrows along the path
MAX_EVENT_LABELS = report.MAX_EVENT_LINES  # events numbered on the time axis
EVENT_LABEL_SIZE = 6.5  # points
EVENT_LABEL_LEVELS = 3  # rows of event numbers, each below the one before
EVENT_KEY_MAX = 12  # events named in a time axis's key; more are named in the summary
TEXT_LINE_SPACING = 1.2  # of the summaries' lines, in font sizes
HUB_FORCE_NOTE = 'the "Suspension Mount Moment" columns hold the hub force magnitude, in N'
HUB_FORCE_TITLE = 'Hub forces (the "Suspension Mount\nMoment" columns, in N)'
RAD_TO_DEG = 180.0 / math.pi
BODY_RATES = (out.YAW_RATE, out.ROLL_RATE, out.PITCH_RATE)  # drawn in deg/s


class PlotRun:
    """One run as a figure shows it: its label, RunData, flat metrics, event
    metrics and wheelbase (m; nan when unknown)."""

    def __init__(self, label, data, metrics, events, wheelbase=math.nan):
        self.label, self.data, self.metrics, self.events = label, data, metrics, events
        self.wheelbase = wheelbase


def plottable(values):
    """The values as an array with nan wherever a 32-bit float could not hold them."""
    array = np.asarray(values, dtype=float)
    with np.errstate(invalid="ignore"):
        return np.where(np.isfinite(array) & (np.abs(array) <= FLOAT_MAX), array, np.nan)


def shown(name):
    """(axis label, scale) of a channel as the pictures draw it: angles in
    degrees, the body's angular rates in deg/s, everything else as read."""
    if name.endswith(" (rad)"):
        return name[:-len("(rad)")] + "(deg)", RAD_TO_DEG
    if name in BODY_RATES:
        return name[:-len("(rad/s)")] + "(deg/s)", RAD_TO_DEG
    return name, 1.0


def _drawn(data, name):
    """A channel's values as drawn (see shown)."""
    return plottable(data.channel(name)) * shown(name)[1]


def corner_of(name):
    """The corner ("LF" ...) a per-corner channel belongs to, or None."""
    for corner in out.CORNERS:
        if " %s " % corner in name:
            return corner
    return None


def _style(runs, index, name, corners=out.CORNERS):
    """(colour, line style) of a channel of run `index`; several runs share
    one line style when one corner is drawn."""
    corner = corner_of(name)
    if len(runs) == 1:
        return (CORNER_COLOUR[corner], CORNER_LINE[corner]) if corner else ("tab:blue", "-")
    line = OVERLAY_LINE[corner] if corner and len(corners) > 1 else "-"
    return RUN_COLOURS[index % len(RUN_COLOURS)], line


def _show_whole_run(ax, runs):
    """Time axis from 0 to the last row of the longest run, also over a diverged run's rows."""
    ends = [np.nanmax(t) for t in (plottable(r.data.output[out.TIME]) for r in runs)
            if np.isfinite(t).any()]
    starts = [np.nanmin(plottable(r.data.output[out.TIME])) for r in runs
              if np.isfinite(plottable(r.data.output[out.TIME])).any()]
    if ends and max(ends) > min(0.0, min(starts)):
        ax.set_xlim(min(0.0, min(starts)), max(ends))


def _legend_above(ax, title, handles, ncol=2):
    """The panel's legend between the axes and the panel above, headed by the panel's title."""
    ax.legend(handles, [handle.get_label() for handle in handles], title=title, ncol=ncol,
              loc="lower center", bbox_to_anchor=(0.5, 1.0), fontsize=7, title_fontsize=9,
              frameon=False, borderaxespad=0.2, handlelength=2.5)


def _started(run):
    """The events of a run that began, with their start times (s), in order."""
    return [event for event in run.events if m.measured(event)]


def _mark_time(ax, runs):
    """Dotted lines where runs stop being finite, dashed lines where their
    events begin (one collection per run)."""
    for index, run in enumerate(runs):
        colour = "black" if len(runs) == 1 else RUN_COLOURS[index % len(RUN_COLOURS)]
        diverged = run.metrics["non_finite_from_s"]
        if diverged is not None:
            ax.axvline(diverged, color=colour, linestyle=":", linewidth=1.2)
        boundaries = [event["start_s"] for event in _started(run)]
        if boundaries:
            ax.vlines(boundaries, 0.0, 1.0, transform=ax.get_xaxis_transform(), colors=colour,
                      linestyles=[(0, (4, 3))], linewidth=0.7, alpha=0.6)


def number_events(ax, run):
    """Numbers the event boundaries of a run along the top of an axes whose
    layout and x limits are final (see _label_time_axes): a number that
    would touch the one before goes a row lower, and one that fits no row is
    left out (its line stays).  Returns the events numbered."""
    figure = ax.figure
    renderer = figure.canvas.get_renderer()
    low, high = sorted(ax.get_xlim())
    ends = [-math.inf] * EVENT_LABEL_LEVELS  # right edge (pixels) of each row's last number
    gap = EVENT_LABEL_SIZE * figure.dpi / 72.0 * 0.4
    numbered = []
    for event in sorted(_started(run), key=lambda e: e["start_s"])[:MAX_EVENT_LABELS]:
        time = event["start_s"]
        if not low <= time <= high:
            continue
        label = ax.annotate(str(event["number"]), (time, 1.0),
                            xycoords=("data", "axes fraction"), xytext=(2, -2),
                            textcoords="offset points", va="top", ha="left",
                            fontsize=EVENT_LABEL_SIZE, color="dimgray")
        label.set_in_layout(False)
        box = label.get_window_extent(renderer)
        row = next((r for r, end in enumerate(ends) if end + gap <= box.x0), None)
        if row is None:
            label.remove()
            continue
        label.set_position((2, -2 - row * (EVENT_LABEL_SIZE + 2)))
        ends[row] = box.x1
        numbered.append(event)
    return numbered


def event_key(events, width):
    """A time axis's key to its event numbers ("events: 1 TargetSpeed, 2
    SteerRamp"), wrapped at `width` characters; more than EVENT_KEY_MAX
    events are left to the summary's table."""
    if not events:
        return ""
    if len(events) > EVENT_KEY_MAX:
        return "events numbered by their [event] in Events.ini (kinds: see the summary)"
    text = "events: " + ", ".join("%d %s" % (e["number"], e["kind"]) for e in events)
    return "\n".join(textwrap.wrap(text, width))


def _key_width(ax):
    """Characters of an 8-point key that fit under an axes."""
    return max(30, int(ax.get_position().width * ax.figure.get_figwidth() * 72 / 4.8))


def _label_time_axes(axes, runs, key_axes):
    """Names the first run's events under the time axis of `key_axes`, lays
    the figure out, numbers the events on each time axes, and keeps that
    layout for the picture (laying it out again would take as long)."""
    figure = axes[0].figure
    low, high = sorted(key_axes.get_xlim())
    key = event_key([e for e in _started(runs[0]) if low <= e["start_s"] <= high],
                    _key_width(key_axes))
    if key and len(runs) > 1:
        key = key.replace("events", "events of %s" % runs[0].label, 1)
    if key:
        key_axes.set_xlabel("%s\n%s" % (key_axes.get_xlabel(), key), fontsize=8)
    engine = figure.get_layout_engine()
    if engine is not None:
        engine.execute(figure)  # the axes where the picture will have them
    for ax in axes:
        number_events(ax, runs[0])
    figure.set_layout_engine("none")


def _time_panel(ax, runs, names, ylabel, title, label_of, corners):
    """Per-corner channels against time: one run's corners in corner colours,
    or one line per run and corner in run colours (corners by line style
    when several)."""
    names = [name for name in names if corner_of(name) in corners]
    handles = []
    for index, run in enumerate(runs):
        time = plottable(run.data.output[out.TIME])
        for name in names:
            colour, line = _style(runs, index, name, corners)
            handles += ax.plot(time, plottable(run.data.channel(name)), color=colour,
                               linestyle=line, linewidth=1.1, label=label_of(run, name))
    _mark_time(ax, runs)
    ax.set_ylabel(ylabel)
    ax.set_xlabel(out.TIME)
    ax.grid(True, alpha=0.3)
    if len(runs) > 1:
        title = "%s, %s" % (title, " ".join(corners))
        handles = (_line_styles([(c, OVERLAY_LINE[c]) for c in map(corner_of, names)])
                   if len(corners) > 1 else [])
    elif len(names) == 4:
        # Two legend columns filled top to bottom: "LF RF" over "LR RR", as seen from above.
        handles = [handles[0], handles[2], handles[1], handles[3]]
    _legend_above(ax, title, handles, ncol=4 if len(runs) > 1 else 2)


def _line_styles(entries):
    """Legend entries in black for (label, line style) pairs."""
    from matplotlib.lines import Line2D
    return [Line2D([], [], color="black", linestyle=line, label=label) for label, line in entries]


def _run_colours(runs):
    """Legend entries of the runs' colours, labelled with the runs' labels."""
    from matplotlib.lines import Line2D
    return [Line2D([], [], color=RUN_COLOURS[i % len(RUN_COLOURS)], label=run.label)
            for i, run in enumerate(runs)]


def _channel_label(run, name):
    return name


def _speed_panel(figure, cell, runs, runs_title):
    """Ground speed, and engine speed on its own axis so that gear changes show as rpm drops."""
    ax = figure.add_subplot(cell)
    rpm_ax = ax.twinx()
    one = len(runs) == 1
    for index, run in enumerate(runs):
        colour = "tab:blue" if one else RUN_COLOURS[index % len(RUN_COLOURS)]
        time = plottable(run.data.output[out.TIME])
        ax.plot(time, plottable(run.data.output[out.GROUND_SPEED]), color=colour,
                label=out.GROUND_SPEED)
        rpm_ax.plot(time, plottable(run.data.output[out.ENGINE_SPEED]),
                    color="tab:purple" if one else colour, linewidth=0.9,
                    linestyle="-" if one else ":", label=out.ENGINE_SPEED)
    _mark_time(ax, runs)
    ax.set_ylabel(out.GROUND_SPEED, color="tab:blue" if one else "black")
    rpm_ax.set_ylabel(out.ENGINE_SPEED + ("" if one else ", dotted"),
                      color="tab:purple" if one else "black")
    ax.set_xlabel(out.TIME)
    if one:
        _legend_above(ax, "Speeds (rpm drops are gear changes)",
                      ax.get_lines()[:1] + rpm_ax.get_lines()[:1])
    else:
        _legend_above(ax, "%s; speeds (rpm drops are gear changes)" % runs_title,
                      _run_colours(runs) + _line_styles([(out.GROUND_SPEED, "-"),
                                                         (out.ENGINE_SPEED, ":")]), ncol=3)
    ax.grid(True, alpha=0.3)
    return ax


def _accel_panel(figure, cell, runs, sharex):
    """Longitudinal and lateral acceleration against time, with a g scale on the right."""
    ax = figure.add_subplot(cell, sharex=sharex)
    one = len(runs) == 1
    handles = []
    for index, run in enumerate(runs):
        time = plottable(run.data.output[out.TIME])
        for name, colour, line in ((out.LONG_ACCEL, "tab:cyan", ":"),
                                   (out.LAT_ACCEL, "tab:brown", "-")):
            handles += ax.plot(time, plottable(run.data.output[name]),
                               color=colour if one else RUN_COLOURS[index % len(RUN_COLOURS)],
                               linestyle="-" if one else line, label=name)
    if one and runs[0].metrics["turn_start_s"] is not None:
        turn = runs[0].metrics
        handles.append(ax.axvspan(turn["turn_start_s"], turn["turn_end_s"], color="tab:brown",
                                  alpha=0.08, label="steady-state turn"))
    if not one:
        handles = _line_styles([(out.LAT_ACCEL, "-"), (out.LONG_ACCEL, ":")])
    _mark_time(ax, runs)
    ax.axhline(0.0, color="grey", linewidth=0.6)
    ax.set_ylabel("Acceleration (m/s2)")
    ax.set_xlabel(out.TIME)
    g_axis = ax.secondary_yaxis("right", functions=(lambda a: a / out.G, lambda g: g * out.G))
    g_axis.set_ylabel("Acceleration (g)")
    _legend_above(ax, "Accelerations", handles, ncol=3)
    ax.grid(True, alpha=0.3)
    return ax


def _gg_panel(figure, cell, runs):
    """g-g diagram: longitudinal against lateral, coloured by time, circles at 0.5 g and 1 g."""
    ax = figure.add_subplot(cell)
    for index, run in enumerate(runs):
        lat = plottable(run.data.output[out.LAT_ACCEL])
        lon = plottable(run.data.output[out.LONG_ACCEL])
        time = plottable(run.data.output[out.TIME])
        if len(runs) == 1:
            ax.plot(lat, lon, color="lightgrey", linewidth=0.8, zorder=1)
        if len(runs) == 1 and np.isfinite(time).any():
            points = ax.scatter(lat, lon, c=time, cmap="viridis", s=8, zorder=2)
            bar = figure.colorbar(points, ax=ax, location="bottom", shrink=0.8, pad=0.01)
            bar.set_label(out.TIME)
        else:
            ax.plot(lat, lon, color=RUN_COLOURS[index % len(RUN_COLOURS)], linewidth=0.9,
                    label=run.label)
    angle = np.linspace(0.0, 2.0 * np.pi, 181)
    for g in (0.5, 1.0):
        ax.plot(g * out.G * np.cos(angle), g * out.G * np.sin(angle), color="grey",
                linestyle="--", linewidth=0.7, zorder=0)
        ax.annotate("%g g" % g, (g * out.G * 0.7071, g * out.G * 0.7071), fontsize=7, color="grey")
    ax.axhline(0.0, color="grey", linewidth=0.6)
    ax.axvline(0.0, color="grey", linewidth=0.6)
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xlabel(out.LAT_ACCEL)
    ax.set_ylabel(out.LONG_ACCEL)
    ax.set_title("g-g diagram", fontsize=10)
    ax.grid(True, alpha=0.3)
    return ax


def _path_panel(figure, cell, runs):
    """The path of the centre of mass seen from above (world x to the right,
    y down the page, so that a right turn turns clockwise), with arrows
    showing the heading at intervals."""
    ax = figure.add_subplot(cell)
    for index, run in enumerate(runs):
        x = plottable(run.data.extended[out.POSITION_X])
        y = plottable(run.data.extended[out.POSITION_Y])
        heading = plottable(run.data.extended[out.HEADING])
        colour = "tab:blue" if len(runs) == 1 else RUN_COLOURS[index % len(RUN_COLOURS)]
        ax.plot(x, y, color=colour, linewidth=1.2, label=run.label)
        marks = np.flatnonzero(np.isfinite(x) & np.isfinite(y) & np.isfinite(heading))
        if len(marks):
            picked = np.linspace(0, len(marks) - 1, min(HEADING_MARKS, len(marks)))
            marks = marks[picked.astype(int)]
            span = max(np.ptp(x[marks]), np.ptp(y[marks]), 1.0)
            ax.quiver(x[marks], y[marks], np.cos(heading[marks]), np.sin(heading[marks]),
                      color="black" if len(runs) == 1 else colour, angles="xy",
                      scale_units="xy", scale=12.0 / span, width=0.005, zorder=3)
        if len(runs) == 1 and np.isfinite(x).any():
            start = np.flatnonzero(np.isfinite(x))[0]
            ax.plot(x[start], y[start], "o", color="black", markersize=4, label="start")
    ax.set_aspect("equal", adjustable="datalim")
    ax.invert_yaxis()
    ax.set_xlabel(out.POSITION_X)
    ax.set_ylabel(out.POSITION_Y + ", down the page")
    ax.set_title("Path seen from above (arrows: heading)", fontsize=10)
    ax.grid(True, alpha=0.3)
    return ax


def handling_points(run):
    """(a_y in g, road-wheel angle less L/R in deg, rows of cornering events)
    of a run's rows, R the radius driven v^2/a_y and L the wheelbase: the
    angle less L a_y / v^2.  Rows slower than 1 m/s are left out; without a
    wheelbase the angle is the road-wheel angle itself."""
    x, o = run.data.extended, run.data.output
    steer = plottable(0.5 * (x[out.STEER_ANGLE[0]] + x[out.STEER_ANGLE[1]]))
    v, ay = plottable(o[out.GROUND_SPEED]), plottable(o[out.LAT_ACCEL])
    with np.errstate(divide="ignore", invalid="ignore"):
        ackermann = run.wheelbase * ay / (v * v) if math.isfinite(run.wheelbase) else 0.0
        angle = np.where(v > 1.0, np.degrees(steer - ackermann), np.nan)
    cornering = np.isin(x[out.EVENT], [e["number"] for e in run.events
                                       if e["kind"] == "SteerRamp"])
    return ay / out.G, angle, cornering


def _handling_panel(figure, cell, runs):
    """Handling diagram: road-wheel angle less L/R against lateral
    acceleration, so that runs on different radii compare; the cornering
    events' rows in colour, the rest grey, and each run's understeer
    gradient (Run.json's fit) drawn through its rows in the fitted range."""
    ax = figure.add_subplot(cell)
    one = len(runs) == 1
    known = all(math.isfinite(run.wheelbase) for run in runs)
    for index, run in enumerate(runs):
        lat, angle, cornering = handling_points(run)
        colour = "tab:blue" if one else RUN_COLOURS[index % len(RUN_COLOURS)]
        ax.plot(lat[~cornering], angle[~cornering], ".", color="lightgrey", markersize=2)
        gradient = run.metrics.get("understeer_gradient_deg_per_g")
        name = "cornering events" if one else run.label
        if gradient is not None and math.isfinite(gradient):
            name += ": %s deg/g" % report.number("%+.2f", gradient)
        ax.plot(lat[cornering], angle[cornering], ".", color=colour, markersize=3,
                label=name if cornering.any() else None)
        if gradient is None or not math.isfinite(gradient):
            continue
        low, high = run.metrics["fit_from_g"], run.metrics["fit_to_g"]
        fit = cornering & (np.abs(lat) >= low) & (np.abs(lat) <= high) & np.isfinite(angle)
        if fit.any():
            side = math.copysign(1.0, np.nanmean(lat[fit]))
            offset = np.nanmean(angle[fit] - gradient * lat[fit])
            span = side * np.array([low, high])
            ax.plot(span, offset + gradient * span, color="black" if one else colour,
                    linewidth=1.2, label="understeer gradient %s deg/g (fit %s to %s g)"
                    % (report.number("%+.2f", gradient), report.number("%.2f", low),
                       report.number("%.2f", high)) if one else None)
    ax.axhline(0.0, color="grey", linewidth=0.6)
    ax.axvline(0.0, color="grey", linewidth=0.6)
    ax.set_xlabel("Lateral acceleration (g)")
    ax.set_ylabel("Road-wheel angle less L/R (deg)" if known else
                  "Road-wheel angle (deg; wheelbase unknown)")
    ax.set_title("Handling diagram (fit over %g to %g g)" % m.FIT_RANGE_G, fontsize=10)
    if ax.get_legend_handles_labels()[0]:
        ax.legend(fontsize=7, loc="best")
    ax.grid(True, alpha=0.3)
    return ax


def steer_events(run):
    """The open-loop steer events of a run that began."""
    return [e for e in _started(run) if e["kind"] in m.STEER_KINDS]


def _steer_window(runs):
    """(from, to) in s around the runs' open-loop steer events: a second
    before the first begins to half a second after the last ends."""
    starts, ends = [], []
    for run in runs:
        events = steer_events(run)
        last = float(np.nanmax(plottable(run.data.output[out.TIME]))) if events else 0.0
        for event in events:
            starts.append(event["start_s"])
            ends.append(event["end_s"] if event.get("end_s") is not None else last)
    return min(starts) - 1.0, max(ends) + 0.5


def _steer_marks(ax, yaw_ax, event):
    """The instants and levels of one event's metrics: t50 and the steady
    yaw rate of a step, BOS, COS, the two ratio instants with their
    reference lines of a sine with dwell; each labelled."""
    def instant(time, text):
        if time is not None:
            ax.axvline(time, color="black", linestyle=":", linewidth=0.9)
            ax.annotate(text, (time, 0.0), xycoords=("data", "axes fraction"), xytext=(2, 2),
                        textcoords="offset points", fontsize=6.5, rotation=90, va="bottom")

    if event["kind"] == "StepSteer":
        instant(event.get("steer_t50_s"), "t50")
        steady = event.get("yaw_rate_steady_radps")
        if steady is not None:
            for level, style in ((1.0, "--"), (0.9, ":")):
                yaw_ax.axhline(level * steady * RAD_TO_DEG, color="tab:red", linestyle=style,
                               linewidth=0.8, alpha=0.7)
        if None not in (event.get("steer_t50_s"), event.get("yaw_rate_peak_response_time_s"),
                        event.get("yaw_rate_peak_radps")):
            yaw_ax.plot(event["steer_t50_s"] + event["yaw_rate_peak_response_time_s"],
                        event["yaw_rate_peak_radps"] * RAD_TO_DEG, "v", color="tab:red",
                        markersize=5)
    elif event["kind"] == "SineDwell":
        instant(event.get("steer_begin_s"), "BOS")
        complete, peak = event.get("steer_complete_s"), event.get("yaw_rate_peak_radps")
        instant(complete, "COS")
        if complete is None:
            return
        for after, key in ((1.0, "yaw_rate_ratio_at_1_00_s_pct"),
                           (1.75, "yaw_rate_ratio_at_1_75_s_pct")):
            instant(complete + after, "COS + %.2f s" % after)
            if peak is not None:
                level = report.SINE_DWELL_REFERENCES[key] / 100.0 * peak * RAD_TO_DEG
                yaw_ax.plot([complete + after - 0.15, complete + after + 0.15], [level, level],
                            color="tab:red", linewidth=1.6, alpha=0.6)


def _steer_panel(figure, cell, runs):
    """Road-wheel angle (deg) and yaw rate (deg/s) against time around the
    open-loop steer events, on two axes; one run's events with their metrics
    marked (step: t50, steady yaw rate and its 90 %, the peak; sine with
    dwell: BOS, COS, the ratio instants with short lines at the reference
    ratios of the second lobe's peak)."""
    ax = figure.add_subplot(cell)
    yaw_ax = ax.twinx()
    one = len(runs) == 1
    for index, run in enumerate(runs):
        colour = RUN_COLOURS[index % len(RUN_COLOURS)]
        time = plottable(run.data.output[out.TIME])
        x = run.data.extended
        if x is None or not steer_events(run):
            continue
        angle = np.degrees(plottable(0.5 * (x[out.STEER_ANGLE[0]] + x[out.STEER_ANGLE[1]])))
        ax.plot(time, angle, color="tab:blue" if one else colour, linewidth=1.2)
        yaw_ax.plot(time, _drawn(run.data, out.YAW_RATE), color="tab:red" if one else colour,
                    linestyle="-" if one else "--", linewidth=1.2)
    first = next(run for run in runs if steer_events(run))
    for event in steer_events(first):
        ax.axvspan(event["start_s"], event.get("end_s") or ax.get_xlim()[1], color="grey",
                   alpha=0.07)
        if one:
            _steer_marks(ax, yaw_ax, event)
    _mark_time(ax, runs)
    ax.set_xlim(*_steer_window(runs))
    ax.axhline(0.0, color="grey", linewidth=0.6)
    ax.set_xlabel(out.TIME)
    ax.set_ylabel("Road-wheel angle (deg)", color="tab:blue" if one else "black")
    yaw_ax.set_ylabel("Yaw rate (deg/s)" + ("" if one else ", dashed"),
                      color="tab:red" if one else "black")
    _align_zero(ax, yaw_ax)
    entries = [("Road-wheel angle (deg)", "-", "tab:blue" if one else "black"),
               ("Yaw rate (deg/s)", "-" if one else "--", "tab:red" if one else "black")]
    from matplotlib.lines import Line2D
    handles = [Line2D([], [], color=c, linestyle=s, label=label) for label, s, c in entries]
    drawn = [Line2D([], [], color=RUN_COLOURS[i % len(RUN_COLOURS)], label=run.label)
             for i, run in enumerate(runs) if steer_events(run) and not one]
    _legend_above(ax, "Open-loop steer events", drawn + handles, ncol=4)
    ax.grid(True, alpha=0.3)
    return ax


def _align_zero(ax, other):
    """Both y axes with their zero at the same height."""
    for axis in (ax, other):
        low, high = axis.get_ylim()
        reach = max(abs(low), abs(high)) or 1.0
        axis.set_ylim(-reach * 1.05, reach * 1.05)


def _text_panel(figure, cell, text, fontsize):
    """A panel of monospaced text: the lines that do not fit its height are
    left out, and its last line says how many (the printed summary has them)."""
    ax = figure.add_subplot(cell)
    ax.axis("off")
    height = cell.get_position(figure).height * figure.get_figheight() * 72.0  # points
    fits = max(int(0.95 * height / (fontsize * TEXT_LINE_SPACING)), 2)
    lines = text.rstrip("\n").split("\n")
    if len(lines) > fits:
        more = len(lines) - fits + 1
        lines = lines[:fits - 1] + ["... %d more line%s in the summary vdsim-plot prints"
                                    % (more, "" if more == 1 else "s")]
    ax.text(0.0, 1.0, "\n".join(lines), family="monospace", fontsize=fontsize, va="top",
            ha="left", linespacing=TEXT_LINE_SPACING,
            transform=ax.transAxes).set_in_layout(False)  # the layout is the panels'
    return ax


def dashboard(plt, runs, title, runs_title="Runs", corners=None, note=None):
    """The dashboard of one run or an overlay of several: speeds,
    accelerations, g-g diagram, per-corner loads and motions (`corners`, by
    default all four for one run and OVERLAY_CORNERS for several), the
    summary; with Extended.csv also the path and the handling diagram, with
    open-loop steer events their panel.  Summaries of several runs, or one
    run's summary and events, fill a row of their own; `note` says why a
    run has no events' metrics."""
    corners = tuple(corners or (out.CORNERS if len(runs) == 1 else OVERLAY_CORNERS))
    extended = [run for run in runs if run.data.extended is not None]
    steering = [run for run in extended if steer_events(run)]
    text_row = bool(extended) or len(runs) > 1
    size = EXTENDED_SIZE if text_row else DASHBOARD_SIZE
    rows, ratios = (4, [1, 1, 1, 1.15]) if text_row else (3, [1, 1, 1])
    if steering:
        size, rows = (size[0], size[1] + STEER_ROW), rows + 1
        ratios.insert(3, 1.1)
    figure = plt.figure(figsize=size, dpi=DPI, layout="constrained")
    figure.suptitle(title, fontsize=12)
    grid = figure.add_gridspec(rows, 3, height_ratios=ratios)

    speed_ax = _speed_panel(figure, grid[0, 0], runs, runs_title)
    time_axes = [speed_ax, _accel_panel(figure, grid[0, 1], runs, speed_ax)]
    if extended:
        _path_panel(figure, grid[0, 2], extended)
        _gg_panel(figure, grid[1, 2], runs)
        _handling_panel(figure, grid[2, 2], extended)
    else:
        _gg_panel(figure, grid[0:3 if text_row else 2, 2], runs)

    panels = (
        (grid[1, 0], out.NORMAL_FORCE, "Normal Force (N)", "Normal forces", _channel_label),
        (grid[1, 1], out.SUSPENSION_DEFLECTION, "Suspension Deflection (m)",
         "Suspension deflections", _channel_label),
        (grid[2, 0], out.MOUNT_FORCE, "Suspension Mount Force (N)", "Suspension mount forces",
         _channel_label),
        (grid[2, 1], out.MOUNT_MOMENT, "Hub Force (N)", HUB_FORCE_TITLE,
         lambda run, name: "Hub Force %s (N)" % corner_of(name)),
    )
    for cell, names, ylabel, panel_title, label_of in panels:
        ax = figure.add_subplot(cell, sharex=speed_ax)
        _time_panel(ax, runs, names, ylabel, panel_title, label_of, corners)
        time_axes.append(ax)
    _show_whole_run(speed_ax, runs)
    text = rows - 1
    steer_ax = _steer_panel(figure, grid[3, :], runs) if steering else None

    if len(runs) > 1:
        # The summaries side by side: the maneuver's beside the whole run's
        # when three runs leave room, else below.
        labels, metrics = [r.label for r in runs], [r.metrics for r in runs]
        whole, maneuver = (report.format_side_by_side(labels, metrics, runs_title, table)
                           for table in (report.SIDE_BY_SIDE_WHOLE_RUN,
                                         report.SIDE_BY_SIDE_MANEUVER))
        if maneuver.count("\n") <= 2:
            _text_panel(figure, grid[text, :], whole, 7)
        elif len(runs) <= 3:
            _text_panel(figure, grid[text, :2], whole, 7)
            _text_panel(figure, grid[text, 2], maneuver, 7)
        else:
            _text_panel(figure, grid[text, :], whole + maneuver.split("\n", 2)[2], 7)
    elif runs[0].events:
        _text_panel(figure, grid[text, 0], report.format_summary(runs[0].metrics), 8)
        _text_panel(figure, grid[text, 1:], report.format_events(runs[0].events), 7.5)
    else:
        _text_panel(figure, grid[text if text_row else 2, 2 if not text_row else 0],
                    report.format_summary(runs[0].metrics, note=note), 8)
    numbered = [speed_ax] + ([steer_ax] if steer_ax is not None else [])
    _label_time_axes(numbered, runs, speed_ax)
    return figure


def channels(plt, runs, names, title, x_name=None, runs_title="Runs"):
    """One panel per named channel, stacked: against time, or against the
    channel `x_name` (points joined in row order); angles in degrees."""
    height = max(4.0, PANEL_HEIGHT * len(names) + 0.8)
    figure, axes = plt.subplots(len(names), 1, figsize=(DASHBOARD_SIZE[0], height), dpi=DPI,
                                sharex=True, squeeze=False, layout="constrained")
    figure.suptitle(title, fontsize=12)
    for ax, name in zip(axes[:, 0], names):
        label = shown(name)[0]
        for index, run in enumerate(runs):
            colour, line = _style(runs, index, name)
            ax.plot(_drawn(run.data, x_name or out.TIME), _drawn(run.data, name), color=colour,
                    linestyle=line, linewidth=1.1, marker="." if x_name else None, markersize=2,
                    label=run.label if len(runs) > 1 else label)
        if x_name is None:
            _mark_time(ax, runs)
        ax.set_ylabel(label)
        ax.set_title(label + (" (%s)" % HUB_FORCE_NOTE if name in out.MOUNT_MOMENT else ""),
                     fontsize=9)
        if len(runs) > 1:
            ax.legend(fontsize=7, loc="best", title=runs_title, title_fontsize=7)
        ax.grid(True, alpha=0.3)
    axes[-1, 0].set_xlabel(shown(x_name)[0] if x_name else out.TIME)
    if x_name is None:
        _show_whole_run(axes[0, 0], runs)
        _label_time_axes(list(axes[:, 0]), runs, axes[-1, 0])
    return figure


# Units of the metrics' keys, by suffix, longest first: (suffix, unit drawn,
# scale from the key's unit).  Angular rates are drawn in deg/s.
METRIC_UNITS = (
    ("_radps_per_deg", "(deg/s)/deg", RAD_TO_DEG), ("_deg_per_g", "deg/g", 1.0),
    ("_g_per_deg", "g/deg", 1.0), ("_radps", "deg/s", RAD_TO_DEG), ("_mps2", "m/s2", 1.0),
    ("_mps", "m/s", 1.0), ("_rpm", "rpm", 1.0), ("_pct", "%", 1.0), ("_deg", "deg", 1.0),
    ("_hz", "Hz", 1.0), ("_N", "N", 1.0), ("_g", "g", 1.0), ("_m", "m", 1.0), ("_s", "s", 1.0),
)
# Words of the keys written out.
METRIC_WORDS = {"accel": "acceleration", "decel": "deceleration", "lat": "lateral",
                "long": "longitudinal", "pct": "%", "max": "maximum", "min": "minimum"}


def metric_title(key):
    """(axis title, scale) of a metric drawn from its key:
    "understeer_gradient_deg_per_g" -> ("understeer gradient (deg/g)", 1);
    rates in rad/s are drawn in deg/s."""
    for suffix, unit, scale in METRIC_UNITS:
        if key.endswith(suffix) and len(key) > len(suffix):
            stem = key[:-len(suffix)]
            break
    else:
        stem, unit, scale = key, "-", 1.0
    words = " ".join(METRIC_WORDS.get(word, word) for word in stem.split("_"))
    return "%s (%s)" % (words, unit), scale


def sweep_metric(plt, metric, x_title, line_title, lines, title):
    """A metric of a sweep against one swept value: `lines` maps each value of
    a second swept address (or None) to its (x, y) points; the axes titled
    by the swept value's name and unit (`x_title`) and the metric's."""
    figure, ax = plt.subplots(figsize=(10.0, 6.5), dpi=DPI, layout="constrained")
    figure.suptitle(title, fontsize=12)
    y_title, scale = metric_title(metric)
    for index, (value, points) in enumerate(lines.items()):
        points = sorted(points)
        ax.plot([p[0] for p in points], [p[1] * scale for p in points], marker="o",
                color=RUN_COLOURS[index % len(RUN_COLOURS)],
                label=None if value is None else "%s = %s" % (line_title, value))
    ax.set_xlabel(x_title)
    ax.set_ylabel(y_title)
    ax.set_xticks(sorted({p[0] for points in lines.values() for p in points}))
    if any(value is not None for value in lines):
        ax.legend(fontsize=8)
    ax.grid(True, alpha=0.3)
    return figure


# The frequency response of a sweep of SineSteer frequencies: per panel the
# flat metric drawn and its title; gains on top, phases below.
BODE_FREQUENCY = "sine_steer_frequency_hz"
BODE_PANELS = (
    ("sine_steer_yaw_rate_gain_radps_per_deg", "Yaw-rate gain ((deg/s)/deg)"),
    ("sine_steer_lat_accel_gain_g_per_deg", "Lateral-acceleration gain (g/deg)"),
    ("sine_steer_yaw_rate_phase_deg", "Yaw-rate phase (deg)"),
    ("sine_steer_lat_accel_phase_deg", "Lateral-acceleration phase (deg)"),
)
BODE_KEYS = (BODE_FREQUENCY,) + tuple(key for key, _ in BODE_PANELS)


def bode(plt, line_title, lines, title):
    """Gain and phase of yaw rate and lateral acceleration against the
    SineSteer frequency on a log axis (a Bode plot): `lines` maps each value
    of a swept address (or None) to its points, dicts of BODE_KEYS; phases
    relative to the road-wheel angle, negative lagging."""
    figure, axes = plt.subplots(2, 2, figsize=(12.0, 8.0), dpi=DPI, sharex=True,
                                layout="constrained")
    figure.suptitle(title, fontsize=12)
    frequencies = sorted({p[BODE_FREQUENCY] for points in lines.values() for p in points})
    for ax, (key, panel_title) in zip(axes.flat, BODE_PANELS):
        scale = metric_title(key)[1]
        for index, (value, points) in enumerate(lines.items()):
            points = sorted((p[BODE_FREQUENCY], p[key]) for p in points
                            if p.get(key) is not None and math.isfinite(p[key]))
            ax.plot([p[0] for p in points], [p[1] * scale for p in points], marker="o",
                    markersize=4, color=RUN_COLOURS[index % len(RUN_COLOURS)],
                    label=None if value is None else "%s = %s" % (line_title, value))
        ax.set_xscale("log")
        ax.set_xticks(frequencies, ["%g" % f for f in frequencies])
        ax.minorticks_off()
        ax.set_ylabel(panel_title)
        ax.grid(True, which="both", alpha=0.3)
        if key.endswith("_phase_deg"):
            ax.axhline(0.0, color="grey", linewidth=0.6)
            ax.set_xlabel("SineSteer frequency (Hz)")
    if any(value is not None for value in lines):
        axes[0, 0].legend(fontsize=8)
    return figure
