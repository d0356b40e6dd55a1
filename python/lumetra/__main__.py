"""``python -m lumetra run ...`` does what the ``lumetra`` command does."""

import sys

from lumetra.cli import main

sys.exit(main())
