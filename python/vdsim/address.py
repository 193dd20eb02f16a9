"""Addresses of values in a scenario's input files, and the values they take.

A value is addressed as FILE:SECTION[:INDEX]:KEY:

    FILE     Events.ini, {car}.ini or {car}.params; {car} is the car base name
             from the scenario's Events.ini (the literal name works too)
    SECTION  the marker, "[corner]" (the brackets may be left out)
    INDEX    which section of that marker, counted from 1 in file order; needed
             only when the file has more than one ("[corner]:3" is the left
             rear corner, "Events.ini:[event]:2" the second "[event]", whatever
             its kind: events are numbered as the simulator numbers them)
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

A file may hold a marker twice.  "[event]" and "[corner]" sections add up,
but a later "[car]" (in Events.ini and in {car}.ini), "[powertrain]" or
"[params]" replaces the earlier one when the simulator reads the file.  An
address of such a section without INDEX names the last one, the one the
simulator uses; an INDEX of one that a later section replaces is refused
with an AddressError that says which one counts.

Standard library only.
"""

import numbers
import os
import re

from . import inputs
from .inputs import COUNT, FILE_KINDS, LAST_ONE_COUNTS, WORD

EVENTS_FILE = "Events.ini"
CAR_PLACEHOLDER = "{car}"


class AddressError(ValueError):
    """An address that names nothing in the scenario, or a value that does not fit it."""


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

    @property
    def unit(self):
        """The unit of the value, as the input files document it ("Hz", "-")."""
        return inputs.FIELD_UNITS.get(self.item.field, "-")

    def title(self):
        """The value as a reader names it, with its unit: "front ride frequency
        (Hz)", "mount position z (m), corner 3 LR", "frequency (Hz), event 2
        SineSteer"."""
        words = _CAMEL.sub(" ", self.item.field).lower()
        if len(self.item.values) > 1:
            position = self.component
            words += " " + ("xyz"[position] if self.item.triple else str(position + 1))
        where = ""
        if self.section.marker == "[event]" and self.section.items:
            where = ", event %d %s" % (self.section.number, self.section.items[0].values[0].text)
        elif self.section.marker == "[corner]":
            names = inputs.CORNER_NAMES
            where = ", corner %d%s" % (self.section.number, " " + names[self.section.number - 1]
                                       if self.section.number <= len(names) else "")
        return "%s (%s)%s" % (words, self.unit, where)


_UNIT_SUFFIX = re.compile(r"\(.*\)$")
_COMPONENT = re.compile(r"(.+?)(?:\.([xyz])|\[([0-9]+)\])", re.ASCII)
_INDEX = re.compile(r"[0-9]+", re.ASCII)
_CAMEL = re.compile(r"(?<=[a-z0-9])(?=[A-Z])")  # where a camelCase name's words meet


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


def resolve(address, car, file_kind, sections):
    """The Target of an address FILE:SECTION[:INDEX]:KEY in the scenario of
    car base name `car`, whose file_kind(name) gives "events", "car",
    "params" or None and sections(name) the sections of a file; AddressError
    if it names nothing there or a value that cannot be set."""
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

    name = os.path.normpath(file_part.replace(CAR_PLACEHOLDER, car))
    kind = file_kind(name)
    if kind is None:
        raise AddressError(
            'unknown file "%s": a sweep changes %s, %s.ini or %s.params ({car} is %s)'
            % (file_part, EVENTS_FILE, CAR_PLACEHOLDER, CAR_PLACEHOLDER, car))
    marker = section_part if section_part.startswith("[") else "[%s]" % section_part
    if marker not in FILE_KINDS[kind]:
        raise AddressError('%s has no section "%s"; its sections are %s'
                           % (name, section_part, ", ".join(FILE_KINDS[kind])))
    found = [s for s in sections(name) if s.marker == marker]
    if not found:
        raise AddressError("%s has no %s section" % (name, marker))
    if marker in LAST_ONE_COUNTS and len(found) > 1:
        if index is not None and 1 <= index < len(found):
            raise AddressError(
                "%s has %d %s sections and the simulator uses only the last (line %d), which "
                "replaces the one at line %d: address it as %s:%s:%s or %s:%s:%d:%s"
                % (name, len(found), marker, found[-1].line, found[index - 1].line, file_part,
                   marker, key, file_part, marker, len(found), key))
        if index is None:
            index = len(found)
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
    return _resolve_key(key, section, name, where)

def _resolve_key(key, section, name, where):
    item = _find_item(key, section, where)
    component = suffix = None
    if item is None:
        match = _COMPONENT.fullmatch(key)
        if match:
            item = _find_item(match.group(1), section, where)
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
