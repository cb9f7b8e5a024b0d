"""The ``groundmotion`` command line.

Subcommands:

``measures FILE...``
    PGA, Arias intensity, CAV, D5-75, D5-95, PGV, PGD, CAV5, CAVstd and the
    bracketed duration (0.05 g) of every record, and the RotD50 PGA of
    horizontal pairs.
``spectrum H1 H2 [V]``
    The response spectrum of a three-component (or two-component) record,
    with RotD00, RotD50 and RotD100; printed, written to CSV or JSON, plotted.
``smooth FILE``
    The Fourier amplitude spectrum of a record, smoothed with the
    Konno-Ohmachi window (at every bin, or at ``--centers``); printed,
    written, plotted.
``eas H1 H2``
    The effective amplitude spectrum of a horizontal pair at log-spaced
    centres; printed, written to CSV or JSON, plotted.
``demo``
    All of the above on a real record bundled with the package (the 1940
    Imperial Valley earthquake at El Centro).

Records are PEER ``.AT2`` files (``.AT2.gz`` too) or plain text / CSV files
with a single column of accelerations in g (give ``--dt``).  Errors print one
line to standard error and exit with status 2.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import json
import math
import os
import sys
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import Any, TextIO

import numpy as np
from numpy.typing import NDArray

from . import api, io
from . import fourier as api_fourier
from .measures import CAV5_THRESHOLD, bracketed_duration, cav_std, peak_motions
from .results import ResponseSpectrum

__all__ = ["main"]

PROG = "groundmotion"
DEFAULT_PERIODS = "0.01:10:100"
# Components of one record may differ in length by a few samples; their
# sampling intervals must agree to this relative tolerance.
_DT_TOLERANCE = 1e-9


class CommandError(Exception):
    """A problem with the user's request, reported as one line."""


@dataclass(frozen=True)
class Record:
    path: str
    name: str
    samples: NDArray[np.float64]
    dt: float
    title: str
    component: str

    @property
    def label(self) -> str:
        """Short name for legends: the component of an .AT2 file, else the file name."""
        return f"component {self.component}" if self.component else self.name


# ---------------------------------------------------------------------------
# Reading records


def _looks_like_at2(path: str) -> bool:
    lower = path.lower()
    if lower.endswith((".at2", ".at2.gz")):
        return True
    try:
        lines = io._read_lines(path)[:4]
    except (OSError, EOFError, ValueError):
        return False
    return len(lines) == 4 and "NPTS" in lines[3].upper() and "DT" in lines[3].upper()


def load_record(
    path: str, dt: float | None = None, column: int | None = None, skiprows: int = 0
) -> Record:
    """One acceleration record (in g) with its sampling interval."""
    name = os.path.basename(path)
    if _looks_like_at2(path):
        samples, file_dt = io.read_at2(path)
        if dt is not None and not math.isclose(dt, file_dt, rel_tol=_DT_TOLERANCE):
            raise CommandError(f"{path}: --dt {dt} disagrees with DT={file_dt} in the file")
        header = io._read_lines(path)[1].strip()
        # Line 2 reads "event, date, station, component".
        component = header.rsplit(",", 1)[-1].strip() if "," in header else ""
        return Record(
            path, name, samples, file_dt, header, component if len(component) <= 8 else ""
        )
    data = io.read_columns(path, skiprows=skiprows, usecols=column)
    if data.ndim != 1:
        raise CommandError(
            f"{path} has {data.shape[0]} columns; choose the acceleration column with --column"
        )
    if dt is None:
        raise CommandError(f"{path} is a plain text record: give its sampling interval with --dt")
    return Record(path, name, data, dt, name, "")


def _common_length(records: Sequence[Record], quiet: bool = False) -> list[NDArray[np.float64]]:
    """The components of one record, trimmed to the shortest, after checking dt."""
    first = records[0]
    for other in records[1:]:
        if not math.isclose(other.dt, first.dt, rel_tol=_DT_TOLERANCE):
            raise CommandError(
                f"{other.path} is sampled every {other.dt} s but {first.path} every "
                f"{first.dt} s; the components of a record must share one sampling interval"
            )
    n = min(len(r.samples) for r in records)
    if not quiet and any(len(r.samples) != n for r in records):
        lengths = ", ".join(f"{r.name}: {len(r.samples)}" for r in records)
        print(f"{PROG}: note: components trimmed to {n} samples ({lengths})", file=sys.stderr)
    return [r.samples[:n] for r in records]


def _bundled(name: str) -> str:
    return str(resources.files("groundmotion") / "data" / name)


# ---------------------------------------------------------------------------
# Output


def _cell(value: Any, digits: int = 6) -> str:
    if isinstance(value, (float, np.floating)):
        return "nan" if math.isnan(value) else f"{value:.{digits}g}"
    return str(value)


def _exact(value: Any) -> str:
    """A number in the shortest form that reads back as the same double."""
    if isinstance(value, (float, np.floating)):
        return repr(float(value))
    return str(value)


def format_table(headers: Sequence[str], rows: Sequence[Sequence[Any]]) -> str:
    """A plain text table: the first column left-aligned, the others right."""
    cells = [[_cell(v) for v in row] for row in rows]
    widths = [max([len(h)] + [len(r[k]) for r in cells]) for k, h in enumerate(headers)]

    def line(values: Sequence[str]) -> str:
        parts = [values[0].ljust(widths[0])]
        parts += [v.rjust(w) for v, w in zip(values[1:], widths[1:])]
        return "  ".join(parts).rstrip()

    return "\n".join([line(headers), *(line(r) for r in cells)])


