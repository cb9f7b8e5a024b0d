"""Readers for strong-motion records.

`read_record` and `read_records` read one file, or many, into `Record`
objects (acceleration in g, the sampling interval, the component and what
the header tells of the event and station).  The format is found from the
file's content:

* PEER NGA ``.AT2`` files of every vintage;
* COSMOS V1 and V2 (also V2c) files, USGS SMC files and CSMIP/DMG V2 files;
* K-NET and KiK-net ASCII, miniSEED and SAC files, through ObsPy (the
  ``groundmotion[obspy]`` extra);
* plain text and CSV.

Any of them may be gzip-compressed (recognised by its first bytes, whatever
the name) and, with fsspec installed, given as a URL.  A file that cannot be
read raises `RecordFormatError`, a `ValueError` naming the file and, when one
line is at fault, the line.  No reader trusts a count in a header: samples
are only ever held once they have been parsed, and a file is refused when it
(or its decompressed content) is larger than `MAX_RECORD_BYTES`.

`read_at2` and `read_columns` are the older, array-returning readers.
"""

from __future__ import annotations

import array
import glob
import io
import math
import os
import re
import warnings
import zlib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Union

import numpy as np
from numpy.typing import NDArray

from ._measures import _parse_numbers

__all__ = [
    "MAX_RECORD_BYTES",
    "Record",
    "RecordFormatError",
    "read_at2",
    "read_columns",
    "read_record",
    "read_records",
]

FloatArray = NDArray[np.float64]
PathLike = Union[str, "os.PathLike[str]"]

#: Largest file, after decompression, that the readers take (bytes).  A
#: strong-motion record of a million samples is about 15 MB of text.
MAX_RECORD_BYTES = 256 * 2**20

STANDARD_GRAVITY = 9.80665  # m/s^2

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eEdD][-+]?\d+)?"
_KEYWORD = {
    "NPTS": re.compile(rf"\bNPTS\s*[=:]\s*({_NUMBER})", re.IGNORECASE),
    "DT": re.compile(rf"\bDT\s*[=:]\s*({_NUMBER})", re.IGNORECASE),
}
_LABEL = re.compile(r"\b(NPTS|DT)\b", re.IGNORECASE)

# Acceleration units, normalised by _unit_key, and their size in g.
_TO_G = {
    "G": 1.0,
    "CM/S2": 0.01 / STANDARD_GRAVITY,
    "GAL": 0.01 / STANDARD_GRAVITY,
    "M/S2": 1.0 / STANDARD_GRAVITY,
    "MM/S2": 0.001 / STANDARD_GRAVITY,
}

FORMATS = ("at2", "cosmos", "smc", "dmg", "knet", "mseed", "sac", "text")
_ALIASES = {"peer": "at2", "csmip": "dmg", "kiknet": "knet", "miniseed": "mseed", "csv": "text", "txt": "text"}

# Names walked from a folder: plain text is read only when named or globbed,
# and PEER velocity and displacement files are left out.
_RECORD_SUFFIXES = {
    ".at2", ".v1", ".v1c", ".v2", ".v2c", ".smc", ".mseed", ".miniseed", ".ms", ".msd", ".sac",
    ".ew", ".ns", ".ud", ".ew1", ".ns1", ".ud1", ".ew2", ".ns2", ".ud2",
}


class RecordFormatError(ValueError):
    """A record file that cannot be read: wrong layout or values.

    Attributes
    ----------
    path : str
        The file.
    line : int or None
        The 1-based line number at fault, when one line is.
    """

    def __init__(self, path: PathLike, line: int | None, message: str) -> None:
        self.path = os.fspath(path)
        self.line = line
        where = self.path if line is None else f"{self.path}, line {line}"
        super().__init__(f"{where}: {message}")


