"""What bad input gets, and what it costs.

HOSTILE lists one call for every kind of bad input a caller can hand the module
(wrong types, bad arrays, bad options, damaged and forged containers, DEFLATE
bombs) with the exception and the exact text it must raise; README.md's table
"What bad input gets" is this list. The memory tests then repeat those calls,
mixed with good ones, many thousand times and check that nothing accumulates:
no reference leaked on the arguments, no Python objects left behind, no growth
of the process's resident memory.
"""

import gc
import itertools
import os
import struct
import sys
import tracemalloc
import zlib

import numpy as np
import pytest

import quorvel
from conftest import make_signal

MAX_COUNT = 2147483647
HEADER = struct.Struct("<4sH2s4sBBHIfffI16s")


def container(payload=b"", *, magic=b"QRVL", version=1, tag=b"f3", method=b"cf53", levels=1, scale=11,
              count=None, minimum=-1.0, maximum=1.0, mean=0.0, payload_length=None):
    """A container laid out by hand; count defaults to what a cdf53 one-level stream of the payload backs."""
    if count is None:
        count = len(zlib.decompress(payload, wbits=-15)) // 2 if payload else 0
    if payload_length is None:
        payload_length = len(payload)
    return HEADER.pack(magic, version, tag, method, levels, scale, 0, count, minimum, maximum, mean,
                       payload_length, bytes(16)) + payload


