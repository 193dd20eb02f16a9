"""A scenario: the input files of one run, read from a directory, edited by
address, written into a run directory and run.

A value is addressed as FILE:SECTION[:INDEX]:KEY:

    FILE     Events.ini, {car}.ini or {car}.params; {car} is the car base name
             from the scenario's Events.ini (the literal name works too)
    SECTION  the marker, "[corner]" (the brackets may be left out)
    INDEX    which section of that marker, counted from 1 in file order; needed
             only when the file has more than one ("[corner]:3" is the left
             rear corner, "Events.ini:[event]:2" the second "[event]")
    KEY      the item: its key token as written in the file
             ("antiRollRear(N/m)"), that key without its "(unit)" suffix
             ("antiRollRear"), or the item's field name ("antiRollRateRear")
             - tried in this order.  One number of a keyed triple is KEY.x,
             KEY.y, KEY.z or KEY[1], KEY[2], KEY[3] ("mount.z").  The bare
             numbers of "[powertrain]" are torqueCoefficients[k] (k = 1 is the
             highest power) and gearRatio[k] (k = 1 is first gear).

The car base name, the event kind and the two counts of "[powertrain]"
(torqueOrder, gearCount) cannot be set: they change which files are read or
how the rest of the section is laid out.

Standard library only (run() imports the readers of the run's outputs).
"""

import hashlib
import numbers
import os
import re
import shutil
import warnings

from . import inputs
from .inputs import COUNT, FILE_KINDS, WORD

EVENTS_FILE = "Events.ini"
CAR_PLACEHOLDER = "{car}"
DATA_DIR = "Data"


class ScenarioError(Exception):
    """A scenario directory that cannot be read."""


class AddressError(ValueError):
    """An address that names nothing in the scenario, or a value that does not fit it."""


class OverrideWarning(UserWarning):
    """A value set in {car}.ini that {car}.params replaces or scales."""


class Target:
    """One addressed value: the file (name in the scenario), the section, the
    item, the token to replace, the kind of value it takes and a label for
    messages."""

    def __init__(self, file_name, section, item, token, label):
        self.file_name, self.section, self.item, self.token, self.label = (
            file_name, section, item, token, label)

    @property
    def kind(self):
        return self.item.kind

    @property
    def component(self):
        """Which number of the item (0-based) the target is."""
        return self.item.values.index(self.token)

    def identity(self):
        return (self.file_name, self.token.start)


_UNIT_SUFFIX = re.compile(r"\(.*\)$")
_COMPONENT = re.compile(r"(.+?)(?:\.([xyz])|\[([0-9]+)\])", re.ASCII)
_INDEX = re.compile(r"[0-9]+", re.ASCII)


def _item_names(item):
    """Names of an item, in order of precedence: key token, key without its
    "(unit)" suffix, field name."""
    if item.key is None:
        return (None, None, item.field)
    stem = _UNIT_SUFFIX.sub("", item.key.text)
    return (item.key.text, stem if stem else None, item.field)


def _known_items(section):
    if not section.items:
        return "the section has no items"
    keys = ", ".join(item.key.text if item.key is not None else item.field + "[k]"
                     for item in section.items)
    fields = ", ".join(item.field + ("[k]" if item.is_list else "")
                       for item in section.items)
    return "its keys are %s (field names %s)" % (keys, fields)


