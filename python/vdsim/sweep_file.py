"""Sweep files: which values a sweep changes, and their values in each run.

CSV form: a header line of addresses (see vdsim.scenario) and one line of
values per run.  Grid form (chosen when the first line holds "="): lines
ADDRESS=v1,v2,...; the runs are every combination, the first line's values
changing slowest.  Text from "#" to the end of a line is a comment.

From Python the same grid is a mapping from address to values
(grid_of_values).  A grid's runs are counted before anything else and made
one at a time, so a sweep over more than MAX_RUNS runs is refused at once,
whatever its size.
"""

import csv
import hashlib
import json

from . import inputs
from .address import AddressError, value_text

MAX_RUNS = 1000000  # most runs one sweep may have
TOKEN_MAX = 63  # characters the simulator reads of one token (its buffers hold 63)


class SweepError(Exception):
    """A problem that stops the sweep before or after running; printed as
    "vdsim-sweep: MESSAGE" with exit status `status`."""

    def __init__(self, message, status=2):
        super().__init__(message)
        self.status = status


class Sweep:
    """The addresses of a sweep and the values of its runs.

    Grid form: `columns[k]` holds the values of address k; run i takes one
    value of each, the first address changing slowest.  CSV form: `rows[i]`
    holds the values of run i.  `targets` are the resolved addresses (None for
    a sweep read back from its directory).
    """

    def __init__(self, addresses, columns=None, rows=None, targets=None):
        self.addresses, self.columns, self.rows, self.targets = addresses, columns, rows, targets

    @property
    def count(self):
        """Number of runs, counted without making them."""
        if self.rows is not None:
            return len(self.rows)
        count = 1
        for values in self.columns:
            count *= len(values)
        return count

    def values(self, index):
        """The value texts of run `index` (0-based), one per address."""
        if self.rows is not None:
            return list(self.rows[index])
        values = []
        for column in reversed(self.columns):
            index, position = divmod(index, len(column))
            values.append(column[position])
        return values[::-1]

    def __iter__(self):
        """The runs' values in order, made one at a time."""
        return (self.values(index) for index in range(self.count))

    def to_json(self):
        """The sweep as JSON data: its addresses and values, in the form it was written."""
        if self.rows is not None:
            return {"addresses": self.addresses, "rows": self.rows}
        return {"addresses": self.addresses, "columns": self.columns}

    @classmethod
    def from_json(cls, data):
        """A Sweep (without targets) from to_json()'s data; ValueError if it is not one."""
        addresses = data.get("addresses")
        rows, columns = data.get("rows"), data.get("columns")
        values = rows if rows is not None else columns
        if not (_texts(addresses) and isinstance(values, list)
                and all(_texts(v) for v in values)):
            raise ValueError("not a sweep's addresses and values")
        if rows is not None and any(len(row) != len(addresses) for row in rows):
            raise ValueError("a run's values do not match the addresses")
        if columns is not None and len(columns) != len(addresses):
            raise ValueError("the values do not match the addresses")
        return cls(addresses, columns=columns, rows=rows)

    def digest(self):
        """A SHA-256 of the addresses and values, to tell one sweep from another."""
        return hashlib.sha256(json.dumps(self.to_json(), sort_keys=True).encode()).hexdigest()


def _texts(values):
    return isinstance(values, list) and all(isinstance(v, str) for v in values)


def _content_lines(text):
    """(line number, text) of the lines that hold more than white space and comments."""
    for number, line in enumerate(text.splitlines(), start=1):
        line = line.split("#", 1)[0].strip()
        if line:
            yield number, line


def read_sweep(path, scenario):
    """The Sweep of a sweep file (UTF-8, a byte-order mark skipped); SweepError
    when it cannot be read or does not fit the scenario."""
    try:
        with open(path, encoding="utf-8-sig") as stream:
            text = stream.read()
    except (OSError, UnicodeDecodeError) as error:
        raise SweepError("%s: cannot read: %s"
                         % (path, getattr(error, "strerror", None) or error)) from None
    return parse_sweep(text, scenario, path)


