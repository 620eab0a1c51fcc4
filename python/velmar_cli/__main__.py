"""``python -m velmar_cli``: the same as the ``velmar`` command."""

import sys

from velmar_cli import main

sys.exit(main())
