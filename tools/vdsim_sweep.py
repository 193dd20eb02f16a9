"""Parameter sweeps of vdsim: addressing, file rewriting, sweep files, run
directories, GNU parallel and the summary of a sweep.

The tool tools/vdsim-sweep is a thin command line over main() here; tests
import the pieces.

Input files are streams of tokens separated by white space.  A section starts
at its marker token ("[car]", "[event]", "[powertrain]", "[corner]",
"[params]") and holds a fixed sequence of items, each a key token (ignored by
the simulator) followed by its value or values; inside "[powertrain]" the
torque coefficients and gear ratios are bare numbers after their count.  This
module reads the files the same way, keeping the position of every token, so
that one value can be replaced by other text while every other byte of the
file stays as it was.

A parameter is addressed as FILE:SECTION[:INDEX]:KEY:

    FILE     Events.ini, {car}.ini or {car}.params; {car} is the car base name
             from the base scenario's Events.ini (the literal name works too)
    SECTION  the marker, "[corner]" (the brackets may be left out)
    INDEX    which section of that marker, counted from 1 in file order; needed
             only when the file has more than one ("[corner]:3" is the left
             rear corner, "Events.ini:[event]:2" the second "[event]")
    KEY      the item: its key token as written in the base file
             ("antiRollRear(N/m)"), that key without its "(unit)" suffix
             ("antiRollRear"), or the item's field name ("antiRollRateRear")
             - tried in this order.  One number of a keyed triple is KEY.x,
             KEY.y, KEY.z or KEY[1], KEY[2], KEY[3] ("mount.z").  The bare
             numbers of "[powertrain]" are torqueCoefficients[k] (k = 1 is the
             highest power) and gearRatio[k] (k = 1 is first gear).

The car base name, the event kind and the two counts of "[powertrain]"
(torqueOrder, gearCount) cannot be swept: they change which files are read or
how the rest of the section is laid out.

The public entry point for the command line is main(argv).
"""

import csv
import hashlib
import itertools
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
import vdsim_output  # noqa: E402

PROG = "vdsim-sweep"
EVENTS_FILE = "Events.ini"
CAR_PLACEHOLDER = "{car}"

# ---------------------------------------------------------------------------
# Errors


class SweepError(Exception):
    """A problem that stops the sweep before or after running; printed as
    "vdsim-sweep: MESSAGE" with exit status `status`."""

    def __init__(self, message, status=2):
        super().__init__(message)
        self.status = status


class AddressError(Exception):
    """An address or value that does not fit the base scenario; the caller
    adds the sweep file's name and line."""


# ---------------------------------------------------------------------------
# Tokens

# White space as the simulator's token reader sees it (C's "%s").
_TOKEN = re.compile(r"[^ \t\n\v\f\r]+")


class Token:
    """One token of a file: its text, character span and 1-based line."""

    __slots__ = ("text", "start", "end", "line")

    def __init__(self, text, start, end, line):
        self.text, self.start, self.end, self.line = text, start, end, line

    def __repr__(self):
        return "Token(%r, %d, %d, line %d)" % (self.text, self.start, self.end, self.line)


def tokenize(text):
    """All tokens of text, in order, with their spans and lines."""
    tokens = []
    line = 1
    position = 0
    for match in _TOKEN.finditer(text):
        line += text.count("\n", position, match.start())
        position = match.start()
        tokens.append(Token(match.group(), match.start(), match.end(), line))
    return tokens


# Numbers as the files hold them: decimal, optional sign, fraction, exponent.
_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
# Integers as C's "%i" reads them: 0x.. hexadecimal, a leading 0 octal.
_INTEGER = re.compile(r"[+-]?(?:0[xX][0-9a-fA-F]+|0[0-7]*|[1-9][0-9]*)")
FLOAT_MAX = 3.4028234663852886e38  # largest finite 32-bit float
INT_MIN, INT_MAX = -2 ** 31, 2 ** 31 - 1


def c_integer(text):
    """The value of an integer token read with "%i" semantics, or None."""
    if not _INTEGER.fullmatch(text):
        return None
    sign = -1 if text[0] == "-" else 1
    digits = text.lstrip("+-")
    if digits[:2] in ("0x", "0X"):
        return sign * int(digits[2:], 16)
    if len(digits) > 1 and digits[0] == "0":
        return sign * int(digits, 8)
    return sign * int(digits)


def check_value(kind, text):
    """None when text is a valid value of an item of this kind, else the reason."""
    if kind == NUMBER:
        if not _NUMBER.fullmatch(text):
            return 'expected a number, found "%s"' % text
        if not abs(float(text)) <= FLOAT_MAX:
            return 'number out of range of a 32-bit float: "%s"' % text
        return None
    if not _INTEGER.fullmatch(text):
        return 'expected an integer, found "%s"' % text
    if not INT_MIN <= c_integer(text) <= INT_MAX:
        return 'integer out of range: "%s"' % text
    return None


# ---------------------------------------------------------------------------
# File layouts

# Kinds of values.
NUMBER = "number"  # "%f"
INTEGER = "integer"  # "%i"
WORD = "word"  # "%s": a name, not swept
COUNT = "count"  # "%i" giving the length of the bare list after it, not swept


