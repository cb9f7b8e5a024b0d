"""Result types with named fields for the multi-column measures.

`PeakMotions` the peak ground acceleration, velocity and displacement (of
single components or, rotated, of horizontal pairs), `RotD` holds the
orientation-independent horizontal peak measures of one
record or of a batch, `ResponseSpectrum` the pseudo-spectral accelerations of
one record or of a batch over a set of periods, `Spectra` the single-component
displacement, velocity and acceleration spectra.  All are frozen dataclasses:
their fields are plain floats (one record) or NumPy arrays (a batch), they
print as a readable summary and convert to a pandas DataFrame on request.
"""

from __future__ import annotations

from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, Any, Union

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:  # pragma: no cover - typing only
    import pandas

__all__ = ["FourierSpectrum", "PeakMotions", "ResponseSpectrum", "RotD", "Spectra"]

FloatArray = NDArray[np.float64]
#: A field of a result: a float for one record, an array for a batch.
Values = Union[float, FloatArray]

_ROTD_FIELDS = ("rotd00", "rotd50", "rotd100", "angle_rotd00", "angle_rotd100")


def _import_pandas() -> Any:
    try:
        import pandas
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError(
            "to_dataframe() needs pandas, which is not installed; install it with "
            "`pip install pandas`"
        ) from exc
    return pandas


def _format_array(values: NDArray[Any]) -> str:
    return np.array2string(
        np.asarray(values), precision=4, threshold=6, edgeitems=2, separator=", "
    ).replace("\n", "")


def _format_value(value: Any) -> str:
    if isinstance(value, np.ndarray):
        return _format_array(value)
    if isinstance(value, float):
        return f"{value:.6g}"
    return repr(value)


def _table(columns: dict[str, NDArray[Any]], max_rows: int = 10) -> list[str]:
    """Lines of a right-aligned text table; long tables keep head and tail."""
    n = len(next(iter(columns.values())))
    if n > max_rows:
        half = max_rows // 2
        shown = list(range(half)) + [-1] + list(range(n - half, n))
    else:
        shown = list(range(n))
    cells = {
        name: [("..." if i < 0 else f"{col[i]:.6g}") for i in shown]
        for name, col in columns.items()
    }
    widths = {name: max([len(name)] + [len(c) for c in cells[name]]) for name in columns}
    lines = ["  ".join(name.rjust(widths[name]) for name in columns)]
    for r in range(len(shown)):
        lines.append("  ".join(cells[name][r].rjust(widths[name]) for name in columns))
    return lines


