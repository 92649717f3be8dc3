"""Encoding takes at most 4 times the signal's size on top of the signal, whatever the target, at the
heaviest effort: measured with bench/encode_memory.py in a fresh interpreter."""
import importlib.util
import pathlib

import pytest

_BENCH = pathlib.Path(__file__).resolve().parents[3] / "bench" / "encode_memory.py"
_spec = importlib.util.spec_from_file_location("encode_memory", _BENCH)
encode_memory = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(encode_memory)


@pytest.mark.parametrize("kind", ["rmse", "max_bytes"])
def test_best_effort_encodes_within_four_times_the_signal(kind):
    # The targets whose searches try several codings of the whole signal; at this size the coder's
    # fixed state per thread still weighs a little, so the bound holds with less room than at 10^8.
    n = 2_000_000
    base, peak, _ = encode_memory.measure(n, kind, "best")
    assert (peak - base) / (4 * n) < 4.0
