"""``python -m velmar_cli``: the same as the ``velmar`` command."""

import sys

from velmar_cli import main

# Guarded: worker processes start fresh and import this module again.
if __name__ == "__main__":
    sys.exit(main())
