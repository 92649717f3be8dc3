"""Threads and the row batch give the bytes of plain sequential calls."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import quorvel_tools
from conftest import make_signal


@pytest.fixture(scope="module")
def rows():
    return np.stack([make_signal(900, seed=s) * (1 + s) for s in range(9)])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("threads", [None, 1, 2, 5, 64])
def test_encode_rows_equals_encode_of_each_row(rows, dtype, threads):
    data = rows.astype(dtype)
    expected = [quorvel_tools.encode(row, rmse=0.01, method="db4") for row in data]
    assert quorvel_tools.encode_rows(data, rmse=0.01, method="db4", threads=threads) == expected


def test_encode_rows_takes_any_2d_layout(rows):
    expected = quorvel_tools.encode_rows(rows, max_error=0.02)
    assert quorvel_tools.encode_rows(np.asfortranarray(rows), max_error=0.02) == expected
    assert quorvel_tools.encode_rows(rows.tolist(), max_error=0.02) == \
        quorvel_tools.encode_rows(rows.astype(np.float64), max_error=0.02)
    assert quorvel_tools.encode_rows(rows[:, ::2], max_error=0.02) == \
        [quorvel_tools.encode(row, max_error=0.02) for row in rows[:, ::2]]


def test_encode_rows_of_no_rows_is_an_empty_list():
    assert quorvel_tools.encode_rows(np.zeros((0, 16), np.float32), max_error=0.1) == []


def test_encode_rows_names_the_first_row_that_fails(rows):
    data = rows.copy()
    data[6, 10] = np.nan
    data[3, 0] = np.inf
    with pytest.raises(quorvel_tools.CodecError, match=r"^row 3: ") as raised:
        quorvel_tools.encode_rows(data, max_error=0.1, threads=2)
    assert (raised.value.row, raised.value.lane, raised.value.kind) == (3, None, "invalid_input")
    with pytest.raises(ValueError, match=r"^row 0: .*empty"):
        quorvel_tools.encode_rows(np.zeros((3, 0)), max_error=0.1)


def test_threads_give_the_bytes_of_sequential_calls(rows):
    jobs = [(row.astype(dtype), kind, effort)
            for row in rows[:4] for dtype in (np.float32, np.float64)
            for kind, effort in (({"max_error": 0.01}, "fast"), ({"prd": 1.0}, "default"),
                                 ({"max_bytes": 600}, "best"))]

    def run(job):
        data, target, effort = job
        container = quorvel_tools.encode(data, **target, effort=effort)
        return container, quorvel_tools.decode(container)

    sequential = [run(job) for job in jobs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        concurrent = list(pool.map(run, jobs * 2))
    for (container, decoded), (expected_container, expected_decoded) in zip(concurrent, sequential * 2):
        assert container == expected_container
        np.testing.assert_array_equal(decoded, expected_decoded)
