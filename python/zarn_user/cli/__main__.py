"""`python -m zarn_user.cli`: the zarn-roles command line."""

import sys

from zarn_user.cli import main

sys.exit(main())
