"""vdsim from Python: scenarios edited by address, runs of the simulator,
their outputs as NumPy arrays, and the metrics of their maneuvers.

    import vdsim
    base = vdsim.Scenario.load("examples/skidpad")
    s = base.copy()
    s.set("{car}.params:[params]:frontRideFrequency", 1.2)
    run = s.run(extended=True)
    run.status, run.metrics()["understeer_gradient_deg_per_g"]
    run.output["Lat. Accel (m/s2)"], run.event(2), run.frame()
    vdsim.load_run("examples/skidpad").event_metrics()
    rows = vdsim.sweep(base.directory, {"{car}.ini:[car]:antiRollRear": [4000, 16000]},
                       "arb-sweep")   # one dict per run, as summary.csv

The names below load their modules when first used, so that the command-line
tools can check for NumPy before anything imports it.
"""

import importlib

__version__ = "0.1.0"  # the simulator's version: the project version of CMakeLists.txt

_EXPORTS = {
    "Scenario": "scenario", "AddressError": "address", "ScenarioError": "scenario",
    "OverrideWarning": "scenario", "InputWarning": "scenario",
    "Run": "simulator", "SimulatorError": "simulator",
    "read_output": "output", "read_extended": "output", "read_record": "output",
    "load_run": "output", "RunData": "output", "OutputError": "output",
    "sweep": "sweep_api", "SweepError": "sweep_file",
}
__all__ = sorted(_EXPORTS)


def __getattr__(name):
    if name in _EXPORTS:
        return getattr(importlib.import_module("." + _EXPORTS[name], __name__), name)
    raise AttributeError("module 'vdsim' has no attribute %r" % name)


def __dir__():
    """The API: the names above, their modules loaded only when used."""
    return sorted(__all__ + ["__version__"])
