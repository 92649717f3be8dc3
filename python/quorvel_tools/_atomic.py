"""Outputs that appear whole or not at all, and never over a file the user did not give up.

On Linux an output is written into an unnamed file (O_TMPFILE) in the target's
folder and linked into place once it is complete: until then nothing has a name,
so no interruption, `kill -9` included, leaves a partial file to be seen. Where
the file system refuses unnamed files, it is written under a hidden name beside
the target and renamed; that name is removed when the block fails and when the
process is stopped by SIGTERM, SIGHUP or SIGINT (see `run_stoppable`).
"""
from __future__ import annotations

import contextlib
import errno
import os
import pathlib
import shutil
import signal
import stat
import tempfile
import threading
from typing import Any, Callable, Iterable, Iterator, Optional, Sequence, TypeVar, cast

__all__ = ["OutputError", "atomic_path", "atomic_paths", "check_output", "check_room", "folder_output", "human_size",
           "private_folder", "run_stoppable", "write_bytes"]

# Names that exist only while an output is being written (the hidden fallback files,
# the private folders that give an unnamed file a name with the target's suffix).
_LIVE: set[str] = set()


class OutputError(Exception):
    """An output the command will not write; the message says why, in one line."""


_STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Held while a finished output takes its name, so that a stop lands before or after, never between.
_PLACING = threading.Lock()
T = TypeVar("T")


def run_stoppable(work: Callable[[], T], prog: str) -> T:
    """Runs `work` in a worker thread while this thread waits for SIGINT, SIGTERM and SIGHUP.

    A signal stops the process within moments whatever the work is doing (a codec
    call on a huge array holds its thread for as long as it takes): the outputs in
    progress are dropped, their temporary files removed, and the process ends with
    128 + the signal's number (130 for Ctrl-C) and one line on stderr. Outputs
    already in place stay, whole. Outside the main thread (where signals cannot
    be caught) `work` simply runs.
    """
    if threading.current_thread() is not threading.main_thread():
        return work()
    outcome: dict[str, Any] = {}

    def target() -> None:
        try:
            outcome["value"] = work()
        except BaseException as error:  # handed to the waiting thread, which raises it
            outcome["error"] = error

    def stop(signum: int, frame: Any) -> None:
        for other in _STOPS:
            signal.signal(other, signal.SIG_IGN)  # a second Ctrl-C does not cut the cleanup short
        _PLACING.acquire(timeout=10)  # let an output that is taking its name finish doing so
        _remove_live()
        os.write(2, f"{prog}: interrupted ({signal.Signals(signum).name})\n".encode())
        os._exit(128 + signum)

    worker = threading.Thread(target=target, name=f"{prog} work", daemon=True)
    former = {signum: signal.signal(signum, stop) for signum in _STOPS}
    try:
        worker.start()
        worker.join()  # wakes for the handlers, which run in this thread
    finally:
        for signum, handler in former.items():
            signal.signal(signum, handler)
    if "error" in outcome:
        raise outcome["error"]
    return cast(T, outcome["value"])


def check_output(target: pathlib.Path, *, inputs: Iterable[pathlib.Path] = (), force: bool = False) -> None:
    """Refuses an output that is one of the inputs (the same file under any name, hard
    links and symbolic links included, even with `force`), a folder or a device, or an
    existing file unless `force`."""
    try:
        found = target.stat()
    except FileNotFoundError:
        return
    except OSError as error:
        raise OSError(error.errno, error.strerror, str(target)) from None
    for source in inputs:
        with contextlib.suppress(OSError):
            if os.path.samefile(source, target):
                raise OutputError(f"{target}: is the input {source}; choose another output name")
    if stat.S_ISDIR(found.st_mode):
        raise OutputError(f"{target}: is a folder")
    if not stat.S_ISREG(found.st_mode):
        raise OutputError(f"{target}: is not a regular file")
    if not force:
        raise OutputError(f"{target}: already exists (use --force to replace it)")


def check_room(target: pathlib.Path, size: int) -> None:
    """Refuses an output of `size` bytes that the target's file system has no room for."""
    free = shutil.disk_usage(_folder(target)).free
    if size > free:
        raise OSError(errno.ENOSPC, f"no space left on device: the output takes {human_size(size)}, "
                      f"{human_size(free)} are free", str(target))


def human_size(size: float) -> str:
    """Bytes as people read them: 512 bytes, 36.2 kB, 1.20 GB."""
    if size < 1000:
        return f"{int(size)} bytes"
    for unit in ("kB", "MB", "GB", "TB"):
        size /= 1000
        if size < 1000 or unit == "TB":
            return f"{size:.3g} {unit}" if size < 100 else f"{size:.0f} {unit}"
    raise AssertionError("unreachable")