@dataclass(frozen=True, eq=False, repr=False)
class RotD:
    """Orientation-independent peak measures of horizontal component pairs.

    For every pair of horizontal components the record is rotated to every
    whole-degree orientation from 0 to 179 degrees; the peak absolute value
    of each rotated series is a directional peak.  RotD00, RotD50 and
    RotD100 are the smallest, the median and the largest of those 180 peaks
    (Boore, 2010).

    Each field is a float for one record and an array of shape
    ``(n_records,)`` for a batch.  A record with a NaN or infinite sample in
    either component gives NaN in every field.

    Attributes
    ----------
    rotd00, rotd50, rotd100 : float or numpy.ndarray
        Smallest, median and largest directional peak, in the unit of the
        input samples (g for accelerations in g).
    angle_rotd00, angle_rotd100 : float or numpy.ndarray
        Orientation in whole degrees (0 to 179, stored as floats), measured
        from the 0 component toward the 90 component, at which RotD00 and
        RotD100 occur; the smallest such orientation on ties.
    percentiles : numpy.ndarray or None
        The percentiles asked for, shape (n_percentiles,); None when none
        were asked for.
    rotdnn : numpy.ndarray or None
        RotDnn at each percentile, shape ``(n_percentiles,)`` for one record
        and ``(n_records, n_percentiles)`` for a batch; None when no
        percentiles were asked for.

    References
    ----------
    Boore, D. M. (2010). Orientation-independent, nongeometric-mean measures
    of seismic intensity from two horizontal components of motion. Bulletin
    of the Seismological Society of America, 100(4), 1830-1835.
    """

    rotd00: Values
    rotd50: Values
    rotd100: Values
    angle_rotd00: Values
    angle_rotd100: Values
    percentiles: FloatArray | None = None
    rotdnn: FloatArray | None = None

    @classmethod
    def _from_table(cls, table: FloatArray, single: bool,
                    percentiles: FloatArray | None = None,
                    rotdnn: FloatArray | None = None) -> RotD:
        """Named fields from the columns of an ``(n, 5)`` table, and RotDnn
        from an ``(n, n_percentiles)`` one."""
        if single:
            return cls(*(float(v) for v in table[0]), percentiles,
                       None if rotdnn is None else rotdnn[0])
        return cls(*(table[:, k] for k in range(5)), percentiles, rotdnn)

    @property
    def n_records(self) -> int | None:
        """Number of records of a batch, or None for one record."""
        return None if isinstance(self.rotd50, float) else len(self.rotd50)

    def __repr__(self) -> str:
        parts = [f"{f.name}={_format_value(getattr(self, f.name))}" for f in fields(self)
                 if getattr(self, f.name) is not None]
        if self.n_records is not None:
            parts.insert(0, f"n_records={self.n_records}")
        return f"RotD({', '.join(parts)})"

    def to_dataframe(self) -> pandas.DataFrame:
        """The five measures as a pandas DataFrame, one row per record.

        Requires pandas (imported only here).  The index is the record number
        (0 for a single record), named ``record``.  RotDnn, when asked for,
        adds one column ``rotdnn_<percentile>`` per percentile.
        """
        pd = _import_pandas()
        data = {name: np.atleast_1d(getattr(self, name)) for name in _ROTD_FIELDS}
        if self.rotdnn is not None and self.percentiles is not None:
            values = np.atleast_2d(self.rotdnn)
            for k, p in enumerate(self.percentiles):
                data[f"rotdnn_{p:g}"] = values[:, k]
        frame = pd.DataFrame(data)
        frame.index.name = "record"
        return frame