@dataclass(frozen=True, eq=False)
class Record:
    """One component of a strong-motion record.

    Attributes
    ----------
    acceleration : numpy.ndarray of float64, shape (npts,)
        Acceleration in units of g (read-only).
    dt : float
        Sampling interval in seconds.
    name : str
        The file's name without its extensions (and the channel, when a file
        holds several).
    component : str
        The orientation: an azimuth such as ``"000"`` or ``"090"``, ``"UP"``,
        ``"DWN"``, or a channel code such as ``"HNE"`` or ``"EW"``; empty when
        the file does not say.
    units : str
        The units of the samples in the file, before conversion to g.
    metadata : dict
        What the header gives: ``format``, ``event``, ``date``, ``station``,
        ``rsn``, ``path`` and the like, where the file has them.
    """

    acceleration: FloatArray
    dt: float
    name: str = ""
    component: str = ""
    units: str = "g"
    metadata: dict[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        samples = np.array(self.acceleration, dtype=np.float64)
        if samples.ndim != 1:
            raise ValueError(f"acceleration must be one-dimensional; got shape {samples.shape}")
        samples.flags.writeable = False
        object.__setattr__(self, "acceleration", samples)
        dt = float(self.dt)
        if not (math.isfinite(dt) and dt > 0.0):
            raise ValueError(f"dt must be positive and finite; got {self.dt!r}")
        object.__setattr__(self, "dt", dt)
        object.__setattr__(self, "metadata", dict(self.metadata))

    @property
    def npts(self) -> int:
        """Number of samples."""
        return int(self.acceleration.size)

    @property
    def time(self) -> FloatArray:
        """Time of each sample from the first, in seconds."""
        return np.arange(self.npts) * self.dt

    def __repr__(self) -> str:
        return (
            f"Record(name={self.name!r}, component={self.component!r}, npts={self.npts}, "
            f"dt={self.dt!r}, units={self.units!r})"
        )


def _record(samples: FloatArray, dt: float, name: str, component: str, units: str, meta: dict[str, Any]) -> Record:
    """A Record around a float64 array that the reader owns (not copied)."""
    samples = np.ascontiguousarray(samples, dtype=np.float64)
    dt = float(dt)
    if samples.ndim != 1 or not (math.isfinite(dt) and dt > 0.0):
        return Record(samples, dt, name, component, units, meta)  # raises
    samples.flags.writeable = False
    record = object.__new__(Record)
    for key, value in (("acceleration", samples), ("dt", dt), ("name", name), ("component", component),
                       ("units", units), ("metadata", meta)):
        object.__setattr__(record, key, value)
    return record


# ---------------------------------------------------------------------------
# Bytes: files, URLs, gzip


def _is_url(name: str) -> bool:
    return re.match(r"^[A-Za-z][A-Za-z0-9+.-]+://", name) is not None and not name.startswith("file://")


def _load(path: PathLike) -> bytes:
    """The file's bytes, decompressed when they are gzip, at most MAX_RECORD_BYTES."""
    name = os.fspath(path)
    limit = MAX_RECORD_BYTES
    if _is_url(name):
        try:
            import fsspec
        except ImportError:
            raise ImportError(
                f"reading {name!r} needs fsspec: pip install 'groundmotion[remote]'"
            ) from None
        with fsspec.open(name, "rb") as handle:
            data = _read_capped(handle, limit)
    else:
        if name.startswith("file://"):
            name = name[len("file://"):]
        with open(name, "rb") as handle:
            data = _read_capped(handle, limit)
    if len(data) > limit:
        raise RecordFormatError(name, None, f"the file is larger than MAX_RECORD_BYTES={limit}")
    if data[:2] == b"\x1f\x8b":
        data = _gunzip(name, data, limit)
    return data


def _read_capped(handle: Any, limit: int) -> bytes:
    """At most limit + 1 bytes, read in pieces (one read(limit + 1) would reserve all of it)."""
    pieces = []
    size = 0
    while size <= limit:
        chunk = handle.read(min(1 << 22, limit + 1 - size))
        if not chunk:
            break
        pieces.append(chunk)
        size += len(chunk)
    return b"".join(pieces)


def _gunzip(name: str, data: bytes, limit: int) -> bytes:
    pieces: list[bytes] = []
    size = 0
    while data[:2] == b"\x1f\x8b":  # one or more gzip members
        inflate = zlib.decompressobj(16 + zlib.MAX_WBITS)
        try:
            chunk = inflate.decompress(data, limit + 1 - size)
        except zlib.error as error:
            raise RecordFormatError(name, None, f"corrupt gzip data ({error})") from None
        size += len(chunk)
        if size > limit or inflate.unconsumed_tail:
            raise RecordFormatError(
                name, None, f"the gzip data expand beyond MAX_RECORD_BYTES={limit} bytes"
            )
        if not inflate.eof:
            raise RecordFormatError(name, None, "the gzip data are truncated")
        pieces.append(chunk)
        data = inflate.unused_data
    return b"".join(pieces)


def _is_binary(data: bytes) -> bool:
    head = data[:8192]
    if b"\x00" in head:
        return True
    controls = sum(head.count(bytes([c])) for c in range(32) if c not in (9, 10, 12, 13))
    return controls > len(head) // 20


def _text(data: bytes) -> str:
    if data[:3] == b"\xef\xbb\xbf":
        data = data[3:]
    text = data.decode("latin-1")
    # One line end for \n, \r\n, \r and the \r\r\n of files copied twice.
    if "\r" not in text:
        return text
    if "\r\r" not in text:  # the common case, without the regular expression's cost
        return text.replace("\r\n", "\n").replace("\r", "\n")
    return re.sub(r"\r+\n?", "\n", text)


def _head(text: str, n: int, start: int = 0) -> tuple[list[str], int]:
    """The first n lines from offset start, and the offset after them."""
    lines = []
    pos = start
    size = len(text)
    while len(lines) < n and pos < size:
        end = text.find("\n", pos)
        if end < 0:
            end = size
        lines.append(text[pos:end])
        pos = end + 1
    return lines, min(pos, size)


def _read_lines(path: PathLike) -> list[str]:
    return _text(_load(path)).splitlines()


# ---------------------------------------------------------------------------
# Numbers


def _to_float(token: str) -> float:
    # Old Fortran writers use D for the exponent.
    return float(token.replace("D", "E").replace("d", "e"))


def _unit_key(units: str) -> str:
    key = units.strip().upper().replace(" ", "").replace("SEC", "S").replace("**", "").replace("^", "")
    key = key.rstrip(".,;:")
    if key.endswith("/S/S"):
        key = key[:-4] + "/S2"
    return "GAL" if key == "GALS" else key


def _g_per_unit(units: str) -> float | None:
    return _TO_G.get(_unit_key(units))


def _check_units(units: str | None) -> None:
    if units is not None and (not isinstance(units, str) or _g_per_unit(units) is None):
        raise ValueError(
            f"units must be one of 'g', 'm/s2', 'cm/s2', 'gal', 'mm/s2' (or spellings like "
            f"'cm/sec/sec'); got {units!r}"
        )


def _parse_line(path: PathLike, number: int, tokens: Sequence[str]) -> list[float]:
    values = []
    for token in tokens:
        try:
            values.append(_to_float(token))
        except ValueError:
            raise RecordFormatError(path, number, f"not a number: {token!r}") from None
    return values


def _line_of(text: str, start: int, first_line: int, index: int) -> int:
    """The line holding whitespace-separated value number `index` (from 0)."""
    count = 0
    for number, line in enumerate(io.StringIO(text[start:]), first_line):
        count += len(line.split())
        if count > index:
            return number
    return first_line + text.count("\n", start)


def _values(path: PathLike, text: str, start: int, first_line: int) -> FloatArray:
    """The whitespace-separated numbers of text[start:], finite, as float64."""
    body = text[start:]
    if "d" in body or "D" in body:
        body = body.replace("D", "E").replace("d", "e")
    values = _numbers(body)
    del body
    if values is None:  # find the line at fault
        for number, line in enumerate(io.StringIO(text[start:]), first_line):
            _parse_line(path, number, line.split())
        raise RecordFormatError(path, None, "the samples cannot be read as numbers")
    _check_finite(path, values, lambda k: _line_of(text, start, first_line, k))
    return values


def _numbers(body: str) -> FloatArray | None:
    """The whitespace-separated numbers of `body`, or None if one is not a
    number: the compiled reader first (correctly rounded, a few times
    faster), then NumPy's for the forms it takes that the compiled one does not."""
    parsed = _parse_numbers(body.encode("latin-1"))
    if parsed[0] == -1.0:
        return parsed[1:]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            return np.fromstring(body, dtype=np.float64, sep=" ")
    except (ValueError, DeprecationWarning):
        return None


def _check_finite(path: PathLike, values: FloatArray, line_of: Any) -> None:
    bad = np.flatnonzero(~np.isfinite(values))
    if bad.size:
        raise RecordFormatError(path, line_of(int(bad[0])), f"a sample is {float(values[bad[0]])!r}")


def _fixed_values(
    path: PathLike, text: str, start: int, first_line: int, npts: int, per_line: int, width: int
) -> tuple[FloatArray, int, int]:
    """npts numbers in Fortran fixed-width fields, per_line to a line.

    Returns the values, the offset after the last line read and the number
    of the next line.  Fields that touch (no blank between them) are split by
    their width; blank fields are skipped.
    """
    out = array.array("d")
    pos = start
    number = first_line
    size = len(text)
    while len(out) < npts:
        if pos >= size:
            raise RecordFormatError(
                path, number - 1, f"the data block ends after {len(out)} of {npts} samples"
            )
        end = text.find("\n", pos)
        if end < 0:
            end = size
        line = text[pos:end]
        tokens = line.split()
        if len(tokens) > per_line or any(len(t) > width for t in tokens):
            tokens = [line[k : k + width].strip() for k in range(0, len(line), width)]
            tokens = [t for t in tokens if t]
        values = _parse_line(path, number, tokens)
        if not all(math.isfinite(v) for v in values):
            raise RecordFormatError(path, number, "a sample is not finite")
        out.extend(values[: npts - len(out)])
        pos = end + 1
        number += 1
    return np.frombuffer(out, dtype=np.float64).copy(), min(pos, size), number


def _fortran_format(text: str) -> tuple[int, int] | None:
    """(count, width) of a Fortran format such as ``8F10.5`` or ``(10I8)``."""
    match = re.search(r"(\d+)\s*\(?\s*[FEGI]\s*(\d+)", text, re.IGNORECASE)
    if match is None:
        return None
    count, width = int(match.group(1)), int(match.group(2))
    if not (1 <= count <= 100 and 1 <= width <= 40):
        return None
    return count, width


# ---------------------------------------------------------------------------
# PEER .AT2


def _header_values(path: PathLike, line: str, number: int = 4) -> tuple[int, float]:
    """NPTS and DT from the header line of an .AT2 file."""
    found: dict[str, str] = {}
    for key, pattern in _KEYWORD.items():
        match = pattern.search(line)
        if match:
            found[key] = match.group(1)
    if len(found) < 2:
        # The older layout gives the numbers first: "5000  0.0100  NPTS, DT".
        labels = [m.group(1).upper() for m in _LABEL.finditer(line)]
        first_label = _LABEL.search(line)
        if sorted(set(labels)) == ["DT", "NPTS"] and first_label is not None:
            numbers = re.findall(_NUMBER, line[: first_label.start()])
            if len(numbers) >= 2:
                order = list(dict.fromkeys(labels))
                found = dict(zip(order, numbers))
    missing = [key for key in ("NPTS", "DT") if key not in found]
    if missing:
        raise RecordFormatError(
            path,
            number,
            f"no {' or '.join(missing)} in the header line {line.strip()!r} "
            "(expected e.g. 'NPTS=  5000, DT=   .0100 SEC')",
        )
    npts_value = _to_float(found["NPTS"])
    if not (npts_value.is_integer() and npts_value >= 1):
        raise RecordFormatError(
            path, number, f"NPTS must be a positive whole number; got {found['NPTS']}"
        )
    dt = _to_float(found["DT"])
    if not (math.isfinite(dt) and dt > 0.0):
        raise RecordFormatError(path, number, f"DT must be positive and finite; got {found['DT']}")
    return int(npts_value), dt


def _stem(name: str) -> str:
    base = re.split(r"[\\/]", name.rstrip("/\\"))[-1]
    if base.lower().endswith(".gz"):
        base = base[:-3]
    stem, dot, suffix = base.rpartition(".")
    return stem if dot and stem and len(suffix) <= 9 else base


def _suffix(name: str) -> str:
    base = re.split(r"[\\/]", name)[-1].lower()
    if base.endswith(".gz"):
        base = base[:-3]
    return os.path.splitext(base)[1]


def _azimuth(label: str) -> str:
    label = label.strip()
    return f"{int(label):03d}" if label.isdigit() and int(label) <= 360 else label.upper()


def _at2_metadata(name: str, header: list[str]) -> tuple[str, dict[str, Any]]:
    meta: dict[str, Any] = {}
    component = ""
    if len(header) >= 2 and header[1].count(",") >= 2:
        fields = [p.strip() for p in header[1].split(",")]
        date = re.search(r"\b\d{1,2}/\d{1,2}/\d{2,4}\b", header[1])
        if date:
            meta["date"] = date.group(0)
        event = fields[0]
        if date and date.group(0) in event:
            event = event[: event.index(date.group(0))].strip()
        meta["event"] = event
        middle = [p for p in fields[1:-1] if not (date and p == date.group(0))]
        if middle:
            meta["station"] = ", ".join(middle)
        component = _azimuth(fields[-1])
    stem = _stem(name)
    rsn = re.match(r"RSN(\d+)_", stem, re.IGNORECASE)
    if rsn:
        meta["rsn"] = int(rsn.group(1))
    if not component:
        end = re.search(r"(UP|DWN|DOWN|V|\d{3})$", stem.upper())
        component = _azimuth(end.group(1)) if end else ""
    meta["vertical"] = component.upper() in ("UP", "DWN", "DOWN", "V", "VER", "VERT", "Z", "UD")
    return component, meta


def _at2_units(path: PathLike, header: list[str]) -> tuple[str, float]:
    text = " ".join(header).upper()
    kind = re.search(r"\b(VELOCITY|DISPLACEMENT)\b", text)
    if kind:
        raise RecordFormatError(
            path, None, f"the header describes a {kind.group(1).lower()} time series, not acceleration"
        )
    match = re.search(r"\bUNITS?\s*(?:OF|IN|=|:)?\s*([A-Z][A-Z0-9/^*]*)", text)
    if match is None:
        match = re.search(r"\b(CM/S(?:EC)?(?:/S(?:EC)?|\^?2|\*\*2)|GALS?|M/S(?:EC)?(?:/S(?:EC)?|\^?2))(?:\s|$|\W)", text)
    if match is None:
        return "g", 1.0  # PEER distributes records in g
    units = match.group(1)
    scale = _g_per_unit(units)
    if scale is None:
        raise RecordFormatError(path, None, f"the header gives units {units!r}, not an acceleration unit")
    return units, scale


def _parse_at2(path: PathLike, text: str) -> tuple[FloatArray, float, list[str]]:
    """Samples (as in the file), DT and the header lines before NPTS/DT."""
    head, _ = _head(text, 10)
    at = next((k for k, line in enumerate(head) if {m.upper() for m in _LABEL.findall(line)} == {"NPTS", "DT"}), None)
    if at is None:
        if len(head) < 4:
            raise RecordFormatError(
                path,
                None,
                f"the file ends after {len(head)} line(s); an .AT2 file starts with a "
                "4-line header whose last line gives NPTS and DT",
            )
        at = next((k for k, line in enumerate(head) if _LABEL.search(line)), 3)
    npts, dt = _header_values(path, head[at], at + 1)
    _, start = _head(text, at + 1)
    samples = _values(path, text, start, at + 2)
    if samples.size != npts:
        if samples.size < npts:
            last = text.count("\n", 0, len(text.rstrip("\n"))) + 1
            raise RecordFormatError(
                path,
                last,
                f"the header (line {at + 1}) gives NPTS={npts} but the file holds only "
                f"{samples.size} samples",
            )
        raise RecordFormatError(
            path,
            _line_of(text, start, at + 2, npts),
            f"the file holds {samples.size} samples, more than NPTS={npts} in the header (line {at + 1})",
        )
    return samples, dt, head[:at]


def _read_at2_record(name: str, text: str, units: str | None) -> list[Record]:
    samples, dt, header = _parse_at2(name, text)
    file_units, scale = _at2_units(name, header)
    if units is not None:
        file_units, scale = units, _g_per_unit(units) or 1.0
    component, meta = _at2_metadata(name, header)
    if scale != 1.0:
        samples *= scale
    return [_record(samples, dt, _stem(name), component, file_units, {"format": "at2", **meta})]


# ---------------------------------------------------------------------------
# COSMOS V1/V2


_COSMOS_INT = re.compile(r"^\s*(\d+)\s+Integer-header values follow on\s+(\d+)\s+lines?", re.IGNORECASE)
_COSMOS_REAL = re.compile(r"^\s*(\d+)\s+Real-header values follow on\s+(\d+)\s+lines?", re.IGNORECASE)
_COSMOS_COMMENT = re.compile(r"^\s*(\d+)\s+Comment line", re.IGNORECASE)
_COSMOS_DATA = re.compile(
    r"^\s*(\d+)\s+([A-Za-z]+)\s+pts\b.*?units\s*=\s*([^(,]*?)\s*(?:\((\d+)\))?\s*,?\s*Format\s*=?",
    re.IGNORECASE,
)


def _cosmos_block(
    path: str, text: str, pos: int, number: int, line: str, kind: str
) -> tuple[list[float], int, int]:
    """The header values announced by `line`, and where the text goes on."""
    match = (_COSMOS_INT if kind == "int" else _COSMOS_REAL).match(line)
    if match is None:
        what = "Integer-header" if kind == "int" else "Real-header"
        raise RecordFormatError(path, number - 1, f"expected the COSMOS line '... {what} values follow on ...'")
    count, nlines = int(match.group(1)), int(match.group(2))
    form = _fortran_format(line[match.end():]) or (10, 8)
    if not (1 <= count <= 10_000 and nlines <= 10_000):
        raise RecordFormatError(path, number - 1, f"{count} header values on {nlines} lines is not credible")
    values, pos, number = _fixed_values(path, text, pos, number, count, *form)
    return values.tolist(), pos, number


def _read_cosmos(name: str, text: str, units: str | None) -> list[Record]:
    records: list[Record] = []
    pos, number = 0, 1
    text_header: list[str] = []
    kinds: list[str] = []
    while pos < len(text):
        lines, after = _head(text, 1, pos)
        line = lines[0]
        if not _COSMOS_INT.match(line):
            text_header.append(line)
            pos, number = after, number + 1
            continue
        ints, pos, number = _cosmos_block(name, text, after, number + 1, line, "int")
        lines, after = _head(text, 1, pos)
        reals, pos, number = _cosmos_block(name, text, after, number + 1, lines[0] if lines else "", "real")
        lines, after = _head(text, 1, pos)
        comments = _COSMOS_COMMENT.match(lines[0]) if lines else None
        if comments:
            _, pos = _head(text, int(comments.group(1)), after)
            number += 1 + int(comments.group(1))
            lines, after = _head(text, 1, pos)
        data = _COSMOS_DATA.match(lines[0]) if lines else None
        if data is None:
            raise RecordFormatError(name, number, "expected a COSMOS data line such as "
                                    "'8000 acceleration pts, approx 40 secs, units=cm/sec2 (04), Format=(8F10.5)'")
        npts, kind = int(data.group(1)), data.group(2).lower()
        file_units = data.group(3).strip() or ("cm/s2" if data.group(4) == "04" else "")
        form = _fortran_format(lines[0][data.end():]) or (8, 10)
        samples, pos, number = _fixed_values(name, text, after, number + 1, npts, *form)
        kinds.append(kind)
        if kind.startswith("accel"):
            records.append(_cosmos_record(name, text_header, ints, reals, samples, file_units, units, number))
        text_header = []
        lines, after = _head(text, 1, pos)
        if lines and lines[0].lstrip().lower().startswith("end-of-data"):
            pos, number = after, number + 1
    if not records:
        what = ", ".join(kinds) if kinds else "no data block"
        raise RecordFormatError(name, None, f"the COSMOS file holds {what}, no acceleration")
    return records


def _cosmos_record(
    name: str, header: list[str], ints: list[float], reals: list[float], samples: FloatArray,
    file_units: str, units: str | None, number: int,
) -> Record:
    missing = -999.0
    dt = reals[61] / 1000.0 if len(reals) > 61 and reals[61] > 0 and reals[61] != missing else None
    if dt is None and len(reals) > 33 and reals[33] > 0 and reals[33] != missing:
        dt = 1.0 / reals[33]
    if dt is None:
        raise RecordFormatError(name, None, "no sampling interval in the real header (values 62 and 34)")
    if units is not None:
        file_units = units
    scale = _g_per_unit(file_units)
    if scale is None:
        raise RecordFormatError(name, number, f"the data are in {file_units!r}, not an acceleration unit "
                                "(pass units= to read them as one)")
    component = ""
    if len(ints) > 53:
        azimuth = int(ints[53])
        component = {400: "UP", 500: "DOWN"}.get(azimuth, f"{azimuth:03d}" if 0 <= azimuth <= 360 else "")
    meta: dict[str, Any] = {"format": "cosmos"}
    if len(header) > 1:
        meta["event"] = header[1][:40].strip()
        meta["date"] = header[1][40:].strip()
    if len(header) > 4:
        meta["station"] = header[4].strip()
    meta["vertical"] = component in ("UP", "DOWN")
    return _record(samples * scale, dt, _stem(name), component, file_units, meta)


# ---------------------------------------------------------------------------
# USGS SMC


_SMC_TYPE = re.compile(
    r"^\s*([0-5])\s+(UNCORRECTED ACCELEROGRAM|CORRECTED ACCELEROGRAM|VELOCITY|DISPLACEMENT|RESPONSE SPECTRA|UNKNOWN)",
    re.IGNORECASE,
)


def _read_smc(name: str, text: str, units: str | None) -> list[Record]:
    header, pos = _head(text, 11)
    if len(header) < 11:
        raise RecordFormatError(name, None, f"the file ends after {len(header)} line(s); an SMC file has 11 text lines")
    kind = _SMC_TYPE.match(header[0])
    if kind is None or kind.group(1) not in "12":
        what = kind.group(2).lower() if kind else header[0].strip()[:40]
        raise RecordFormatError(name, 1, f"the SMC file holds {what!r}, not an accelerogram")
    ints_array, pos, number = _fixed_values(name, text, pos, 12, 48, 8, 10)
    reals_array, pos, number = _fixed_values(name, text, pos, number, 50, 5, 15)
    ints, reals = [int(v) for v in ints_array], reals_array.tolist()
    comments, npts = ints[15], ints[16]
    if not (0 <= comments <= 100_000):
        raise RecordFormatError(name, 13, f"the integer header gives {comments} comment lines")
    if npts < 1:
        raise RecordFormatError(name, 14, f"the integer header gives {npts} samples")
    if not (math.isfinite(reals[1]) and reals[1] > 0.0) or reals[1] == reals[0]:
        raise RecordFormatError(name, 29, f"the sampling rate in the real header is {reals[1]!r}")
    _, pos = _head(text, comments, pos)
    samples, _, _ = _fixed_values(name, text, pos, number + comments, npts, 8, 10)
    file_units = units or "cm/s2"
    vertical_angle, azimuth = ints[12], ints[13]
    if vertical_angle in (0, 180):
        component = "UP" if vertical_angle == 0 else "DOWN"
    else:
        component = f"{azimuth:03d}" if 0 <= azimuth <= 360 else ""
    meta: dict[str, Any] = {"format": "smc", "station": header[2][:4].strip()}
    if header[5][10:40].strip():
        meta["station_name"] = header[5][10:40].strip()
    if ints[1] != ints[0]:
        meta["date"] = f"{ints[1]:04d}, day {ints[2]:03d}, {ints[3]:02d}:{ints[4]:02d}:{ints[5]:02d}"
    meta["vertical"] = component in ("UP", "DOWN")
    return [_record(samples * (_g_per_unit(file_units) or 1.0), 1.0 / reals[1], _stem(name),
                   component, file_units, meta)]


# ---------------------------------------------------------------------------
# CSMIP/DMG V2


_DMG_BLOCK = re.compile(
    r"^[ \t]*(\d+)[ \t]+POINTS OF[ \t]+(ACCEL|VELOC|DISPL)\w*[ \t]+DATA[ \t]+EQUALLY SPACED AT[ \t]+("
    + _NUMBER + r")[ \t]*SEC[.,]?[ \t]*(?:IN[ \t]+(?:UNITS[ \t]+OF[ \t]+)?([A-Z][A-Z0-9/^*]*))?",
    re.IGNORECASE | re.MULTILINE,
)


def _read_dmg(name: str, text: str, units: str | None) -> list[Record]:
    records: list[Record] = []
    kinds: list[str] = []
    for block in _DMG_BLOCK.finditer(text):
        npts, kind, dt = int(block.group(1)), block.group(2).upper(), _to_float(block.group(3))
        kinds.append(kind.lower())
        if kind != "ACCEL":
            continue
        number = text.count("\n", 0, block.start()) + 1
        if not (math.isfinite(dt) and dt > 0):
            raise RecordFormatError(name, number, f"the sampling interval is {block.group(3)}")
        line_end = text.find("\n", block.end())
        line_end = len(text) if line_end < 0 else line_end
        form = _fortran_format(text[block.end():line_end]) or (8, 10)
        samples, _, _ = _fixed_values(name, text, line_end + 1, number + 1, npts, *form)
        file_units = units or (block.group(4) or "cm/s2").rstrip(".,")
        scale = _g_per_unit(file_units)
        if scale is None:
            raise RecordFormatError(name, number, f"the data are in {file_units!r}, not an acceleration unit")
        before = text[max(0, block.start() - 20000): block.start()]
        channel = list(re.finditer(r"\bCHAN\w*\s*(\d+)\s*[:=]?\s*(UP|DOWN|DWN|VERT?|\d{1,3})\b", before, re.IGNORECASE))
        component = _azimuth(channel[-1].group(2)) if channel else ""
        meta: dict[str, Any] = {"format": "dmg", "vertical": component.upper() in ("UP", "DOWN", "DWN", "VER", "VERT")}
        title, _ = _head(text, 2)
        if len(title) > 1:
            meta["event"] = title[1].strip()
        records.append(_record(samples * scale, dt, _stem(name), component, file_units, meta))
    if not records:
        raise RecordFormatError(name, None, f"the file holds {', '.join(kinds) or 'no data'}, no acceleration")
    if len(records) > 1:
        for k, record in enumerate(records):
            object.__setattr__(record, "name", f"{record.name}.{k + 1}")
    return records


# ---------------------------------------------------------------------------
# Through ObsPy: K-NET/KiK-net ASCII, miniSEED, SAC


def _obspy_read(name: str, data: bytes, fmt: str) -> Any:
    try:
        import obspy
    except ImportError:
        raise ImportError(
            f"reading {fmt} files needs ObsPy: pip install 'groundmotion[obspy]'"
        ) from None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return obspy.read(io.BytesIO(data), format=fmt)
    except Exception as error:  # ObsPy raises many kinds on bad input
        raise RecordFormatError(name, None, f"not a readable {fmt} file ({type(error).__name__}: {error})") from None


def _read_knet(name: str, data: bytes, units: str | None) -> list[Record]:
    records = []
    for trace in _obspy_read(name, data, "KNET"):
        # The scale factor of the header, (gal)/counts, is held as m/s^2 per count.
        acc = trace.data.astype(np.float64) * float(trace.stats.calib)
        if acc.size:
            acc -= acc.mean()  # the raw counts carry an offset
        knet = dict(trace.stats.get("knet", {}))
        meta = {
            "format": "knet", "station": trace.stats.station, "network": trace.stats.network,
            "starttime": str(trace.stats.starttime), "vertical": trace.stats.channel.startswith("UD"),
            **{k: (str(v) if not isinstance(v, (int, float, str)) else v) for k, v in knet.items()},
        }
        records.append(_record(acc / STANDARD_GRAVITY, trace.stats.delta, _stem(name), trace.stats.channel, "gal", meta))
    return records


def _read_seismic(name: str, data: bytes, fmt: str, units: str | None, calibration: float | None) -> list[Record]:
    if units is None and calibration is None:
        raise RecordFormatError(
            name, None, f"{fmt} files hold instrument counts or values of unknown units; pass "
            "units= (e.g. 'm/s2') for samples in those units, or calibration= (a factor to m/s2)",
        )
    stream = _obspy_read(name, data, fmt.upper())
    target = units or "m/s2"
    scale = (_g_per_unit(target) or 1.0) * (1.0 if calibration is None else calibration)
    records = []
    for trace in stream:
        stats = trace.stats
        label = ".".join((stats.network, stats.station, stats.location, stats.channel))
        meta = {"format": fmt, "network": stats.network, "station": stats.station,
                "location": stats.location, "channel": stats.channel, "starttime": str(stats.starttime),
                "vertical": stats.channel[-1:] in ("Z", "3")}
        record_name = _stem(name) if len(stream) == 1 else f"{_stem(name)}.{label}"
        if not np.all(np.isfinite(trace.data)):
            raise RecordFormatError(name, None, f"trace {label} holds a sample that is not finite")
        records.append(_record(trace.data.astype(np.float64) * scale, stats.delta, record_name,
                              stats.channel, target, meta))
    return records


# ---------------------------------------------------------------------------
# Plain text and CSV


_INTEGER = re.compile(r"[-+]?\d+$")
_DECIMAL_COMMA = re.compile(r"[-+]?\d*,\d+(?:[eE][-+]?\d+)?$")


def _read_text(name: str, text: str, units: str | None, dt: float | None, column: int | str | None) -> list[Record]:
    names, table, integer_pairs = _text_table(name, text)
    width = table.shape[1]
    _check_finite(name, table.ravel(), lambda k: None)
    steady = False
    if width > 1 or integer_pairs:  # a first column rising by a constant step is time
        step = np.diff(table[:, 0])
        steady = step.size > 0 and step[0] > 0 and float(np.max(np.abs(step - step[0]))) <= 1e-4 * step[0]
        del step
    if integer_pairs and not steady:
        raise RecordFormatError(name, None, "the numbers look like decimals written with a decimal "
                                "comma (e.g. '0,0123'); write them with a decimal point")
    labels = names if len(names) == width else [" ".join(names)] if width == 1 else [""] * width
    timed = width > 1 and (re.match(r"\s*(t|time)\b", labels[0], re.IGNORECASE) is not None or steady)
    if timed:
        if not steady:
            raise RecordFormatError(name, None, "the time column does not advance by a constant step")
        file_dt = float((table[-1, 0] - table[0, 0]) / (table.shape[0] - 1))
        if dt is not None and not math.isclose(dt, file_dt, rel_tol=1e-4):
            raise RecordFormatError(name, None, f"the time column has a step of {file_dt!r} s, not dt={dt!r}")
        dt = file_dt
    if dt is None:
        raise RecordFormatError(name, None, "no time column; pass dt= (the sampling interval in seconds)")
    candidates = list(range(1 if timed else 0, width))
    if column is None:
        if len(candidates) != 1:
            raise RecordFormatError(name, None, f"{len(candidates)} data columns; choose one with column=")
        index = candidates[0]
    elif isinstance(column, str):
        if column not in labels:
            raise ValueError(f"column={column!r} is not among the column names {labels}")
        index = labels.index(column)
    else:
        index = int(column)
        if not -width <= index < width:
            raise ValueError(f"column={column!r} is past the {width} columns of {name}")
    file_units = units
    if file_units is None:
        found = re.search(r"[\[(]\s*([^\])]+?)\s*[\])]", labels[index])
        file_units = found.group(1) if found and _g_per_unit(found.group(1)) else "g"
    meta = {"format": "text", "columns": labels, "column": index}
    samples = table[:, index]
    if width == 1:
        samples *= _g_per_unit(file_units)  # the table is no longer needed
    else:
        samples = samples * _g_per_unit(file_units)
    return [_record(samples, dt, _stem(name), "", file_units, meta)]


def _text_table(name: str, text: str) -> tuple[list[str], FloatArray, bool]:
    """Column names, the table of numbers and whether every row is two whole numbers split by a comma."""
    names: list[str] = []
    separator: str | None = None
    tokens: list[str] = []
    pos, number, size = 0, 0, len(text)
    while pos < size:  # the header: lines before the first line of numbers
        end = text.find("\n", pos)
        end = size if end < 0 else end
        number += 1
        stripped = text[pos:end].strip()
        if stripped and stripped[0] not in "#%":
            if separator is None:
                separator = "," if "," in stripped else ";" if ";" in stripped else "\t" if "\t" in stripped else None
            tokens = [t.strip() for t in stripped.split(separator)]
            if all(_is_number(t) for t in tokens if t):
                break
            comma = next((t for t in tokens if _DECIMAL_COMMA.match(t)), None)
            if comma is not None:
                raise RecordFormatError(name, number, f"{comma!r} has a decimal comma; write the numbers with a decimal point")
            names = tokens
            separator = separator if len(tokens) > 1 else None
        pos = end + 1
    if pos >= size:
        raise RecordFormatError(name, None, "the file holds no data lines")
    width = len(tokens)
    table = _fast_table(text[pos:], separator, width)
    if table is not None:
        pairs = width == 2 and separator == "," and re.search(r"[^-+0-9,\s]", text[pos:]) is None
        return names, table, pairs
    rows = array.array("d")
    pairs = width == 2 and separator == ","
    for number, line in enumerate(io.StringIO(text[pos:]), number):
        stripped = line.strip()
        if not stripped or stripped[0] in "#%":
            continue
        tokens = [t.strip() for t in stripped.split(separator)]
        if len(tokens) != width:
            raise RecordFormatError(name, number, f"{len(tokens)} columns, but the first data line has {width}")
        try:
            rows.extend(float(t) for t in tokens)
        except ValueError:
            bad = next(t for t in tokens if not _is_number(t))
            if _DECIMAL_COMMA.match(bad):
                raise RecordFormatError(name, number, f"{bad!r} has a decimal comma; write the numbers "
                                        "with a decimal point") from None
            raise RecordFormatError(name, number, f"not a number: {bad!r}") from None
        pairs = pairs and all(_INTEGER.match(t) for t in tokens)
    return names, np.frombuffer(rows, dtype=np.float64).reshape(-1, width), pairs


def _fast_table(body: str, separator: str | None, width: int) -> FloatArray | None:
    """The numbers of a clean body (width on every non-blank line), parsed by NumPy; None otherwise."""
    if "#" in body or "%" in body:
        return None
    if separator is not None:
        body = body.replace(separator, " ")
    rows = 0
    pos = 0
    while pos < len(body):  # in pieces of about a megabyte, to bound the temporaries
        end = body.find("\n", pos + (1 << 20))
        end = len(body) if end < 0 else end + 1
        raw = np.frombuffer(body[pos:end].encode("latin-1"), dtype=np.uint8)
        blank = (raw == 32) | ((raw >= 9) & (raw <= 13))
        starts = ~blank
        starts[1:] &= blank[:-1]
        lines = np.flatnonzero(raw == 10)[:-1] + 1 if raw[-1] == 10 else np.flatnonzero(raw == 10) + 1
        counts = np.add.reduceat(starts.view(np.uint8), np.concatenate(([0], lines)), dtype=np.int32)
        counts = counts[counts > 0]
        if not np.all(counts == width):
            return None
        rows += counts.size
        pos = end
    values = _numbers(body)
    if values is None or values.size != rows * width:
        return None
    return values.reshape(-1, width)


# ---------------------------------------------------------------------------
# Finding the format


def _detect(name: str, data: bytes) -> str:
    if data[:3] == b"MS\x03" or (
        len(data) >= 48 and data[6:7] in (b"D", b"R", b"Q", b"M") and data[7:8] in (b" ", b"\x00")
        and re.fullmatch(rb"[0-9 ]{6}", data[:6]) is not None
    ):
        return "mseed"
    if len(data) >= 632:
        for order in ("<", ">"):
            version = int(np.frombuffer(data[304:308], dtype=f"{order}i4")[0])
            if version in (6, 7):
                return "sac"
    if _is_binary(data):
        raise RecordFormatError(name, None, "binary content that is neither miniSEED nor SAC")
    head = _text(data[:16384])
    lines = head.split("\n")
    if lines[0].startswith("Origin Time") and any(line.startswith("Scale Factor") for line in lines[:20]):
        return "knet"
    if any(_COSMOS_INT.match(line) for line in lines[:200]):
        return "cosmos"
    if _SMC_TYPE.match(lines[0]):
        return "smc"
    if any({m.upper() for m in _LABEL.findall(line)} == {"NPTS", "DT"} for line in lines[:10]):
        return "at2"
    if _suffix(name) in (".at2", ".vt2", ".dt2"):
        return "at2"
    if _DMG_BLOCK.search(_text(data)) is not None:
        return "dmg"
    return "text"


def _read_path(
    path: PathLike, format: str | None, units: str | None, calibration: float | None,
    dt: float | None, column: int | str | None,
) -> list[Record]:
    name = os.fspath(path)
    suffix = _suffix(name)
    if suffix in (".vt2", ".dt2"):
        kind = "velocity" if suffix == ".vt2" else "displacement"
        raise RecordFormatError(name, None, f"a PEER {suffix.upper()[1:]} file holds {kind}, not acceleration")
    data = _load(name)
    fmt = format or _detect(name, data)
    try:
        with np.errstate(all="ignore"):
            records = _parse(name, data, fmt, units, calibration, dt, column)
    except RecordFormatError:
        raise
    except (ValueError, ArithmeticError) as error:  # a value out of range, e.g. a sampling rate of 1e-320
        raise RecordFormatError(name, None, f"values out of range ({error})") from None
    for record in records:
        if record.npts == 0 or not np.isfinite(record.acceleration).all():
            raise RecordFormatError(name, None, f"record {record.name!r} is empty or holds values out of range")
        record.metadata.setdefault("path", name)
    return records


def _parse(
    name: str, data: bytes, fmt: str, units: str | None, calibration: float | None,
    dt: float | None, column: int | str | None,
) -> list[Record]:
    if fmt in ("mseed", "sac"):
        return _read_seismic(name, data, fmt, units, calibration)
    if fmt == "knet":
        return _read_knet(name, data, units)
    if _is_binary(data):
        raise RecordFormatError(name, None, f"binary content, not a {fmt} text file")
    text = _text(data)
    del data
    if fmt == "at2":
        records = _read_at2_record(name, text, units)
    elif fmt == "cosmos":
        records = _read_cosmos(name, text, units)
    elif fmt == "smc":
        records = _read_smc(name, text, units)
    elif fmt == "dmg":
        records = _read_dmg(name, text, units)
    else:
        records = _read_text(name, text, units, dt, column)
    if calibration is not None:
        records = [_record(r.acceleration * calibration, r.dt, r.name, r.component, r.units, r.metadata)
                   for r in records]
    return records


def _check_arguments(format: str | None, units: str | None, calibration: float | None, dt: float | None) -> str | None:
    if format is not None:
        if not isinstance(format, str) or _ALIASES.get(format.lower(), format.lower()) not in FORMATS:
            raise ValueError(f"format must be None or one of {FORMATS}; got {format!r}")
        format = _ALIASES.get(format.lower(), format.lower())
    _check_units(units)
    if calibration is not None:
        if isinstance(calibration, bool) or not isinstance(calibration, (int, float, np.number)) \
                or not (math.isfinite(calibration) and calibration != 0):
            raise ValueError(f"calibration must be a finite, non-zero number; got {calibration!r}")
    if dt is not None:
        if isinstance(dt, bool) or not isinstance(dt, (int, float, np.number)) or not (math.isfinite(dt) and dt > 0):
            raise ValueError(f"dt must be positive and finite; got {dt!r}")
    return format


def read_record(
    path: PathLike,
    format: str | None = None,
    *,
    units: str | None = None,
    calibration: float | None = None,
    dt: float | None = None,
    column: int | str | None = None,
) -> Record:
    """Read one acceleration record.

    Parameters
    ----------
    path : str or os.PathLike
        The file, plain or gzip-compressed; a URL (``s3://``, ``https://``,
        ...) is opened through fsspec when it is installed.
    format : str, optional
        One of ``"at2"``, ``"cosmos"``, ``"smc"``, ``"dmg"``, ``"knet"``,
        ``"mseed"``, ``"sac"``, ``"text"``; by default found from the content.
    units : str, optional
        Units of the samples in the file: ``"g"``, ``"m/s2"``, ``"cm/s2"``,
        ``"gal"`` or ``"mm/s2"`` (spellings like ``"cm/sec/sec"`` too).
        Plain text defaults to g (or the units in a column name such as
        ``acc(cm/s2)``); miniSEED and SAC, which hold counts or values of
        unknown units, are refused unless `units` or `calibration` is given;
        for .AT2, COSMOS, SMC and CSMIP files it replaces what the header
        says; K-NET files are always read through their scale factor.
    calibration : float, optional
        A factor applied to the samples; for miniSEED and SAC it converts
        them to `units` (m/s2 unless given).
    dt : float, optional
        Sampling interval of a plain text record without a time column.
    column : int or str, optional
        The column of a plain text file holding the record, by position or
        by its name in a header line; needed when there are several.

    Returns
    -------
    Record

    Raises
    ------
    RecordFormatError
        (a ValueError) if the file is malformed, not acceleration, holds
        several records, or is larger than `MAX_RECORD_BYTES`; the message
        names the file and, when one is at fault, the line.
    ImportError
        For K-NET, miniSEED or SAC files without ObsPy, or URLs without
        fsspec; the message names the extra to install.
    ValueError
        For a wrong argument.
    OSError
        If the file cannot be read.

    Examples
    --------
    >>> record = read_record("RSN6_IMPVALL.I_I-ELC180.AT2")  # doctest: +SKIP
    >>> record.component, record.metadata["rsn"]  # doctest: +SKIP
    ('180', 6)
    """
    fmt = _check_arguments(format, units, calibration, dt)
    records = _read_path(path, fmt, units, calibration, dt, column)
    if len(records) != 1:
        raise RecordFormatError(path, None, f"the file holds {len(records)} records; read them with read_records")
    return records[0]


def _expand_url(name: str) -> list[str]:
    """A URL: a file as it is; a folder or a glob in an fsspec filesystem,
    expanded as a local one is (sorted, hidden entries left out)."""
    try:
        import fsspec
    except ImportError:
        return [name]  # read_record says what to install
    fs, path = fsspec.core.url_to_fs(name)
    protocol = name.split("://", 1)[0]

    def url(found: str) -> str:
        return found if _is_url(found) else f"{protocol}://{found.lstrip('/') if protocol != 'memory' else found}"

    if glob.has_magic(path):
        return [url(f) for f in sorted(fs.glob(path)) if fs.isfile(f)]
    if fs.isdir(path):
        return [url(f) for f in sorted(fs.find(path))
                if not any(part.startswith(".") for part in f.split("/"))
                and _suffix(f) in _RECORD_SUFFIXES]
    return [name]


def _expand(source: PathLike | Iterable[PathLike]) -> list[str]:
    if isinstance(source, (str, os.PathLike)):
        name = os.fspath(source)
        if _is_url(name):
            return _expand_url(name)
        if os.path.isdir(name):
            found = []
            for root, folders, files in os.walk(name):
                folders[:] = sorted(f for f in folders if not f.startswith("."))
                found.extend(
                    os.path.join(root, f) for f in sorted(files)
                    if not f.startswith(".") and _suffix(f) in _RECORD_SUFFIXES
                )
            return found
        if glob.has_magic(name):
            matches = sorted(glob.glob(name, recursive=True))
            if not matches:
                raise FileNotFoundError(f"no file matches {name!r}")
            return [m for m in matches if os.path.isfile(m)]
        return [name]
    if isinstance(source, (bytes, bytearray)) or not isinstance(source, Iterable):
        raise TypeError(f"paths must be a path, a folder, a glob or a list of paths; got {type(source).__name__}")
    paths = []
    for item in source:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"paths must hold paths; got {item!r}")
        paths.append(os.fspath(item))
    return paths


