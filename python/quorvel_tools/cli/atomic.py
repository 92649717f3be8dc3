"""Atomic output: write beside the target under a temporary name, then rename over it."""
from __future__ import annotations

import contextlib
import os
import pathlib
import tempfile
from typing import Iterator


@contextlib.contextmanager
def atomic_path(target: pathlib.Path) -> Iterator[pathlib.Path]:
    """Yields a temporary path in the target's folder with the target's suffix.

    When the block ends normally the file is flushed to disk and renamed onto
    `target`; when it raises, the temporary file is removed and `target` is left
    as it was. Writers that insist on opening the path themselves (pyedflib)
    can use it as well as plain `open`.
    """
    folder = target.parent if str(target.parent) else pathlib.Path(".")
    if not folder.is_dir():
        raise FileNotFoundError(2, "no such folder", str(folder))
    if target.is_dir():
        raise IsADirectoryError(21, "is a folder", str(target))
    fd, name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=f".tmp{target.suffix}", dir=folder)
    os.close(fd)
    temp = pathlib.Path(name)
    try:
        yield temp
        with open(temp, "rb+") as handle:
            os.fsync(handle.fileno())
        os.chmod(temp, 0o666 & ~_umask())
        os.replace(temp, target)
    except BaseException:
        temp.unlink(missing_ok=True)
        raise


def write_bytes(target: pathlib.Path, data: bytes) -> None:
    with atomic_path(target) as temp:
        temp.write_bytes(data)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
