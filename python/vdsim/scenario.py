"""A scenario: the input files of one run, read from a directory, edited by
address, written into a run directory and run.

Values are named by addresses (see vdsim.address).

Standard library only (run() imports the readers of the run's outputs).
"""

import os
import shutil
import warnings

from . import inputs
from .address import CAR_PLACEHOLDER, EVENTS_FILE, AddressError, value_text
from .address import resolve as address_of

DATA_DIR = "Data"


class ScenarioError(Exception):
    """A scenario directory that cannot be read."""


class OverrideWarning(UserWarning):
    """A value set in {car}.ini that {car}.params replaces or scales."""


def scenario_files(directory):
    """Files of a scenario directory, relative, sorted; the "Data" directory
    is left out (every run starts with an empty one)."""
    files = []
    for root, dirs, names in os.walk(directory):
        relative = os.path.relpath(root, directory)
        if relative == ".":
            dirs[:] = [d for d in dirs if d != DATA_DIR]
        dirs.sort()
        files.extend(os.path.normpath(os.path.join(relative, name)) for name in sorted(names))
    return files


# Values of {car}.ini that the loader replaces when {car}.params is read:
# (marker, field, number of a triple or None) -> (what, the parameters it is
# derived from for the front corners (1, 2) and for the rear (3, 4)).
_DERIVED = {
    ("[corner]", "springRate", None): ("spring rate", "frontRideFrequency", "rearRideFrequency"),
    ("[corner]", "damperRate", None): ("damper rate", "frontDampingRatio", "rearDampingRatio"),
    ("[corner]", "mountPosition", 0): ("mount x", "wheelbase and frontWeightFraction",
                                       "wheelbase and frontWeightFraction"),
    ("[corner]", "mountPosition", 1): ("mount y", "frontTrack", "rearTrack"),
}
# ... and the values it multiplies by one of its parameters.
_SCALED = {
    ("[car]", "inertia"): "massScale", ("[car]", "mass"): "massScale",
    ("[car]", "dragFactor"): "aeroScale", ("[car]", "downforceFactor"): "aeroScale",
    ("[corner]", "wheelInertia"): "massScale", ("[corner]", "unsprungMass"): "massScale",
    ("[corner]", "wheelMass"): "massScale",
}


class _Files:
    """The unedited texts of a scenario's input files and their parsed
    sections, read once and shared by a scenario and its copies."""

    def __init__(self, directory):
        self.directory = directory
        self.texts = {}
        self.sections = {}


