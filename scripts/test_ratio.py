"""Size of the test suite against the code it tests.

Counts non-blank lines that are not comments (`#` in Python, `//` in C++) in
tests/**/*.py and in module/, src/ and python/groundmotion/ (.py, .cpp, .hpp,
.pyi), prints the ratio and exits non-zero above the limit.

    python scripts/test_ratio.py [--limit 0.40]
"""

import argparse
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CODE = ("module", "src", "python/groundmotion")
SUFFIXES = {".py": "#", ".pyi": "#", ".cpp": "//", ".hpp": "//"}


def counted(path):
    marker = SUFFIXES[path.suffix]
    lines = path.read_text(encoding="utf-8").splitlines()
    return sum(1 for line in lines if line.strip() and not line.strip().startswith(marker))


def total(paths):
    return sum(counted(p) for p in paths if p.is_file() and p.suffix in SUFFIXES)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=float, default=0.40)
    limit = parser.parse_args().limit
    tests = total(sorted((ROOT / "tests").rglob("*.py")))
    code = total(sorted(p for d in CODE for p in (ROOT / d).rglob("*")))
    ratio = tests / code
    print(f"tests {tests} lines, code {code} lines, ratio {ratio:.3f} (limit {limit:.2f})")
    return 0 if ratio <= limit else 1


if __name__ == "__main__":
    sys.exit(main())
