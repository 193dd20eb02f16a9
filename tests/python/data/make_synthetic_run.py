#!/usr/bin/env python3
"""Write a synthetic run directory whose metrics are known exactly.

The maneuver, in 1 ms steps, rows of 100 steps as the simulator writes them:
  event 0 (built-in)   0 to 2 m/s in 1 s, held to 6 s
  event 1 TargetSpeed  2 to 10 m/s at 2.5 m/s2, held 1 s: 2.5 -> 9 m/s takes 2.6 s
  event 2 SteerRamp    a right turn on a 50 m radius, speed 10 -> 22 m/s over 30 s;
                       the lateral acceleration saturates at LIMIT_G (the radius then
                       opens), steer = L/R + K a_y, roll = -ROLL a_y, sideslip =
                       BETA0 + BETA a_y (deg, a_y in g)
  event 3 Brake        straight at 22 m/s, pedal -0.3 (as in the turn), full braking
                       (mean pedal 0.45) from 0.06 s into a row at 8 m/s2 until
                       below 1 m/s: 30.25 m to a stop
The scenario files are those of examples/skidpad (wheelbase 2.7 m) with an
Events.ini of these events; Run.json records their SHA-256 and the outputs',
and each event's metrics as the simulator would measure them (metrics()
below: the known answers, not measured from the rows).

    make_synthetic_run.py RUN_DIR [--no-extended] [--diverge-at SECONDS]

--diverge-at makes every cell after that time read nan, -nan or inf, as a
diverged run's would.  The numbers only need to look like a car, not to come
from the simulator.
"""

import argparse
import hashlib
import json
import math
import os
import shutil
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(REPO, "python"))
from vdsim.output import CHANNEL_NAMES, EXTENDED_NAMES  # noqa: E402

DT = 0.001  # s
G = 9.81
WHEELBASE = 2.7  # m, as examples/skidpad/Sedan.params
RADIUS = 50.0  # m
K = 2.5  # understeer gradient, deg/g
ROLL = 4.0  # roll gradient, deg/g
BETA0, BETA = 0.5, -1.5  # sideslip, deg and deg/g
LIMIT_G = 0.8  # lateral acceleration limit, g
BRAKE_DECEL = 8.0  # m/s2
BRAKE_DELAY = 0.06  # s from the Brake event's start to full braking
BRAKE_PEDAL = 0.45  # mean pedal of full braking (the slip cut lets it off at times)
T1, T2 = 6.0, 10.2  # starts of events 1, 2 (s)
T3 = T2 + 30.0  # start of event 3
V_TURN_END = 22.0

EVENTS_INI = """# Synthetic run (tests/python/data/make_synthetic_run.py)
[car]
  name      Sedan
  timeStep  0.001
[event]
  kind TargetSpeed  speed 10.0  hold 1.0
[event]
  kind SteerRamp  speed 10.0  endSpeed 22.0  startRadius 50.0  endRadius 50.0  duration 30.0
[event]
  kind Brake  speed 22.0
"""
EVENTS = [
    {"number": 1, "kind": "TargetSpeed", "line": 5, "speed": 10, "duration": 1},
    {"number": 2, "kind": "SteerRamp", "line": 7, "speed": 10, "end_speed": 22,
     "start_radius": 50, "end_radius": 50, "duration": 30},
    {"number": 3, "kind": "Brake", "line": 9, "speed": 22},
]


def speed_at(t):
    """Ground speed (m/s) and the event number at times t (s)."""
    v = np.select(
        [t < 1.0, t < T1, t < T1 + 3.2, t < T2, t < T3, t < T3 + BRAKE_DELAY],
        [2.0 * t, 2.0, 2.0 + 2.5 * (t - T1), 10.0, 10.0 + 0.4 * (t - T2), V_TURN_END],
        V_TURN_END - BRAKE_DECEL * (t - T3 - BRAKE_DELAY))
    event = np.select([t < T1, t < T2, t < T3], [0, 1, 2], 3)
    return v, event