class Scenario:
    """A scenario directory's files with edits to some of their values.

    Scenario.load(directory) reads it; copy() gives an independent copy;
    set(address, value) edits one value; write(directory) makes a run
    directory; run() runs the simulator on it.
    """

    def __init__(self, files, car, names, edits=None):
        self._files, self.car, self.files = files, car, names
        self._edits = dict(edits or {})  # (file, token start) -> (Target, text)

    @classmethod
    def load(cls, directory):
        """The scenario of a directory; ScenarioError when it is not one."""
        directory = os.fspath(directory)
        if not os.path.isdir(directory):
            raise ScenarioError("%s: not a directory" % directory)
        events = os.path.join(directory, EVENTS_FILE)
        try:
            text = inputs.read_text(events)
        except OSError as error:
            raise ScenarioError("%s: cannot read: %s" % (events, error.strerror)) from None
        car = inputs.event_car_name(text)
        if car is None:
            raise ScenarioError("%s: no [car] section with a car base name" % events)
        files = _Files(directory)
        files.texts[EVENTS_FILE] = text
        return cls(files, car, scenario_files(directory))

    @property
    def directory(self):
        """The directory the scenario was read from."""
        return self._files.directory

    def copy(self):
        """An independent copy: its edits do not change this scenario."""
        return Scenario(self._files, self.car, self.files, self._edits)

    # -- files and addresses

    def file_kind(self, name):
        if name == EVENTS_FILE:
            return "events"
        if name == self.car + ".ini":
            return "car"
        if name == self.car + ".params":
            return "params"
        return None

    def _base_text(self, name):
        """Text of a scenario file as read (once)."""
        texts = self._files.texts
        if name not in texts:
            path = os.path.join(self.directory, name)
            try:
                texts[name] = inputs.read_text(path)
            except OSError as error:
                raise AddressError("cannot read %s: %s" % (path, error.strerror)) from None
        return texts[name]

    def sections(self, name):
        """Sections of a scenario file as read."""
        parsed = self._files.sections
        if name not in parsed:
            parsed[name] = inputs.parse_sections(self._base_text(name), self.file_kind(name))
        return parsed[name]

    def text(self, name):
        """Text of a scenario file with this scenario's edits."""
        replacements = [(target.token, text) for (file_name, _), (target, text)
                        in self._edits.items() if file_name == name]
        return inputs.rewrite(self._base_text(name), replacements)

    def resolve(self, address):
        """The Target of an address; AddressError if it names nothing in this
        scenario or a value that cannot be set."""
        return address_of(address, self.car, self.file_kind, self.sections)

    def _current(self, file_name, token):
        """The text of a token with this scenario's edits."""
        return self._edits.get((file_name, token.start), (None, token.text))[1]

    def get(self, address):
        """The text of an addressed value, with this scenario's edits."""
        target = self.resolve(address)
        return self._current(target.file_name, target.token)

    def set(self, address, value):
        """Set an addressed value: a str is written as given, a number in its
        shortest exact form.  AddressError for an address that names nothing or
        a value that does not fit; an OverrideWarning when {car}.params replaces
        or scales the value (see override_note)."""
        target = self.resolve(address)
        text = value_text(target.kind, value)
        self._edits[target.identity()] = (target, text)
        note = self.override_note(target)
        if note:
            warnings.warn(note, OverrideWarning, stacklevel=2)

    def override_note(self, target):
        """Why a value of {car}.ini does not reach the car as written when
        {car}.params is present; None when it does."""
        params = self.car + ".params"
        if target.file_name != self.car + ".ini" or params not in self.files:
            return None
        marker, field = target.section.marker, target.item.field
        derived = _DERIVED.get((marker, field, target.component if target.item.triple else None))
        if derived is not None:
            what, source = derived[0], derived[1 if target.section.number <= 2 else 2]
            return ("%s: %s is present and derives the %s from its %s, so the value set here "
                    "has no effect; set %s.params:[params]:%s instead"
                    % (target.label, params, what, source, CAR_PLACEHOLDER, source.split()[0]))
        scale = _SCALED.get((marker, field))
        if scale is None:
            return None
        factor = self._params_value(scale)
        notes = []
        if _number(factor) != 1.0:
            notes.append("multiplies the value set here by %s %s" % (scale, factor))
        if field == "mass":
            notes.append("derives the spring and damper rates from the mass, keeping the ride "
                         "frequencies")
        if not notes:
            return None
        return "%s: %s is present and %s" % (target.label, params, "; it ".join(notes))

    def _params_value(self, field):
        """The text of a value of {car}.params' [params], with edits; None if absent."""
        for section in self.sections(self.car + ".params"):
            item = section.item(field)
            if item is not None:
                return self._current(self.car + ".params", item.values[0])
        return None

    def wheelbase(self):
        """Front to rear axle (m): {car}.params' wheelbase when the file is
        present, else the mean front mount x less the mean rear mount x of
        {car}.ini; nan when neither can be read."""
        car = self.car + ".ini"
        try:
            if self.car + ".params" in self.files:
                return _number(self._params_value("wheelbase"))
            mounts = [s.item("mountPosition") for s in self.sections(car) if s.marker == "[corner]"]
        except AddressError:
            return float("nan")
        x = [_number(self._current(car, item.values[0])) for item in mounts[:4] if item]
        if len(x) < 4:
            return float("nan")
        return 0.5 * (x[0] + x[1]) - 0.5 * (x[2] + x[3])

    # -- directories and runs

    def write(self, directory):
        """Write the scenario's files, edited, into a directory (created if
        needed) and an empty Data/ beside them; other files there stay."""
        edited = {file_name for file_name, _ in self._edits}
        os.makedirs(os.path.join(directory, DATA_DIR), exist_ok=True)
        for name in self.files:
            target = os.path.join(directory, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if name in edited:
                inputs.write_text(target, self.text(name))
            else:
                shutil.copyfile(os.path.join(self.directory, name), target)

    def run(self, extended=True, dir=None, vdsim=None, max_time=None, timeout=None):
        """Run the simulator on this scenario and return its Run (see
        vdsim.simulator.run_scenario): in `dir` (created; kept) or in a
        temporary directory that is removed once the outputs are read."""
        from . import simulator
        return simulator.run_scenario(self, extended=extended, directory=dir, vdsim=vdsim,
                                      max_time=max_time, timeout=timeout)


def _number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return float("nan")


def run_wheelbase(csv_path, record=None):
    """The wheelbase (m) of the scenario a run's Output.csv belongs to (the
    directory above its Data/); nan when that is not a scenario, or when
    Run.json shows that its car files changed since the run."""
    directory = os.path.dirname(os.path.dirname(os.path.abspath(csv_path)))
    try:
        scenario = Scenario.load(directory)
    except ScenarioError:
        return float("nan")
    for entry in (record or {}).get("inputs") or ():
        name = entry.get("file") if isinstance(entry, dict) else None
        if name in (scenario.car + ".ini", scenario.car + ".params"):
            if _digest(os.path.join(directory, name)) != entry.get("sha256"):
                return float("nan")
    return scenario.wheelbase()


def _digest(path):
    try:
        return inputs.file_sha256(path)
    except OSError:
        return None
