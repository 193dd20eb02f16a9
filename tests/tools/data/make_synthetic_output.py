#!/usr/bin/env python3
"""Write a synthetic but plausible "Data/Output.csv" for trying vdsim-plot.

The run: a launch through the gears to 33 m/s, a steady-state turn whose
radius shrinks so the lateral acceleration ramps from about 1.5 to 7.5 m/s2,
a hard stop, and a short straight.  Loads follow simple load transfer; the
numbers only need to look like a car, not to come from the simulator.
The file has the simulator's format: 21 "%f," cells per line, rows every
100 steps of 1 ms, time of each row's last step.

    make_synthetic_output.py OUT.csv [--diverge-at SECONDS]

--diverge-at makes every cell after that time read nan, -nan or inf, as a
diverged run's would.
"""

import argparse
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "tools"))
from vdsim_output import CHANNEL_NAMES  # noqa: E402

GEAR_RATIOS = (3.2, 2.1, 1.5, 1.15, 0.95)  # overall ratio incl. final drive / 3.7
FINAL_DRIVE = 3.7
WHEEL_RADIUS = 0.32  # m
SHIFT_RPM = 6200.0
MASS = 1500.0  # kg
STATIC_FRONT, STATIC_REAR = 3900.0, 3450.0  # N per wheel
CG_HEIGHT, WHEELBASE, TRACK = 0.5, 2.6, 1.55  # m
WHEEL_RATE = 30000.0  # N/m


def vehicle_state(t):
    """Ground speed (m/s), long. accel and lat. accel (m/s2) at time t (s)."""
    if t < 15.0:  # launch: accel fades with speed
        a = 3.5 * (1.0 - t / 20.0)
        v = 3.5 * (t - t * t / 40.0)
        return v, a, 0.0
    v15 = 3.5 * (15.0 - 225.0 / 40.0)
    if t < 17.0:  # settle onto the turn entry speed
        return v15, 0.0, 0.0
    if t < 42.0:  # steady-state turn, radius shrinking
        lat = 1.5 + 6.0 * (t - 17.0) / 25.0 + 0.05 * math.sin(3.0 * t)
        return v15, 0.0, lat
    if t < 42.5:  # turn exit
        return v15, 0.0, 7.5 * (42.5 - t) / 0.5
    stop_time = v15 / 8.5
    if t < 42.5 + stop_time:  # hard stop
        return v15 - 8.5 * (t - 42.5), -8.5, 0.0
    return 0.0, 0.0, 0.0


def engine_speed(t, v):
    """Engine speed (rpm) with up-shifts at SHIFT_RPM, as the driver would shift."""
    wheel_rpm = v / WHEEL_RADIUS * 60.0 / (2.0 * math.pi)
    for ratio in GEAR_RATIOS:
        rpm = wheel_rpm * ratio * FINAL_DRIVE
        if rpm < SHIFT_RPM:
            return max(rpm, 900.0)
    return wheel_rpm * GEAR_RATIOS[-1] * FINAL_DRIVE


def row(t):
    """The 21 channel values at time t, in column order."""
    v, ax, ay = vehicle_state(t)
    rpm = engine_speed(t, v)
    long_transfer = MASS * ax * CG_HEIGHT / WHEELBASE / 2.0  # per wheel, to the rear
    lat_transfer = MASS * ay * CG_HEIGHT / TRACK / 2.0  # per axle side, to the right
    bump = 40.0 * math.sin(7.0 * t)  # road texture
    fz = [STATIC_FRONT - long_transfer - 0.55 * lat_transfer + bump,
          STATIC_FRONT - long_transfer + 0.55 * lat_transfer - bump,
          STATIC_REAR + long_transfer - 0.45 * lat_transfer - bump,
          STATIC_REAR + long_transfer + 0.45 * lat_transfer + bump]
    deflection = [-f / WHEEL_RATE for f in fz]
    mount = [0.92 * f for f in fz]
    hub = [math.hypot(f, MASS * math.hypot(ax, ay) / 4.0) for f in fz]
    return [t, v, rpm, ay, ax] + fz + deflection + mount + hub


def write(path, diverge_at=None, duration=50.0, dt=0.001):
    """Write the synthetic run to `path`."""
    rows = int(round(duration / (100 * dt)))
    spoilt = ("nan", "-nan", "inf", "-nan")
    with open(path, "w") as out:
        out.write("".join(name + "," for name in CHANNEL_NAMES) + "\n")
        for r in range(1, rows + 1):
            t = (100 * r - 1) * dt
            values = ["%f" % value for value in row(t)]
            if diverge_at is not None and t > diverge_at:
                values[1:] = [spoilt[(r + i) % len(spoilt)] for i in range(20)]
            out.write("".join(value + "," for value in values) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output")
    parser.add_argument("--diverge-at", type=float)
    args = parser.parse_args()
    write(args.output, args.diverge_at)


if __name__ == "__main__":
    main()