def _json_value(value: Any) -> Any:
    if isinstance(value, np.ndarray):
        return [_json_value(v) for v in value.tolist()]
    if isinstance(value, list):
        return [_json_value(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _write_table(path: str, headers: Sequence[str], rows: Sequence[Sequence[Any]]) -> None:
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(headers)
        writer.writerows([[_exact(v) for v in row] for row in rows])


def _output_kind(path: str) -> str:
    suffix = Path(path).suffix.lower()
    if suffix not in (".csv", ".json"):
        raise CommandError(f"--output {path}: the name must end in .csv or .json")
    return suffix[1:]


def _pyplot_figure() -> Any:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise CommandError(
            "plots need matplotlib, which is not installed: pip install 'groundmotion[plot]'"
        ) from None
    return Figure(figsize=(7.5, 5.0), layout="tight")


def _emit(out: TextIO, text: str) -> None:
    out.write(text + "\n")


# ---------------------------------------------------------------------------
# measures


_MEASURE_HEADERS = ["record", "PGA (g)", "Arias (m/s)", "CAV (m/s)", "D5-75 (s)", "D5-95 (s)",
                    "PGV (cm/s)", "PGD (cm)", "CAV5 (m/s)", "CAVstd (m/s)", "Db 0.05g (s)"]
_MEASURE_KEYS = ["record", "pga_g", "arias_m_per_s", "cav_m_per_s", "d5_75_s", "d5_95_s",
                 "pgv_cm_per_s", "pgd_cm", "cav5_m_per_s", "cavstd_m_per_s",
                 "bracketed_duration_s"]


def _measure_rows(records: Sequence[Record]) -> list[list[Any]]:
    rows = []
    for r in records:
        pga = float(np.max(np.abs(r.samples))) if r.samples.size else 0.0
        rows.append(
            [
                r.name,
                pga,
                api.arias_intensity(r.samples, r.dt),
                api.cav(r.samples, r.dt),
                api.significant_duration(r.samples, r.dt, 0.05, 0.75),
                api.significant_duration(r.samples, r.dt, 0.05, 0.95),
            ]
        )
        peaks = peak_motions(r.samples, r.dt)
        rows[-1] += [
            peaks.pgv,
            peaks.pgd,
            api.cav(r.samples, r.dt, CAV5_THRESHOLD),
            cav_std(r.samples, r.dt),
            bracketed_duration(r.samples, r.dt, 0.05),
        ]
    return rows


def _pair_rotd50(
    records: Sequence[Record], pair: bool, quiet: bool = False
) -> list[tuple[Record, Record, float]]:
    if pair:
        if len(records) % 2:
            raise CommandError(
                f"--pair takes the records two by two, but {len(records)} were given"
            )
        groups = [(records[k], records[k + 1]) for k in range(0, len(records), 2)]
    else:
        groups = []  # records are paired only when asked: two files need not be a station
    result = []
    for a, b in groups:
        h1, h2 = _common_length([a, b], quiet)
        result.append((a, b, float(api.rotd(h1, h2).rotd50)))
    return result


def cmd_measures(args: argparse.Namespace, out: TextIO) -> None:
    if args.output:
        _output_kind(args.output)
    records = [load_record(p, args.dt, args.column, args.skiprows) for p in args.files]
    rows = _measure_rows(records)
    pairs = _pair_rotd50(records, args.pair)
    if args.output:
        kind = _output_kind(args.output)
        if kind == "csv":
            pair_of = {}
            for a, b, value in pairs:
                pair_of[a.path] = pair_of[b.path] = value
            headers = [*_MEASURE_HEADERS, "pair RotD50 PGA (g)"]
            extended = [row + [pair_of.get(r.path, "")] for row, r in zip(rows, records)]
            _write_table(args.output, headers, extended)
        else:
            document = {
                "records": [dict(zip(_MEASURE_KEYS, row)) for row in rows],
                "pairs": [
                    {"comp_0": a.name, "comp_90": b.name, "rotd50_pga_g": v} for a, b, v in pairs
                ],
            }
            with open(args.output, "w") as handle:
                json.dump(_json_value_tree(document), handle, indent=1, allow_nan=False)
        _emit(out, f"wrote {args.output}")
        return
    _emit(out, format_table(_MEASURE_HEADERS, rows))
    for a, b, value in pairs:
        _emit(out, f"RotD50 PGA of {a.name} + {b.name}: {_cell(value)} g")


def _json_value_tree(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _json_value_tree(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_value_tree(v) for v in value]
    return _json_value(value)


# ---------------------------------------------------------------------------
# spectrum


def parse_periods(tokens: Sequence[str]) -> NDArray[np.float64]:
    """Periods from numbers and ``first:last:count`` log-spaced ranges."""
    values: list[float] = []
    for token in tokens:
        if ":" in token:
            parts = token.split(":")
            try:
                if len(parts) != 3:
                    raise ValueError
                first, last, count = float(parts[0]), float(parts[1]), int(parts[2])
            except ValueError:
                raise CommandError(
                    f"--periods {token!r}: a range reads first:last:count, e.g. 0.01:10:100"
                ) from None
            if not (first > 0 and last > 0 and math.isfinite(first) and math.isfinite(last)):
                raise CommandError(f"--periods {token!r}: periods must be positive and finite")
            if count < 1:
                raise CommandError(f"--periods {token!r}: the count must be at least 1")
            values.extend(np.geomspace(first, last, count).tolist())
        else:
            try:
                value = float(token)
            except ValueError:
                raise CommandError(f"--periods: {token!r} is not a number") from None
            if not (math.isfinite(value) and value > 0):
                raise CommandError(f"--periods: periods must be positive and finite; got {token}")
            values.append(value)
    return np.asarray(values, dtype=np.float64)


_COMPONENT_KEYS = ("000", "090", "ver")


def _spectrum_columns(spectrum: ResponseSpectrum | Any, records: Sequence[Record]) -> dict[str, Any]:
    """Fixed column names; the files they come from in file_000, file_090, file_ver."""
    columns: dict[str, Any] = {"period_s": spectrum.periods}
    if len(records) == 1:
        columns["psa_000"] = spectrum.psa
    else:
        columns["psa_000"] = spectrum.psa_000
        columns["psa_090"] = spectrum.psa_090
        if spectrum.psa_ver is not None:
            columns["psa_ver"] = spectrum.psa_ver
        columns["geometric_mean"] = spectrum.geometric_mean
        for name in ("rotd00", "rotd50", "rotd100"):
            columns[name] = getattr(spectrum, name)
        columns["angle_rotd00_deg"] = spectrum.angle_rotd00
        columns["angle_rotd100_deg"] = spectrum.angle_rotd100
    for key, record in zip(_COMPONENT_KEYS, records):
        columns[f"file_{key}"] = [record.path] * len(spectrum.periods)
    return columns


def _write_spectrum(path: str, spectrum: ResponseSpectrum | Any, records: Sequence[Record]) -> None:
    columns = _spectrum_columns(spectrum, records)
    if _output_kind(path) == "csv":
        _write_table(path, list(columns), list(zip(*columns.values())))
        return
    document: dict[str, Any] = {
        "records": {f"comp_{key}": r.path for key, r in zip(_COMPONENT_KEYS, records)},
        "damping": spectrum.damping,
        "unit": "g",
    }
    document.update({k: v for k, v in columns.items() if not k.startswith("file_")})
    if len(records) > 1:
        document["psa_ver"] = spectrum.psa_ver
    with open(path, "w") as handle:
        json.dump(_json_value_tree(document), handle, indent=1, allow_nan=False)


def plot_spectrum(
    path: str, spectrum: ResponseSpectrum, records: Sequence[Record], title: str
) -> None:
    """PSA against period on a logarithmic period axis, written to `path`."""
    fig = _pyplot_figure()
    ax = fig.add_subplot()
    t = spectrum.periods
    ax.fill_between(
        t,
        spectrum.rotd00,
        spectrum.rotd100,
        color="tab:blue",
        alpha=0.15,
        label="RotD00 to RotD100",
    )
    ax.plot(t, spectrum.rotd100, color="tab:blue", lw=0.8, ls="--", label="RotD100")
    ax.plot(t, spectrum.rotd00, color="tab:blue", lw=0.8, ls=":", label="RotD00")
    ax.plot(t, spectrum.rotd50, color="tab:blue", lw=2.2, label="RotD50")
    ax.plot(t, spectrum.psa_000, color="tab:orange", lw=1.0, label=records[0].label)
    ax.plot(t, spectrum.psa_090, color="tab:green", lw=1.0, label=records[1].label)
    if spectrum.psa_ver is not None:
        ax.plot(
            t, spectrum.psa_ver, color="tab:gray", lw=1.0, label=f"{records[2].label} (vertical)"
        )
    ax.set_xscale("log")
    ax.set_xlabel("Period (s)")
    ax.set_ylabel("Pseudo-spectral acceleration (g)")
    ax.set_title(f"{title}\n{spectrum.damping * 100:g} % damping", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.set_xlim(t.min(), t.max())
    ax.set_ylim(bottom=0)
    ax.legend(fontsize=8)
    fig.savefig(path, dpi=120)


def _spectrum_of(
    records: Sequence[Record],
    periods: NDArray[np.float64],
    damping: float,
    workers: int,
    quiet: bool = False,
) -> ResponseSpectrum:
    components = _common_length(records, quiet)
    vertical = components[2] if len(components) == 3 else None
    return api.response_spectrum(
        components[0], components[1], vertical, records[0].dt, periods, damping, workers=workers
    )


def cmd_spectrum(args: argparse.Namespace, out: TextIO) -> None:
    files = [f for f in (args.h1, args.h2, args.vertical) if f]
    periods = parse_periods(args.periods)
    if args.output:
        _output_kind(args.output)
    if args.plot and len(files) == 1:
        raise CommandError("--plot draws the spectra of a pair: give H2 too")
    records = [load_record(p, args.dt, args.column, args.skiprows) for p in files]
    if len(records) == 1:
        spectrum = api.spectra(records[0].samples, records[0].dt, periods, args.damping,
                               workers=args.workers)
    else:
        spectrum = _spectrum_of(records, periods, args.damping, args.workers)
    if args.output:
        _write_spectrum(args.output, spectrum, records)
        _emit(out, f"wrote {args.output}")
    else:
        columns = _spectrum_columns(spectrum, records)
        shown = {k: v for k, v in columns.items() if not k.startswith("file_")}
        _emit(out, format_table(list(shown), list(zip(*shown.values()))))
    if args.plot:
        plot_spectrum(args.plot, spectrum, records, records[0].title)
        _emit(out, f"wrote {args.plot}")


# ---------------------------------------------------------------------------
# smooth


def fourier_amplitude(
    samples: NDArray[np.float64], dt: float
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Frequencies (Hz) and Fourier amplitudes (g s) of a record, by real FFT."""
    amplitude = np.abs(np.fft.rfft(samples)) * dt
    return np.fft.rfftfreq(len(samples), dt).astype(np.float64), amplitude


def plot_fourier(
    path: str,
    freq: NDArray[np.float64],
    raws: Sequence[NDArray[np.float64]],
    at: NDArray[np.float64],
    smooth: NDArray[np.float64],
    label: str,
    title: str,
) -> None:
    """Raw Fourier amplitudes (grey) under a smoothed spectrum, with markers
    at its ordinates where they are not the bins themselves."""
    fig = _pyplot_figure()
    ax = fig.add_subplot()
    for k, raw in enumerate(raws):
        ax.loglog(freq[1:], raw[1:], color=("0.65", "0.8")[k % 2], lw=0.6,
                  label="Fourier amplitude" if len(raws) == 1 else f"Fourier amplitude, H{k + 1}")
    keep = at > 0
    markers = {} if at is freq else {"marker": "o", "ms": 3}
    ax.loglog(at[keep], smooth[keep], color="tab:red", lw=1.8, label=label, **markers)
    ax.set_xlabel("Frequency (Hz)")
    ax.set_ylabel("Fourier amplitude (g s)")
    ax.set_title(title, fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.savefig(path, dpi=120)


def parse_centres(token: str, freq: NDArray[np.float64]) -> NDArray[np.float64]:
    """Centre frequencies from a count (log-spaced over the record's band, the
    first nonzero bin to the Nyquist frequency) or a ``first:last:count``
    log-spaced range in Hz."""
    parts = token.split(":")
    try:
        if len(parts) == 1:
            first, last, count = float(freq[1]) if freq.size > 1 else 0.0, float(freq[-1]), int(token)
        elif len(parts) == 3:
            first, last, count = float(parts[0]), float(parts[1]), int(parts[2])
        else:
            raise ValueError
    except ValueError:
        raise CommandError(
            f"--centers {token!r}: give a count (e.g. 100) or first:last:count in Hz "
            "(e.g. 0.1:50:100)"
        ) from None
    if not (first > 0 and last > 0 and math.isfinite(first) and math.isfinite(last)):
        raise CommandError(f"--centers {token!r}: frequencies must be positive and finite")
    if count < 1:
        raise CommandError(f"--centers {token!r}: the count must be at least 1")
    return np.geomspace(first, last, count)


def _smoothed(record: Record, bandwidth: float, workers: int,
              centers: str | None = None) -> tuple[Any, Any, Any, Any]:
    """Bin frequencies, raw amplitudes, output frequencies and smoothed amplitudes."""
    freq, raw = fourier_amplitude(record.samples, record.dt)
    if centers is None:
        return freq, raw, freq, api.konno_ohmachi_smooth(raw, bandwidth, workers=workers)
    centres = parse_centres(centers, freq)
    smooth = api.konno_ohmachi_smooth(raw, bandwidth, frequencies=freq,
                                      center_frequencies=centres, workers=workers)
    return freq, raw, centres, smooth


_FOURIER_HEADERS = ["frequency (Hz)", "amplitude (g s)", "smoothed (g s)"]
_CENTRE_HEADERS = ["frequency (Hz)", "smoothed (g s)"]


def _write_fourier(path: str, document: dict[str, Any], headers: Sequence[str],
                   rows: Sequence[Sequence[Any]]) -> None:
    if _output_kind(path) == "csv":
        _write_table(path, headers, rows)
    else:
        with open(path, "w") as handle:
            json.dump(_json_value_tree(document), handle, indent=1, allow_nan=False)


def cmd_smooth(args: argparse.Namespace, out: TextIO) -> None:
    if args.output:
        _output_kind(args.output)
    record = load_record(args.file, args.dt, args.column, args.skiprows)
    freq, raw, at, smooth = _smoothed(record, args.bandwidth, args.workers, args.centers)
    if args.centers is None:
        headers, rows = _FOURIER_HEADERS, list(zip(freq, raw, smooth))
        document = {"record": record.path, "bandwidth": args.bandwidth, "frequency_hz": freq,
                    "amplitude_g_s": raw, "smoothed_g_s": smooth}
    else:
        headers, rows = _CENTRE_HEADERS, list(zip(at, smooth))
        document = {"record": record.path, "bandwidth": args.bandwidth, "frequency_hz": at,
                    "smoothed_g_s": smooth}
    if args.output:
        _write_fourier(args.output, document, headers, rows)
        _emit(out, f"wrote {args.output}")
    else:
        _emit(out, format_table(headers, rows))
    if args.plot:
        plot_fourier(args.plot, freq, [raw], at, smooth,
                     f"Konno-Ohmachi smoothed, b = {args.bandwidth:g}", record.title)
        _emit(out, f"wrote {args.plot}")


def _eas(records: Sequence[Record], bandwidth: float, centers: str | None,
         workers: int) -> tuple[Any, list[Any], Any]:
    """Bin frequencies, the raw spectra of the pair, and the EAS."""
    h1, h2 = _common_length(records, quiet=True)
    dt = records[0].dt
    freq, raws = np.fft.rfftfreq(len(h1), dt), [fourier_amplitude(h, dt)[1] for h in (h1, h2)]
    centres = None if centers is None else parse_centres(centers, freq)
    eas = api_fourier.effective_amplitude_spectrum(h1, h2, dt, center_frequencies=centres,
                                                   bandwidth=bandwidth, workers=workers)
    return freq, raws, eas


def cmd_eas(args: argparse.Namespace, out: TextIO) -> None:
    if args.output:
        _output_kind(args.output)
    records = [load_record(path, args.dt, args.column, args.skiprows) for path in (args.h1, args.h2)]
    _common_length(records)
    freq, raws, eas = _eas(records, args.bandwidth, args.centers, args.workers)
    headers = ["frequency (Hz)", "EAS (g s)"]
    rows = list(zip(eas.frequencies, eas.amplitude))
    if args.output:
        document = {"records": [r.path for r in records], "bandwidth": args.bandwidth,
                    "frequency_hz": eas.frequencies, "eas_g_s": eas.amplitude}
        _write_fourier(args.output, document, headers, rows)
        _emit(out, f"wrote {args.output}")
    else:
        _emit(out, format_table(headers, rows))
    if args.plot:
        plot_fourier(args.plot, freq, raws, eas.frequencies, eas.amplitude,
                     f"effective amplitude spectrum, b = {args.bandwidth:g}", records[0].title)
        _emit(out, f"wrote {args.plot}")


# ---------------------------------------------------------------------------
# Tripartite plot

# Standard gravity in cm/s^2: PSA (g) * G_CM = w * PSV (cm/s).
G_CM = 980.665


def _spectra_columns(spectra: Any, records: Sequence[Record]) -> dict[str, Any]:
    columns: dict[str, Any] = {"period (s)": spectra.periods}
    for k, r in enumerate(records):
        name = r.component or r.name
        columns[f"SD {name} (cm)"] = spectra.sd[k]
        columns[f"SV {name} (cm/s)"] = spectra.sv[k]
        columns[f"SA {name} (g)"] = spectra.sa[k]
        columns[f"PSV {name} (cm/s)"] = spectra.psv[k]
        columns[f"PSA {name} (g)"] = spectra.psa[k]
    return columns


def _decades(low: float, high: float) -> list[float]:
    return [10.0**e for e in range(math.floor(math.log10(low)), math.ceil(math.log10(high)) + 1)]


def _value_label(value: float, unit: str) -> str:
    return f"{value:g} {unit}"


def plot_tripartite(path: str, spectra: Any, records: Sequence[Record], title: str) -> None:
    """PSV against period on log-log axes with diagonals of constant SD and PSA.

    A line of constant SD (cm) is PSV = w SD, of slope -1 in the log-log
    plane; a line of constant PSA (g) is PSV = PSA g / w, of slope +1.  The
    axes have equal decades so that both families run at 45 degrees.
    """
    fig = _pyplot_figure()
    fig.set_size_inches(7.5, 7.0)
    ax = fig.add_subplot()
    t = spectra.periods
    psv = np.asarray(spectra.psv)
    t_lo, t_hi = float(t.min()), float(t.max())
    style = {"color": "0.55", "lw": 0.5, "zorder": 1}
    label_style = {"fontsize": 7, "color": "0.3", "ha": "center", "va": "center",
                   "rotation_mode": "anchor", "zorder": 2,
                   "bbox": {"fc": "white", "ec": "none", "pad": 0.4, "alpha": 0.85}}
    # Whole decades on both axes, as many of PSV as of T, and equal decades
    # per inch; the curves sit in the middle, below the labelled top edge.
    t_lo = 10.0 ** math.floor(math.log10(t_lo))
    t_hi = 10.0 ** math.ceil(math.log10(t_hi))
    v_lo = 10.0 ** math.floor(math.log10(float(psv.min())))
    v_hi = max(10.0 ** math.ceil(math.log10(float(psv.max())) + 0.5), v_lo * t_hi / t_lo)
    # Curve points in log coordinates, for keeping labels off the curves.
    fine = np.linspace(math.log10(t.min()), math.log10(t.max()), 400)
    curve = [(fine, np.interp(fine, np.log10(t), np.log10(row))) for row in psv]

    def clear_at(x: float, y: float) -> bool:
        return all(float(np.min(np.hypot(cx - x, cy - y))) > 0.15 for cx, cy in curve)

    def label(x0: float, y0: float, dx: float, dy: float, length: float, text: str,
              rotation: int) -> None:
        """Text on the line from (x0, y0) in direction (dx, dy), first clear spot."""
        for s in np.arange(0.18, length - 0.15, 0.1):
            if clear_at(x0 + s * dx, y0 + s * dy):
                ax.text(10 ** (x0 + s * dx), 10 ** (y0 + s * dy), text,
                        rotation=rotation, **label_style)
                return
    lx, ly = math.log10(t_lo), math.log10(t_hi)
    lv0, lv1 = math.log10(v_lo), math.log10(v_hi)

    def clipped(offset: float, slope: int) -> tuple[float, float, float, float] | None:
        """End points (log T, log PSV) of log PSV = offset + slope log T inside the box."""
        points = []
        for x in (lx, ly):
            y = offset + slope * x
            if lv0 - 1e-9 <= y <= lv1 + 1e-9:
                points.append((x, y))
        for y in (lv0, lv1):
            x = (y - offset) / slope
            if lx - 1e-9 <= x <= ly + 1e-9:
                points.append((x, y))
        points = sorted(set((round(x, 12), round(y, 12)) for x, y in points))
        if len(points) < 2 or points[0] == points[-1]:
            return None
        (x0, y0), (x1, y1) = points[0], points[-1]
        return x0, y0, x1, y1

    two_pi = 2.0 * math.pi
    # Constant SD: log PSV = log(2 pi SD) - log T.  Labelled near the upper-left end.
    sd_lo = 10.0 ** (lv0 + lx) / two_pi
    sd_hi = 10.0 ** (lv1 + ly) / two_pi
    for d in _decades(sd_lo, sd_hi):
        for m in (1.0, 2.0, 5.0):
            seg = clipped(math.log10(two_pi * d * m), -1)
            if seg is None:
                continue
            x0, y0, x1, y1 = seg
            ax.plot([10**x0, 10**x1], [10**y0, 10**y1], alpha=1.0 if m == 1 else 0.45, **style)
            if m == 1:
                label(x0, y0, 1.0, -1.0, x1 - x0, _value_label(d, "cm"), -45)
    # Constant PSA: log PSV = log(PSA g / 2 pi) + log T.  Labelled near the upper-right end.
    a_lo = 10.0 ** (lv0 - ly) * two_pi / G_CM
    a_hi = 10.0 ** (lv1 - lx) * two_pi / G_CM
    for a in _decades(a_lo, a_hi):
        for m in (1.0, 2.0, 5.0):
            seg = clipped(math.log10(a * m * G_CM / two_pi), 1)
            if seg is None:
                continue
            x0, y0, x1, y1 = seg
            ax.plot([10**x0, 10**x1], [10**y0, 10**y1], alpha=1.0 if m == 1 else 0.45, **style)
            if m == 1:
                label(x1, y1, -1.0, -1.0, x1 - x0, _value_label(a, "g"), 45)

    colours = ("tab:orange", "tab:green")
    for k, r in enumerate(records):
        ax.plot(t, psv[k], color=colours[k % 2], lw=1.6, zorder=3, label=r.label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlim(t_lo, t_hi)
    ax.set_ylim(v_lo, v_hi)
    ax.set_aspect("equal", adjustable="box")
    ax.grid(True, which="major", color="0.8", lw=0.6)
    from matplotlib.ticker import FuncFormatter

    plain = FuncFormatter(lambda value, _: f"{value:g}")
    ax.xaxis.set_major_formatter(plain)
    ax.yaxis.set_major_formatter(plain)
    ax.set_xlabel("Period (s)")
    ax.set_ylabel("Pseudo-spectral velocity (cm/s)")
    ax.set_title(
        f"{title}\n{np.atleast_1d(spectra.damping)[0] * 100:g} % damping; diagonals: "
        "SD (cm, falling) and PSA (g, rising)",
        fontsize=10,
    )
    ax.legend(fontsize=8, loc="lower right")
    fig.savefig(path, dpi=120)


# ---------------------------------------------------------------------------
# demo


def cmd_demo(args: argparse.Namespace, out: TextIO) -> None:
    with open(_bundled("RSN6.json")) as handle:
        info = json.load(handle)
    records = [load_record(_bundled(info["components"][k])) for k in ("000", "090", "ver")]
    outdir = Path(args.output_dir)
    outdir.mkdir(parents=True, exist_ok=True)

    _emit(
        out,
        f"{info['event']} earthquake, {info['date']}, M {info['magnitude']}, "
        f"station {info['station']} (PEER NGA-West2 RSN{info['rsn']})",
    )
    lengths = ", ".join(str(len(r.samples)) for r in records)
    shortest = min(len(r.samples) for r in records)
    _emit(
        out,
        f"three components sampled every {records[0].dt} s, {lengths} samples "
        f"(taken together over the first {shortest})\n",
    )

    _emit(out, "Intensity measures")
    _emit(out, format_table(_MEASURE_HEADERS, _measure_rows(records)))
    for _, _, value in _pair_rotd50(records[:2], pair=True, quiet=True):
        _emit(out, f"RotD50 PGA of the horizontal pair: {_cell(value, 4)} g\n")

    peer = info["peer_psa_5pct"]
    periods = np.asarray(peer["period_s"], dtype=np.float64)
    spectrum = _spectrum_of(records, periods, 0.05, args.workers, quiet=True)
    _emit(out, "Response spectrum, 5 % damping, PSA in g (PEER: the database's own values)")
    shown = [k for k, t in enumerate(periods) if t in (0.1, 0.2, 0.5, 1.0, 2.0, 5.0)]
    psa_ver = spectrum.psa_ver
    assert psa_ver is not None
    rows = [
        [
            periods[k],
            spectrum.psa_000[k],
            peer["h1_g"][k],
            spectrum.psa_090[k],
            peer["h2_g"][k],
            psa_ver[k],
            peer["ver_g"][k],
            spectrum.rotd50[k],
        ]
        for k in shown
    ]
    _emit(
        out,
        format_table(
            ["period (s)", "PSA 180", "PEER", "PSA 270", "PEER", "PSA UP", "PEER", "RotD50"], rows
        ),
    )

    written = []
    spectrum_csv = str(outdir / "response_spectrum.csv")
    _write_spectrum(spectrum_csv, spectrum, records)
    written.append(spectrum_csv)
    freq, raw, _, smooth = _smoothed(records[0], 40.0, args.workers)
    fourier_csv = str(outdir / "fourier_spectrum.csv")
    _write_table(fourier_csv, _FOURIER_HEADERS, list(zip(freq, raw, smooth)))
    written.append(fourier_csv)
    pair_freq, raws, eas = _eas(records[:2], api_fourier.EAS_BANDWIDTH, None, args.workers)
    eas_csv = str(outdir / "eas.csv")
    _write_table(eas_csv, ["frequency (Hz)", "EAS (g s)"], list(zip(eas.frequencies, eas.amplitude)))
    written.append(eas_csv)
    title = f"{info['event']} {info['date'][:4]}, {info['station']} (RSN{info['rsn']})"
    try:
        spectrum_png = str(outdir / "response_spectrum.png")
        plot_spectrum(spectrum_png, spectrum, records, title)
        written.append(spectrum_png)
        fourier_png = str(outdir / "fourier_spectrum.png")
        plot_fourier(fourier_png, pair_freq, raws, eas.frequencies, eas.amplitude,
                     f"effective amplitude spectrum at its centres, b = "
                     f"{api_fourier.EAS_BANDWIDTH:g}", f"{title}, components 180 and 270")
        written.append(fourier_png)
    except CommandError as exc:
        _emit(out, f"\nno plots: {exc}")
    _emit(out, "\nwrote " + ", ".join(written))

    # SD, SV, SA, PSV and PSA of the horizontal components, as PEER computes them.
    h1, h2 = _common_length(records[:2], quiet=True)
    spectra = api.spectra(
        np.vstack([h1, h2]), records[0].dt, periods, 0.05,
        workers=args.workers, steps_per_period=10,
    )
    spectra_csv = str(outdir / "spectra.csv")
    columns = _spectra_columns(spectra, records[:2])
    _write_table(spectra_csv, list(columns), list(zip(*columns.values())))
    added = [spectra_csv]
    try:
        tripartite_png = str(outdir / "tripartite.png")
        plot_tripartite(tripartite_png, spectra, records[:2], title)
        added.append(tripartite_png)
    except CommandError:
        pass  # already reported above
    _emit(out, "wrote " + ", ".join(added))


# ---------------------------------------------------------------------------
# flatfile


def write_atomically(path: str, write: Callable[[str], None]) -> None:
    """`write(temporary)` next to `path`, then the temporary renamed over
    `path`: an interrupted run leaves the old file or none, never half of one."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=directory, prefix=".groundmotion-",
                                         suffix=Path(path).suffix)
    os.close(handle)
    try:
        write(temporary)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # as a plain open() would have made it
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _skipped(errors: Sequence[tuple[str, str]]) -> int:
    """The files --keep-going skipped, on standard error; the exit status."""
    for path, message in errors:
        print(f"{PROG}: skipped {path}: {message}", file=sys.stderr)
    return 3 if errors else 0


def _frame_csv(frame: Any, path: str) -> None:
    """A DataFrame as CSV, every float in the shortest form that reads back as
    the same double (pandas' own formatting is not that on every version)."""
    frame.to_csv(path, index=False, float_format=lambda v: repr(float(v)))


def cmd_flatfile(args: argparse.Namespace, out: TextIO) -> int:
    from .flatfile import flatfile

    kind = Path(args.output).suffix.lower()
    if kind not in (".csv", ".parquet"):
        raise CommandError(f"--output {args.output}: the name must end in .csv or .parquet")
    if kind == ".parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise CommandError(
                f"--output {args.output}: Parquet needs pyarrow; install it with "
                "pip install 'groundmotion[parquet]'"
            ) from None
    periods = parse_periods(args.periods) if args.periods else None
    options = dict(periods=periods, damping=args.damping, keep_going=args.keep_going,
                   steps_per_period=args.steps_per_period)
    if args.scheduler or args.dask_workers:
        return _flatfile_on_cluster(args, kind, options, out)
    frame = flatfile(args.paths, workers=args.workers, progress=args.progress, **options)
    if kind == ".csv":
        write_atomically(args.output, lambda path: _frame_csv(frame, path))
    else:
        write_atomically(args.output, lambda path: frame.to_parquet(path, index=False))
    _emit(out, f"wrote {args.output}: {len(frame)} rows, {frame.shape[1]} columns")
    return _skipped(frame.attrs.get("errors", []))


def _flatfile_on_cluster(args: argparse.Namespace, kind: str, options: dict, out: TextIO) -> int:
    """--scheduler or --dask-workers: the workers read and compute; a Parquet
    output is a dataset (a folder) that they write themselves."""
    from .flatfile import cluster_run

    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise CommandError("--scheduler and --dask-workers need Dask; install it with "
                           "pip install 'groundmotion[dask]'") from None
    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.dask_workers, threads_per_worker=1,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        if kind == ".parquet":
            rows, errors = cluster_run(client, args.paths, args.output, True, 1, options)
            _emit(out, f"wrote {args.output}: {rows} rows (a Parquet dataset, one file per partition)")
        else:
            frame, errors = cluster_run(client, args.paths, None, False, 1, options)
            write_atomically(args.output, lambda path: _frame_csv(frame, path))
            _emit(out, f"wrote {args.output}: {len(frame)} rows, {frame.shape[1]} columns")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return _skipped(errors)


# ---------------------------------------------------------------------------
# Argument parsing and the entry point


def _parsed(text: str, kind: type, what: str, ok: Callable[[Any], bool], rule: str) -> Any:
    """`text` read as `kind`, or an argparse error naming the rule it breaks."""
    try:
        value = kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not {what}") from None
    if not ok(value):
        raise argparse.ArgumentTypeError(f"{text!r} {rule}")
    return value


def _positive_float(text: str) -> float:
    return _parsed(text, float, "a number", lambda v: math.isfinite(v) and v > 0,
                   "is not positive and finite")


def _positive_int(text: str) -> int:
    return _parsed(text, int, "a whole number", lambda v: v >= 1, "is less than 1")


def _damping(text: str) -> float:
    return _parsed(text, float, "a number", lambda v: 0.0 <= v < 1.0,
                   "is outside [0, 1) (0.05 is 5 %)")


_CENTERS_HELP = ("output frequencies: a count, log-spaced from the first nonzero bin to the "
                 "Nyquist frequency, or first:last:count in Hz")


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Earthquake ground-motion intensity measures of strong-motion records.",
        epilog="Start with `groundmotion demo`.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument(
        "--traceback",
        action="store_true",
        help="show the full traceback of an error (for bug reports)",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    reading = argparse.ArgumentParser(add_help=False)
    group = reading.add_argument_group("plain text records")
    group.add_argument(
        "--dt",
        type=_positive_float,
        help="sampling interval in s of plain text records (.AT2 files carry it)",
    )
    group.add_argument(
        "--column",
        type=int,
        default=None,
        help="column of the accelerations in a text file with several (from 0)",
    )
    group.add_argument("--skiprows", type=int, default=0, help="header lines of a text file")
    threads = argparse.ArgumentParser(add_help=False)
    threads.add_argument(
        "--workers", type=_positive_int, default=1, help="threads to compute with (default 1)"
    )

    p = commands.add_parser(
        "measures",
        parents=[reading],
        help="PGA, Arias intensity, CAV, significant durations, PGV, PGD, CAV5, CAVstd, "
        "bracketed duration",
        description="PGA, Arias intensity, CAV, D5-75, D5-95, PGV, PGD, CAV5, CAVstd and the "
        "bracketed duration at 0.05 g of each record.  With --pair, the RotD50 PGA of each "
        "horizontal pair as well.",
    )
    p.add_argument("files", nargs="+", metavar="FILE", help="records (.AT2 or text, in g)")
    p.add_argument(
        "--pair",
        action="store_true",
        help="take the files two by two as horizontal pairs (0 then 90 component)",
    )
    p.add_argument("--output", metavar="OUT", help="write a .csv or .json file instead")
    p.set_defaults(run=cmd_measures)

    p = commands.add_parser(
        "spectrum",
        parents=[reading, threads],
        help="response spectrum with RotD50",
        description="Pseudo-spectral acceleration of the components and RotD00/50/100 of the "
        "horizontal pair.  Components of different lengths are trimmed to the shortest.",
    )
    p.add_argument("h1", metavar="H1", help="the 0 horizontal component (.AT2 or text, in g)")
    p.add_argument("h2", metavar="H2", nargs="?", help="the 90 horizontal component (optional)")
    p.add_argument("vertical", metavar="V", nargs="?", help="the vertical component (optional)")
    p.add_argument(
        "--periods",
        nargs="+",
        default=[DEFAULT_PERIODS],
        metavar="T",
        help="periods in s, numbers or first:last:count log-spaced ranges "
        f"(default {DEFAULT_PERIODS})",
    )
    p.add_argument(
        "--damping", type=_damping, default=0.05, help="fraction of critical damping (default 0.05)"
    )
    p.add_argument("--output", metavar="OUT", help="write a .csv or .json file instead")
    p.add_argument("--plot", metavar="PNG", help="plot the spectrum into this image (matplotlib)")
    p.set_defaults(run=cmd_spectrum)

    p = commands.add_parser(
        "smooth",
        parents=[reading, threads],
        help="Konno-Ohmachi smoothed Fourier spectrum",
        description="Fourier amplitude spectrum of a record and its Konno-Ohmachi smoothing.",
    )
    p.add_argument("file", metavar="FILE", help="record (.AT2 or text, in g)")
    p.add_argument(
        "--bandwidth",
        type=_positive_float,
        default=40.0,
        help="Konno-Ohmachi bandwidth coefficient b (default 40)",
    )
    p.add_argument("--centers", metavar="C", help=_CENTERS_HELP)
    p.add_argument("--output", metavar="OUT", help="write a .csv or .json file instead")
    p.add_argument("--plot", metavar="PNG", help="plot the spectra into this image (matplotlib)")
    p.set_defaults(run=cmd_smooth)

    p = commands.add_parser(
        "eas",
        parents=[reading, threads],
        help="effective amplitude spectrum of a horizontal pair",
        description="Effective amplitude spectrum sqrt((FAS1^2 + FAS2^2) / 2) of a horizontal "
        "pair, Konno-Ohmachi smoothed (b = 188.5) at log-spaced centres (by default 20 per "
        "decade within the record's band).",
    )
    p.add_argument("h1", metavar="H1", help="one horizontal component (.AT2 or text, in g)")
    p.add_argument("h2", metavar="H2", help="the other horizontal component")
    p.add_argument("--bandwidth", type=_positive_float, default=api_fourier.EAS_BANDWIDTH,
                   help="Konno-Ohmachi bandwidth coefficient b (default 188.5)")
    p.add_argument("--centers", metavar="C", help=_CENTERS_HELP)
    p.add_argument("--output", metavar="OUT", help="write a .csv or .json file instead")
    p.add_argument("--plot", metavar="PNG", help="plot the spectra into this image (matplotlib)")
    p.set_defaults(run=cmd_eas)

    p = commands.add_parser(
        "flatfile",
        parents=[threads],
        help="one table of intensity measures for many records",
        description="A flatfile: one row per station and component (and the RotD00/50/100 "
        "rows of horizontal pairs), one column per measure: PGA, PGV, PGD, Arias, CAV, CAV5, "
        "D5-75, D5-95 and PSA at every period.  Exit status 3 when --keep-going skipped "
        "files (listed on standard error).",
    )
    p.add_argument("paths", nargs="+", metavar="PATH", help="record files, folders or globs")
    p.add_argument("--output", required=True, metavar="OUT",
                   help="the flatfile, .csv or .parquet (written atomically)")
    p.add_argument("--periods", nargs="+", metavar="T",
                   help="periods in s, numbers or first:last:count log-spaced ranges "
                   "(default: the 111 NGA-West2 periods)")
    p.add_argument("--damping", type=_damping, default=0.05,
                   help="fraction of critical damping (default 0.05)")
    p.add_argument("--keep-going", action="store_true",
                   help="skip files that cannot be read instead of stopping")
    p.add_argument("--steps-per-period", type=_positive_int, metavar="N",
                   help="sub-steps for periods below N dt, the last sample left out (10 is "
                   "PEER's NGA-West2 rule; default: one step per sample interval)")
    p.add_argument("--progress", action="store_true", help="show a progress bar (tqdm)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on a running Dask cluster (needs groundmotion[dask]); each task "
                   "computes with one thread, and --workers and --progress apply to local runs")
    p.add_argument("--dask-workers", type=_positive_int, metavar="N",
                   help="run on a local Dask cluster of N worker processes")
    p.set_defaults(run=cmd_flatfile)

    p = commands.add_parser(
        "demo",
        parents=[threads],
        help="run everything on a bundled record",
        description="Intensity measures, response spectra, smoothed Fourier spectrum and "
        "effective amplitude spectrum of "
        "the 1940 Imperial Valley record at El Centro (PEER NGA-West2 RSN6), bundled with "
        "the package; writes CSV files and, with matplotlib, plots.",
    )
    p.add_argument(
        "--output-dir",
        default="groundmotion-demo",
        metavar="DIR",
        help="where to write the files (default ./groundmotion-demo)",
    )
    p.set_defaults(run=cmd_demo)
    return parser


# Argument names of the library that are options on the command line.
_OPTIONS = {"dt": "--dt", "damping": "--damping", "periods": "--periods", "bandwidth": "--bandwidth",
            "center_frequencies": "--centers", "workers": "--workers", "nfft": "--nfft"}


def _as_options(message: str) -> str:
    """A library message with its argument names spelled as the options."""
    import re

    return re.sub(r"\b(" + "|".join(_OPTIONS) + r")\b(?=(\[\d+\])? (must|has|and|of))",
                  lambda m: _OPTIONS[m.group(1)], message)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status = args.run(args, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`groundmotion smooth x.AT2 | head`): not an error.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BaseException as exc:  # one line, not a traceback: also for failed checks
        if isinstance(exc, SystemExit) or args.traceback:
            raise
        message = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        message = _as_options(message)
        if not isinstance(exc, (CommandError, ValueError, OSError, ImportError)):
            message = f"{type(exc).__name__}: {message}"
        elif isinstance(exc, OSError) and exc.filename and exc.strerror:
            message = f"{exc.filename}: {exc.strerror}"
        print(f"{PROG}: error: {message}", file=sys.stderr)
        return 2
    return status or 0
