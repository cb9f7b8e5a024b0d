"""Compare the flatfile of a folder of PEER NGA-West2 records with PEER's own
published values.

A developer check, not a test: for the folder's records and its
``_SearchResults.csv``, builds `gm.flatfile` with ``steps_per_period=10``
(PEER's rule for its spectra) and prints, over all records:

* the Arias intensity and the D5-75 and D5-95 durations, PEER's being the
  larger of the two horizontal components rounded to 0.1: how many of ours,
  taken the same way, round to PEER's value, and the largest difference;
* the 5 %-damped PSA of each horizontal component against PEER's "as
  recorded" spectra: the largest relative difference for T < 10 dt and for
  T >= 10 dt.

    python scripts/check_peer_flatfile.py [FOLDER]

FOLDER defaults to ../shared/records/peer_nga_west2 next to the repository;
without it the script says so and exits with status 0.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from check_peer_spectra import DEFAULT, METADATA, SPECTRA, peer_spectra, search_results  # noqa: E402

import groundmotion as gm  # noqa: E402
from groundmotion.flatfile import flatfile, psa_column  # noqa: E402

MEASURES = {"Arias": "Arias Intensity (m/sec)", "D5-75": "5-75% Duration (sec)",
            "D5-95": "5-95% Duration (sec)"}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default=str(DEFAULT))
    args = parser.parse_args()
    folder = Path(args.folder)
    parts = search_results(folder)
    if parts is None:
        return 0
    periods, peer_psa = peer_spectra(parts[SPECTRA])
    header, *rows = parts[METADATA]
    key = header.index("Record Sequence Number")
    published = {row[key]: row for row in rows if len(row) > key}
    start = time.perf_counter()
    table = flatfile(folder, periods=periods, steps_per_period=10, keep_going=True)
    print(f"flatfile of {folder}: {len(table)} rows in {time.perf_counter() - start:.2f} s")
    names = [psa_column(t) for t in periods]
    counts = {m: [0, 0, 0.0] for m in MEASURES}
    worst = {"T < 10 dt": 0.0, "T >= 10 dt": 0.0}
    for rsn, station in table[table.component.isin(["H1", "H2"])].groupby("rsn"):
        row = published.get(str(rsn))
        if row is None or len(station) != 2:
            continue
        for ours_name, column in MEASURES.items():
            theirs = float(row[header.index(column)])
            ours = float(station[ours_name].max())
            counts[ours_name][0] += 1
            counts[ours_name][1] += round(ours, 1) == theirs
            counts[ours_name][2] = max(counts[ours_name][2], abs(ours - theirs))
        short = periods < 10 * float(station["dt"].iloc[0])
        for k, (_, comp) in enumerate(station.iterrows(), start=1):
            column = f"RSN-{rsn} Horizontal-{k} pSa (g)"
            if column not in peer_psa:
                continue
            ours, theirs = comp[names].to_numpy(float), peer_psa[column]
            ok = np.isfinite(theirs) & (theirs != 0)
            for band, mask in (("T < 10 dt", short), ("T >= 10 dt", ~short)):
                sel = ok & mask
                if sel.any():
                    worst[band] = max(worst[band], float(np.max(np.abs(ours[sel] - theirs[sel]) / theirs[sel])))
    for name, (n, same, largest) in counts.items():
        print(f"  {name:6s}  {same}/{n} round to PEER's value; largest difference {largest:.3f}")
    for band, value in worst.items():
        print(f"  PSA {band:10s}  largest relative difference {value:.2e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