class _Checks:
    """The addresses of a sweep resolved in its scenario, each named once,
    and its values checked, with errors that say where they are."""

    def __init__(self, scenario, name):
        self.scenario, self.name = scenario, name
        self.targets, self.seen = [], {}

    def fail(self, number, message):
        where = self.name if number is None else "%s:%d" % (self.name, number)
        raise SweepError("%s: %s" % (where, message))

    def address(self, number, address, where):
        try:
            target = self.scenario.resolve(address)
        except AddressError as error:
            self.fail(number, "%s: %s" % (where, error))
        if target.identity() in self.seen:
            self.fail(number, "%s: names the same value as %s"
                      % (where, self.seen[target.identity()]))
        self.seen[target.identity()] = where
        self.targets.append(target)
        return target

    def value(self, number, where, target, value):
        if not value:
            self.fail(number, "%s: empty value" % where)
        problem = inputs.check_value(target.kind, value)
        if not problem and len(value) > TOKEN_MAX:
            problem = "%d characters: the simulator reads at most %d of a value" % (
                len(value), TOKEN_MAX)
        if problem:
            self.fail(number, "%s: %s" % (where, problem))

    def grid(self, addresses, columns):
        sweep = Sweep(addresses, columns=columns, targets=self.targets)
        if sweep.count > MAX_RUNS:
            raise SweepError("%s: the grid has %s runs (%s); a sweep may have at most %d: "
                             "use fewer values" % (self.name, "{:,}".format(sweep.count),
                                                   " x ".join(str(len(c)) for c in columns),
                                                   MAX_RUNS))
        return sweep


def parse_sweep(text, scenario, name):
    """The Sweep of a sweep file's text; SweepError naming the line when an
    address or a value does not fit the scenario, or the sweep has more than
    MAX_RUNS runs."""
    lines = list(_content_lines(text))
    if not lines:
        raise SweepError("%s: no addresses: the sweep file is empty" % name)
    checks = _Checks(scenario, name)

    if "=" in lines[0][1]:
        addresses, columns = [], []
        for number, line in lines:
            if "=" not in line:
                checks.fail(number, 'expected ADDRESS=v1,v2,... like every line of a grid '
                            'sweep (a sweep file whose first line holds "=" is a grid)')
            address, values = (part.strip() for part in line.split("=", 1))
            where = '"%s"' % address
            target = checks.address(number, address, where)
            values = [value.strip() for value in values.split(",")]
            for value in values:
                checks.value(number, where, target, value)
            addresses.append(address)
            columns.append(values)
        return checks.grid(addresses, columns)

    def cells(line):
        row = [cell.strip() for cell in next(csv.reader([line], skipinitialspace=True))]
        if len(row) > 1 and row[-1] == "":
            row.pop()  # a trailing comma
        return row

    header_line, header = lines[0][0], cells(lines[0][1])
    for column, address in enumerate(header, start=1):
        checks.address(header_line, address, 'column %d "%s"' % (column, address))
    if len(lines) == 1:
        checks.fail(header_line, "no runs: the header of addresses must be followed by one "
                    "line of values per run")
    if len(lines) - 1 > MAX_RUNS:
        raise SweepError("%s: %d runs; a sweep may have at most %d" % (name, len(lines) - 1,
                                                                       MAX_RUNS))
    rows = []
    for number, line in lines[1:]:
        row = cells(line)
        if len(row) != len(header):
            checks.fail(number, "expected %d values (one per address of line %d), found %d"
                        % (len(header), header_line, len(row)))
        for column, (target, value) in enumerate(zip(checks.targets, row), start=1):
            checks.value(number, 'column %d "%s"' % (column, header[column - 1]), target, value)
        rows.append(row)
    return Sweep(header, rows=rows, targets=checks.targets)


def grid_of_values(values, scenario, name="values"):
    """The grid Sweep of a mapping from address to its values (a number or
    text, or a list of them), the first address changing slowest; numbers are
    written in their shortest exact form.  SweepError as for a sweep file."""
    if not hasattr(values, "items") or not values:
        raise SweepError("%s: expected a mapping from address to a list of values" % name)
    checks = _Checks(scenario, name)
    addresses, columns = [], []
    for address, column in values.items():
        if not isinstance(address, str):
            checks.fail(None, "%r: an address is text FILE:SECTION[:INDEX]:KEY" % (address,))
        where = '"%s"' % address
        target = checks.address(None, address, where)
        if isinstance(column, (str, bytes)) or not hasattr(column, "__iter__"):
            column = [column]
        texts = []
        for value in column:
            try:
                text = value_text(target.kind, value)
            except AddressError as error:
                checks.fail(None, "%s: %s" % (where, error))
            checks.value(None, where, target, text)
            texts.append(text)
        if not texts:
            checks.fail(None, "%s: no values" % where)
        addresses.append(address)
        columns.append(texts)
    return checks.grid(addresses, columns)


def short_headings(addresses):
    """Column headings for addresses: the KEY part, or the whole address where
    two addresses share a KEY."""
    keys = [address.rsplit(":", 1)[-1].strip() for address in addresses]
    return [key if keys.count(key) == 1 else address
            for key, address in zip(keys, addresses)]
