"""Memory and references: nothing leaks, borrowed inputs keep their counts, results own their samples;
threads get exactly what serial calls get."""
import ctypes
import gc
import sys
import threading
import tracemalloc

import numpy as np
import pytest

from conftest import make_signal
from quorvel import TarvoCompressionOptions, compress_signal, decompress_signal

CALLS = 10_000


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_counter():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2

    def heap_in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd  # bytes handed out by malloc: heap chunks plus mmapped ones
    return heap_in_use


# The C++ side allocates through malloc, which tracemalloc does not see; glibc's own count of the
# bytes in use does, exactly and without the noise of resident-set sizes.
heap_in_use = _heap_counter()
needs_heap_counter = pytest.mark.skipif(heap_in_use is None, reason="needs glibc's mallinfo2")


def heap_growth(call, repeat=CALLS):
    for _ in range(200):  # let allocator pools and caches settle
        call()
    gc.collect()
    before = heap_in_use()
    for _ in range(repeat):
        call()
    gc.collect()
    return heap_in_use() - before


@pytest.fixture(scope="module")
def signal():
    return make_signal(4096)


@pytest.fixture(scope="module")
def container(signal):
    return compress_signal(signal, TarvoCompressionOptions("db4"))


# Leaking the 16 KiB of decoded samples (or the ~6 KiB container) per call would add 60 to 160 MiB
# over 10**4 calls; 1 MiB leaves room for allocator bookkeeping and nothing for a leak.
HEAP_SLACK = 1 << 20


@needs_heap_counter
def test_compressing_many_times_keeps_memory_flat(signal):
    options = TarvoCompressionOptions("cdf97", 12, "medium")
    assert heap_growth(lambda: compress_signal(signal, options)) < HEAP_SLACK


@needs_heap_counter
def test_decompressing_many_times_keeps_memory_flat(container):
    assert heap_growth(lambda: decompress_signal(container)) < HEAP_SLACK


def swallow(call, exc_type):
    def run():
        try:
            call()
        except exc_type:
            pass
    return run


def test_failing_calls_leak_no_python_objects(signal, container):
    # Every error path builds exception objects and messages; tracemalloc sees any that survive.
    failing = [
        swallow(lambda: compress_signal(signal, "cdf97"), TypeError),
        swallow(lambda: compress_signal(signal[::2]), TypeError),
        swallow(lambda: compress_signal(np.zeros(0, np.float32)), ValueError),
        swallow(lambda: compress_signal(signal, level=1), TypeError),
        swallow(lambda: decompress_signal(container[:-1]), ValueError),
        swallow(lambda: decompress_signal(bytearray(container)), TypeError),
        swallow(lambda: TarvoCompressionOptions("h\u200baar"), ValueError),
        swallow(lambda: TarvoCompressionOptions(scale=11.0), TypeError),
        swallow(lambda: TarvoCompressionOptions(scale=300), OverflowError),
    ]
    for call in failing:
        for _ in range(100):
            call()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for call in failing:
            for _ in range(CALLS // 10):
                call()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # 9 * 1000 failing calls: even a 16-byte leak each would show as 144 KB.
    assert growth < 64 * 1024


def test_successful_calls_leak_no_python_objects(signal, container):
    options = TarvoCompressionOptions("sym4")
    calls = [lambda: compress_signal(signal, options), lambda: decompress_signal(container),
             lambda: TarvoCompressionOptions("cdf53", 9, "high")]
    for call in calls:
        call()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for call in calls:
            for _ in range(2000):
                call()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 64 * 1024


def test_arguments_keep_their_reference_counts(signal, container):
    options = TarvoCompressionOptions()
    strided = signal[::2]
    garbage = b"garbage!" * 8
    borrowed = (signal, options, container, strided, garbage)
    counts = [sys.getrefcount(x) for x in borrowed]
    failing = [(lambda: compress_signal(signal, options, 1), TypeError),
               (lambda: compress_signal(strided, options), TypeError),
               (lambda: compress_signal(signal, garbage), TypeError),
               (lambda: decompress_signal(container, 1), TypeError),
               (lambda: decompress_signal(garbage), ValueError)]
    for _ in range(100):
        compress_signal(signal, options)
        decompress_signal(container)
        for call, exc_type in failing:
            with pytest.raises(exc_type):
                call()
    assert [sys.getrefcount(x) for x in borrowed] == counts


@needs_heap_counter
def test_the_result_owner_is_held_by_the_array_alone_and_frees_the_samples():
    big = make_signal(1 << 22)  # 16 MiB of samples
    container = compress_signal(big, TarvoCompressionOptions("cdf53", 6))
    gc.collect()
    before = heap_in_use()
    decoded = decompress_signal(container)
    owner = decoded.base
    assert sys.getrefcount(owner) == 3  # the array, the local name, the call's argument
    assert heap_in_use() - before >= big.nbytes
    del decoded
    assert sys.getrefcount(owner) == 2
    assert heap_in_use() - before >= big.nbytes  # the owner alone keeps the samples
    del owner
    gc.collect()
    assert heap_in_use() - before < 1 << 20


def test_eight_threads_get_exactly_the_serial_results():
    jobs = [(make_signal(n, seed=n), TarvoCompressionOptions(method, scale, cutoff))
            for n, method, scale, cutoff in [(300, "cdf53", 6, "low"), (1000, "cdf97", 11, "medium"),
                                             (2048, "db4", 12, "high"), (777, "sym4", 9, "low"),
                                             (5, "cdf97", 8, "high"), (4000, "db4", 7, "medium")]]
    serial_bytes = [compress_signal(signal, options) for signal, options in jobs]
    serial_arrays = [decompress_signal(container) for container in serial_bytes]

    start = threading.Barrier(8)
    mismatches = []

    def worker(offset):
        start.wait()
        for round_ in range(20):
            k = (offset + round_) % len(jobs)
            container = compress_signal(*jobs[k])
            decoded = decompress_signal(serial_bytes[k])
            if container != serial_bytes[k] or not np.array_equal(decoded, serial_arrays[k]):
                mismatches.append((offset, round_))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []
