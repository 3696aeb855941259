"""``python -m pilora``: the same as the ``pilora`` command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