class Item:
    """One item of a section as read from a base file.

    field   its name in the Vehicle or event ("springRate")
    key     its key token, or None for a bare list
    kind    NUMBER, INTEGER, WORD or COUNT: the kind of each value
    values  its value tokens (one, three for a triple, N for a bare list)
    triple  True for a keyed triple
    """

    def __init__(self, field, key, kind, values, triple=False):
        self.field, self.key, self.kind, self.values, self.triple = (
            field, key, kind, values, triple)

    @property
    def is_list(self):
        return self.key is None


class Section:
    """One section: its marker, 1-based number among sections of that marker,
    the line of the marker and the items read (fewer when the file ends early)."""

    def __init__(self, marker, number, line):
        self.marker, self.number, self.line = marker, number, line
        self.items = []

    def label(self):
        return "%s %d" % (self.marker, self.number)


class _Cursor:
    """Reads tokens one at a time; None past the end."""

    def __init__(self, tokens):
        self.tokens, self.position = tokens, 0

    def take(self):
        if self.position >= len(self.tokens):
            return None
        self.position += 1
        return self.tokens[self.position - 1]


def _keyed(cursor, section, field, kind, count=1):
    """Reads a key and `count` values into a new item of section; False at end of file."""
    key = cursor.take()
    values = [cursor.take() for _ in range(count)] if key is not None else [None]
    if key is None or None in values:
        return False
    section.items.append(Item(field, key, kind, values, triple=count == 3))
    return True


def _bare_list(cursor, section, field, length):
    """Reads `length` bare numbers into a new item; False at end of file."""
    values = [cursor.take() for _ in range(length)]
    if None in values:
        return False
    section.items.append(Item(field, None, NUMBER, values))
    return True


def _read_keyed_items(cursor, section, layout):
    for field, kind, count in layout:
        if not _keyed(cursor, section, field, kind, count):
            return


# Event file: "[car]" and "[event]" with its values by kind.
EVENT_CAR_LAYOUT = (("name", WORD, 1), ("timeStep", NUMBER, 1))
EVENT_FIELDS = {
    "TargetSpeed": ("speed", "duration"),
    "SteerRamp": ("speed", "endSpeed", "startRadius", "endRadius", "duration"),
    "Brake": ("speed",),
}


def _read_event(cursor, section):
    if not _keyed(cursor, section, "kind", WORD):
        return
    for field in EVENT_FIELDS.get(section.items[0].values[0].text, ()):
        if not _keyed(cursor, section, field, NUMBER):
            return


# Car definition file "%s.ini".
CAR_LAYOUT = (
    ("inertia", NUMBER, 3),
    ("mass", NUMBER, 1),
    ("dragFactor", NUMBER, 1),
    ("downforceFactor", NUMBER, 1),
    ("antiRollRateFront", NUMBER, 1),
    ("antiRollRateRear", NUMBER, 1),
    ("chassisReserved", INTEGER, 1),
)
CORNER_LAYOUT = (
    ("wheelInertia", NUMBER, 3),
    ("mountPosition", NUMBER, 3),
    ("unloadedRadius", NUMBER, 1),
    ("unsprungMass", NUMBER, 1),
    ("wheelMass", NUMBER, 1),
    ("springRate", NUMBER, 1),
    ("damperRate", NUMBER, 1),
    ("tireSpringRate", NUMBER, 1),
    ("tireDamperRate", NUMBER, 1),
    ("wheelReserved", INTEGER, 1),
    ("brakeTorqueGain", NUMBER, 1),
)
MAX_LIST = 10000  # a count beyond this is not a list we follow


def _read_powertrain(cursor, section):
    """Count, torque coefficients (count + 1), two speeds, count, gear ratios."""
    def counted_list(count_field, list_field, extra):
        if not _keyed(cursor, section, count_field, COUNT):
            return False
        count = c_integer(section.items[-1].values[0].text)
        if count is None or not 0 <= count + extra <= MAX_LIST:
            return False  # the simulator rejects this file; stop following it
        return _bare_list(cursor, section, list_field, count + extra)

    if not counted_list("torqueOrder", "torqueCoefficients", 1):
        return
    for field in ("maxEngineSpeed", "shiftDownEngineSpeed"):
        if not _keyed(cursor, section, field, NUMBER):
            return
    counted_list("gearCount", "gearRatio", 0)


# Parameter file "%s.params".
PARAMS_LAYOUT = tuple((name, NUMBER, 1) for name in (
    "massScale", "wheelbase", "frontWeightFraction", "frontTrack", "rearTrack",
    "torqueScale", "aeroScale", "frontRideFrequency", "frontDampingRatio",
    "rearRideFrequency", "rearDampingRatio"))

# Section readers per kind of file, by marker.
FILE_KINDS = {
    "events": {"[car]": lambda c, s: _read_keyed_items(c, s, EVENT_CAR_LAYOUT),
               "[event]": _read_event},
    "car": {"[car]": lambda c, s: _read_keyed_items(c, s, CAR_LAYOUT),
            "[powertrain]": _read_powertrain,
            "[corner]": lambda c, s: _read_keyed_items(c, s, CORNER_LAYOUT)},
    "params": {"[params]": lambda c, s: _read_keyed_items(c, s, PARAMS_LAYOUT)},
}


