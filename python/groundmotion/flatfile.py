"""From records to one flatfile: a table of intensity measures, one row per
station and component.

Rows.  Every component of a station gets a row (``H1``, ``H2``, ``V``); a
station with two horizontal components sampled alike gets three more, the
rotated components ``RotD00``, ``RotD50`` and ``RotD100`` of the pair, both
trimmed to their common length.  Metadata columns come first, then PGA (g),
PGV (cm/s), PGD (cm), Arias (m/s), CAV and CAV5 (m/s), D5-75 and D5-95 (s),
then ``PSA(T)`` (g) at every period.  The rotated rows carry the RotDnn of
PGA, PGV, PGD and PSA; the integrals and durations, which have no rotated
counterpart, are NaN there.

Stations.  Components are paired into stations by these rules, in order:

1. a manifest (``pairs=`` a CSV file or a DataFrame with the columns
   ``path``, ``station`` and ``component``) says it outright;
2. PEER files: the record sequence number (RSN) of the name or header;
3. other formats: the station code and event (or start time) of the header;
4. otherwise the file name without its component label.

Within a station, a component labelled ``UP``, ``DWN``, ``V``, ``Z``,
``UD`` or ending in ``Z`` (a channel code such as ``HNZ``) is the vertical;
the horizontals are ``H1`` and ``H2`` in the order of their labels (``000``
before ``090``, ``HNE`` before ``HNN``).
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

from . import api, io

__all__ = ["NGA_WEST2_PERIODS", "STANDARD_MEASURES", "flatfile"]

#: The 111 periods (s) of PEER's NGA-West2 spectra, the default of `flatfile`.
NGA_WEST2_PERIODS = np.array([
    0.01, 0.02, 0.022, 0.025, 0.029, 0.03, 0.032, 0.035, 0.036, 0.04, 0.042, 0.044, 0.045,
    0.046, 0.048, 0.05, 0.055, 0.06, 0.065, 0.067, 0.07, 0.075, 0.08, 0.085, 0.09, 0.095,
    0.1, 0.11, 0.12, 0.13, 0.133, 0.14, 0.15, 0.16, 0.17, 0.18, 0.19, 0.2, 0.22, 0.24, 0.25,
    0.26, 0.28, 0.29, 0.3, 0.32, 0.34, 0.35, 0.36, 0.38, 0.4, 0.42, 0.44, 0.45, 0.46, 0.48,
    0.5, 0.55, 0.6, 0.65, 0.667, 0.7, 0.75, 0.8, 0.85, 0.9, 0.95, 1.0, 1.1, 1.2, 1.3, 1.4,
    1.5, 1.6, 1.7, 1.8, 1.9, 2.0, 2.2, 2.4, 2.5, 2.6, 2.8, 3.0, 3.2, 3.4, 3.5, 3.6, 3.8, 4.0,
    4.2, 4.4, 4.6, 4.8, 5.0, 5.5, 6.0, 6.5, 7.0, 7.5, 8.0, 8.5, 9.0, 9.5, 10.0, 11.0, 12.0,
    13.0, 14.0, 15.0, 20.0,
])
#: The measure columns of a flatfile besides PSA, in order.
STANDARD_MEASURES = ("PGA", "PGV", "PGD", "Arias", "CAV", "CAV5", "D5-75", "D5-95")
_VERTICAL = {"UP", "DWN", "DN", "DOWN", "V", "VER", "VERT", "Z", "UD"}
_METADATA = ("station", "component", "label", "rsn", "event", "date", "station_name", "path",
             "dt", "npts")


def psa_column(period: float) -> str:
    """``PSA(0.010)``: three decimals where they give the period exactly, the
    shortest exact form otherwise, so that no two periods share a name."""
    text = f"{period:.3f}"
    return f"PSA({text if float(text) == period else repr(float(period))})"


def _is_vertical(label: str) -> bool:
    upper = label.upper().lstrip("-_")
    return upper in _VERTICAL or upper.endswith("Z") or upper.endswith("-UP")


def _station_key(record: Any) -> str:
    meta = record.metadata
    if meta.get("rsn") not in (None, ""):
        return f"RSN{meta['rsn']}"
    if meta.get("station"):
        when = meta.get("event") or meta.get("date") or meta.get("starttime") or ""
        return f"{meta['station']} {when}".strip()
    name, label = record.name, record.component
    if label and name.upper().endswith(label.upper()):
        name = name[: -len(label)].rstrip("-_.")
    return name


def _manifest(pairs: Any) -> dict[str, tuple[str, str]]:
    """path -> (station, component) from a manifest file or DataFrame."""
    if isinstance(pairs, (str, os.PathLike)):
        import csv

        with open(pairs, newline="", encoding="utf-8-sig") as handle:
            rows = list(csv.DictReader(handle))
    else:
        rows = pairs.to_dict("records")
    missing = {"path", "station", "component"} - set(rows[0] if rows else {})
    if missing:
        raise ValueError(f"the manifest needs the columns path, station and component; "
                         f"{', '.join(sorted(missing))} missing")
    return {_key_path(r["path"]): (str(r["station"]), str(r["component"])) for r in rows}


def _key_path(path: Any) -> str:
    text = str(path)
    return text if io._is_url(text) else os.path.normpath(os.path.abspath(text))


def _read_all(sources: Any, keep_going: bool) -> tuple[list[Any], list[tuple[str, str]]]:
    """Records from Record objects, paths, folders or globs; the files that
    could not be read, with their errors, when keep_going."""
    if isinstance(sources, io.Record):
        sources = [sources]
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    records, errors, paths = [], [], []
    for item in sources:
        if isinstance(item, io.Record):
            records.append(item)
        else:
            paths.extend(io._expand(item))
    for path in paths:
        try:
            records.extend(io.read_records([path]))
        except (ValueError, OSError, EOFError) as exc:
            if not keep_going:
                raise
            errors.append((str(path), str(exc)))
    return records, errors


def _stations(records: list[Any], pairs: Any) -> list[tuple[str, dict[str, Any]]]:
    """(station, {"H1": record, "H2": record, "V": record}) in order of
    first appearance."""
    manifest = None if isinstance(pairs, (bool, str)) and pairs in ("auto", True, False) \
        else _manifest(pairs)
    grouped: dict[str, list[tuple[str, Any]]] = {}
    matched = set()
    for record in records:
        path = _key_path(record.metadata.get("path", record.name))
        if manifest is not None and path in manifest:
            station, label = manifest[path]
            matched.add(path)
        elif pairs is False:
            station, label = record.name, record.component
        else:
            station, label = _station_key(record), record.component
        grouped.setdefault(station, []).append((label, record))
    unmatched = [] if manifest is None else sorted(set(manifest) - matched)
    if unmatched:
        warnings.warn(f"{len(unmatched)} manifest row(s) name no record read: "
                      + ", ".join(unmatched[:5]), api.GroundMotionWarning, stacklevel=3)
    stations = []
    for station, members in grouped.items():
        roles: dict[str, Any] = {}
        horizontals = sorted((m for m in members if not _is_vertical(m[0])), key=lambda m: m[0])
        verticals = [m for m in members if _is_vertical(m[0])]
        for role, (label, record) in zip(("H1", "H2"), horizontals):
            roles[role] = (label, record)
        if verticals:
            roles["V"] = verticals[0]
        extra = horizontals[2:] + verticals[1:]
        for label, record in extra:  # more components than a station holds: rows of their own
            stations.append((f"{station} {label}", {"H1": (label, record)}))
        stations.append((station, roles))
    return stations


def flatfile(
    records_or_paths: Any,
    *,
    periods: Sequence[float] | None = None,
    damping: float = 0.05,
    steps_per_period: int | None = None,
    measures: Iterable[str] | None = None,
    pairs: Any = "auto",
    keep_going: bool = False,
    workers: int | None = None,
    progress: bool = False,
    client: Any = None,
    output: str | None = None,
    overwrite: bool = False,
    threads_per_task: int = 1,
) -> Any:
    """A flatfile of intensity measures, one row per station and component.

    Parameters
    ----------
    records_or_paths : Record, path, folder, glob, or a sequence of them
        The records: `Record` objects, or files read with `read_records`.
    periods : sequence of float, optional
        Periods of the PSA columns; `NGA_WEST2_PERIODS` (111 periods from
        0.01 to 20 s) by default.
    damping : float, optional
        Fraction of critical damping of the spectra.
    steps_per_period : int or None, optional
        As in `spectra`: ``10`` is the rule of PEER's NGA-West2 spectra (short
        periods on sub-steps, the last sample left out); None (the default)
        runs every oscillator once per sample interval.
    measures : iterable of str, optional
        Columns besides PSA among `STANDARD_MEASURES`; all by default.
    pairs : "auto", False, a CSV path or a DataFrame, optional
        How components are grouped into stations (see the module's rules);
        False gives every record a row of its own and no rotated rows.
    keep_going : bool, optional
        Skip files that cannot be read, listing them (path and error) in
        ``DataFrame.attrs["errors"]`` and in a `GroundMotionWarning`;
        otherwise the first bad file raises, naming it.
    workers : int or None, optional
        Threads for the measures (None or -1: one per CPU).
    progress : bool, optional
        A tqdm progress bar over the records.
    client : dask.distributed.Client or str, optional
        Run on a Dask cluster (a client, or a scheduler's address): the files
        are cut into partitions and every worker reads and computes its own
        (see `partitions`).  Needs the ``[dask]`` extra.
    output : str, optional
        With a client: a Parquet dataset (a folder) that the workers write,
        one file per partition, nothing passing through the client; the
        function then returns the number of rows.  The dataset is built in
        a hidden folder beside it and renamed into place at the end.
    overwrite : bool, optional
        Replace an existing `output` (otherwise it is refused).
    threads_per_task : int, optional
        Threads of the kernels within one task on a cluster (one by default,
        so that worker threads and kernel threads do not oversubscribe).

    Returns
    -------
    pandas.DataFrame
        Rows in the order of the stations' first files, each station's rows
        H1, H2, V, RotD00, RotD50, RotD100.  Metadata columns first (``station``, ``component``, ``label`` (the
        file's own component label), ``rsn``, ``event``, ``date``,
        ``station_name``, ``path``, ``dt``, ``npts``), then the measures.
    """
    import pandas as pd

    if client is not None:
        result, errors = cluster_run(client, records_or_paths, output, overwrite,
                                     threads_per_task,
                                     dict(periods=periods, damping=damping, measures=measures,
                                          pairs=pairs, keep_going=keep_going,
                                          steps_per_period=steps_per_period))
        if errors:
            warnings.warn(
                f"{len(errors)} file(s) skipped: " + "; ".join(f"{p}: {e}" for p, e in errors),
                api.GroundMotionWarning, stacklevel=2,
            )
        return result
    if output is not None:
        raise ValueError("output= is the Parquet dataset of a cluster run: give client= too, "
                         "or write the returned DataFrame yourself")
    wanted = list(STANDARD_MEASURES if measures is None else measures)
    unknown = [m for m in wanted if m not in STANDARD_MEASURES]
    if unknown:
        raise ValueError(f"measures must be among {', '.join(STANDARD_MEASURES)}; got {unknown}")
    period_array = NGA_WEST2_PERIODS if periods is None else api._periods(periods)
    if len(set(map(psa_column, period_array))) < len(period_array):
        raise ValueError("periods must be distinct")
    damping = api._damping(damping)
    records, errors = _read_all(records_or_paths, keep_going)
    if errors:
        warnings.warn(
            f"{len(errors)} file(s) skipped: " + "; ".join(f"{p}: {e}" for p, e in errors),
            api.GroundMotionWarning, stacklevel=2,
        )
    stations = _stations(records, pairs)
    rows = [(station, role, label, record) for station, roles in stations
            for role, (label, record) in roles.items()]
    table = _component_table(rows, period_array, damping, wanted, workers, progress,
                             steps_per_period)
    rotated = _rotated_table(stations, period_array, damping, wanted, workers, steps_per_period)
    order = {station: k for k, (station, _) in enumerate(stations)}
    roles = ("H1", "H2", "V", "RotD00", "RotD50", "RotD100")
    every = sorted(table + rotated, key=lambda r: (order[r["station"]], roles.index(r["component"])))
    columns = list(_METADATA) + wanted + [psa_column(t) for t in period_array]
    frame = pd.DataFrame(every, columns=columns)
    frame["rsn"] = frame["rsn"].astype("string")
    frame["npts"] = frame["npts"].astype("int64")
    frame.attrs["errors"] = errors
    return frame


def _metadata(station: str, role: str, label: str, record: Any, n: int | None = None) -> dict:
    meta = record.metadata
    return {"station": station, "component": role, "label": label, "rsn": meta.get("rsn"),
            "event": meta.get("event"), "date": meta.get("date"),
            "station_name": meta.get("station"), "path": meta.get("path"), "dt": record.dt,
            "npts": len(record.acceleration) if n is None else n}


def _component_table(rows: list[tuple[str, str, str, Any]], periods: np.ndarray, damping: float,
                     wanted: list[str], workers: Any, progress: bool,
                     steps_per_period: int | None = None) -> list[dict]:
    if not rows:
        return []
    from .measures import CAV5_THRESHOLD, peak_motions

    accs = [np.asarray(r[3].acceleration, dtype=np.float64) for r in rows]
    dts = np.array([r[3].dt for r in rows])
    columns: dict[str, np.ndarray] = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", api.GroundMotionWarning)
        if {"PGA", "PGV", "PGD"} & set(wanted):
            peaks = peak_motions(accs, dts)
            columns.update(PGA=peaks.pga, PGV=peaks.pgv, PGD=peaks.pgd)
        if "Arias" in wanted:
            columns["Arias"] = api.arias_intensity(accs, dts, workers=workers)
        if "CAV" in wanted:
            columns["CAV"] = api.cav(accs, dts, workers=workers)
        if "CAV5" in wanted:
            columns["CAV5"] = api.cav(accs, dts, CAV5_THRESHOLD, workers=workers)
        if "D5-75" in wanted:
            columns["D5-75"] = api.significant_duration(accs, dts, 0.05, 0.75, workers=workers)
        if "D5-95" in wanted:
            columns["D5-95"] = api.significant_duration(accs, dts, workers=workers)
        psa = api.spectra(accs, dts, periods, damping, workers=workers, progress=progress,
                          steps_per_period=steps_per_period).psa
    names = [psa_column(t) for t in periods]
    table = []
    for k, (station, role, label, record) in enumerate(rows):
        row = _metadata(station, role, label, record)
        row.update({name: float(values[k]) for name, values in columns.items()})
        row.update(zip(names, psa[k].tolist()))
        table.append(row)
    return table


def _rotated_table(stations: list[tuple[str, dict[str, Any]]], periods: np.ndarray,
                   damping: float, wanted: list[str], workers: Any,
                   steps_per_period: int | None = None) -> list[dict]:
    from concurrent.futures import ThreadPoolExecutor

    from .measures import rotd_peak_motions

    names = [psa_column(t) for t in periods]
    pairs = [(station, roles) for station, roles in stations
             if "H1" in roles and "H2" in roles
             and math.isclose(roles["H1"][1].dt, roles["H2"][1].dt, rel_tol=1e-9)]

    def rotated(item: tuple[str, dict[str, Any]]) -> tuple[int, Any, Any]:
        (_, r1), (_, r2) = item[1]["H1"], item[1]["H2"]
        n = min(len(r1.acceleration), len(r2.acceleration))
        h1, h2 = (np.asarray(r.acceleration[:n], dtype=np.float64) for r in (r1, r2))
        spectrum = api.response_spectrum(h1, h2, None, r1.dt, periods, damping, workers=1,
                                         steps_per_period=steps_per_period)
        peaks = rotd_peak_motions(h1, h2, r1.dt) if {"PGA", "PGV", "PGD"} & set(wanted) else None
        return n, spectrum, peaks

    # One station per task: the kernels release the interpreter lock.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", api.GroundMotionWarning)
        n_workers = api._workers(workers)
        if n_workers > 1 and len(pairs) > 1:
            with ThreadPoolExecutor(max_workers=n_workers) as pool:
                results = list(pool.map(rotated, pairs))
        else:
            results = [rotated(item) for item in pairs]
    table = []
    for (station, roles), (n, spectrum, peaks) in zip(pairs, results):
        (l1, r1), (l2, r2) = roles["H1"], roles["H2"]
        for k, role in enumerate(("RotD00", "RotD50", "RotD100")):
            row = _metadata(station, role, f"{l1}+{l2}", r1, n)
            if peaks is not None:
                row.update(PGA=float(peaks.pga[k]), PGV=float(peaks.pgv[k]), PGD=float(peaks.pgd[k]))
            values = getattr(spectrum, role.lower())
            row.update(zip(names, np.asarray(values).tolist()))
            table.append(row)
    return table


# ---------------------------------------------------------------------------
# On a Dask cluster

#: A partition holds at most this many files.
PARTITION_FILES = 256


def _name_key(path: str, manifest: dict | None = None) -> str:
    """The station of a file before it is read: the manifest's, else the RSN
    of a PEER name, else the name without its component label."""
    import re

    if manifest is not None and _key_path(path) in manifest:
        return manifest[_key_path(path)][0]
    base = os.path.basename(str(path).rstrip("/"))
    rsn = re.match(r"RSN(\d+)[_.]", base, re.IGNORECASE)
    if rsn:
        return f"RSN{int(rsn.group(1))}"
    stem = base.split(".")[0]
    return re.sub(r"[-_.]?(UP|DWN|DN|V|VER|UD|[HB][HNL]?[ENZ12]|EW|NS|\d{3})$", "", stem,
                  flags=re.IGNORECASE) or stem


def _size(path: str) -> int:
    """A file's bytes, the measure of its work (1 where it cannot be told)."""
    try:
        return max(1, os.path.getsize(path)) if not io._is_url(path) else 1
    except OSError:
        return 1


def partitions(paths: Sequence[str], n_workers: int, manifest: dict | None = None) -> list[list[str]]:
    """Runs of files in their order, a station's files never split (the
    stations of the manifest, when there is one), of about equal bytes:
    about four partitions per worker, so that the workers finish together and
    a lost worker costs little, and at most PARTITION_FILES files in each."""
    groups: dict[str, list[str]] = {}
    for path in paths:
        groups.setdefault(_name_key(path, manifest), []).append(path)
    n_parts = max(1, 4 * n_workers, math.ceil(len(paths) / PARTITION_FILES))
    sizes = {path: _size(path) for path in paths}
    share = sum(sizes.values()) / n_parts
    parts: list[list[str]] = []
    held = 0
    for group in groups.values():
        weight = sum(sizes[p] for p in group)
        if (not parts or (held + weight / 2 > share and parts[-1])
                or len(parts[-1]) + len(group) > PARTITION_FILES):
            parts.append([])
            held = 0
        parts[-1].extend(group)
        held += weight
    return parts


def _partition(paths: list[str], options: dict, threads: int, target: str | None,
               index: int) -> Any:
    """One task: read and compute a partition, then write it (returning the
    row count and errors) or return it."""
    frame = flatfile(paths, workers=threads, **options)
    if target is None:
        return frame
    final = os.path.join(target, f"part-{index:05d}.parquet")
    temporary = os.path.join(target, f".part-{index:05d}-{os.getpid()}.parquet")
    frame.to_parquet(temporary, index=False)
    os.replace(temporary, final)  # a retried task overwrites, never mixes
    return len(frame), frame.attrs["errors"]


def cluster_run(client: Any, sources: Any, output: str | None, overwrite: bool, threads: int,
                options: dict) -> tuple[Any, list[tuple[str, str]]]:
    """The flatfile on a cluster: the gathered table (or, with `output`, the
    number of rows of the Parquet dataset the workers wrote) and the files
    skipped."""
    import shutil

    import pandas as pd
    from distributed import Client

    own_client = isinstance(client, str)
    if own_client:
        client = Client(client)
    target = None
    try:
        paths: list[str] = []
        for item in ([sources] if isinstance(sources, (str, os.PathLike)) else sources):
            if isinstance(item, io.Record):
                raise TypeError("on a cluster the workers read the files: give paths, not Records")
            paths.extend(io._expand(item))
        pairs = options.get("pairs", "auto")
        manifest = None if isinstance(pairs, (bool, str)) and pairs in ("auto", True, False) \
            else _manifest(pairs)
        if manifest is not None:
            options = {**options, "pairs": pd.DataFrame(
                [{"path": p, "station": st, "component": c} for p, (st, c) in manifest.items()])}
        n_workers = max(1, len(client.scheduler_info().get("workers", {})))
        parts = partitions(paths, n_workers, manifest)
        if output is not None:
            output = os.path.abspath(output)
            if os.path.exists(output) and not overwrite:
                raise FileExistsError(f"{output} exists; pass overwrite=True to replace it")
            target = os.path.join(os.path.dirname(output),
                                  f".{os.path.basename(output)}.{os.getpid()}.partial")
            os.makedirs(target, exist_ok=False)
        futures = [client.submit(_partition, part, options, threads, target, k, pure=False)
                   for k, part in enumerate(parts)]
        results = client.gather(futures)
        if target is None:
            frames = [r for r in results if len(r.columns)]
            frame = pd.concat(frames, ignore_index=True) if frames else pd.DataFrame()
            errors = [e for r in results for e in r.attrs.get("errors", [])]
            frame.attrs["errors"] = errors
            return frame, errors
        if os.path.isdir(output):
            shutil.rmtree(output)
        elif os.path.exists(output):
            os.remove(output)
        os.replace(target, output)
        target = None
        return sum(n for n, _ in results), [e for _, errs in results for e in errs]
    finally:
        if target is not None:
            shutil.rmtree(target, ignore_errors=True)
        if own_client:
            client.close()