@contextlib.contextmanager
def atomic_path(target: pathlib.Path, *, size: Optional[int] = None) -> Iterator[pathlib.Path]:
    """Yields a path, ending in the target's suffix, to write the output through.

    When the block ends normally the file is flushed to disk and appears under
    `target` at once; when it raises, nothing is left and `target` is as it was.
    A replaced file's permissions (and owner, where the system allows) carry over.
    Writers that insist on opening a path themselves (pyedflib) use it as well as
    plain `open`. `size`, when known, is reserved before anything is written.
    """
    temporary = _TemporaryOutput(_final(target))
    try:
        with temporary:
            if size:
                temporary.reserve(size)
            yield temporary.path
            temporary.commit()
    except OSError as error:
        raise _named_for_user(error, temporary, target) from None


@contextlib.contextmanager
def atomic_paths(targets: Sequence[pathlib.Path]) -> Iterator[list[pathlib.Path]]:
    """`atomic_path` for outputs that are one whole (a WFDB record's signal file and header).

    They take their names in the order given, all under one hold of the lock a
    stop waits for, so that SIGINT, SIGTERM or SIGHUP lands before the first or
    after the last. When one cannot take its name, those placed before it are
    undone: a new file goes, a replaced file comes back as it was.
    """
    finals = [_final(target) for target in targets]
    with contextlib.ExitStack() as stack:
        temporaries = [stack.enter_context(_TemporaryOutput(final)) for final in finals]
        try:
            yield [temporary.path for temporary in temporaries]
            for temporary in temporaries:
                os.fsync(temporary.fd)
            with _PLACING:
                _place_together(temporaries)
        except OSError as error:
            failed = next((t for t in temporaries if str(error.filename) in (str(t.path), str(t.final))),
                          temporaries[0])
            raise _named_for_user(error, failed, targets[temporaries.index(failed)]) from None


def _final(target: pathlib.Path) -> pathlib.Path:
    """The file an output to `target` ends up as: a forced write through a symbolic link keeps the link."""
    folder = _folder(target)
    if not folder.is_dir():
        raise FileNotFoundError(errno.ENOENT, "no such folder", str(folder))
    if target.is_dir():
        raise IsADirectoryError(errno.EISDIR, "is a folder", str(target))
    return pathlib.Path(os.path.realpath(target))


def _place_together(temporaries: list["_TemporaryOutput"]) -> None:
    placed: list[_TemporaryOutput] = []
    try:
        for temporary in temporaries:
            temporary.set_aside()
            placed.append(temporary)
            temporary.place()
    except BaseException:
        for temporary in reversed(placed):
            temporary.undo()
        raise
    for temporary in placed:
        temporary.forget_aside()


class _TemporaryOutput:
    """The file an output is written into before it takes the target's name."""

    def __init__(self, final: pathlib.Path) -> None:
        self.final = final
        self.replaced = _stat_or_none(final)
        self.fd = -1
        self.path = final
        self.hidden: Optional[pathlib.Path] = None  # the fallback's name beside the target
        self.private: Optional[pathlib.Path] = None  # the folder that names the unnamed file
        self.aside: Optional[pathlib.Path] = None  # the replaced file, kept until its replacement stays
        self.placed = False

    def __enter__(self) -> "_TemporaryOutput":
        try:
            self.fd = os.open(self.final.parent, os.O_TMPFILE | os.O_RDWR, 0o666)
        except (AttributeError, OSError):  # no O_TMPFILE here, or not on this file system
            self._open_hidden()
        try:
            if self.hidden is None:  # a name with the target's suffix, for writers that open a path
                self.private = _private_folder()
                self.path = self.private / f"output{self.final.suffix}"
                os.symlink(f"/proc/{os.getpid()}/fd/{self.fd}", self.path)
            self._keep_permissions()
        except BaseException:
            self.__exit__()
            raise
        return self

    def _open_hidden(self) -> None:
        self.fd, name = tempfile.mkstemp(prefix=f".{self.final.name}.", suffix=f".tmp{self.final.suffix}",
                                         dir=self.final.parent)
        self.hidden = self.path = pathlib.Path(name)
        _LIVE.add(name)
        os.fchmod(self.fd, 0o666 & ~_umask())

    def _keep_permissions(self) -> None:
        if self.replaced is None:
            return
        os.fchmod(self.fd, stat.S_IMODE(self.replaced.st_mode))
        with contextlib.suppress(PermissionError):
            os.fchown(self.fd, self.replaced.st_uid, self.replaced.st_gid)

    def reserve(self, size: int) -> None:
        """Claims the blocks up front, so that a full disk fails before the first byte."""
        with contextlib.suppress(AttributeError):
            try:
                os.posix_fallocate(self.fd, 0, size)
            except OSError as error:
                if error.errno == errno.ENOSPC:
                    raise
                return  # the file system does not reserve; the write itself will tell
            os.ftruncate(self.fd, 0)

    def commit(self) -> None:
        os.fsync(self.fd)
        with _PLACING:
            self.place()

    def set_aside(self) -> None:
        """Keeps the file this output replaces under a second, hidden name, for `undo`."""
        if self.replaced is not None:
            self.aside = self.final.with_name(f".{self.final.name}.{os.getpid()}.old")
            os.link(self.final, self.aside)

    def undo(self) -> None:
        """Puts back what was under the target's name before `place` (nothing, or the file set aside)."""
        if self.aside is not None:
            if not self.placed:  # the target still holds the old file
                _remove(str(self.aside))
            else:
                os.replace(self.aside, self.final)
            self.aside = None
        elif self.placed:
            _remove(str(self.final))

    def forget_aside(self) -> None:
        if self.aside is not None:
            _remove(str(self.aside))
            self.aside = None

    def place(self) -> None:
        self._place()
        self.placed = True

    def _place(self) -> None:
        if self.hidden is None and self.replaced is None:
            _link_unnamed(self.fd, self.final)  # fails if someone made the name meanwhile
            return
        if self.hidden is None:  # link() cannot replace: give the file a hidden name, then rename it
            self.hidden = self.final.with_name(f".{self.final.name}.{os.getpid()}.tmp{self.final.suffix}")
            _LIVE.add(str(self.hidden))
            _link_unnamed(self.fd, self.hidden)
        os.replace(self.hidden, self.final)
        _LIVE.discard(str(self.hidden))
        self.hidden = None

    def __exit__(self, *exc: object) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        for name in (self.hidden, self.private):
            if name is not None:
                _remove(str(name))


