"""``python -m quillon``: the same as the ``quillon`` command."""

import sys

from quillon.cli import main

sys.exit(main())