def coefficients_needed(count, levels, method):
    """Length of the coefficient stream the bands of a container need (cdf53 and db4 rules)."""
    n = max(count, {"cf53": 6, "db04": 8}[method])
    needed = 0
    for _ in range(levels):
        if method == "cf53":
            approximation, details = max((n + 1) // 2, 2), max(n // 2, 1)
        else:
            approximation = details = (n + 7) // 2
        needed += details
        n = approximation
    return needed + n


def short_stream(count, levels, method, held):
    return (f"Can't decompress data, reason: Coefficient stream is too short: the bands need "
            f"{coefficients_needed(count, levels, method)} coefficients but the payload holds {held}")


def raw_deflate(data, level=9):
    packer = zlib.compressobj(level, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


SIGNAL = make_signal(1000)
GOOD = quorvel.compress_signal(SIGNAL)
STREAM = raw_deflate(b"\x01\x00" * 100)  # 100 coefficients of value 1
BOMB_100 = raw_deflate(bytes(33_000))  # 33 KB of zeros in 48 bytes or less: a 100-byte container
BOMB_1M = raw_deflate(bytes(1_000_000))  # 1 MB of zeros in about 1 KB
OPTIONS = quorvel.TarvoCompressionOptions

# (kind of bad input, call, exception type, exact message); the message None
# means "as CPython itself words it" (checked by type only).
HOSTILE = [
    # Argument binding (both functions and the options constructor share it).
    ("no arguments", lambda: quorvel.compress_signal(), TypeError,
     "compress_signal() missing 1 required positional argument: 'data'"),
    ("too many positional arguments", lambda: quorvel.compress_signal(SIGNAL, None, 3), TypeError,
     "compress_signal() takes from 1 to 2 positional arguments but 3 were given"),
    ("unknown keyword", lambda: quorvel.decompress_signal(data=GOOD, level=1), TypeError,
     "decompress_signal() got an unexpected keyword argument 'level'"),
    ("argument given twice", lambda: quorvel.compress_signal(SIGNAL, data=SIGNAL), TypeError,
     "compress_signal() got multiple values for argument 'data'"),
    # Wrong types and bad arrays for compress_signal.
    ("a list instead of an array", lambda: quorvel.compress_signal([1.0, 2.0]), TypeError,
     "argument 'data': 'list' object is not an instance of 'ndarray'"),
    ("None instead of an array", lambda: quorvel.compress_signal(None), TypeError,
     "argument 'data': 'None' is not an instance of 'ndarray'"),
    ("float64 array", lambda: quorvel.compress_signal(SIGNAL.astype(np.float64)), TypeError,
     "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
    ("two-dimensional array", lambda: quorvel.compress_signal(SIGNAL.reshape(10, 100)), TypeError,
     "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
    ("big-endian float32 array", lambda: quorvel.compress_signal(SIGNAL.astype(">f4")), TypeError,
     "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
    ("options of the wrong type", lambda: quorvel.compress_signal(SIGNAL, "db4"), TypeError,
     "argument 'options': 'str' object is not an instance of 'TarvoCompressionOptions'"),
    ("non-contiguous array", lambda: quorvel.compress_signal(SIGNAL[::2]), TypeError,
     "The given array is not contiguous or is misaligned."),
    ("misaligned array",
     lambda: quorvel.compress_signal(np.frombuffer(bytearray(4001), dtype=np.float32, count=1000, offset=1)),
     TypeError, "The given array is not contiguous or is misaligned."),
    ("empty array", lambda: quorvel.compress_signal(np.zeros(0, np.float32)), ValueError,
     "Unsupported compression configuration 'Can't compress empty data'"),
    ("range overflowing float32", lambda: quorvel.compress_signal(np.array([3e38, -3e38], np.float32)),
     ValueError, "Unsupported compression configuration "
                 "'Can't compress data whose range (maximum - minimum) overflows 32-bit floats'"),
    # Bad options.
    ("too many option arguments", lambda: OPTIONS("cdf97", 11, "low", 0), TypeError,
     "TarvoCompressionOptions.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    ("method not a str", lambda: OPTIONS(None), TypeError,
     "argument 'method': 'None' is not an instance of 'str'"),
    ("method not encodable", lambda: OPTIONS("\ud800"), UnicodeEncodeError, None),
    ("scale not an integer", lambda: OPTIONS(scale=11.0), TypeError,
     "argument 'scale': 'float' object cannot be interpreted as an integer"),
    ("scale outside 0..255", lambda: OPTIONS(scale=300), OverflowError,
     "out of range integral type conversion attempted"),
    ("scale beyond a C long", lambda: OPTIONS(scale=2**70), OverflowError, None),
    ("unknown method", lambda: OPTIONS("Haar\n"), ValueError,
     "Unknown method \"Haar\\n\", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"),
    ("unknown cutoff", lambda: OPTIONS(cutoff="max"), ValueError,
     "Unknown cutoff level \"max\", expected 'low' or 'medium' or 'high'"),
    ("scale outside 6..12", lambda: OPTIONS(scale=13), ValueError,
     "Only scaled 6..12 is supported, but it was 13"),
    # Wrong types for decompress_signal.
    ("bytearray instead of bytes", lambda: quorvel.decompress_signal(bytearray(GOOD)), TypeError,
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    ("memoryview instead of bytes", lambda: quorvel.decompress_signal(memoryview(GOOD)), TypeError,
     "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
    # Damaged and forged containers.
    ("empty bytes", lambda: quorvel.decompress_signal(b""), ValueError, "Header is invalid"),
    ("shorter than a header", lambda: quorvel.decompress_signal(GOOD[:51]), ValueError, "Header is invalid"),
    ("wrong magic", lambda: quorvel.decompress_signal(container(magic=b"ABCD")), ValueError,
     "Magic should be 'QRVL' but it was 'ABCD'"),
    ("magic that is not UTF-8", lambda: quorvel.decompress_signal(container(magic=b"QRV\xff")), ValueError,
     "Magic should be 'QRVL' but it was '????'"),
    ("wrong version", lambda: quorvel.decompress_signal(container(version=2)), ValueError,
     "Invalid header version '\x02\x00'"),
    ("wrong format tag", lambda: quorvel.decompress_signal(container(tag=b"g4")), ValueError,
     "Invalid compression method 'g4'"),
    ("unknown method tag", lambda: quorvel.decompress_signal(container(method=b"xxxx")), ValueError,
     "Invalid compression method 'xxxx'"),
    ("NaN minimum", lambda: quorvel.decompress_signal(container(minimum=float("nan"))), ValueError,
     "Header is invalid"),
    ("infinite mean", lambda: quorvel.decompress_signal(container(mean=float("inf"))), ValueError,
     "Header is invalid"),
    ("sample count over the limit", lambda: quorvel.decompress_signal(container(STREAM, count=2**31)),
     ValueError, "Can't decompress data, reason: Can't decompress data bigger than 2147483647, "
                 "but data was 2147483648"),
    ("11 levels", lambda: quorvel.decompress_signal(container(STREAM, levels=11)), ValueError,
     "Can't decompress data, reason: Max supported level is 10 but it was 11"),
    ("0 levels", lambda: quorvel.decompress_signal(container(STREAM, levels=0)), ValueError,
     "Can't decompress data, reason: Min supported level is 1 but it was 0"),
    ("cut inside the payload", lambda: quorvel.decompress_signal(GOOD[:-1]), ValueError,
     f"Can't decompress data, reason: Minimum data size is {len(GOOD)}, but it was {len(GOOD) - 1}"),
    ("payload length far past the end",
     lambda: quorvel.decompress_signal(container(STREAM, payload_length=2**32 - 1)), ValueError,
     f"Can't decompress data, reason: Minimum data size is {52 + 2**32 - 1}, but it was {52 + len(STREAM)}"),
    ("corrupt DEFLATE data", lambda: quorvel.decompress_signal(container(b"\xff" * 8, count=4)), ValueError,
     "Can't decompress data, reason: corrupt deflate stream"),
    ("scale outside 6..12 in the header", lambda: quorvel.decompress_signal(container(STREAM, scale=13)),
     ValueError, "Can't decompress data, reason: Supported scales only [6, 12] but it was 13"),
    ("fewer coefficients than the header needs",
     lambda: quorvel.decompress_signal(container(STREAM, count=1000)), ValueError,
     short_stream(1000, 1, "cf53", 100)),
    ("100-byte DEFLATE bomb claiming 2147483647 samples and 10 levels",
     lambda: quorvel.decompress_signal(container(BOMB_100, count=MAX_COUNT, levels=10)), ValueError,
     short_stream(MAX_COUNT, 10, "cf53", 33_000 // 2)),
    ("1 KB DEFLATE bomb (1 MB of zeros) claiming 2147483647 samples",
     lambda: quorvel.decompress_signal(container(BOMB_1M, count=MAX_COUNT, levels=8, method=b"db04")),
     ValueError, short_stream(MAX_COUNT, 8, "db04", 1_000_000 // 2)),
]


def _raised(call):
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - the kind of exception is what is checked
        return exc
    return None


@pytest.mark.parametrize("kind, call, exc_type, message", HOSTILE, ids=[row[0] for row in HOSTILE])
def test_bad_input_raises_the_documented_exception(kind, call, exc_type, message):
    exc = _raised(call)
    assert type(exc) is exc_type, f"{kind}: got {exc!r}"
    if message is not None:
        assert str(exc) == message


def test_a_100_byte_bomb_fits_in_100_bytes():
    assert len(container(BOMB_100, count=MAX_COUNT, levels=10)) <= 100


# --- Memory -----------------------------------------------------------------

# 10**4 calls keep the suite quick; QUORVEL_MEMORY_CALLS=100000 runs the full
# measurement (about 30 s).
CALLS = int(os.environ.get("QUORVEL_MEMORY_CALLS", 10_000))


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _good_calls():
    small = SIGNAL[:300].copy()
    options = OPTIONS("db4", 8, "high")
    small_container = quorvel.compress_signal(small, options)
    return [
        lambda: quorvel.compress_signal(small, options),
        lambda: quorvel.decompress_signal(small_container),
        lambda: quorvel.decompress_signal(small_container + b"trailing bytes are ignored"),
        lambda: quorvel.compress_signal(np.array([np.nan, np.inf, -np.inf, 1.0], np.float32)),
    ]


def _mixed_calls(count):
    """count calls: every third one valid, the others cycling through HOSTILE."""
    bad = itertools.cycle([row[1] for row in HOSTILE])
    good = itertools.cycle(_good_calls())
    for i in range(count):
        _raised(next(good) if i % 3 == 0 else next(bad))


def test_mixed_calls_leak_no_references_to_their_arguments():
    # Every argument the calls pass is a module-level object: a missing
    # decref on a borrowed or converted argument shows as a growing count.
    watched = [SIGNAL, GOOD, STREAM, BOMB_100, BOMB_1M]
    _mixed_calls(len(HOSTILE) * 3)
    before = [sys.getrefcount(obj) for obj in watched]
    _mixed_calls(len(HOSTILE) * 30)
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_mixed_calls_leave_no_python_allocations_behind():
    # tracemalloc sees every Python object and NumPy's array buffers; a leaked
    # exception, bytes object or decoded array would stay allocated.
    _mixed_calls(1_000)
    gc.collect()
    tracemalloc.start()
    try:
        _mixed_calls(1_000)
        gc.collect()
        first = tracemalloc.get_traced_memory()[0]
        _mixed_calls(CALLS // 2)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - first
    finally:
        tracemalloc.stop()
    # Interned strings and free lists settle during the first round; a leak of
    # even one 64-byte object per call would give 64 * CALLS / 2 bytes.
    assert growth < 32 * 1024, f"{growth} bytes still allocated after {CALLS // 2} calls"


def test_mixed_calls_keep_resident_memory_flat():
    # C++ vectors and the codec's buffers live outside Python's allocator; a
    # leaked decoded signal (1.2 KB at least) or inflated bomb (up to 1 MB)
    # per call would add megabytes over these calls.
    _mixed_calls(2_000)
    gc.collect()
    before = _rss_bytes()
    _mixed_calls(CALLS)
    gc.collect()
    growth = _rss_bytes() - before
    assert growth < 4 * 1024 * 1024, f"resident memory grew by {growth} bytes over {CALLS} calls"
