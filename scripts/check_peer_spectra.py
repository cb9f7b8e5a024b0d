"""Compare gm.spectra's PSA with PEER's own NGA-West2 spectra.

A developer check, not a test: given a folder of PEER NGA-West2 records
(.AT2) downloaded with PEER's ``_SearchResults.csv``, computes the 5 %-damped
PSA of each horizontal component at PEER's periods and prints, per record and
overall, the largest relative difference to PEER's "Unscaled Horizontal &
Vertical Spectra, as recorded", for periods T < 10 dt and T >= 10 dt, with
``steps_per_period=10`` (PEER's rule) and with ``steps_per_period=None``.
Each component is computed on its own samples, all of them.

    python scripts/check_peer_spectra.py [FOLDER] [--workers N]

FOLDER defaults to ../shared/records/peer_nga_west2 next to the repository;
without it the script says so and exits with status 0.
"""

from __future__ import annotations

import argparse
import csv
import math
import sys
from pathlib import Path

import numpy as np

import groundmotion as gm

ROOT = Path(__file__).resolve().parents[1]
DEFAULT = ROOT.parent / "shared" / "records" / "peer_nga_west2"
SPECTRA = "Unscaled Horizontal & Vertical Spectra, as recorded"
METADATA = "Summary of Metadata of Selected Records"
SETTINGS = {"steps=10": 10, "steps=None": None}


def sections(path: Path) -> dict[str, list[list[str]]]:
    """The CSV's sections ("-- title --" lines) as lists of rows, blank rows dropped."""
    result: dict[str, list[list[str]]] = {}
    current: list[list[str]] | None = None
    with open(path, newline="", encoding="utf-8", errors="replace") as handle:
        for line in handle:
            text = line.strip()
            if text.startswith("--") and text.endswith("--"):  # titles may hold commas
                current = result.setdefault(text.strip("- ").strip(), [])
                continue
            cells = [c.strip() for c in next(csv.reader([line]), [])]
            if current is not None and any(cells):
                current.append(cells)
    return result


def search_results(folder: Path) -> dict[str, list[list[str]]] | None:
    """The sections of the folder's _SearchResults.csv, or None (said) without one."""
    search = folder / "_SearchResults.csv"
    if not search.is_file():
        print(f"no PEER records here: {search} does not exist; nothing to check")
        return None
    return sections(search)


def records(table: list[list[str]]) -> list[tuple[str, str, str]]:
    """(RSN, H1 file, H2 file) of each record of the metadata section."""
    header = table[0]
    rsn = header.index("Record Sequence Number")
    h1 = header.index("Horizontal-1 Acc. Filename")
    h2 = header.index("Horizontal-2 Acc. Filename")
    return [(row[rsn], row[h1], row[h2]) for row in table[1:] if len(row) > h2]


def peer_spectra(table: list[list[str]]) -> tuple[np.ndarray, dict[str, np.ndarray]]:
    """PEER's periods and its PSA column (g) by column name."""
    header = table[0]
    values = np.array([[float(v) if v else math.nan for v in row[: len(header)]]
                       for row in table[1:]])
    return values[:, 0], {name: values[:, k] for k, name in enumerate(header) if k}


def worst(ours: np.ndarray, theirs: np.ndarray, mask: np.ndarray) -> float:
    ok = mask & np.isfinite(theirs) & (theirs != 0)
    if not ok.any():
        return math.nan
    return float(np.max(np.abs(ours[ok] - theirs[ok]) / np.abs(theirs[ok])))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default=str(DEFAULT))
    parser.add_argument("--workers", type=int, default=1)
    args = parser.parse_args()
    folder = Path(args.folder)
    parts = search_results(folder)
    if parts is None:
        return 0
    search = folder / "_SearchResults.csv"
    if METADATA not in parts or SPECTRA not in parts:
        print(f"{search} lacks the sections '{METADATA}' or '{SPECTRA}'; nothing to check")
        return 0
    periods, peer = peer_spectra(parts[SPECTRA])
    overall = {(s, band): 0.0 for s in SETTINGS for band in ("short", "long")}
    checked = 0
    print(f"{'record':>8}  {'dt (s)':>7}  " + "  ".join(
        f"{s + (' T<10dt' if b == 'short' else ' T>=10dt'):>18}" for s, b in overall))
    for rsn, *names in records(parts[METADATA]):
        paths = [folder / n for n in names]
        columns = [f"RSN-{rsn} Horizontal-{k} pSa (g)" for k in (1, 2)]
        if not all(p.is_file() for p in paths) or not all(c in peer for c in columns):
            print(f"{'RSN' + rsn:>8}  skipped: a component file or PEER column is missing")
            continue
        found = {key: 0.0 for key in overall}
        dt = math.nan
        for path, column in zip(paths, columns):
            acc, dt = gm.read_at2(str(path))
            short = periods < 10 * dt
            for name, steps in SETTINGS.items():
                psa = gm.spectra(acc, dt, periods, 0.05, workers=args.workers,
                                 steps_per_period=steps).psa
                for band, mask in (("short", short), ("long", ~short)):
                    found[name, band] = np.fmax(found[name, band],
                                                worst(psa, peer[column], mask))
        for key, value in found.items():
            overall[key] = np.fmax(overall[key], value)
        checked += 1
        print(f"{'RSN' + rsn:>8}  {dt:7.4g}  " + "  ".join(f"{v:18.2e}" for v in found.values()))
    print(f"\noverall, {checked} records (largest relative difference of the horizontal PSA):")
    for (name, band), value in overall.items():
        label = "T < 10 dt " if band == "short" else "T >= 10 dt"
        print(f"  {name:<10}  {label}  {value:.2e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
