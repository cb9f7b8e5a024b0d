"""Readers for strong-motion records.

`read_at2` reads the PEER NGA ``.AT2`` format, `read_columns` plain text or
CSV files with one record per column.  Both read gzip-compressed files
(names ending in ``.gz``) as well, and both raise `RecordFormatError`, a
`ValueError`, naming the file and the line when a file is malformed.
"""

from __future__ import annotations

import gzip
import math
import os
import re
from collections.abc import Sequence
from typing import Union

import numpy as np
from numpy.typing import NDArray

__all__ = ["RecordFormatError", "read_at2", "read_columns"]

FloatArray = NDArray[np.float64]
PathLike = Union[str, "os.PathLike[str]"]

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eEdD][-+]?\d+)?"
_KEYWORD = {
    "NPTS": re.compile(rf"\bNPTS\s*[=:]\s*({_NUMBER})", re.IGNORECASE),
    "DT": re.compile(rf"\bDT\s*[=:]\s*({_NUMBER})", re.IGNORECASE),
}
_LABEL = re.compile(r"\b(NPTS|DT)\b", re.IGNORECASE)


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


def _read_lines(path: PathLike) -> list[str]:
    name = os.fspath(path)
    if name.lower().endswith(".gz"):
        with gzip.open(name, "rt", encoding="latin-1") as handle:
            return handle.read().splitlines()
    with open(name, encoding="latin-1") as handle:
        return handle.read().splitlines()


def _to_float(token: str) -> float:
    # Old Fortran writers use D for the exponent.
    return float(token.replace("D", "E").replace("d", "e"))


def _header_values(path: PathLike, line: str) -> tuple[int, float]:
    """NPTS and DT from the fourth line of an .AT2 file."""
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
            4,
            f"no {' or '.join(missing)} in the header line {line.strip()!r} "
            "(expected e.g. 'NPTS=  5000, DT=   .0100 SEC')",
        )
    npts_value = _to_float(found["NPTS"])
    if not (npts_value.is_integer() and npts_value >= 1):
        raise RecordFormatError(
            path, 4, f"NPTS must be a positive whole number; got {found['NPTS']}"
        )
    dt = _to_float(found["DT"])
    if not (math.isfinite(dt) and dt > 0.0):
        raise RecordFormatError(path, 4, f"DT must be positive and finite; got {found['DT']}")
    return int(npts_value), dt


def _parse_line(path: PathLike, number: int, tokens: Sequence[str]) -> list[float]:
    values = []
    for token in tokens:
        try:
            values.append(_to_float(token))
        except ValueError:
            raise RecordFormatError(path, number, f"not a number: {token!r}") from None
    return values


def read_at2(path: PathLike) -> tuple[FloatArray, float]:
    """Read an acceleration record in the PEER NGA ``.AT2`` format.

    The format has a four-line header (database name; event, date, station
    and component; units; the number of points and the sampling interval)
    followed by the samples, several per line.  The fourth line may read
    ``NPTS=  5000, DT=   .0100 SEC`` (the NGA-West2 layout, with the keywords
    in any order and extra text after them) or ``5000   .0100   NPTS, DT``
    (the older layout, numbers first).  A name ending in ``.gz`` is read as a
    gzip-compressed file.

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    samples : numpy.ndarray of float64, shape (NPTS,)
        Acceleration in units of g (as PEER distributes it).
    dt : float
        Sampling interval in seconds.

    Raises
    ------
    RecordFormatError
        (a ValueError) if the header is incomplete, NPTS or DT is missing or
        invalid, a sample is not a number, or the file holds fewer or more
        samples than NPTS; the message names the file and the line.
    OSError
        If the file cannot be read.

    Examples
    --------
    >>> samples, dt = read_at2("RSN6_IMPVALL.I_I-ELC180.AT2")  # doctest: +SKIP
    """
    lines = _read_lines(path)
    if len(lines) < 4:
        raise RecordFormatError(
            path,
            None,
            f"the file ends after {len(lines)} line(s); an .AT2 file starts with a "
            "4-line header whose last line gives NPTS and DT",
        )
    npts, dt = _header_values(path, lines[3])
    body = lines[4:]
    try:
        samples = np.array(" ".join(body).split(), dtype=np.float64)
    except ValueError:
        samples = np.array(
            [v for k, text in enumerate(body, 5) for v in _parse_line(path, k, text.split())],
            dtype=np.float64,
        )
    if samples.size != npts:
        counts = np.cumsum([len(text.split()) for text in body])
        if samples.size < npts:
            raise RecordFormatError(
                path,
                len(lines),
                f"the header (line 4) gives NPTS={npts} but the file holds only "
                f"{samples.size} samples",
            )
        extra_line = 5 + int(np.searchsorted(counts, npts, side="right"))
        raise RecordFormatError(
            path,
            extra_line,
            f"the file holds {samples.size} samples, more than NPTS={npts} in the header (line 4)",
        )
    return samples, dt


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
        The file; a name ending in ``.gz`` is read as gzip-compressed.
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