def _link_unnamed(fd: int, name: pathlib.Path) -> None:
    """Gives the unnamed file open as `fd` the name `name`.

    linkat() through /proc/self/fd works for anyone on Linux; some sandboxes refuse it
    and accept linkat(fd, "", AT_EMPTY_PATH) instead. Where neither works the content
    is copied into a file of that name.
    """
    try:
        os.link(f"/proc/self/fd/{fd}", name, follow_symlinks=True)
        return
    except OSError as error:
        if error.errno not in (errno.EXDEV, errno.ENOENT, errno.EPERM, errno.EACCES):
            raise
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, at_empty_path = -100, 0x1000
    if libc.linkat(fd, b"", at_fdcwd, os.fsencode(name), at_empty_path) == 0:
        return
    os.lseek(fd, 0, os.SEEK_SET)
    with os.fdopen(os.dup(fd), "rb") as source, open(name, "xb") as copy:
        shutil.copyfileobj(source, copy)
        copy.flush()
        os.fchmod(copy.fileno(), stat.S_IMODE(os.fstat(fd).st_mode))
        os.fsync(copy.fileno())


@contextlib.contextmanager
def private_folder() -> Iterator[pathlib.Path]:
    """A folder only this process uses, removed at the end, on failure and on SIGTERM/SIGHUP/SIGINT."""
    folder = _private_folder()
    try:
        yield folder
    finally:
        _remove(str(folder))


@contextlib.contextmanager
def folder_output(folder: pathlib.Path) -> Iterator[None]:
    """A block that fills `folder` with outputs: a folder it makes is removed, with all it holds,
    when the block fails or a signal stops the process before the block ends."""
    if folder.exists():
        yield
        return
    name = os.path.abspath(folder)
    with _PLACING:  # a stop holds this lock to the end: the folder cannot appear after its removal
        folder.mkdir(parents=True)
        _LIVE.add(name)
    try:
        yield
    except BaseException:
        _remove(name)
        raise
    _LIVE.discard(name)


def _private_folder() -> pathlib.Path:
    name = tempfile.mkdtemp(prefix="quorvel-")
    _LIVE.add(name)
    return pathlib.Path(name)


def _named_for_user(error: OSError, temporary: _TemporaryOutput, target: pathlib.Path) -> OSError:
    """The error with the user's target in place of the temporary name, and a full disk called so."""
    if error.errno is None and shutil.disk_usage(temporary.final.parent).free < 1 << 20:
        return OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), str(target))  # NumPy says "n requested..."
    if error.filename is not None and str(error.filename) != str(temporary.final.parent):
        return OSError(error.errno, error.strerror, str(target))  # a temporary name, or the link's target
    return error


def write_bytes(target: pathlib.Path, data: bytes) -> None:
    with atomic_path(target, size=len(data)) as temp:
        temp.write_bytes(data)


def _folder(target: pathlib.Path) -> pathlib.Path:
    return target.parent if str(target.parent) else pathlib.Path(".")


def _stat_or_none(path: pathlib.Path) -> Optional[os.stat_result]:
    try:
        return path.stat()
    except OSError:
        return None


def _remove(name: str) -> None:
    _LIVE.discard(name)
    if os.path.isdir(name) and not os.path.islink(name):
        for _ in range(10):  # the work may still be adding a file while the folder goes
            shutil.rmtree(name, ignore_errors=True)
            if not os.path.lexists(name):
                break
    else:
        with contextlib.suppress(OSError):
            os.unlink(name)


def _remove_live() -> None:
    for name in list(_LIVE):
        _remove(name)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
