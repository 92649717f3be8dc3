"""Shell completion for the `quorvel` command, written from its own parser so that it never falls behind."""
from __future__ import annotations

import argparse
import shlex

__all__ = ["bash_script"]


def bash_script(parser: argparse.ArgumentParser) -> str:
    """A bash function that completes subcommands, their options, the options' choices and file names."""
    commands = _subparsers(parser)
    cases = []
    for name, sub in commands.items():
        options = [flag for action in sub._actions for flag in action.option_strings]
        cases.append(f"    {name}) options={shlex.quote(' '.join(options))} ;;")
        for action in sub._actions:
            if action.choices and action.option_strings:
                words = shlex.quote(" ".join(str(choice) for choice in action.choices))
                flags = "|".join(action.option_strings)
                cases.append(f"    {name}:{flags.replace('|', f'|{name}:')}) choices={words} ;;")
    top = " ".join([*commands, *(flag for action in parser._actions for flag in action.option_strings)])
    return f"""# bash completion for quorvel: eval "$(quorvel completion bash)"
_quorvel() {{
  local cur=${{COMP_WORDS[COMP_CWORD]}} prev=${{COMP_WORDS[COMP_CWORD-1]}} options="" choices=""
  if [[ $COMP_CWORD -eq 1 ]]; then
    COMPREPLY=($(compgen -W {shlex.quote(top)} -- "$cur"))
    return
  fi
  case "${{COMP_WORDS[1]}}:$prev" in
{chr(10).join(line for line in cases if ":" in line.split(")")[0])}
  esac
  if [[ -n $choices ]]; then
    COMPREPLY=($(compgen -W "$choices" -- "$cur"))
    return
  fi
  case "${{COMP_WORDS[1]}}" in
{chr(10).join(line for line in cases if ":" not in line.split(")")[0])}
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}}
complete -o filenames -o bashdefault -F _quorvel quorvel
"""


def _subparsers(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}