@dataclass(frozen=True, eq=False, repr=False)
class ResponseSpectrum:
    """Pseudo-spectral accelerations of three-component records.

    For every record and every period the 5 %-damped (or other) linear
    oscillator is run on each component; the peak of its pseudo-acceleration
    response (the natural circular frequency squared times the peak relative
    displacement) is the pseudo-spectral acceleration, PSA.  The horizontal
    responses of one period also form a pair whose RotD statistics are given
    (Boore, 2010).

    The response fields have shape ``(n_periods,)`` for one record and
    ``(n_records, n_periods)`` for a batch.  A record with a NaN or infinite
    sample in any component gives NaN in every field of that record.

    Attributes
    ----------
    periods : numpy.ndarray, shape (n_periods,)
        Oscillator periods in seconds.
    damping : float
        Fraction of critical damping of the oscillators.
    psa_000, psa_090 : numpy.ndarray
        PSA of the 0 and the 90 horizontal component, in the unit of the
        input (g for records in g).
    psa_ver : numpy.ndarray or None
        PSA of the vertical component, or None when no vertical component
        was given.
    geometric_mean : numpy.ndarray
        ``sqrt(psa_000 * psa_090)``, the geometric mean of the two
        horizontal PSA.
    rotd00, rotd50, rotd100 : numpy.ndarray
        Smallest, median and largest peak of the horizontal response pair over
        all rotation angles, in the unit of the input.
    angle_rotd00, angle_rotd100 : numpy.ndarray
        Orientations in whole degrees (0 to 179) of RotD00 and RotD100.
    percentiles : numpy.ndarray or None
        The percentiles asked for, shape (n_percentiles,), or None.
    rotdnn : numpy.ndarray or None
        RotDnn of the horizontal response pair, with a percentile axis just
        before the period axis, or None when no percentiles were asked for.

    With a sequence of dampings, ``damping`` is an array and every response
    field has a damping axis just before the period axis (before the
    percentile axis in ``rotdnn``).

    References
    ----------
    Nigam, N. C. and Jennings, P. C. (1969). Calculation of response spectra
    from strong-motion earthquake records. Bulletin of the Seismological
    Society of America, 59(2), 909-922.

    Boore, D. M. (2010). Orientation-independent, nongeometric-mean measures
    of seismic intensity from two horizontal components of motion. Bulletin
    of the Seismological Society of America, 100(4), 1830-1835.
    """

    periods: FloatArray
    damping: float | FloatArray
    psa_000: FloatArray
    psa_090: FloatArray
    psa_ver: FloatArray | None
    geometric_mean: FloatArray
    rotd00: FloatArray
    rotd50: FloatArray
    rotd100: FloatArray
    angle_rotd00: FloatArray
    angle_rotd100: FloatArray
    percentiles: FloatArray | None = None
    rotdnn: FloatArray | None = None

    @classmethod
    def _from_table(
        cls, periods: FloatArray, damping: float | FloatArray, table: FloatArray, single: bool,
        vertical: bool, percentiles: FloatArray | None = None, rotdnn: FloatArray | None = None,
    ) -> ResponseSpectrum:
        """Named fields from an ``(n_records, [n_dampings,] n_periods, 9)``
        table, and RotDnn of shape ``(n_records, [n_dampings,] n_percentiles,
        n_periods)``."""
        if single:
            table = table[0]
            rotdnn = None if rotdnn is None else rotdnn[0]
        columns = [table[..., k] for k in range(9)]
        return cls(
            periods,
            damping,
            columns[0],
            columns[1],
            columns[2] if vertical else None,
            *columns[3:],
            percentiles=percentiles,
            rotdnn=rotdnn,
        )

    @property
    def n_records(self) -> int | None:
        """Number of records of a batch, or None for one record."""
        several = isinstance(self.damping, np.ndarray)
        return None if self.rotd50.ndim == 1 + several else self.rotd50.shape[0]

    def _columns(self) -> dict[str, NDArray[Any]]:
        names = ["psa_000", "psa_090", "psa_ver", "geometric_mean", *_ROTD_FIELDS]
        columns = {name: getattr(self, name) for name in names if getattr(self, name) is not None}
        if self.rotdnn is not None and self.percentiles is not None:
            for k, p in enumerate(self.percentiles):
                columns[f"rotdnn_{p:g}"] = self.rotdnn[..., k, :]
        return columns

    def __repr__(self) -> str:
        n = len(self.periods)
        span = f", {self.periods.min():.4g} to {self.periods.max():.4g} s" if n else ""
        head = f"ResponseSpectrum({n} periods{span}, damping {_format_value(self.damping)}"
        if self.n_records is not None or isinstance(self.damping, np.ndarray):
            fields_text = ", ".join(
                f"{name}=<{'x'.join(map(str, value.shape))} array>"
                for name, value in self._columns().items()
            )
            records = "" if self.n_records is None else f", n_records={self.n_records}"
            return f"{head}{records}: {fields_text})"
        if n == 0:
            return head + ")"
        table = _table({"period": self.periods, **self._columns()})
        return head + ")\n" + "\n".join(table)

    def to_dataframe(self) -> pandas.DataFrame:
        """The spectrum as a pandas DataFrame.

        One record gives one row per period, indexed by ``period`` (s).  A
        batch gives one row per (record, period) pair with a two-level index
        ``(record, period)``; a sequence of dampings adds a ``damping`` level
        before ``period``.  The columns are the response fields (``psa_ver``
        only when there was a vertical component, ``rotdnn_<percentile>`` per
        percentile when RotDnn was asked for).  Requires pandas (imported
        only here).
        """
        pd = _import_pandas()
        columns = self._columns()
        several = isinstance(self.damping, np.ndarray)
        if self.n_records is None and not several:
            return pd.DataFrame(columns, index=pd.Index(self.periods, name="period"))
        names, levels = ["period"], [self.periods]
        if several:
            names.insert(0, "damping")
            levels.insert(0, self.damping)
        if self.n_records is not None:
            names.insert(0, "record")
            levels.insert(0, range(self.n_records))
        index = pd.MultiIndex.from_product(levels, names=names)
        return pd.DataFrame({k: v.reshape(-1) for k, v in columns.items()}, index=index)


