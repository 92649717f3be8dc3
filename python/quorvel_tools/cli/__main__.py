"""`python -m quorvel_tools.cli`: the `quorvel` command."""
import sys

from quorvel_tools.cli.command import main

sys.exit(main())