def read_records(
    paths: PathLike | Iterable[PathLike],
    format: str | None = None,
    *,
    units: str | None = None,
    calibration: float | None = None,
    dt: float | None = None,
    column: int | str | None = None,
) -> list[Record]:
    """Read many records: a folder, a glob or a list of files.

    A folder is walked (sorted, hidden entries skipped) for files named like
    records: ``.AT2``, ``.V1``, ``.V2``, ``.V2c``, ``.smc``, K-NET and
    KiK-net names (``.EW``, ``.NS2``, ...), ``.mseed``, ``.sac``, each
    possibly ending in ``.gz``; PEER ``.VT2``/``.DT2`` files and plain text
    are left out (name them, or use a glob such as ``"records/*.csv"``).  A
    glob is expanded in sorted order; a list of paths is read in its order.
    A file holding several records (a CSMIP file with three channels, a
    miniSEED file with several traces) gives them all.  The other arguments
    are those of `read_record`.

    Returns
    -------
    list of Record
    """
    fmt = _check_arguments(format, units, calibration, dt)
    records: list[Record] = []
    for path in _expand(paths):
        records.extend(_read_path(path, fmt, units, calibration, dt, column))
    return records


# ---------------------------------------------------------------------------
# The array readers


def read_at2(path: PathLike) -> tuple[FloatArray, float]:
    """Read an acceleration record in the PEER NGA ``.AT2`` format.

    The format has a header (database name; event, date, station and
    component; units; the number of points and the sampling interval)
    followed by the samples, several per line.  The NPTS/DT line may read
    ``NPTS=  5000, DT=   .0100 SEC`` (the NGA-West2 layout, with the keywords
    in any order and extra text after them) or ``5000   .0100   NPTS, DT``
    (the older layout, numbers first), and is looked for in the first ten
    lines.  Samples in cm/s² (a header saying ``UNITS OF CM/SEC/SEC``) are
    converted to g.  A gzip-compressed file is read as well.

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    samples : numpy.ndarray of float64, shape (NPTS,)
        Acceleration in units of g.
    dt : float
        Sampling interval in seconds.

    Raises
    ------
    RecordFormatError
        (a ValueError) if the header is incomplete, NPTS or DT is missing or
        invalid, the header describes velocity or displacement, a sample is
        not a number, or the file holds fewer or more samples than NPTS; the
        message names the file and the line.
    OSError
        If the file cannot be read.

    Examples
    --------
    >>> samples, dt = read_at2("RSN6_IMPVALL.I_I-ELC180.AT2")  # doctest: +SKIP
    """
    name = os.fspath(path)
    record = _read_path(name, "at2", None, None, None, None)[0]
    return np.array(record.acceleration), record.dt


