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

import contextlib
import errno
import gc
import hashlib
import os
import re
import stat

# ---------------------------------------------------------------------------
# Tokens

# White space as the simulator's token reader sees it (C's "%s").
_TOKEN = re.compile(r"[^ \t\n\v\f\r]+")
# A UTF-8 byte-order mark, one character per byte: skipped before the first token.
BOM = "\xef\xbb\xbf"


class Token:
    """One token of a file: its text, character span and 1-based line."""

    __slots__ = ("text", "start", "end", "line")

    def __init__(self, text, start, end, line):
        self.text, self.start, self.end, self.line = text, start, end, line

    def __repr__(self):
        return "Token(%r, %d, %d, line %d)" % (self.text, self.start, self.end, self.line)


def tokenize(text):
    """All tokens of text, in order, with their spans and lines; a leading
    byte-order mark is not part of the first token (its span counts it)."""
    tokens = []
    append, count = tokens.append, text.count
    line = 1
    position = 0
    for match in _TOKEN.finditer(text, len(BOM) if text.startswith(BOM) else 0):
        start, end = match.span()
        line += count("\n", position, start)
        position = start
        append(Token(match.group(), start, end, line))
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

    __slots__ = ("field", "key", "kind", "values", "triple")

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

    def take_many(self, count):
        """The next `count` tokens, or None when the file ends before them."""
        taken = self.tokens[self.position:self.position + count]
        self.position += count
        return taken if len(taken) == count else None

    def peek(self):
        return self.tokens[self.position] if self.position < len(self.tokens) else None


def _keyed(cursor, section, field, kind, count=1):
    """Reads a key and `count` values into a new item of section; False at end of file."""
    tokens = cursor.take_many(1 + count)
    if tokens is None:
        return False
    section.items.append(Item(field, tokens[0], kind, tokens[1:], triple=count == 3))
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


# Event file: "[car]" and "[event]" with its values by kind; a kind not
# listed here is ignored by the simulator, values and all.
EVENT_CAR_LAYOUT = (("name", WORD, 1), ("timeStep", NUMBER, 1))
EVENT_FIELDS = {
    "TargetSpeed": ("speed", "duration"),
    "SteerRamp": ("speed", "endSpeed", "startRadius", "endRadius", "duration"),
    "Brake": ("speed",),
    "StepSteer": ("speed", "angle", "rampTime", "duration"),
    "SineSteer": ("speed", "amplitude", "frequency", "cycles"),
    "SineDwell": ("speed", "amplitude", "frequency", "dwell", "duration"),
}
MAX_EVENTS = 100000  # "[event]" sections the simulator accepts in one file


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
CORNER_NAMES = ("LF", "RF", "LR", "RR")  # the [corner] sections in file order
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

# The unit of every field, as the example files and `vdsim --check` give it;
# the plots name swept values by field and unit.
FIELD_UNITS = {
    # Events.ini
    "name": "-", "timeStep": "s", "kind": "-", "speed": "m/s", "duration": "s",
    "endSpeed": "m/s", "startRadius": "m", "endRadius": "m", "angle": "deg", "rampTime": "s",
    "amplitude": "deg", "frequency": "Hz", "cycles": "-", "dwell": "s",
    # {car}.ini: [car], [powertrain], [corner]
    "inertia": "kg m^2", "mass": "kg", "dragFactor": "kg/m", "downforceFactor": "kg/m",
    "antiRollRateFront": "N/m", "antiRollRateRear": "N/m", "chassisReserved": "-",
    "torqueOrder": "-", "torqueCoefficients": "N m", "maxEngineSpeed": "rpm",
    "shiftDownEngineSpeed": "rpm", "gearCount": "-", "gearRatio": "-",
    "wheelInertia": "kg m^2", "mountPosition": "m", "unloadedRadius": "m",
    "unsprungMass": "kg", "wheelMass": "kg", "springRate": "N/m", "damperRate": "N s/m",
    "tireSpringRate": "N/m", "tireDamperRate": "N s/m", "wheelReserved": "-",
    "brakeTorqueGain": "N m",
    # {car}.params
    "massScale": "-", "wheelbase": "m", "frontWeightFraction": "-", "frontTrack": "m",
    "rearTrack": "m", "torqueScale": "-", "aeroScale": "-", "frontRideFrequency": "Hz",
    "frontDampingRatio": "-", "rearRideFrequency": "Hz", "rearDampingRatio": "-",
}

# Section readers per kind of file, by marker.
FILE_KINDS = {
    "events": {"[car]": lambda c, s: _read_keyed_items(c, s, EVENT_CAR_LAYOUT),
               "[event]": _read_event},
    "car": {"[car]": lambda c, s: _read_keyed_items(c, s, CAR_LAYOUT),
            "[powertrain]": _read_powertrain,
            "[corner]": lambda c, s: _read_keyed_items(c, s, CORNER_LAYOUT)},
    "params": {"[params]": lambda c, s: _read_keyed_items(c, s, PARAMS_LAYOUT)},
}
# Markers whose later section replaces an earlier one when the simulator reads
# the file: only the last of them counts.  ("[event]" and "[corner]" add up.)
LAST_ONE_COUNTS = ("[car]", "[powertrain]", "[params]")


class InputError(ValueError):
    """A file the simulator refuses before it runs: `line` and `message`."""

    def __init__(self, line, message):
        super().__init__("line %d: %s" % (line, message))
        self.line, self.message = line, message


