"""The simulator's input files read the way the simulator reads them, keeping
the place of every token, so that one value can be replaced by other text
while every other byte of the file stays as it was.

Input files are streams of tokens separated by white space.  A section starts
at its marker token ("[car]", "[event]", "[powertrain]", "[corner]",
"[params]") and holds a fixed sequence of items, each a key token (ignored by
the simulator) followed by its value or values; inside "[powertrain]" the
torque coefficients and gear ratios are bare numbers after their count.

Standard library only.
"""

import hashlib
import re

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


# ---------------------------------------------------------------------------
# Values

# Kinds of values.
NUMBER = "number"  # "%f"
INTEGER = "integer"  # "%i"
WORD = "word"  # "%s": a name, not swept
COUNT = "count"  # "%i" giving the length of the bare list after it, not swept

# Numbers as the files hold them: ASCII decimal, optional sign, fraction, exponent.
_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
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


def _shown(text, limit=40):
    """Text for a message: printable, at most `limit` characters."""
    shown = "".join(c if c.isprintable() else "?" for c in text[:limit])
    return shown + ("..." if len(text) > limit else "")


def check_value(kind, text):
    """None when text is a valid value of an item of this kind, else the reason.

    Only ASCII digits count: the simulator's "%f" and "%i" read no others.
    """
    if kind == NUMBER:
        if not _NUMBER.fullmatch(text):
            return 'expected a number, found "%s"' % _shown(text)
        if not abs(float(text)) <= FLOAT_MAX:
            return 'number out of range of a 32-bit float: "%s"' % _shown(text)
        return None
    if not _INTEGER.fullmatch(text):
        return 'expected an integer, found "%s"' % _shown(text)
    if not INT_MIN <= c_integer(text) <= INT_MAX:
        return 'integer out of range: "%s"' % _shown(text)
    return None


# ---------------------------------------------------------------------------
# File layouts


class Item:
    """One item of a section as read from a file.

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

    def item(self, field):
        """The item with this field name, or None."""
        return next((item for item in self.items if item.field == field), None)


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


def event_car_name(text):
    """Car base name of the last "[car]" section of an event file's text, or None."""
    names = [s.items[0].values[0].text
             for s in parse_sections(text, "events") if s.marker == "[car]" and s.items]
    return names[-1] if names else None


# ---------------------------------------------------------------------------
# Text


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


def file_sha256(path):
    """The SHA-256 of a file's bytes, in hex."""
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()
