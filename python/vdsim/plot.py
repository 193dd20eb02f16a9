"""Figures of runs: the dashboard, channels against time or another channel,
overlays of several runs, and a metric of a sweep against a swept value.

One run: corners by colour (LF blue, RF orange, LR green, RR red; front
solid, rear dashed).  Several runs: one colour per run, corners by line
style.  With Extended.csv the dashboard adds the path (x-y, heading marked),
the handling diagram (road-wheel steer against lateral acceleration) and
the event boundaries on every time panel.

Values that a 32-bit float cannot hold (beyond 3.4e38), nan and inf are left
out of the plots; the summaries report them.
"""

import numpy as np

from . import metrics as m
from . import output as out
from . import report

DPI = 100
DASHBOARD_SIZE = (16.0, 12.0)  # inches: 1600 x 1200 pixels
EXTENDED_SIZE = (16.0, 17.0)  # inches, with the path, handling and events panels
PANEL_HEIGHT = 2.6  # inches per panel of a channel figure
FLOAT_MAX = 3.4028234663852886e38  # largest finite 32-bit float
CORNER_COLOUR = {"LF": "tab:blue", "RF": "tab:orange", "LR": "tab:green", "RR": "tab:red"}
CORNER_LINE = {"LF": "-", "RF": "-", "LR": "--", "RR": "--"}  # one run
OVERLAY_LINE = {"LF": "-", "RF": "--", "LR": ":", "RR": "-."}  # several runs
RUN_COLOURS = ("tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown",
               "tab:pink", "tab:gray", "tab:olive", "tab:cyan")
HEADING_MARKS = 16  # heading arrows along the path
MAX_EVENT_LABELS = report.MAX_EVENT_LINES  # events named on the time axis
HUB_FORCE_NOTE = 'the "Suspension Mount Moment" columns hold the hub force magnitude, in N'


class PlotRun:
    """One run as a figure shows it: its label, RunData, flat metrics and event metrics."""

    def __init__(self, label, data, metrics, events):
        self.label, self.data, self.metrics, self.events = label, data, metrics, events


def plottable(values):
    """The values as an array with nan wherever a 32-bit float could not hold them."""
    array = np.asarray(values, dtype=float)
    with np.errstate(invalid="ignore"):
        return np.where(np.isfinite(array) & (np.abs(array) <= FLOAT_MAX), array, np.nan)


def corner_of(name):
    """The corner ("LF" ...) a per-corner channel belongs to, or None."""
    for corner in out.CORNERS:
        if " %s " % corner in name:
            return corner
    return None


def _style(runs, index, name):
    """(colour, line style) of a channel of run `index`."""
    corner = corner_of(name)
    if len(runs) == 1:
        return (CORNER_COLOUR[corner], CORNER_LINE[corner]) if corner else ("tab:blue", "-")
    return RUN_COLOURS[index % len(RUN_COLOURS)], OVERLAY_LINE[corner] if corner else "-"


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


def _mark_time(ax, runs, labelled):
    """Dotted lines where runs stop being finite; event boundaries, drawn as
    one collection per run, the first MAX_EVENT_LABELS of them labelled if
    `labelled`."""
    for index, run in enumerate(runs):
        colour = "black" if len(runs) == 1 else RUN_COLOURS[index % len(RUN_COLOURS)]
        diverged = run.metrics["non_finite_from_s"]
        if diverged is not None:
            ax.axvline(diverged, color=colour, linestyle=":", linewidth=1.2)
        row_time = _row_time(run)
        events = [event for event in run.events if event["number"] != 0]
        boundaries = [event["start_s"] - row_time / 2 for event in events]
        if boundaries:
            ax.vlines(boundaries, 0.0, 1.0, transform=ax.get_xaxis_transform(), colors=colour,
                      linestyles=[(0, (4, 3))], linewidth=0.7, alpha=0.6)
        if labelled and index == 0:
            for event, boundary in zip(events[:MAX_EVENT_LABELS], boundaries):
                ax.annotate("%d %s" % (event["number"], event["kind"]), (boundary, 1.0),
                            xycoords=("data", "axes fraction"), xytext=(2, -2),
                            textcoords="offset points", rotation=90, va="top", ha="left",
                            fontsize=6.5, color="dimgray")