def value_text(kind, value):
    """The text written for a value: a str as given, an int in decimal, a
    float in the shortest form that reads back the same.  AddressError when
    it is not a valid value of this kind."""
    if isinstance(value, str):
        text = value
    elif isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise AddressError("expected a number, found %r" % (value,))
    elif isinstance(value, numbers.Integral):
        text = str(int(value))
    else:
        text = repr(float(value))
    problem = inputs.check_value(kind, text)
    if problem:
        raise AddressError(problem)
    return text


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
        """The Target of an address FILE:SECTION[:INDEX]:KEY; AddressError if it
        names nothing in this scenario or a value that cannot be set."""
        parts = address.split(":")
        if len(parts) < 3 or not all(parts[:3]):
            raise AddressError('"%s" is not an address FILE:SECTION[:INDEX]:KEY' % address)
        file_part, section_part = parts[0].strip(), parts[1].strip()
        index = None
        if len(parts) >= 4 and _INDEX.fullmatch(parts[2].strip()):
            index = int(parts[2])
            key = ":".join(parts[3:]).strip()
        else:
            key = ":".join(parts[2:]).strip()
        if not key:
            raise AddressError('"%s" has no KEY' % address)

        name = file_part.replace(CAR_PLACEHOLDER, self.car)
        kind = self.file_kind(name)
        if kind is None:
            raise AddressError(
                'unknown file "%s": a sweep changes %s, %s.ini or %s.params ({car} is %s)'
                % (file_part, EVENTS_FILE, CAR_PLACEHOLDER, CAR_PLACEHOLDER, self.car))
        marker = section_part if section_part.startswith("[") else "[%s]" % section_part
        if marker not in FILE_KINDS[kind]:
            raise AddressError('%s has no section "%s"; its sections are %s'
                               % (name, section_part, ", ".join(FILE_KINDS[kind])))
        found = [s for s in self.sections(name) if s.marker == marker]
        if not found:
            raise AddressError("%s has no %s section" % (name, marker))
        if index is None:
            if len(found) > 1:
                raise AddressError(
                    "%s has %d %s sections: give one by number, %s:%s:1:%s to %s:%s:%d:%s"
                    % (name, len(found), marker, file_part, marker, key, file_part, marker,
                       len(found), key))
            section = found[0]
        elif not 1 <= index <= len(found):
            raise AddressError("%s has %d %s section%s (numbered from 1), not %d"
                               % (name, len(found), marker, "" if len(found) == 1 else "s",
                                  index))
        else:
            section = found[index - 1]
        where = "%s %s" % (name, section.label())
        return self._resolve_key(key, section, name, where)

    def _resolve_key(self, key, section, name, where):
        item = self._find_item(key, section, where)
        component = suffix = None
        if item is None:
            match = _COMPONENT.fullmatch(key)
            if match:
                item = self._find_item(match.group(1), section, where)
                component = match.group(2) or match.group(3)
                suffix = key[len(match.group(1)):]
        if item is None:
            raise AddressError('no item "%s" in %s; %s' % (key, where, _known_items(section)))
        label = "%s, %s" % (where, item.key.text if item.key is not None else item.field)
        if item.kind == WORD:
            raise AddressError("%s is a name, not a number: it cannot be swept" % label)
        if item.kind == COUNT:
            raise AddressError(
                "%s counts the numbers that follow it, so it sets the layout of the rest of "
                "the section: it cannot be swept (edit the base file instead)" % label)
        if len(item.values) == 1 and not item.is_list:
            if component is not None:
                raise AddressError('%s is a single value: address it without "%s"'
                                   % (label, suffix))
            return Target(name, section, item, item.values[0], label)
        if component is None:
            if item.triple:
                raise AddressError(
                    "%s holds three numbers: address one as KEY.x, KEY.y, KEY.z "
                    "or KEY[1] to KEY[3]" % label)
            raise AddressError("%s is a list of %d numbers: address one as %s[1] to %s[%d]"
                               % (label, len(item.values), item.field, item.field,
                                  len(item.values)))
        if component in "xyz":
            if not item.triple:
                raise AddressError("%s is a list: address its numbers as %s[1] to %s[%d]"
                                   % (label, item.field, item.field, len(item.values)))
            position = "xyz".index(component)
        else:
            position = int(component) - 1
            if not 0 <= position < len(item.values):
                raise AddressError("%s has %d numbers (numbered from 1), not %s"
                                   % (label, len(item.values), component))
        return Target(name, section, item, item.values[position],
                      "%s, value %d" % (label, position + 1))

    @staticmethod
    def _find_item(name, section, where):
        """The item called name (key token, key stem, field name, in that order)."""
        for tier in range(3):
            matches = [item for item in section.items if _item_names(item)[tier] == name]
            if len(matches) > 1:
                raise AddressError('"%s" names %d items of %s: use the field names (%s)'
                                   % (name, len(matches), where,
                                      ", ".join(item.field for item in matches)))
            if matches:
                return matches[0]
        return None

    # -- values

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
            if _sha256(os.path.join(directory, name)) != entry.get("sha256"):
                return float("nan")
    return scenario.wheelbase()


def _sha256(path):
    try:
        with open(path, "rb") as stream:
            return hashlib.sha256(stream.read()).hexdigest()
    except OSError:
        return None