def parse_sections(text, kind):
    """The sections of a file of the given kind ("events", "car", "params").

    Scans like the simulator: a token read by the scan itself that equals one
    of the kind's markers opens a section whose items are read positionally;
    every other token is skipped.
    """
    readers = FILE_KINDS[kind]
    cursor = _Cursor(tokenize(text))
    sections = []
    counts = {}
    while True:
        token = cursor.take()
        if token is None:
            return sections
        reader = readers.get(token.text)
        if reader is None:
            continue
        counts[token.text] = counts.get(token.text, 0) + 1
        section = Section(token.text, counts[token.text], token.line)
        sections.append(section)
        reader(cursor, section)


def rewrite(text, replacements):
    """text with each (token, new_text) replacement made; nothing else changes."""
    pieces = []
    position = 0
    for token, new_text in sorted(replacements, key=lambda pair: pair[0].start):
        pieces.append(text[position:token.start])
        pieces.append(new_text)
        position = token.end
    pieces.append(text[position:])
    return "".join(pieces)


def read_text(path):
    """A file's bytes as text, one character per byte, so rewriting keeps every byte."""
    with open(path, "rb") as stream:
        return stream.read().decode("latin-1")


def write_text(path, text):
    with open(path, "wb") as stream:
        stream.write(text.encode("latin-1"))


# ---------------------------------------------------------------------------
# The base scenario and addresses


def event_car_name(text):
    """Car base name of the last "[car]" section of an event file's text, or None."""
    names = [s.items[0].values[0].text
             for s in parse_sections(text, "events") if s.marker == "[car]" and s.items]
    return names[-1] if names else None


class Target:
    """One addressed value: the file (name in the scenario), the token to
    replace, the kind of value it takes and a label for messages."""

    def __init__(self, file_name, token, kind, label):
        self.file_name, self.token, self.kind, self.label = file_name, token, kind, label

    def identity(self):
        return (self.file_name, self.token.start)


_UNIT_SUFFIX = re.compile(r"\(.*\)$")
_COMPONENT = re.compile(r"(.+?)(?:\.([xyz])|\[([0-9]+)\])")


def _item_names(item):
    """Names of an item, in order of precedence: key token, key without its
    "(unit)" suffix, field name."""
    if item.key is None:
        return (None, None, item.field)
    stem = _UNIT_SUFFIX.sub("", item.key.text)
    return (item.key.text, stem if stem else None, item.field)