def _row_time(run):
    time = run.data.output[out.TIME]
    return float(time[1] - time[0]) if len(time) > 1 else 0.1


def _time_panel(ax, runs, names, ylabel, title, label_of):
    """Channels against time: per corner in corner colours (one run) or per
    run in run colours, corners by line style."""
    handles = []
    for index, run in enumerate(runs):
        time = plottable(run.data.output[out.TIME])
        for name in names:
            colour, line = _style(runs, index, name)
            handles += ax.plot(time, plottable(run.data.channel(name)), color=colour,
                               linestyle=line, linewidth=1.1, label=label_of(run, name))
    _mark_time(ax, runs, labelled=False)
    ax.set_ylabel(ylabel)
    ax.set_xlabel(out.TIME)
    ax.grid(True, alpha=0.3)
    if len(runs) > 1:
        handles = _line_styles([(c, OVERLAY_LINE[c]) for c in map(corner_of, names) if c])
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
    _mark_time(ax, runs, labelled=True)
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
    _mark_time(ax, runs, labelled=False)
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


def _handling_panel(figure, cell, runs):
    """Handling diagram: road-wheel steer angle (mean of the fronts) against
    lateral acceleration; the cornering events' rows in colour, the rest grey,
    with the understeer gradient drawn through the fitted rows (its slope
    where the radius is constant)."""
    ax = figure.add_subplot(cell)
    one = len(runs) == 1
    for index, run in enumerate(runs):
        x = run.data.extended
        steer = np.degrees(plottable(0.5 * (x[out.STEER_ANGLE[0]] + x[out.STEER_ANGLE[1]])))
        lat = plottable(run.data.output[out.LAT_ACCEL]) / out.G
        colour = "tab:blue" if one else RUN_COLOURS[index % len(RUN_COLOURS)]
        cornering = np.isin(x[out.EVENT],
                            [e["number"] for e in run.events if e["kind"] == "SteerRamp"])
        ax.plot(lat[~cornering], steer[~cornering], ".", color="lightgrey", markersize=2)
        ax.plot(lat[cornering], steer[cornering], ".", color=colour, markersize=3,
                label="cornering events")
        gradient = run.metrics.get("understeer_gradient_deg_per_g")
        if gradient is None or not np.isfinite(gradient):
            continue
        fit = cornering & (np.abs(lat) >= run.metrics["fit_from_g"]) & (
            np.abs(lat) <= run.metrics["fit_to_g"])
        if fit.any():
            g0, s0 = np.nanmean(lat[fit]), np.nanmean(steer[fit])
            span = np.array([np.nanmin(lat[fit]), np.nanmax(lat[fit])])
            ax.plot(span, s0 + gradient * (span - g0), color="black" if one else colour,
                    linewidth=1.0, label="understeer gradient: %s deg/g"
                    % report.number("%+.2f", gradient))
    ax.axhline(0.0, color="grey", linewidth=0.6)
    ax.axvline(0.0, color="grey", linewidth=0.6)
    ax.set_xlabel("Lateral acceleration (g)")
    ax.set_ylabel("Road-wheel steer angle (deg)")
    ax.set_title("Handling diagram (linear range %g to %g g)" % m.FIT_RANGE_G, fontsize=10)
    if one:
        ax.legend(fontsize=7, loc="best")
    ax.grid(True, alpha=0.3)
    return ax


def _text_panel(figure, cell, text, fontsize):
    ax = figure.add_subplot(cell)
    ax.axis("off")
    ax.text(0.0, 1.0, text, family="monospace", fontsize=fontsize, va="top", ha="left",
            transform=ax.transAxes)