_CM_PER_G = 980.665  # cm/s^2 in one g
_SPECTRA_FIELDS = ("sd", "sv", "sa", "psv", "psa")


@dataclass(frozen=True, eq=False, repr=False)
class Spectra:
    """Response spectra of single-component records.

    For every record, damping and period a linear oscillator is run from
    rest; SD, SV and SA are the peaks of its relative displacement, relative
    velocity and total acceleration, PSV and PSA the pseudo-velocity and
    pseudo-acceleration ``w SD`` and ``w**2 SD`` with ``w = 2 pi / T``.

    Every response field has shape ``leading + (n_periods,)`` for one damping
    and ``leading + (n_dampings, n_periods)`` for several, ``leading`` being
    the record dimensions of the input.  A record with a NaN or infinite
    sample gives NaN in every field.

    Attributes
    ----------
    periods : numpy.ndarray, shape (n_periods,)
        Oscillator periods in seconds.
    damping : float or numpy.ndarray
        Fraction of critical damping, or one per row of the damping axis.
    sd : numpy.ndarray
        Peak relative displacement, cm.
    sv : numpy.ndarray
        Peak relative velocity, cm/s.
    sa : numpy.ndarray
        Peak total (absolute) acceleration, g.
    psv : numpy.ndarray
        Pseudo-spectral velocity, cm/s.
    psa : numpy.ndarray
        Pseudo-spectral acceleration, g.
    """

    periods: FloatArray
    damping: float | FloatArray
    sd: FloatArray
    sv: FloatArray
    sa: FloatArray
    psv: FloatArray
    psa: FloatArray

    @classmethod
    def _from_table(cls, periods: FloatArray, damping: float | FloatArray,
                    table: FloatArray) -> Spectra:
        """Fields from the oscillator peaks, shape ``(..., n_periods, 3)``:
        max|x|, max|v| and max|x + 2 damping v| of the scaled state
        ``x = w**2 u``, ``v = w u'`` in g."""
        omega = 2.0 * np.pi / periods
        psa = table[..., 0]
        return cls(
            periods,
            damping,
            sd=psa / (omega * omega) * _CM_PER_G,
            sv=table[..., 1] / omega * _CM_PER_G,
            sa=table[..., 2],
            psv=psa / omega * _CM_PER_G,
            psa=psa,
        )

    @property
    def shape(self) -> tuple[int, ...]:
        """Shape of every response field."""
        return self.psa.shape

    def __repr__(self) -> str:
        n = len(self.periods)
        span = f", {self.periods.min():.4g} to {self.periods.max():.4g} s" if n else ""
        return (f"Spectra({n} periods{span}, damping {_format_value(self.damping)}, "
                f"fields sd, sv, sa, psv, psa of shape {self.shape})")

    def to_dataframe(self) -> pandas.DataFrame:
        """The spectra as a pandas DataFrame, one row per response value.

        The columns are ``sd``, ``sv``, ``sa``, ``psv`` and ``psa``; the index
        has one level per record dimension (``record``, or ``record_0``,
        ``record_1``, ... for several), then ``damping`` for a sequence of
        dampings, then ``period``.  Requires pandas (imported only here).
        """
        pd = _import_pandas()
        several = isinstance(self.damping, np.ndarray)
        n_leading = self.psa.ndim - 1 - several
        names = ["record"] if n_leading == 1 else [f"record_{k}" for k in range(n_leading)]
        levels = [range(n) for n in self.psa.shape[:n_leading]]
        if several:
            names.append("damping")
            levels.append(self.damping)
        names.append("period")
        levels.append(self.periods)
        data = {name: getattr(self, name).reshape(-1) for name in _SPECTRA_FIELDS}
        if len(levels) == 1:
            return pd.DataFrame(data, index=pd.Index(self.periods, name="period"))
        return pd.DataFrame(data, index=pd.MultiIndex.from_product(levels, names=names))


