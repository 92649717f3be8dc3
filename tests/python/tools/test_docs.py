"""The README's and the docs' examples, run as a reader would run them, with what they print compared.

- A ``console`` block is a session: each ``$ `` line is run by the shell (``.venv/bin/quorvel`` is
  the command installed beside this interpreter), and the lines up to the next ``$ `` are what it
  prints, standard error included. A line ``...`` stands for any number of lines, and ``…`` inside a
  line for any text (timings, versions).
- The ``python`` blocks of one page run in order in one namespace. A comment line that directly
  follows a ``print(...)`` call is what that call prints; other output is not compared.

Every example runs in a scratch folder that holds the repository's ``tests/data``, so the files the
examples write never land in the checkout.
"""
from __future__ import annotations

import ast
import contextlib
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```(console|python)\n(.*?)^```", re.M | re.S)


def blocks(page: pathlib.Path, language: str) -> list[tuple[int, str]]:
    """(line number, text) of each fenced block of `language` on the page."""
    text = page.read_text(encoding="utf-8")
    return [(text.count("\n", 0, match.start()) + 2, match.group(2)) for match in BLOCK.finditer(text)
            if match.group(1) == language]


def pages_with(language: str) -> list[pathlib.Path]:
    return [page for page in PAGES if blocks(page, language)]


def matches(expected: list[str], actual: list[str]) -> bool:
    """Whether the printed lines fit the expected ones (``...`` any lines, ``…`` any text)."""
    if not expected:
        return not actual
    head, rest = expected[0], expected[1:]
    if head == "...":
        return any(matches(rest, actual[skip:]) for skip in range(len(actual) + 1))
    pattern = ".*?".join(re.escape(part) for part in head.split("…"))
    return bool(actual) and re.fullmatch(pattern, actual[0].rstrip()) is not None and matches(rest, actual[1:])


@pytest.fixture
def scratch(tmp_path: pathlib.Path) -> pathlib.Path:
    (tmp_path / "tests").mkdir()
    (tmp_path / "tests" / "data").symlink_to(ROOT / "tests" / "data")
    return tmp_path


def session_steps(text: str) -> list[tuple[str, list[str]]]:
    """(command, expected lines) of each ``$ `` line of a console block."""
    steps: list[tuple[str, list[str]]] = []
    for line in text.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        elif steps:
            steps[-1][1].append(line.rstrip())
    return steps


@pytest.mark.parametrize("page", pages_with("console"), ids=lambda page: page.name)
def test_console_sessions_print_what_the_page_shows(page: pathlib.Path, scratch: pathlib.Path) -> None:
    bin_dir = pathlib.Path(sys.executable).parent
    if shutil.which("quorvel", path=str(bin_dir)) is None:
        pytest.skip("the quorvel command is not installed beside this interpreter")
    (scratch / ".venv").mkdir()
    (scratch / ".venv" / "bin").symlink_to(bin_dir)
    env = {**os.environ, "COLUMNS": "100", "PATH": f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}"}
    for line, text in blocks(page, "console"):
        for command, expected in session_steps(text):
            done = subprocess.run(command, shell=True, cwd=scratch, env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, timeout=600)
            printed = done.stdout.rstrip("\n").splitlines()
            assert matches(expected, printed), (
                f"{page.name}, block at line {line}: `{command}` printed\n" + "\n".join(printed))


def statements_with_output(text: str) -> list[tuple[str, list[str]]]:
    """The block's top-level statements as source, each with the comment lines that follow it when
    it is a print(...) call."""
    lines = text.splitlines()
    steps = []
    for node in ast.parse(text).body:
        source = "\n".join(lines[node.lineno - 1:node.end_lineno])
        expected: list[str] = []
        is_print = (isinstance(node, ast.Expr) and isinstance(node.value, ast.Call)
                    and getattr(node.value.func, "id", None) == "print")
        if is_print:
            for following in lines[node.end_lineno:]:
                if not following.startswith("# "):
                    break
                expected.append(following[2:].rstrip())
        steps.append((source, expected))
    return steps


@pytest.mark.parametrize("page", pages_with("python"), ids=lambda page: page.name)
def test_python_examples_run_and_print_what_the_page_shows(page: pathlib.Path, scratch: pathlib.Path,
                                                           monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(scratch)
    namespace: dict[str, object] = {"__name__": "__docs__"}
    unavailable = []
    for line, text in blocks(page, "python"):
        if "..." in text.split("\n", 1)[0]:
            continue  # a signature sketch, not a runnable example
        for source, expected in statements_with_output(text):
            printed = io.StringIO()
            try:
                with contextlib.redirect_stdout(printed):
                    exec(compile(source, f"{page.name}:{line}", "exec"), namespace)
            except ImportError as error:  # an optional package this environment lacks (zarr 3 on old NumPy)
                unavailable.append(f"block at line {line}: {error}")
                break
            if expected:
                shown = printed.getvalue().rstrip("\n").splitlines()
                assert matches(expected, shown), (
                    f"{page.name}, block at line {line}: `{source}` printed\n" + "\n".join(shown))
    if unavailable:
        pytest.skip("; ".join(unavailable))
