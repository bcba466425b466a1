"""python -m veskline: the operator's command (see veskline.cli)."""

import sys

from veskline.cli import main

if __name__ == "__main__":
    sys.exit(main())