@dataclass(frozen=True, eq=False, repr=False)
class FourierSpectrum:
    """Fourier amplitudes of records at a set of frequencies.

    Attributes
    ----------
    frequencies : numpy.ndarray, shape (n_frequencies,)
        Frequencies in Hz.
    amplitude : numpy.ndarray, shape leading + (n_frequencies,)
        Amplitudes in g s, ``leading`` being the record dimensions.
    """

    frequencies: FloatArray
    amplitude: FloatArray

    @property
    def shape(self) -> tuple[int, ...]:
        """Shape of ``amplitude``."""
        return self.amplitude.shape

    def __repr__(self) -> str:
        n = len(self.frequencies)
        span = (f", {self.frequencies.min():.4g} to {self.frequencies.max():.4g} Hz"
                if n else "")
        return f"FourierSpectrum({n} frequencies{span}, amplitude of shape {self.shape})"

    def to_dataframe(self) -> pandas.DataFrame:
        """The amplitudes as a pandas DataFrame with one column, ``amplitude``;
        the index has one level per record dimension (``record``, or
        ``record_0``, ``record_1``, ...), then ``frequency``.  Requires pandas."""
        pd = _import_pandas()
        n_leading = self.amplitude.ndim - 1
        data = {"amplitude": self.amplitude.reshape(-1)}
        if n_leading == 0:
            return pd.DataFrame(data, index=pd.Index(self.frequencies, name="frequency"))
        names = ["record"] if n_leading == 1 else [f"record_{k}" for k in range(n_leading)]
        levels = [range(n) for n in self.amplitude.shape[:-1]] + [self.frequencies]
        return pd.DataFrame(
            data, index=pd.MultiIndex.from_product(levels, names=names + ["frequency"])
        )


_PEAK_FIELDS = ("pga", "pgv", "pgd")


@dataclass(frozen=True, eq=False, repr=False)
class PeakMotions:
    """Peak ground acceleration, velocity and displacement.

    From `peak_motions`, each field is a float for one record and an array
    of the record dimensions for a batch.  From `rotd_peak_motions`, each
    field has a last axis of percentiles: RotDnn of the horizontal pair's
    acceleration, velocity and displacement.  A record with a NaN or
    infinite sample gives NaN.

    Attributes
    ----------
    pga : float or numpy.ndarray
        Peak ground acceleration, g.
    pgv : float or numpy.ndarray
        Peak ground velocity, cm/s.
    pgd : float or numpy.ndarray
        Peak ground displacement, cm.
    percentiles : numpy.ndarray or None
        The RotD percentiles of the last axis, or None for single components.
    """

    pga: Values
    pgv: Values
    pgd: Values
    percentiles: FloatArray | None = None

    def __repr__(self) -> str:
        parts = [f"{name}={_format_value(getattr(self, name))}" for name in _PEAK_FIELDS]
        if self.percentiles is not None:
            parts.append(f"percentiles={_format_value(self.percentiles)}")
        return f"PeakMotions({', '.join(parts)})"

    def to_dataframe(self) -> pandas.DataFrame:
        """The peaks as a pandas DataFrame with columns ``pga``, ``pgv`` and
        ``pgd``, one row per record (index ``record``, or ``record_0``,
        ``record_1``, ... for several record dimensions) and, for RotD
        peaks, per percentile (a last index level ``percentile``).
        Requires pandas (imported only here)."""
        pd = _import_pandas()
        values = {name: np.asarray(getattr(self, name), dtype=np.float64)
                  for name in _PEAK_FIELDS}
        shape = values["pga"].shape
        n_records = len(shape) - (self.percentiles is not None)
        names = ["record"] if n_records <= 1 else [f"record_{k}" for k in range(n_records)]
        levels: list[Any] = [range(n) for n in shape[:n_records]] or [range(1)]
        if self.percentiles is not None:
            names = names[:len(levels)] + ["percentile"]
            levels.append(self.percentiles)
        data = {name: v.reshape(-1) for name, v in values.items()}
        if len(levels) == 1:
            return pd.DataFrame(data, index=pd.Index(levels[0], name=names[0]))
        return pd.DataFrame(data, index=pd.MultiIndex.from_product(levels, names=names))