def read_columns(
    path: PathLike,
    delimiter: str | None = None,
    skiprows: int = 0,
    usecols: int | Sequence[int] | None = None,
    comments: str | None = "#",
) -> FloatArray:
    """Read records stored as columns of a plain text or CSV file.

    Parameters
    ----------
    path : str or os.PathLike
        The file, plain or gzip-compressed.
    delimiter : str, optional
        The column separator.  By default columns are separated by commas
        when the first data line holds a comma, otherwise by whitespace.
    skiprows : int, optional
        Number of lines to skip at the top (a header).
    usecols : int or sequence of int, optional
        The columns to read, counted from 0 (negative counts from the last
        column).  By default all columns.
    comments : str or None, optional
        Lines starting with this text, after leading blanks, are skipped, as
        are blank lines.  None keeps every line.

    Returns
    -------
    numpy.ndarray of float64
        Shape (n_rows,) when one column is read; otherwise shape
        (n_columns, n_rows): one record per row, ready for the batch
        functions of this package.

    Raises
    ------
    RecordFormatError
        (a ValueError) if the file holds no data, a value is not a number,
        a line has fewer columns than needed or a different number of
        columns than the first data line; the message names the file and the
        line.
    ValueError
        If `skiprows` is negative.
    OSError
        If the file cannot be read.

    Examples
    --------
    >>> h1, h2 = read_columns("record.csv", skiprows=1, usecols=[1, 2])  # doctest: +SKIP
    """
    if skiprows < 0:
        raise ValueError(f"skiprows must not be negative; got {skiprows}")
    lines = _read_lines(path)
    single = isinstance(usecols, (int, np.integer))
    columns: list[int] | None
    if usecols is None:
        columns = None
    elif single:
        columns = [int(usecols)]  # type: ignore[arg-type]
    else:
        columns = [int(c) for c in usecols]  # type: ignore[union-attr]
    separator = delimiter
    width: int | None = None
    rows: list[list[float]] = []
    for number, text in enumerate(lines[skiprows:], skiprows + 1):
        stripped = text.strip()
        if not stripped or (comments is not None and stripped.startswith(comments)):
            continue
        if separator is None and width is None and delimiter is None and "," in stripped:
            separator = ","
        tokens = [t.strip() for t in stripped.split(separator)]
        if width is None:
            width = len(tokens)
        elif len(tokens) != width:
            raise RecordFormatError(
                path, number, f"{len(tokens)} columns, but the first data line has {width}"
            )
        if columns is not None:
            try:
                tokens = [tokens[c] for c in columns]
            except IndexError:
                raise RecordFormatError(
                    path, number, f"usecols={usecols!r} asks for a column past the {width} here"
                ) from None
        try:
            rows.append([float(t) for t in tokens])
        except ValueError:
            bad = next(t for t in tokens if not _is_number(t))
            hint = " (use skiprows= to skip a header)" if not rows else ""
            raise RecordFormatError(path, number, f"not a number: {bad!r}{hint}") from None
    if not rows:
        raise RecordFormatError(path, None, "the file holds no data lines")
    data = np.array(rows, dtype=np.float64)
    if data.shape[1] == 1 and (usecols is None or single):
        return data[:, 0].copy()
    return np.ascontiguousarray(data.T)


def _is_number(token: str) -> bool:
    try:
        float(token)
    except ValueError:
        return False
    return True
