"""Dask workers in separate processes write and read a "quorvel" Zarr store."""
import logging

import numpy as np
import pytest

zarr = pytest.importorskip("zarr", minversion="3")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

from quorvel_tools.zarr import QuorvelCodec  # noqa: E402


def test_a_two_worker_cluster_round_trips_a_two_channel_recording(tmp_path):
    n = 40_000
    t = np.arange(n)
    x = np.stack([np.sin(t / 11.0) * 2.0, 0.01 * np.cos(t / 5.0)]).astype(np.float32)
    x[0, 5000:9000] = np.nan
    x[1, -3:] = np.inf
    store = tmp_path / "recording.zarr"
    target = zarr.create_array(store, shape=x.shape, chunks=(1, 10_000), dtype="float32", fill_value=np.nan,
                               serializer=QuorvelCodec(max_error=1e-4), compressors=None)

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
        da.from_array(x, chunks=(1, 10_000)).to_zarr(target, compute=True)
        back = da.from_zarr(str(store))
        y = back.compute()
        # Every worker process finds the codec by its name alone.
        workers = client.run(lambda: QuorvelCodec.from_dict({"name": "quorvel", "configuration": {"prd": 1.0}}).prd)
        assert sorted(workers.values()) == [1.0, 1.0]

    assert y.dtype == np.float32 and y.shape == x.shape
    np.testing.assert_array_equal(np.isnan(y), np.isnan(x))
    np.testing.assert_array_equal(y[np.isinf(x)], x[np.isinf(x)])
    finite = np.isfinite(x)
    assert np.max(np.abs(y[finite] - x[finite])) <= 1e-4