def states(duration):
    """Per-step states on the grid of step times 0, dt, 2 dt, ...: a dict of arrays."""
    t = np.arange(int(round(duration / DT))) * DT
    v, event = speed_at(t)
    turning = event == 2
    ay = np.where(turning, np.minimum(v * v / RADIUS, LIMIT_G * G), 0.0)
    ay_g = ay / G
    ax = np.gradient(v, DT)
    yaw_rate = np.where(v > 0, ay / np.maximum(v, 1e-9), 0.0)
    heading = np.concatenate(([0.0], np.cumsum(yaw_rate[:-1]) * DT))
    def integral(rate):  # trapezoidal, from 0 at t = 0
        return np.concatenate(([0.0], np.cumsum(0.5 * (rate[:-1] + rate[1:])) * DT))

    x = 100.0 + integral(v * np.cos(heading))
    y = 100.0 + integral(v * np.sin(heading))
    with np.errstate(divide="ignore", invalid="ignore"):
        ackermann = np.where(turning, WHEELBASE * ay / (v * v), 0.0)
    steer = ackermann + np.radians(K) * ay_g
    pedal = np.select([t >= T3 + BRAKE_DELAY, event >= 2], [BRAKE_PEDAL, -0.3], -0.5)
    sideslip = np.where(turning, np.radians(BETA0 + BETA * ay_g), 0.0)
    return {"t": t, "v": v, "event": event, "ay": ay, "ax": ax, "yaw_rate": yaw_rate,
            "heading": heading, "x": x, "y": y, "steer": steer, "pedal": pedal,
            "roll": -np.radians(ROLL) * ay_g, "sideslip": sideslip}


def rows_of(s, rows):
    """(sampled, mean) of a per-step array over rows of 100 steps."""
    return (lambda a: a[99:100 * rows:100], lambda a: a[:100 * rows].reshape(rows, 100).mean(1))


def metrics(s):
    """Each event's "metrics" entry of Run.json: the known answers."""
    def state(time, prefix):
        i = int(round(time / DT))
        return {prefix + "_s": time, prefix + "_x_m": float(s["x"][i]),
                prefix + "_y_m": float(s["y"][i]),
                ("speed_%s_mps" % prefix): float(s["v"][i])}

    stop = T3 + BRAKE_DELAY + (V_TURN_END - 1.0) / BRAKE_DECEL
    first = dict(state(T1, "start"), **state(T1 + 3.0, "entry"))
    first.update(state(T2, "end"), lat_accel_peak_mps2=0.0, long_accel_peak_mps2=2.5,
                 accel_from_mps=2.5, accel_to_mps=9.0, accel_time_s=2.6)
    turn = dict(state(T2, "start"), **state(T2, "entry"))
    turn.update(state(T3, "end"), lat_accel_peak_mps2=LIMIT_G * G, long_accel_peak_mps2=0.4,
                understeer_gradient_deg_per_g=K, roll_gradient_deg_per_g=ROLL,
                sideslip_gradient_deg_per_g=BETA, fit_from_g=100.0 / RADIUS / G, fit_to_g=0.4,
                fit_steps=11234, limit_lat_accel_mps2=LIMIT_G * G,
                quasi_steady_radius_median_m=RADIUS)
    brake = dict(state(T3, "start"), **state(T3, "entry"))
    brake.update(state(stop, "end"), lat_accel_peak_mps2=0.0,
                 long_accel_peak_mps2=-BRAKE_DECEL, braking_start_s=T3 + BRAKE_DELAY,
                 braking_start_speed_mps=V_TURN_END,
                 stopping_distance_m=V_TURN_END ** 2 / (2.0 * BRAKE_DECEL),
                 braking_decel_mean_mps2=BRAKE_DECEL, braking_decel_end_mps2=BRAKE_DECEL,
                 braking_decel_peak_mps2=BRAKE_DECEL)
    return [first, turn, brake]