class Scenario:
    """A base scenario directory: the car's name and the parsed files."""

    def __init__(self, directory):
        self.directory = directory
        if not os.path.isdir(directory):
            raise SweepError("%s: not a directory" % directory)
        events = os.path.join(directory, EVENTS_FILE)
        try:
            text = read_text(events)
        except OSError as error:
            raise SweepError("%s: cannot read: %s" % (events, error.strerror)) from None
        self.car = event_car_name(text)
        if self.car is None:
            raise SweepError("%s: no [car] section with a car base name" % events)
        self._texts = {EVENTS_FILE: text}
        self._sections = {}

    def file_kind(self, name):
        if name == EVENTS_FILE:
            return "events"
        if name == self.car + ".ini":
            return "car"
        if name == self.car + ".params":
            return "params"
        return None

    def text(self, name):
        """Text of a scenario file (read once)."""
        if name not in self._texts:
            path = os.path.join(self.directory, name)
            try:
                self._texts[name] = read_text(path)
            except OSError as error:
                raise AddressError("cannot read %s: %s" % (path, error.strerror)) from None
        return self._texts[name]

    def sections(self, name):
        if name not in self._sections:
            self._sections[name] = parse_sections(self.text(name), self.file_kind(name))
        return self._sections[name]

    def resolve(self, address):
        """The Target of an address FILE:SECTION[:INDEX]:KEY; AddressError if it
        names nothing in this scenario or a value that cannot be swept."""
        parts = address.split(":")
        if len(parts) < 3 or not all(parts[:3]):
            raise AddressError('"%s" is not an address FILE:SECTION[:INDEX]:KEY' % address)
        file_part, section_part = parts[0].strip(), parts[1].strip()
        index = None
        if len(parts) >= 4 and parts[2].strip().isdigit():
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
        return self._resolve_key(address, key, section, name, where)

    def _resolve_key(self, address, key, section, name, where):
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
            return Target(name, item.values[0], item.kind, label)
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
        return Target(name, item.values[position], item.kind,
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


def _known_items(section):
    if not section.items:
        return "the section has no items"
    keys = ", ".join(item.key.text if item.key is not None else item.field + "[k]"
                     for item in section.items)
    fields = ", ".join(item.field + ("[k]" if item.is_list else "")
                       for item in section.items)
    return "its keys are %s (field names %s)" % (keys, fields)


# ---------------------------------------------------------------------------
# Sweep files


class Sweep:
    """A parsed sweep: the addresses, their targets, and the values of each run.

    runs[i] is the list of value texts of run i + 1, one per address.
    """

    def __init__(self, addresses, targets, runs):
        self.addresses, self.targets, self.runs = addresses, targets, runs

    def files(self, scenario, run):
        """{file name: new text} of the scenario files that run changes."""
        changes = {}
        for target, value in zip(self.targets, self.runs[run]):
            changes.setdefault(target.file_name, []).append((target.token, value))
        return {name: rewrite(scenario.text(name), replacements)
                for name, replacements in changes.items()}


def _content_lines(text):
    """(line number, text) of the lines that hold more than white space and comments."""
    for number, line in enumerate(text.splitlines(), start=1):
        line = line.split("#", 1)[0].strip()
        if line:
            yield number, line


def parse_sweep(text, scenario, name):
    """The Sweep of a sweep file's text; SweepError naming the line when an
    address or a value does not fit the scenario.

    CSV form: a header line of addresses and one line of values per run.  Grid
    form (chosen when the first line holds "="): lines ADDRESS=v1,v2,...; the
    runs are every combination, the first line's values changing slowest.
    Text from "#" to the end of a line is a comment.
    """
    lines = list(_content_lines(text))
    if not lines:
        raise SweepError("%s: no addresses: the sweep file is empty" % name)

    def fail(number, message):
        raise SweepError("%s:%d: %s" % (name, number, message))

    targets, seen = [], {}

    def add_address(number, address, where):
        try:
            target = scenario.resolve(address)
        except AddressError as error:
            fail(number, "%s: %s" % (where, error))
        if target.identity() in seen:
            fail(number, "%s: names the same value as %s" % (where, seen[target.identity()]))
        seen[target.identity()] = where
        targets.append(target)

    def check(number, where, target, value):
        if not value:
            fail(number, "%s: empty value" % where)
        problem = check_value(target.kind, value)
        if problem:
            fail(number, "%s: %s" % (where, problem))

    if "=" in lines[0][1]:
        addresses, columns = [], []
        for number, line in lines:
            if "=" not in line:
                fail(number, 'expected ADDRESS=v1,v2,... like every line of a grid sweep '
                     '(a sweep file whose first line holds "=" is a grid)')
            address, values = (part.strip() for part in line.split("=", 1))
            where = '"%s"' % address
            add_address(number, address, where)
            values = [value.strip() for value in values.split(",")]
            for value in values:
                check(number, where, targets[-1], value)
            addresses.append(address)
            columns.append(values)
        runs = [list(values) for values in itertools.product(*columns)]
        return Sweep(addresses, targets, runs)

    def cells(line):
        row = [cell.strip() for cell in next(csv.reader([line], skipinitialspace=True))]
        if len(row) > 1 and row[-1] == "":
            row.pop()  # a trailing comma
        return row

    header_line, header = lines[0][0], cells(lines[0][1])
    for column, address in enumerate(header, start=1):
        add_address(header_line, address, 'column %d "%s"' % (column, address))
    if len(lines) == 1:
        fail(header_line, "no runs: the header of addresses must be followed by one line "
             "of values per run")
    runs = []
    for number, line in lines[1:]:
        row = cells(line)
        if len(row) != len(header):
            fail(number, "expected %d values (one per address of line %d), found %d"
                 % (len(header), header_line, len(row)))
        for column, (target, value) in enumerate(zip(targets, row), start=1):
            check(number, 'column %d "%s"' % (column, header[column - 1]), target, value)
        runs.append(row)
    return Sweep(header, targets, runs)


# ---------------------------------------------------------------------------
# Run directories

RUNS = "runs"
MANIFEST = "sweep.json"
JOBLOG = "joblog"
RUN_LIST = "runs.txt"
SUMMARY = "summary.csv"
BIN = "bin"
RESULT_FILES = ("status", "time", "stdout.txt", "stderr.txt")

# Runs vdsim in one run directory and records how it went, on this machine or
# on an ssh host.  With "pack" (remote runs) the results are packed into
# RUN_DIR.tar and the run directory is removed, so that GNU parallel returns
# and cleans up single files.
RUN_ONE = r"""#!/bin/sh
# Runs vdsim in one run directory of a sweep and records its exit status
# ("status"), wall time in seconds ("time"), standard output and standard
# error ("stdout.txt", "stderr.txt") there.  With "pack" the results are
# packed into RUN_DIR.tar and the run directory is removed.
# Usage: sh run-one RUN_DIR VDSIM [pack]
run=$1
vdsim=$2
case $vdsim in /*) ;; *) vdsim=$(pwd)/$vdsim ;; esac
cd "$run" || exit 126
rm -f status time stdout.txt stderr.txt
mkdir -p Data
start=$(date +%s.%N)
"$vdsim" >stdout.txt 2>stderr.txt
status=$?
end=$(date +%s.%N)
echo "$status" >status
awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }' >time
if [ "$3" = pack ]; then
  name=${run%/}
  name=${name##*/}
  tar -cf "../$name.tar" Data status time stdout.txt stderr.txt || exit 125
  cd .. && rm -rf "$name"
fi
exit "$status"
"""


def run_name(index, count):
    """Directory name of run `index` (1-based): 0001, 0002, ..."""
    return "%0*d" % (max(4, len(str(count))), index)


def base_digest(scenario, names):
    """A digest of the base scenario's files, to tell a resumed sweep from another."""
    digest = hashlib.sha256()
    for name in names:
        digest.update(name.encode() + b"\0")
        with open(os.path.join(scenario.directory, name), "rb") as stream:
            digest.update(stream.read())
    return digest.hexdigest()


def scenario_files(directory):
    """Files of a scenario directory to copy into a run, relative, sorted;
    the "Data" directory is left out (every run starts with an empty one)."""
    files = []
    for root, dirs, names in os.walk(directory):
        relative = os.path.relpath(root, directory)
        if relative == ".":
            dirs[:] = [d for d in dirs if d != "Data"]
        dirs.sort()
        files.extend(os.path.normpath(os.path.join(relative, name)) for name in sorted(names))
    return files


def make_run_dir(path, scenario, files, changed):
    """A fresh run directory: the scenario's files, the changed ones rewritten,
    and an empty Data/."""
    if os.path.lexists(path):
        shutil.rmtree(path)
    os.makedirs(os.path.join(path, "Data"))
    for name in files:
        target = os.path.join(path, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if name in changed:
            write_text(target, changed[name])
        else:
            shutil.copyfile(os.path.join(scenario.directory, name), target)


# ---------------------------------------------------------------------------
# Job log and results


def read_joblog(path):
    """{seq: row dict} of GNU parallel's job log (empty when there is none)."""
    try:
        with open(path, newline="") as stream:
            rows = list(csv.reader(stream, delimiter="\t"))
    except FileNotFoundError:
        return {}
    if not rows:
        return {}
    header = rows[0]
    log = {}
    for row in rows[1:]:
        if len(row) >= len(header) and row[0].isdigit():
            log[int(row[0])] = dict(zip(header, row))
    return log


def unpack_result(run_dir):
    """Unpacks RUN_DIR.tar (results returned from a host) into the run directory."""
    archive = run_dir + ".tar"
    if not os.path.exists(archive):
        return
    with tarfile.open(archive) as tar:
        for member in tar.getmembers():
            name = os.path.normpath(member.name)
            if name.startswith("..") or os.path.isabs(name) or not (
                    member.isfile() or member.isdir()):
                raise SweepError("%s: unexpected entry %r" % (archive, member.name), 1)
        os.makedirs(run_dir, exist_ok=True)
        if hasattr(tarfile, "data_filter"):
            tar.extractall(run_dir, filter="data")
        else:
            tar.extractall(run_dir)
    os.remove(archive)


def _first_line(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            for line in stream:
                if line.strip():
                    return line.strip()
    except OSError:
        pass
    return ""


def _read_small(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            return stream.read().strip()
    except OSError:
        return None


class RunResult:
    """The outcome of one run: status (int or None when it never ran), wall
    time text, host, message, and the summary metrics (None when failed)."""

    def __init__(self, name, values):
        self.name, self.values = name, values
        self.status, self.wall_time, self.host, self.message = None, "", "", ""
        self.metrics = None

    @property
    def failed(self):
        return self.metrics is None


def collect_run(run_dir, name, values, logged):
    """The RunResult of one run directory; logged is its job log row or None."""
    result = RunResult(name, values)
    unpack_result(run_dir)
    status_text = _read_small(os.path.join(run_dir, "status"))
    if logged is not None:
        result.host = logged.get("Host", "")
    if status_text is not None and re.fullmatch(r"-?\d+", status_text):
        result.status = int(status_text)
        result.wall_time = _read_small(os.path.join(run_dir, "time")) or ""
    elif logged is not None:
        result.status = int(logged.get("Exitval", "-1") or -1)
        result.wall_time = logged.get("JobRuntime", "").strip()
        result.message = "no result came back from %s (exit value %s, signal %s)" % (
            result.host or "the job", logged.get("Exitval", "?"), logged.get("Signal", "?"))
        return result
    else:
        result.message = "not run"
        return result

    if result.status != 0:
        message = _first_line(os.path.join(run_dir, "stderr.txt"))
        if result.status > 128 and not message:
            number = result.status - 128
            try:
                message = "killed by signal %d (%s)" % (number, signal.Signals(number).name)
            except ValueError:
                message = "killed by signal %d" % number
        result.message = message or "exit status %d" % result.status
        return result
    try:
        channels = vdsim_output.read_output(os.path.join(run_dir, "Data", "Output.csv"))
        result.metrics = vdsim_output.summarize(channels)
    except vdsim_output.OutputError as error:
        result.message = str(error)
    return result


def format_cell(value):
    """A summary value as a CSV cell: exact (repr) for floats, empty for None."""
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value)
    return str(value)


def metric_names():
    """The metric keys of the plot tool's summary, in its order."""
    times = [float(i) for i in range(3)]
    channels = {name: [0.0, 0.0, 0.0] for name in vdsim_output.CHANNEL_NAMES}
    channels[vdsim_output.TIME] = times
    return list(vdsim_output.summarize(channels))


def write_summary(path, addresses, results):
    metrics = metric_names()
    with open(path, "w", newline="") as stream:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(["run"] + addresses + ["status", "wall_time_s"] + metrics
                        + ["host", "message"])
        for result in results:
            values = [format_cell(result.metrics[key]) if result.metrics else ""
                      for key in metrics]
            writer.writerow([result.name] + result.values
                            + ["" if result.status is None else str(result.status),
                               result.wall_time] + values + [result.host, result.message])


# Columns of the terminal table: heading, metric key, format.
TABLE_METRICS = (
    ("vmax", "top_speed_mps", "%.2f"),
    ("ay max", "lat_accel_max_mps2", "%+.2f"),
    ("ay min", "lat_accel_min_mps2", "%+.2f"),
    ("ax max", "long_accel_max_mps2", "%+.2f"),
    ("ax min", "long_accel_min_mps2", "%+.2f"),
    ("Fz LF", "normal_force_max_LF_N", "%.0f"),
    ("Fz RF", "normal_force_max_RF_N", "%.0f"),
    ("Fz LR", "normal_force_max_LR_N", "%.0f"),
    ("Fz RR", "normal_force_max_RR_N", "%.0f"),
)
TABLE_LEGEND = ("vmax: top speed (m/s); ay, ax: peak lateral and longitudinal acceleration "
                "(m/s2); Fz: peak normal force (N); time: wall time (s)")


def short_headings(addresses):
    """Column headings for addresses: the KEY part, or the whole address where
    two addresses share a KEY."""
    keys = [address.rsplit(":", 1)[-1].strip() for address in addresses]
    return [key if keys.count(key) == 1 else address
            for key, address in zip(keys, addresses)]


def format_table(addresses, results):
    """The sweep's results as an aligned text table, with failed runs' messages after it."""
    headings = ["run"] + short_headings(addresses) + ["status", "time"] + [
        heading for heading, _, _ in TABLE_METRICS]
    rows = []
    for result in results:
        metrics = [(form % result.metrics[key]) if result.metrics
                   and result.metrics[key] is not None and not math.isnan(result.metrics[key])
                   else "-" for _, key, form in TABLE_METRICS]
        rows.append([result.name] + result.values
                    + ["-" if result.status is None else str(result.status),
                       result.wall_time or "-"] + metrics)
    widths = [max(len(row[i]) for row in [headings] + rows) for i in range(len(headings))]
    numeric_from = 1 + len(addresses)
    lines = []
    for row in [headings] + rows:
        cells = [cell.ljust(width) if i < numeric_from else cell.rjust(width)
                 for i, (cell, width) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    lines.append(TABLE_LEGEND)
    failed = [r for r in results if r.failed]
    if failed:
        lines.append("Failed runs:")
        lines.extend("  %s: %s" % (r.name, r.message) for r in failed)
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------
# GNU parallel


def find_parallel():
    """Path of GNU parallel; SweepError when missing or another program."""
    path = shutil.which("parallel")
    if path is None:
        raise SweepError("GNU parallel not found: install it (Debian: apt-get install parallel)")
    try:
        version = subprocess.run([path, "--version"], capture_output=True, text=True,
                                 timeout=30).stdout
    except (OSError, subprocess.TimeoutExpired) as error:
        raise SweepError("cannot run %s: %s" % (path, error)) from None
    if "GNU parallel" not in version:
        raise SweepError("%s is not GNU parallel (moreutils' parallel?): install the Debian "
                         "package parallel" % path)
    return path


def read_hosts(path):
    """Checks an ssh login file; SweepError for a missing file, no hosts, or
    this machine (":"), whose jobs GNU parallel would run outside the sweep
    directory."""
    try:
        with open(path) as stream:
            lines = stream.read().splitlines()
    except OSError as error:
        raise SweepError("%s: cannot read: %s" % (path, error.strerror)) from None
    hosts = 0
    for number, line in enumerate(lines, start=1):
        login = line.strip()
        if not login or login.startswith("#"):
            continue
        if re.sub(r"^\d+/", "", login).strip() == ":":
            raise SweepError(
                "%s:%d: \":\" (this machine) cannot be mixed with ssh hosts: list this "
                "machine by an ssh login, or run a local sweep without --hosts" % (path, number))
        hosts += 1
    if hosts == 0:
        raise SweepError("%s: no ssh logins" % path)


def parallel_command(parallel, jobs, hosts, resume, workdir, bar):
    """The GNU parallel command line run in the sweep directory."""
    command = [parallel, "--will-cite", "--joblog", JOBLOG, "--arg-file", RUN_LIST]
    if jobs is not None:
        command += ["--jobs", str(jobs)]
    if resume:
        command.append("--resume")
    if bar:
        command.append("--bar")
    run_one = [os.path.join(BIN, "run-one"), "{}", os.path.join(BIN, "vdsim")]
    if hosts is None:
        return command + ["sh"] + run_one
    return command + [
        "--sshloginfile", hosts,
        "--workdir", workdir,
        "--basefile", os.path.join(BIN, "run-one"), "--basefile", os.path.join(BIN, "vdsim"),
        "--transferfile", "{}", "--return", "{}.tar", "--cleanup",
        "sh"] + run_one + ["pack"]


# ---------------------------------------------------------------------------
# The command line

USAGE = """\
usage: vdsim-sweep BASE_SCENARIO_DIR SWEEP_FILE -o SWEEP_DIR [--jobs N]
                   [--hosts HOSTFILE] [--resume] [--vdsim PATH]"""

HELP = USAGE + """

Runs vdsim once per row of SWEEP_FILE, each time in a copy of the base
scenario with some values replaced, through GNU parallel, on this machine or
on the ssh hosts of HOSTFILE, and writes SWEEP_DIR/summary.csv.

Sweep file.  CSV form: a header line of addresses, then one line of values
per run.  Grid form, chosen when the first line holds "=": lines
ADDRESS=v1,v2,... ; the runs are every combination, the first line's values
changing slowest.  "#" starts a comment.

Addresses: FILE:SECTION[:INDEX]:KEY
  FILE     Events.ini, {car}.ini or {car}.params ({car}: the car base name
           of the base Events.ini)
  SECTION  a section marker: [car], [event], [powertrain], [corner], [params]
  INDEX    which section of that marker, counted from 1 in file order;
           needed only when there are several: {car}.ini:[corner]:3:... is
           the third corner (left rear), Events.ini:[event]:2:... the second
           event
  KEY      the item's key as written in the base file (spring(N/m)), the
           key without its (unit) suffix (spring), or the field name
           (springRate).  One number of a triple: KEY.x KEY.y KEY.z or
           KEY[1] KEY[2] KEY[3] (mount.z).  The bare numbers of [powertrain]:
           torqueCoefficients[k] (k=1: highest power) and gearRatio[k]
           (k=1: first gear).
  Examples: {car}.params:[params]:frontRideFrequency
            {car}.ini:[corner]:3:brakeTorqueGain
            Events.ini:[event]:2:speed
  Values are written into the file exactly as given; nothing else changes.

Output: SWEEP_DIR/runs/0001, 0002, ... (one complete working directory per
run: Data/Output.csv, status, time, stderr.txt), SWEEP_DIR/joblog (GNU
parallel's job log), SWEEP_DIR/summary.csv (one row per run: values, exit
status, wall time, run summary metrics, host, message).  The exit status is
1 when a run failed, 2 for bad input.

options:
  -o SWEEP_DIR      the sweep's directory (created; a previous sweep in it is
                    replaced unless --resume)
  --jobs N          runs at a time (default: one per CPU core; with --hosts,
                    per host, unless the host's line says N/)
  --hosts HOSTFILE  run on the ssh hosts of this GNU parallel ssh login file
                    (one login per line, e.g. 4/user@host or a full ssh
                    command); run directories and the simulator are copied
                    to the hosts with rsync and the results copied back
  --resume          finish an interrupted sweep in SWEEP_DIR: runs already in
                    the job log (finished, failed ones included) are not run
                    again; the simulator copied at the start is kept
  --vdsim PATH      the simulator (default: build/vdsim of this checkout)
  -h, --help        this text
"""


def parse_args(argv):
    """(options dict) from argv; SweepError with status 2 on a bad command line."""
    import argparse

    class Parser(argparse.ArgumentParser):
        def error(self, message):
            raise SweepError("%s\n%s" % (message, USAGE))

    parser = Parser(prog=PROG, add_help=False, usage=USAGE)
    parser.add_argument("base")
    parser.add_argument("sweep")
    parser.add_argument("-o", dest="out", required=True)
    parser.add_argument("--jobs", type=int)
    parser.add_argument("--hosts")
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("--vdsim")
    if any(arg in ("-h", "--help") for arg in argv):
        sys.stdout.write(HELP)
        raise SystemExit(0)
    options = parser.parse_args(argv)
    if options.jobs is not None and options.jobs < 1:
        raise SweepError("--jobs must be at least 1")
    return options


def default_vdsim():
    """build/vdsim of the checkout that holds this tool."""
    here = os.path.dirname(os.path.realpath(__file__))
    return os.path.join(os.path.dirname(here), "build", "vdsim")


def prepare(options, scenario, sweep):
    """Creates or checks SWEEP_DIR and (re)creates the run directories still to run.

    Returns (run directory names, number of runs already in the job log)."""
    out = options.out
    count = len(sweep.runs)
    names = [run_name(i + 1, count) for i in range(count)]
    files = scenario_files(scenario.directory)
    manifest = {
        "base": os.path.abspath(scenario.directory),
        "base_digest": base_digest(scenario, files),
        "addresses": sweep.addresses,
        "runs": sweep.runs,
    }
    manifest_path = os.path.join(out, MANIFEST)
    base_real = os.path.realpath(scenario.directory)
    if os.path.commonpath([base_real, os.path.realpath(out)]) == base_real:
        raise SweepError("%s: the sweep directory must not lie inside the base scenario %s"
                         % (out, scenario.directory))
    done = set()
    if options.resume:
        try:
            with open(manifest_path) as stream:
                previous = json.load(stream)
        except (OSError, ValueError):
            raise SweepError("%s: no sweep to resume here (no %s)" % (out, MANIFEST)) from None
        for key, what in (("addresses", "addresses"), ("runs", "values"),
                          ("base_digest", "base scenario files")):
            if previous.get(key) != manifest[key]:
                raise SweepError("%s: the sweep there has other %s; --resume needs the same "
                                 "base scenario and sweep file" % (out, what))
        done = set(read_joblog(os.path.join(out, JOBLOG))) & set(range(1, count + 1))
    else:
        if os.path.exists(manifest_path):
            for name in (RUNS, BIN):
                shutil.rmtree(os.path.join(out, name), ignore_errors=True)
            for name in (JOBLOG, RUN_LIST, SUMMARY, MANIFEST):
                if os.path.exists(os.path.join(out, name)):
                    os.remove(os.path.join(out, name))
        elif os.path.isdir(out) and os.listdir(out):
            raise SweepError("%s: exists and is not a sweep directory; give a new or empty "
                             "directory" % out)

    vdsim = options.vdsim or default_vdsim()
    bin_dir = os.path.join(out, BIN)
    kept = options.resume and os.path.isfile(os.path.join(bin_dir, "vdsim"))
    if not kept and not (os.path.isfile(vdsim) and os.access(vdsim, os.X_OK)):
        raise SweepError("no simulator at %s: build it first (make build) or give --vdsim PATH"
                         % vdsim)

    os.makedirs(os.path.join(out, RUNS), exist_ok=True)
    os.makedirs(bin_dir, exist_ok=True)
    if not kept:
        shutil.copy2(vdsim, os.path.join(bin_dir, "vdsim"))
    with open(os.path.join(bin_dir, "run-one"), "w") as stream:
        stream.write(RUN_ONE)
    for index, name in enumerate(names):
        if index + 1 in done:
            continue
        run_dir = os.path.join(out, RUNS, name)
        if os.path.exists(run_dir + ".tar"):
            os.remove(run_dir + ".tar")
        make_run_dir(run_dir, scenario, files, sweep.files(scenario, index))
    with open(os.path.join(out, RUN_LIST), "w") as stream:
        stream.writelines("%s/%s\n" % (RUNS, name) for name in names)
    with open(manifest_path, "w") as stream:
        json.dump(manifest, stream, indent=1)
        stream.write("\n")
    return names, len(done)


def run_parallel(options, parallel, workdir):
    """Runs GNU parallel in SWEEP_DIR; returns its exit status."""
    hosts = os.path.abspath(options.hosts) if options.hosts else None
    command = parallel_command(parallel, options.jobs, hosts, options.resume, workdir,
                               sys.stderr.isatty())
    sys.stdout.flush()
    process = subprocess.Popen(command, cwd=options.out)
    try:
        return process.wait()
    except KeyboardInterrupt:
        # GNU parallel got the interrupt too and stops its jobs; wait for it.
        try:
            process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.terminate()
            process.wait()
        raise SweepError("interrupted: run again with --resume to finish the sweep", 130)


def main(argv):
    try:
        options = parse_args(argv)
        scenario = Scenario(options.base)
        try:
            with open(options.sweep, encoding="utf-8") as stream:
                sweep_text = stream.read()
        except (OSError, UnicodeDecodeError) as error:
            raise SweepError("%s: cannot read: %s"
                             % (options.sweep, getattr(error, "strerror", None) or error))
        sweep = parse_sweep(sweep_text, scenario, options.sweep)
        parallel = find_parallel()
        if options.hosts:
            read_hosts(options.hosts)
            if shutil.which("rsync") is None:
                raise SweepError("rsync not found: GNU parallel copies run directories to "
                                 "the hosts with it (Debian: apt-get install rsync)")
        names, done = prepare(options, scenario, sweep)
        todo = len(names) - done
        where = ("on the hosts of %s" % options.hosts) if options.hosts else "on this machine"
        print("%s: %d runs in %s; %d to run %s with GNU parallel"
              % (PROG, len(names), os.path.join(options.out, RUNS), todo, where))
        workdir = os.path.join(".vdsim-sweep", "%s-%d-%s" % (
            os.uname().nodename, os.getpid(), os.urandom(4).hex()))
        parallel_status = run_parallel(options, parallel, workdir) if todo else 0

        log = read_joblog(os.path.join(options.out, JOBLOG))
        results = [collect_run(os.path.join(options.out, RUNS, name), name, sweep.runs[i],
                               log.get(i + 1)) for i, name in enumerate(names)]
        summary_path = os.path.join(options.out, SUMMARY)
        write_summary(summary_path, sweep.addresses, results)
        sys.stdout.write(format_table(sweep.addresses, results))
        print("Wrote %s (%d runs)" % (summary_path, len(results)))
        not_run = sum(1 for r in results if r.status is None)
        failed = sum(1 for r in results if r.failed) - not_run
        if not_run:
            raise SweepError("%d of %d runs did not run (GNU parallel exit status %d); "
                             "finish them with --resume" % (not_run, len(results),
                                                           parallel_status), 1)
        if failed:
            raise SweepError("%d of %d runs failed" % (failed, len(results)), 1)
        return 0
    except SweepError as error:
        sys.stdout.flush()
        sys.stderr.write("%s: %s\n" % (PROG, error))
        return error.status
    except KeyboardInterrupt:
        sys.stderr.write("%s: interrupted\n" % PROG)
        return 130
