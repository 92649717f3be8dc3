"""Concurrent calls give exactly what serial calls give.

The module holds no mutable state between calls and declares that it does not
need the global interpreter lock, so on a free-threaded interpreter its two
functions run truly in parallel; with the lock they still interleave between
calls. Either way, eight threads hammering one shared array, one shared options
object, shared containers and arrays of their own must reproduce the serial
results byte for byte, leave their inputs untouched, get results no other
thread can reach, and raise the same errors.
"""

import threading

import numpy as np
import pytest

import quorvel
from conftest import make_signal

THREADS = 8
ROUNDS = 25
METHODS = ("cdf53", "cdf97", "db4", "sym4")


def _run_threads(work):
    """Runs work(index) on THREADS threads released together; re-raises the first failure."""
    start = threading.Barrier(THREADS)
    failures = []

    def body(index):
        try:
            start.wait()
            work(index)
        except BaseException as exc:  # reported to the main thread below
            failures.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


@pytest.mark.parametrize("method", METHODS)
def test_threads_reproduce_serial_results_on_shared_and_private_inputs(method):
    options = quorvel.TarvoCompressionOptions(method, 9, "medium")  # one instance for every thread
    shared = make_signal(3001, seed=0)
    shared_before = shared.copy()
    private = [make_signal(500 + 97 * i, seed=1 + i) for i in range(THREADS)]

    expected_shared = quorvel.compress_signal(shared, options)
    expected_private = [quorvel.compress_signal(x, options) for x in private]
    expected_shared_decoded = quorvel.decompress_signal(expected_shared)
    expected_private_decoded = [quorvel.decompress_signal(c) for c in expected_private]

    def work(i):
        for _ in range(ROUNDS):
            assert quorvel.compress_signal(shared, options) == expected_shared
            assert quorvel.compress_signal(private[i], options=options) == expected_private[i]
            np.testing.assert_array_equal(quorvel.decompress_signal(expected_shared), expected_shared_decoded)
            decoded = quorvel.decompress_signal(expected_private[i])
            np.testing.assert_array_equal(decoded, expected_private_decoded[i])
            decoded[:] = -1.0  # each call's result is its own: scribbling on it harms no other thread

    _run_threads(work)
    np.testing.assert_array_equal(shared, shared_before)


def test_threads_see_the_same_errors_as_a_serial_caller():
    garbage = b"QRVL" + bytes(60)
    truncated = quorvel.compress_signal(make_signal(1000, seed=7))[:-10]
    empty = np.zeros(0, dtype=np.float32)

    def error_text(call):
        with pytest.raises(ValueError) as caught:
            call()
        return str(caught.value)

    calls = [
        lambda: quorvel.decompress_signal(garbage),
        lambda: quorvel.decompress_signal(truncated),
        lambda: quorvel.compress_signal(empty),
    ]
    expected = [error_text(call) for call in calls]

    def work(_):
        for _ in range(ROUNDS * 4):
            assert [error_text(call) for call in calls] == expected

    _run_threads(work)
