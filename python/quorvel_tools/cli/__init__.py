"""The command-line application of quorvel_tools: the `quorvel` command and what it needs.

- `command`: the parser and the subcommands encode, decode, info and report;
- `formats`: signal files in and out, one module per format behind one registry;
- `report`: the ladder of targets and methods, as a table, pictures and a page;
"""
from quorvel_tools.cli.command import main

__all__ = ["main"]
