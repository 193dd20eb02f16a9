"""Sweep files: which values a sweep changes, and their values in each run.

CSV form: a header line of addresses (see vdsim.scenario) and one line of
values per run.  Grid form (chosen when the first line holds "="): lines
ADDRESS=v1,v2,...; the runs are every combination, the first line's values
changing slowest.  Text from "#" to the end of a line is a comment.

A grid's runs are counted before anything else and made one at a time, so a
sweep over more than MAX_RUNS runs is refused at once, whatever its size.
"""

import csv
import hashlib
import json

from . import inputs
from .address import AddressError

MAX_RUNS = 1000000  # most runs one sweep may have


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


def parse_sweep(text, scenario, name):
    """The Sweep of a sweep file's text; SweepError naming the line when an
    address or a value does not fit the scenario, or the sweep has more than
    MAX_RUNS runs."""
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
        problem = inputs.check_value(target.kind, value)
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
        sweep = Sweep(addresses, columns=columns, targets=targets)
        if sweep.count > MAX_RUNS:
            raise SweepError("%s: the grid has %s runs (%s); a sweep may have at most %d: "
                             "use fewer values" % (name, "{:,}".format(sweep.count),
                                                   " x ".join(str(len(c)) for c in columns),
                                                   MAX_RUNS))
        return sweep

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
    if len(lines) - 1 > MAX_RUNS:
        raise SweepError("%s: %d runs; a sweep may have at most %d" % (name, len(lines) - 1,
                                                                       MAX_RUNS))
    rows = []
    for number, line in lines[1:]:
        row = cells(line)
        if len(row) != len(header):
            fail(number, "expected %d values (one per address of line %d), found %d"
                 % (len(header), header_line, len(row)))
        for column, (target, value) in enumerate(zip(targets, row), start=1):
            check(number, 'column %d "%s"' % (column, header[column - 1]), target, value)
        rows.append(row)
    return Sweep(header, rows=rows, targets=targets)


def short_headings(addresses):
    """Column headings for addresses: the KEY part, or the whole address where
    two addresses share a KEY."""
    keys = [address.rsplit(":", 1)[-1].strip() for address in addresses]
    return [key if keys.count(key) == 1 else address
            for key, address in zip(keys, addresses)]