def dashboard(plt, runs, title, runs_title="Runs"):
    """The dashboard of one run or an overlay of several: speeds,
    accelerations, g-g diagram, per-corner loads and motions, the summary;
    with Extended.csv also the path, the handling diagram and the events.
    Summaries of several runs, or one run's events, fill a row of their own."""
    extended = [run for run in runs if run.data.extended is not None]
    text_row = bool(extended) or len(runs) > 1
    size = EXTENDED_SIZE if text_row else DASHBOARD_SIZE
    figure = plt.figure(figsize=size, dpi=DPI, layout="constrained")
    figure.suptitle(title, fontsize=12)
    grid = figure.add_gridspec(4 if text_row else 3, 3,
                               height_ratios=(1, 1, 1, 1.15) if text_row else None)

    speed_ax = _speed_panel(figure, grid[0, 0], runs, runs_title)
    _accel_panel(figure, grid[0, 1], runs, speed_ax)
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
        (grid[2, 1], out.MOUNT_MOMENT, "Hub Force (N)", "Hub forces (" + HUB_FORCE_NOTE + ")",
         lambda run, name: "Hub Force %s (N)" % corner_of(name)),
    )
    for cell, names, ylabel, panel_title, label_of in panels:
        ax = figure.add_subplot(cell, sharex=speed_ax)
        _time_panel(ax, runs, names, ylabel, panel_title, label_of)
    _show_whole_run(speed_ax, runs)

    if len(runs) > 1:
        _text_panel(figure, grid[3, :], report.format_side_by_side(
            [r.label for r in runs], [r.metrics for r in runs], runs_title), 7)
    elif runs[0].events:
        _text_panel(figure, grid[3, 0], report.format_whole_run(runs[0].metrics), 8)
        _text_panel(figure, grid[3, 1:], report.format_events(runs[0].events), 7.5)
    else:
        _text_panel(figure, grid[2, 2], report.format_summary(runs[0].metrics), 8)
    return figure


def channels(plt, runs, names, title, x_name=None, runs_title="Runs"):
    """One panel per named channel, stacked: against time, or against the
    channel `x_name` (points joined in row order)."""
    height = max(4.0, PANEL_HEIGHT * len(names) + 0.8)
    figure, axes = plt.subplots(len(names), 1, figsize=(DASHBOARD_SIZE[0], height), dpi=DPI,
                                sharex=True, squeeze=False, layout="constrained")
    figure.suptitle(title, fontsize=12)
    for ax, name in zip(axes[:, 0], names):
        for index, run in enumerate(runs):
            colour, line = _style(runs, index, name)
            x = plottable(run.data.channel(x_name or out.TIME))
            ax.plot(x, plottable(run.data.channel(name)), color=colour, linestyle=line,
                    linewidth=1.1, marker="." if x_name else None, markersize=2,
                    label=run.label if len(runs) > 1 else name)
        if x_name is None:
            _mark_time(ax, runs, labelled=True)
        ax.set_ylabel(name)
        ax.set_title(name + (" (%s)" % HUB_FORCE_NOTE if name in out.MOUNT_MOMENT else ""),
                     fontsize=9)
        if len(runs) > 1:
            ax.legend(fontsize=7, loc="best", title=runs_title, title_fontsize=7)
        ax.grid(True, alpha=0.3)
    axes[-1, 0].set_xlabel(x_name or out.TIME)
    if x_name is None:
        _show_whole_run(axes[0, 0], runs)
    return figure


def sweep_metric(plt, metric, x_label, x_values, line_label, lines, title):
    """A metric of a sweep against one swept value: `lines` maps each value of
    a second swept address (or None) to its (x, y) points."""
    figure, ax = plt.subplots(figsize=(10.0, 6.5), dpi=DPI, layout="constrained")
    figure.suptitle(title, fontsize=12)
    for index, (value, points) in enumerate(lines.items()):
        points = sorted(points)
        ax.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                color=RUN_COLOURS[index % len(RUN_COLOURS)],
                label=None if value is None else "%s = %s" % (line_label, value))
    ax.set_xlabel(x_label)
    ax.set_ylabel(metric)
    if x_values:
        ax.set_xticks(sorted(set(x_values)))
    if any(value is not None for value in lines):
        ax.legend(fontsize=8)
    ax.grid(True, alpha=0.3)
    return figure
