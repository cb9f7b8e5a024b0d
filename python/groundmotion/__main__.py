"""``python -m groundmotion``: the same command line as ``groundmotion``."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