def write(directory, extended=True, diverge_at=None):
    """Write the run directory: scenario files, Data/Output.csv, and with
    extended Data/Extended.csv and Data/Run.json."""
    skidpad = os.path.join(REPO, "examples", "skidpad")
    os.makedirs(os.path.join(directory, "Data"), exist_ok=True)
    for name in ("Sedan.ini", "Sedan.params", "Goodyear2692x7.pkj"):
        shutil.copyfile(os.path.join(skidpad, name), os.path.join(directory, name))
    with open(os.path.join(directory, "Events.ini"), "w") as stream:
        stream.write(EVENTS_INI)

    # The run ends in the row in which the speed falls below 1 m/s.
    stop = T3 + BRAKE_DELAY + (V_TURN_END - 1.0) / BRAKE_DECEL
    rows = int(math.ceil((stop + DT) / 0.1))
    s = states(rows * 0.1 + 1.0)
    sampled, mean = rows_of(s, rows)
    times = [(100 * r - 1) * DT for r in range(1, rows + 1)]
    v, ax, ay = mean(s["v"]), mean(s["ax"]), mean(s["ay"])

    lateral = 1500.0 * ay * 0.5 / 1.55 / 2.0
    longitudinal = 1500.0 * ax * 0.5 / 2.7 / 2.0
    fz = [3800.0 - longitudinal - 0.55 * lateral, 3800.0 - longitudinal + 0.55 * lateral,
          3500.0 + longitudinal - 0.45 * lateral, 3500.0 + longitudinal + 0.45 * lateral]
    output = [times, v, 900.0 + 180.0 * v, ay, ax] + fz + [-f / 30000.0 for f in fz] + [
        0.92 * f for f in fz] + [np.hypot(f, 1500.0 * np.hypot(ax, ay) / 4.0) for f in fz]

    steer = mean(s["steer"])
    vx = mean(s["v"] * np.cos(s["sideslip"]))
    vy = mean(s["v"] * np.sin(s["sideslip"]))
    zero = np.zeros(rows)
    columns = {
        "Time (s)": times, "Event (-)": sampled(s["event"]), "Gear (-)": 1 + np.minimum(v // 6, 5),
        "Steer Input (-)": 2.0 * steer, "Steer Angle LF (rad)": steer * 1.02,
        "Steer Angle RF (rad)": steer * 0.98, "Pedal (-)": mean(s["pedal"]),
        "Position X (m)": sampled(s["x"]), "Position Y (m)": sampled(s["y"]),
        "Heading (rad)": sampled(s["heading"]), "Roll (rad)": sampled(s["roll"]),
        "Pitch (rad)": -0.002 * ax, "Velocity X (m/s)": vx, "Velocity Y (m/s)": vy,
        "Sideslip (rad)": mean(s["sideslip"]), "Yaw Rate (rad/s)": mean(s["yaw_rate"]),
        "Roll Rate (rad/s)": zero, "Pitch Rate (rad/s)": zero,
        "Drive Torque (N m)": np.where(ax > 0, 400.0 * ax, 0.0),
    }
    for name in EXTENDED_NAMES:
        columns.setdefault(name, zero)  # slips, spins and tire forces: not used here

    def cells(values, form):
        return [form % value for value in values]

    out_cells = [cells(column, "%f") for column in output]
    ext_cells = [cells(columns[name], "%d" if name in ("Event (-)", "Gear (-)") else "%.9g")
                 for name in EXTENDED_NAMES]
    ext_cells[0] = out_cells[0]
    if diverge_at is not None:
        spoilt = ("nan", "-nan", "inf", "-nan")
        for r, t in enumerate(times):
            if t > diverge_at:
                for i, column in enumerate(out_cells[1:] + ext_cells[3:]):
                    column[r] = spoilt[(r + i) % len(spoilt)]

    data = os.path.join(directory, "Data")
    with open(os.path.join(data, "Output.csv"), "w") as stream:
        stream.write("".join(name + "," for name in CHANNEL_NAMES) + "\n")
        for r in range(rows):
            stream.write("".join(column[r] + "," for column in out_cells) + "\n")
    if not extended:
        return
    with open(os.path.join(data, "Extended.csv"), "w") as stream:
        stream.write(",".join(EXTENDED_NAMES) + "\n")
        for r in range(rows):
            stream.write(",".join(column[r] for column in ext_cells) + "\n")

    def digest(path):
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()

    record = {
        "vdsim_version": "0.1.0", "scenario_dir": os.path.abspath(directory), "car": "Sedan",
        "time_step_s": DT,
        "inputs": [{"file": name, "sha256": digest(os.path.join(directory, name))}
                   for name in ("Events.ini", "Sedan.ini", "Sedan.params", "Goodyear2692x7.pkj")],
        "events": [dict(event, metrics=measured, null_reasons={})
                   for event, measured in zip(EVENTS, metrics(s))],
        "exit_status": 0, "end": "finished", "message": "",
        "simulated_time_s": times[-1] + 3.0, "steps": 100 * rows + 3000, "singular_steps": 0,
        "rows": rows, "wall_time_s": 0.25,
        "outputs": [{"file": name, "sha256": digest(os.path.join(data, name))}
                    for name in ("Output.csv", "Extended.csv")],
    }
    with open(os.path.join(data, "Run.json"), "w") as stream:
        json.dump(record, stream, indent=2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory")
    parser.add_argument("--no-extended", action="store_true")
    parser.add_argument("--diverge-at", type=float)
    args = parser.parse_args()
    write(args.directory, not args.no_extended, args.diverge_at)


if __name__ == "__main__":
    main()
