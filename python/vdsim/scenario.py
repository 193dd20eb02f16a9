"""A scenario: the input files of one run, read from a directory, edited by
address, written into a run directory and run.

Values are named by addresses (see vdsim.address).

A scenario's inputs are the files the simulator reads: Events.ini, the car
files {car}.ini and {car}.params (when present) and the tire file.
Scenario.load reads them once, and nothing else in the directory: a run
directory is written from those texts.  It warns (InputWarning) of what the
simulator ignores in Events.ini that looks like a typing slip: an event of an
unknown kind, or a token such as "[Event]" that is not a section marker.

A car name that is not a plain path down from the scenario's directory (an
absolute path or one through "..", such as ../cars/Sedan, for cars kept in a
shared folder) is read from there; its files can be edited like any other,
and a run directory gets them under the car's base name ("Sedan.ini"), with
its Events.ini naming that car, so that every input of a run, edits
included, is in its own directory.

Standard library only (run() imports the readers of the run's outputs).
"""

import os
import warnings

from . import inputs
from .address import CAR_PLACEHOLDER, EVENTS_FILE, AddressError, value_text
from .address import resolve as address_of

DATA_DIR = "Data"
TIRE_FILE = "Goodyear2692x7.pkj"  # the tire coefficients every run reads


class ScenarioError(Exception):
    """A scenario directory that cannot be read, or a run directory it cannot be written into."""


class OverrideWarning(UserWarning):
    """A value set in {car}.ini that {car}.params replaces or scales."""


class InputWarning(UserWarning):
    """Something in an input file that the simulator ignores and that may be a
    slip: an event of an unknown kind, a misspelled section marker."""


def _car_files(car):
    """The names of a car's two files in a scenario, and whether they are
    carried into a run directory under the car's base name: the names are
    normalized paths, relative to the scenario's directory unless absolute."""
    path = os.path.normpath(car)
    carried = os.path.isabs(car) or any(part in ("", ".", "..") for part in car.split("/"))
    return path + ".ini", path + ".params", carried


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
    """The unedited texts of a scenario's input files as read at load and
    their parsed sections, shared by a scenario and its copies."""

    def __init__(self, directory):
        self.directory = directory
        self.texts = {}
        self.sections = {}