def parse_sections(text, kind, notes=None):
    """The sections of a file of the given kind ("events", "car", "params").

    Scans like the simulator: a token read by the scan itself that equals one
    of the kind's markers opens a section whose items are read positionally;
    every other token is skipped.  For an event file, `notes` (a list) gets
    (line, text) of each event that the simulator ignores and each token that
    looks like a misspelled marker, and more than MAX_EVENTS events raise
    InputError.
    """
    with _no_cycle_collection():
        return _parse_sections(text, kind, notes)


@contextlib.contextmanager
def _no_cycle_collection():
    """Pauses Python's cycle collector: a large file makes millions of small
    objects without cycles, and collecting over and over while they are made
    would double the time taken."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _parse_sections(text, kind, notes):
    readers = FILE_KINDS[kind]
    events = kind == "events"
    cursor = _Cursor(tokenize(text))
    sections = []
    counts = dict.fromkeys(readers, 0)
    while True:
        token = cursor.take()
        if token is None:
            return sections
        reader = readers.get(token.text)
        if reader is None:
            if events and notes is not None:
                _note_near_miss(token, cursor.peek(), notes)
            continue
        counts[token.text] += 1
        if events and token.text == "[event]" and counts["[event]"] > MAX_EVENTS:
            raise InputError(token.line, "more than %d events; split the maneuver over several "
                                         "runs" % MAX_EVENTS)
        section = Section(token.text, counts[token.text], token.line)
        sections.append(section)
        reader(cursor, section)
        if events and notes is not None and section.marker == "[event]" and section.items:
            kind_token = section.items[0].values[0]
            if kind_token.text not in EVENT_FIELDS:
                notes.append((kind_token.line, "unknown event kind %s ignored (known: %s)"
                              % (quoted(kind_token.text), ", ".join(EVENT_FIELDS))))


_EVENT_MARKER_NAMES = ("car", "cars", "event", "events")


def _letters(text):
    """The ASCII letters and digits of a token, lower-cased: "[ Event]" -> "event"."""
    return "".join(c for c in text if c.isascii() and c.isalnum()).lower()


def _note_near_miss(token, following, notes):
    """Notes a scanned token that looks like a misspelled "[car]" or "[event]":
    a bracketed word that spells one ignoring case, blanks and a final "s"
    ("[Event]", "[events]", "event]"), or a lone "[" before such a word."""
    shown = None
    if token.text == "[" and following is not None and "[" not in following.text \
            and "]" not in following.text and _letters(following.text) in _EVENT_MARKER_NAMES:
        shown = "[ " + following.text
    elif ("[" in token.text or "]" in token.text) and _letters(token.text) in _EVENT_MARKER_NAMES:
        shown = token.text
    if shown is not None:
        notes.append((token.line, "%s is not a section marker and is ignored (markers are "
                                  "matched exactly: [car], [event])" % quoted(shown)))


def quoted(text):
    """A token in double quotes as the simulator's messages show it: bytes
    outside printable ASCII, the quote and the backslash as \\xNN."""
    return '"%s"' % "".join(
        c if " " <= c <= "~" and c not in '"\\' else "\\x%02x" % ord(c) for c in text)


def event_car_name(text):
    """Car base name of the last "[car]" section of an event file's text, or None."""
    return car_name(parse_sections(text, "events"))


def car_name(sections):
    """Car base name of the last "[car]" of an event file's sections, or None:
    the simulator reads every one and keeps the last."""
    names = [s.items[0].values[0].text for s in sections if s.marker == "[car]" and s.items]
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


MAX_FILE_BYTES = 256 << 20  # largest input file the simulator reads (bytes)


def open_regular(path):
    """A regular file (or a link to one) opened for reading in binary mode.

    Anything else raises OSError without being read: opening is non-blocking,
    so a FIFO cannot wait for a writer, and a FIFO, socket, device or
    directory is refused."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(descriptor).st_mode
        if stat.S_ISDIR(mode):
            raise OSError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def read_text(path):
    """A file's bytes as text, one character per byte, so rewriting keeps
    every byte; OSError for a file that is not regular or is larger than the
    simulator reads."""
    with open_regular(path) as stream:
        data = stream.read(MAX_FILE_BYTES + 1)
    if len(data) > MAX_FILE_BYTES:
        raise OSError(errno.EFBIG, "larger than %d MiB; an input file is a few kilobytes of "
                                   "text" % (MAX_FILE_BYTES >> 20), path)
    return data.decode("latin-1")


def write_text(path, text):
    with open(path, "wb") as stream:
        stream.write(text.encode("latin-1"))


def replace_file(path, text):
    """Write text (one byte per character) as a new file renamed over path:
    a link at path is replaced, never written through, and a failed write
    leaves what was there."""
    directory, name = os.path.split(path)
    while True:
        temporary = os.path.join(directory, ".%s.%s.tmp" % (name, os.urandom(6).hex()))
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                                 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(descriptor, "wb") as stream:
            stream.write(text.encode("latin-1"))
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def sha256_text(text):
    """The SHA-256 of text read by read_text (its bytes), in hex."""
    return hashlib.sha256(text.encode("latin-1")).hexdigest()


def file_sha256(path):
    """The SHA-256 of a regular file's bytes, in hex."""
    digest = hashlib.sha256()
    with open_regular(path) as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()
