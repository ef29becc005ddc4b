"""python3 -m kvx.batch: see kvx.batch."""

import sys

from kvx.batch import main

sys.exit(main())