class Scenario:
    """A scenario directory's input files with edits to some of their values.

    Scenario.load(directory) reads it; copy() gives an independent copy;
    set(address, value) edits one value; write(directory) makes a run
    directory; run() runs the simulator on it.  `files` names the input
    files present, sorted.
    """

    def __init__(self, files, car, names, edits=None):
        self._files, self.car, self.files = files, car, names
        self._edits = dict(edits or {})  # (file, token start) -> (Target, text)
        self._car_ini, self._car_params, self._carried = _car_files(car)

    @classmethod
    def load(cls, directory):
        """The scenario of a directory; ScenarioError when it is not one or an
        input cannot be read; an InputWarning for each event or marker of
        Events.ini that the simulator ignores and that looks like a slip."""
        directory = os.fspath(directory)
        if not os.path.isdir(directory):
            raise ScenarioError("%s: not a directory" % directory)
        files = _Files(directory)
        path = os.path.join(directory, EVENTS_FILE)
        text = files.texts[EVENTS_FILE] = _read_input(path)
        notes = []
        try:
            sections = files.sections[EVENTS_FILE] = inputs.parse_sections(text, "events", notes)
        except inputs.InputError as error:
            raise ScenarioError("%s:%d: %s" % (path, error.line, error.message)) from None
        car = inputs.car_name(sections)
        if car is None:
            raise ScenarioError("%s: no [car] section with a car base name" % path)
        names = [EVENTS_FILE]
        for name, written in zip(_car_files(car)[:2] + (TIRE_FILE,),
                                 (car + ".ini", car + ".params", TIRE_FILE)):
            path = os.path.join(directory, written)  # as the simulator opens it
            if os.path.exists(path):
                files.texts[name] = _read_input(path)
                names.append(name)
        for line, note in notes:
            warnings.warn("%s:%d: %s" % (EVENTS_FILE, line, note), InputWarning, stacklevel=2)
        return cls(files, car, sorted(names))

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
        if name == self._car_ini:
            return "car"
        if name == self._car_params:
            return "params"
        return None

    def _base_text(self, name):
        """Text of a scenario file as read."""
        if name not in self._files.texts:
            raise AddressError("cannot read %s: No such file or directory"
                               % os.path.join(self.directory, name))
        return self._files.texts[name]

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

    def sha256(self, name):
        """The SHA-256 of a scenario file as read, in hex."""
        return inputs.sha256_text(self._base_text(name))

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
        params = os.path.basename(self._car_params)
        if target.file_name != self._car_ini or self._car_params not in self.files:
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
        """The text of a value of {car}.params' last [params] (the one the
        simulator uses), with edits; None if absent."""
        for section in reversed(self.sections(self._car_params)):
            item = section.item(field)
            if item is not None:
                return self._current(self._car_params, item.values[0])
        return None

    def wheelbase(self):
        """Front to rear axle (m): {car}.params' wheelbase when the file is
        present, else the mean front mount x less the mean rear mount x of
        {car}.ini; nan when neither can be read."""
        car = self._car_ini
        try:
            if self._car_params in self.files:
                return _number(self._params_value("wheelbase"))
            mounts = [s.item("mountPosition") for s in self.sections(car) if s.marker == "[corner]"]
        except AddressError:
            return float("nan")
        x = [_number(self._current(car, item.values[0])) for item in mounts[:4] if item]
        if len(x) < 4:
            return float("nan")
        return 0.5 * (x[0] + x[1]) - 0.5 * (x[2] + x[3])

    # -- directories and runs

    def _written_name(self, name):
        """Where an input file goes in a run directory, relative to it."""
        if self._carried and name in (self._car_ini, self._car_params):
            return os.path.basename(name)
        return name

    def _run_text(self, name):
        """The text written for an input: with the edits, and for Events.ini of
        a carried car, naming the car by its base name."""
        text = self.text(name)
        if name == EVENTS_FILE and self._carried:
            last = [s for s in self.sections(EVENTS_FILE) if s.marker == "[car]" and s.items][-1]
            token = last.items[0].values[0]
            text = inputs.rewrite(text, [(token, os.path.basename(os.path.normpath(self.car)))])
        return text

    def check_run_directory(self, directory):
        """ScenarioError when writing the scenario into `directory` could
        change its own files: the scenario's directory, a directory inside it
        or one that holds it, or one where a file written would replace an
        input (a car's shared folder)."""
        run = os.path.realpath(directory)
        base = os.path.realpath(self.directory)
        where = "cannot write the scenario of %s into %s" % (self.directory, directory)
        if run == base:
            raise ScenarioError("%s: it is the scenario's own directory" % where)
        if os.path.commonpath([run, base]) == base:
            raise ScenarioError("%s: it lies inside the scenario's directory %s" % (where, base))
        if os.path.commonpath([run, base]) == run:
            raise ScenarioError("%s: it holds the scenario's directory %s" % (where, base))
        sources = {os.path.realpath(os.path.join(self.directory, name)) for name in self.files}
        for name in self.files:
            written = os.path.join(run, self._written_name(name))
            if written in sources:
                raise ScenarioError("%s: %s would replace the scenario's input of that name"
                                    % (where, written))

    def write(self, directory):
        """Write the scenario's inputs, edited, into a run directory (created
        if needed) with a Data/ directory for the outputs.

        The directory is left holding exactly this scenario's inputs: each is
        written as a new file renamed into place (a symbolic link there is
        replaced, never written through, and so is a linked Data/ or car
        folder), and an input this scenario does not have, such as a
        {car}.params of an earlier scenario, is removed so that it cannot take
        part in the run.  Everything else there is left alone: other files and
        directories, other cars' files, and the outputs in Data/, which the
        next run replaces.  ScenarioError, before anything is written, for a
        directory that check_run_directory refuses; OSError when writing fails.
        """
        directory = os.fspath(directory)
        self.check_run_directory(directory)
        os.makedirs(directory, exist_ok=True)
        _real_directory(directory, DATA_DIR)
        for name in (EVENTS_FILE, self._car_ini, self._car_params, TIRE_FILE):
            written = self._written_name(name)
            _real_directory(directory, os.path.dirname(written))
            path = os.path.join(directory, written)
            if name in self.files:
                inputs.replace_file(path, self._run_text(name))
            elif os.path.islink(path) or os.path.isfile(path):
                os.remove(path)

    def run(self, extended=True, dir=None, vdsim=None, max_time=None, timeout=None):
        """Run the simulator on this scenario and return its Run (see
        vdsim.simulator.run_scenario): in `dir` (written as write() does, and
        kept) or in a temporary directory that is removed once the outputs are
        read.  SimulatorError, before anything is written, for a `dir` that
        write() refuses."""
        from . import simulator
        return simulator.run_scenario(self, extended=extended, directory=dir, vdsim=vdsim,
                                      max_time=max_time, timeout=timeout)


def _read_input(path):
    """An input file's text; ScenarioError when it cannot be read or is not a regular file."""
    try:
        return inputs.read_text(path)
    except OSError as error:
        raise ScenarioError("%s: cannot read: %s" % (path, error.strerror or error)) from None


def _real_directory(root, relative):
    """Make root/relative a directory whose every step below root is a real
    directory: a symbolic link on the way is replaced by an empty directory."""
    path = root
    for part in relative.split(os.sep) if relative else ():
        path = os.path.join(path, part)
        if os.path.islink(path):
            os.remove(path)
        if not os.path.isdir(path):
            os.mkdir(path)


def _number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return float("nan")


def scenario_of_run(csv_path):
    """The Scenario a run's Output.csv belongs to (the directory above its
    Data/), read without its warnings; None when that is not a scenario."""
    directory = os.path.dirname(os.path.dirname(os.path.abspath(csv_path)))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", InputWarning)
            return Scenario.load(directory)
    except ScenarioError:
        return None


def run_wheelbase(csv_path, record=None, scenario=None):
    """The wheelbase (m) of the scenario a run's Output.csv belongs to
    (`scenario`, or else scenario_of_run); nan when that is not a scenario, or
    when Run.json shows that its car files changed since the run."""
    scenario = scenario or scenario_of_run(csv_path)
    if scenario is None:
        return float("nan")
    # Run.json names the car files as the simulator opened them.
    names = {scenario.car + ".ini": scenario._car_ini,
             scenario.car + ".params": scenario._car_params}
    entries = (record or {}).get("inputs")
    for entry in entries if isinstance(entries, list) else ():
        recorded = entry.get("file") if isinstance(entry, dict) else None
        name = names.get(recorded) if isinstance(recorded, str) else None
        if name is not None:
            digest = scenario.sha256(name) if name in scenario.files else None
            if digest != entry.get("sha256"):
                return float("nan")
    return scenario.wheelbase()
