"""The HDF5 filter through h5py and Debian's h5repack and h5dump: targets per lane, masks, hostile files."""
import json
import math
import os
import shutil
import struct
import subprocess
import sys

import numpy as np
import pytest

from conftest import DATA_DIR, raises_exactly

h5py = pytest.importorskip("h5py")
hdf5 = pytest.importorskip("quorvel_tools.hdf5")

TARGETS = {"max_error": 0.02, "rmse": 0.01, "prd": 2.0}
LAYOUTS = {  # shape, chunks: edge chunks on every axis
    "n": ((5000,), (2048,)),
    "cn": ((3, 5000), (2, 2048)),
    "abn": ((2, 3, 2000), (1, 2, 1024)),
}


def recording(shape, dtype):
    """Rows of the real ECG (mV) with NaN runs and infinities in every row."""
    ecg = np.load(DATA_DIR / "ecg_mitbih208_360hz.npy").astype(np.float64)
    rows = int(np.prod(shape[:-1]))
    data = np.stack([ecg[997 * row: 997 * row + shape[-1]] for row in range(rows)]).astype(dtype)
    data[:, 100:140] = np.nan
    data[:, 777] = np.inf
    data[::2, -1] = -np.inf
    return data.reshape(shape)


def lane_figures(original, restored):
    """Per lane over its finite samples, in float64: max error, RMSE and PRD, measured independently of the codec."""
    x = original.reshape(-1, original.shape[-1]).astype(np.float64)
    y = restored.reshape(x.shape).astype(np.float64)
    for lane_x, lane_y in zip(x, y):
        finite = np.isfinite(lane_x)
        error = lane_x[finite] - lane_y[finite]
        yield {"max_error": np.max(np.abs(error)), "rmse": np.sqrt(np.mean(error ** 2)),
               "prd": 100 * np.sqrt(np.sum(error ** 2) / np.sum(lane_x[finite] ** 2))}


def read_in_fresh_process(path, names):
    """The datasets as a new interpreter reads them, with nothing but the import of quorvel_tools.hdf5."""
    script = ("import sys, json, h5py, numpy, quorvel_tools.hdf5\n"
              "path, names = sys.argv[1], json.loads(sys.argv[2])\n"
              "with h5py.File(path, 'r') as f:\n"
              "    numpy.savez(path + '.npz', **{name: f[name][()] for name in names})\n")
    subprocess.run([sys.executable, "-c", script, str(path), json.dumps(names)], check=True, env=plain_env())
    with np.load(str(path) + ".npz") as read:
        return {name: read[name] for name in names}


def plain_env(**extra):
    env = {key: value for key, value in os.environ.items() if key != "HDF5_PLUGIN_PATH"}
    env.update(extra)
    return env


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """Every layout, sample type, format and target in one file, written, closed and read by another process."""
    path = tmp_path_factory.mktemp("hdf5") / "recording.h5"
    cases = {}
    with h5py.File(path, "w") as f:
        for layout, (shape, chunks) in LAYOUTS.items():
            for dtype in ("f4", "f8"):
                for fmt in (1, 2):
                    for target, value in TARGETS.items():
                        name = f"{layout}_{dtype}_v{fmt}_{target}"
                        data = recording(shape, dtype)
                        f.create_dataset(name, data=data, chunks=chunks, **hdf5.Quorvel(**{target: value}, format=fmt))
                        cases[name] = (data, target, value)
    restored = read_in_fresh_process(path, list(cases))
    return path, {name: (*case, restored[name]) for name, case in cases.items()}


def test_every_lane_meets_its_target_and_masks_come_back_exactly(written):
    _, cases = written
    for name, (original, target, value, restored) in cases.items():
        assert restored.dtype == original.dtype and restored.shape == original.shape, name
        for kind in (np.isnan, np.isposinf, np.isneginf):
            np.testing.assert_array_equal(kind(restored), kind(original), err_msg=name)
        for lane, figures in enumerate(lane_figures(original, restored)):
            # The encoder measures its own decoding exactly; a lane that spans
            # chunks sums their squared errors, which only rounding can move.
            assert figures[target] <= value * (1 + 1e-9), (name, lane, figures)


def test_chunks_are_frames_of_the_asked_format_and_smaller_than_raw(written):
    path, cases = written
    with h5py.File(path, "r") as f:
        for name, (original, target, value, _) in cases.items():
            fmt = int(name.split("_v")[1][0])
            dataset = f[name]
            _, words, _ = dataset.id.get_create_plist().get_filter_by_id(hdf5.FILTER_ID)
            options = hdf5.Quorvel(**{target: value}, format=fmt).filter_options
            assert words[:7] == options[:7] and options[7] == 0x80000000, name
            longest = max(range(dataset.ndim), key=lambda axis: (dataset.chunks[axis], axis))
            assert words[7:] == (longest, original.itemsize, original.ndim, *dataset.chunks), name
            assert dataset.id.read_direct_chunk((0,) * dataset.ndim)[1][:5] == b"QRVC" + bytes([fmt]), name
            assert dataset.id.get_storage_size() < original.nbytes / 2, name


def test_a_chunk_is_the_frame_encode_array_makes_of_it(tmp_path):
    """The filter and the kit's frames are the same code: a whole chunk stores exactly encode_array's bytes."""
    quorvel_tools = pytest.importorskip("quorvel_tools")
    data = recording((3, 3000), "f8")
    with h5py.File(tmp_path / "same.h5", "w") as f:
        for settings in ({"rmse": 0.01, "method": "db4", "effort": "fast"}, {"prd": 3.0, "effort": "best"}):
            dataset = f.create_dataset(str(settings), data=data, chunks=(3, 1000), **hdf5.Quorvel(**settings))
            for start in (0, 1000, 2000):
                stored = dataset.id.read_direct_chunk((0, start))[1]
                assert stored == quorvel_tools.encode_array(data[:, start:start + 1000], **settings), (settings, start)


def test_quorvel_mapping_surface():
    assert hdf5.__all__ == ["FILTER_ID", "PLUGIN_PATH", "Quorvel"]
    assert 256 <= hdf5.FILTER_ID <= 511 and hdf5.Quorvel.filter_id == hdf5.FILTER_ID
    q = hdf5.Quorvel(prd=2.5, effort="best")
    assert repr(q) == "Quorvel(prd=2.5, method='auto', effort='best', format=2)"
    low, high = struct.unpack("<II", struct.pack("<d", 2.5))
    assert q.filter_options == (2, 2, low, high, 0, 2, 2, 0x80000000)
    assert dict(q)["compression"] == hdf5.FILTER_ID and math.isnan(dict(q)["fillvalue"])
    assert hdf5.Quorvel(max_error=1e-3, method="db4").filter_options[4:] == (3, 1, 1, 0x80000000)
    assert hdf5.Quorvel(max_error=1, time_axis=-1).filter_options[7] == 0xFFFFFFFF
    assert repr(hdf5.Quorvel(max_error=1, time_axis=0)).endswith("format=2, time_axis=0)")
    assert q == hdf5.Quorvel(prd=2.5, effort="best", format=2) != hdf5.Quorvel(prd=2.5)
    with raises_exactly(ValueError, "exactly one target is required (max_error, rmse or prd); got none"):
        hdf5.Quorvel()
    with raises_exactly(ValueError, "format 2 uses no wavelet: method must be 'auto', got 'db4' "
                                    "(a wavelet writes format 1)"):
        hdf5.Quorvel(rmse=1, method="db4", format=2)
    with raises_exactly(ValueError, "format must be 1 or 2, got 3"):
        hdf5.Quorvel(rmse=1, format=3)


def test_other_dtypes_and_bad_client_data_are_refused_when_the_dataset_is_created(tmp_path):
    with h5py.File(tmp_path / "refused.h5", "w") as f:
        with pytest.raises(ValueError, match="quorvel compresses float32 and float64 data .little-endian.; "
                                             "this dataset holds 2-byte integers"):
            f.create_dataset("ints", data=np.arange(10, dtype=np.int16), **hdf5.Quorvel(max_error=1))
        with pytest.raises(ValueError, match="this dataset holds 4-byte big-endian floats"):
            f.create_dataset("swapped", data=np.ones(10, dtype=">f4"), **hdf5.Quorvel(max_error=1))
        words = list(hdf5.Quorvel(max_error=1).filter_options)
        words[6] = 5
        with pytest.raises(ValueError, match="Unknown container format 5, expected 1 or 2"):
            f.create_dataset("bad", shape=(10,), dtype="f4", compression=hdf5.FILTER_ID, compression_opts=tuple(words))
        with pytest.raises(ValueError, match="fewer than the 8 of the settings"):
            f.create_dataset("short", shape=(10,), dtype="f4", compression=hdf5.FILTER_ID, compression_opts=tuple(words[:3]))


def flip_in_chunk(path, name, at):
    """Flips a byte `at` a fraction of the first chunk's stored bytes, in place in the file."""
    with h5py.File(path, "r") as f:
        info = f[name].id.get_chunk_info(0)
    with open(path, "r+b") as raw:
        raw.seek(info.byte_offset + int(at * (info.size - 1)))
        byte = raw.read(1)
        raw.seek(-1, os.SEEK_CUR)
        raw.write(bytes([byte[0] ^ 0x5A]))


def test_damaged_chunks_and_truncated_files_are_read_errors_with_quorvels_message(tmp_path):
    path = tmp_path / "damaged.h5"
    data = recording((2, 3000), "f4")
    with h5py.File(path, "w") as f:
        for name in ("magic", "block"):
            f.create_dataset(name, data=data, chunks=(2, 1500), **hdf5.Quorvel(max_error=0.01))
    flip_in_chunk(path, "magic", 0)
    flip_in_chunk(path, "block", 0.9)  # inside a lane's blocks, which carry a CRC-32
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(np.isnan(f["magic"][:, 1500:]), np.isnan(data[:, 1500:]))  # the intact chunk
        for name in ("magic", "block"):
            # h5py's HDF5 drops what a filter pushes while it reads: its own message is what stays.
            with pytest.raises(OSError, match="filter returned failure during read"):
                f[name][()]
    if shutil.which("h5dump"):
        for name, message in (("magic", "quorvel: Not a frame: bad magic"),
                              ("block", "The container is damaged: block 0 fails its CRC-32 check")):
            dumped = subprocess.run(["h5dump", "--enable-error-stack", "-d", name, str(path)], capture_output=True,
                                    text=True, env=plain_env(HDF5_PLUGIN_PATH=hdf5.PLUGIN_PATH))
            assert dumped.returncode != 0 and message in dumped.stdout + dumped.stderr, name
    truncated = tmp_path / "truncated.h5"
    truncated.write_bytes(path.read_bytes()[: path.stat().st_size * 2 // 3])
    with pytest.raises(OSError):
        with h5py.File(truncated, "r") as f:
            f["block"][()]


@pytest.mark.skipif(not (shutil.which("h5repack") and shutil.which("h5dump")), reason="needs h5repack and h5dump")
def test_h5repack_applies_the_filter_and_h5dump_reads_it(tmp_path):
    plain, packed, text = tmp_path / "plain.h5", tmp_path / "packed.h5", tmp_path / "dump.txt"
    data = recording((3, 4000), "f8")
    with h5py.File(plain, "w") as f:
        f.create_dataset("eeg", data=data, chunks=(3, 2000))
    words = hdf5.Quorvel(max_error=0.02).filter_options
    env = plain_env(HDF5_PLUGIN_PATH=hdf5.PLUGIN_PATH)
    user_defined = f"UD={hdf5.FILTER_ID},0,{len(words)}," + ",".join(map(str, words))
    subprocess.run(["h5repack", "-f", user_defined, str(plain), str(packed)], check=True, env=env)
    subprocess.run(["h5dump", "-d", "/eeg", "-y", "-w", "0", "-o", str(text), str(packed)], check=True, env=env,
                   capture_output=True)
    dumped = np.array(text.read_text().replace(",", " ").split(), dtype=np.float64).reshape(data.shape)
    for kind in (np.isnan, np.isposinf, np.isneginf):
        np.testing.assert_array_equal(kind(dumped), kind(data))
    for figures in lane_figures(data, dumped):
        # h5dump prints %g-style decimals; allow for their rounding.
        assert figures["max_error"] <= 0.02 * (1 + 1e-3) + 1e-6
    assert packed.stat().st_size < plain.stat().st_size / 2
    with h5py.File(packed, "r") as f:
        # The dataset keeps the time axis resolved: the chunks' (3, 2000) longest axis.
        assert f["eeg"].id.get_create_plist().get_filter_by_id(hdf5.FILTER_ID)[1][:8] == (*words[:7], 1)
        for figures in lane_figures(data, f["eeg"][()]):
            assert figures["max_error"] <= 0.02


def write_nwb(path, data, chunks, rate, **target):
    """An NWB file with `data`, (time,) or (time, channels), as an ElectricalSeries "series" whose
    dataset goes through the filter, written by pynwb."""
    pynwb = pytest.importorskip("pynwb")
    from datetime import datetime, timezone

    from hdmf.backends.hdf5.h5_utils import H5DataIO

    nwb = pynwb.NWBFile(session_description="a recording", identifier="quorvel-hdf5",
                        session_start_time=datetime(1998, 1, 20, tzinfo=timezone.utc))
    device = nwb.create_device(name="amplifier")
    group = nwb.create_electrode_group(name="scalp", description="10-20", location="Fp1", device=device)
    channels = 1 if data.ndim == 1 else data.shape[1]
    for _ in range(channels):
        nwb.add_electrode(group=group, location="Fp1")
    electrodes = nwb.create_electrode_table_region(region=list(range(channels)), description="all")
    with pytest.warns(UserWarning, match="308 compression may not be available"):
        wrapped = H5DataIO(data, chunks=chunks, allow_plugin_filters=True, **hdf5.Quorvel(**target))
    nwb.add_acquisition(pynwb.ecephys.ElectricalSeries(name="series", data=wrapped, electrodes=electrodes,
                                                       rate=rate))
    with pynwb.NWBHDF5IO(str(path), "w") as io:
        io.write(nwb)
    return pynwb.NWBHDF5IO(str(path), "r")


def test_nwb_electrical_series_through_h5dataio(tmp_path):
    eeg = np.load(DATA_DIR / "eeg_fp1_128hz.npy")  # uV, on a 0.26584 uV grid
    with write_nwb(tmp_path / "eeg.nwb", eeg, (16384,), 128.0, max_error=0.5) as io:
        series = io.read().acquisition["series"]
        restored = series.data[()]
        assert str(hdf5.FILTER_ID) in series.data._filters
        assert series.data.id.get_storage_size() < eeg.nbytes / 4  # the file also caches NWB's schema
    assert restored.dtype == np.float32 and restored.shape == eeg.shape
    assert np.max(np.abs(restored.astype(np.float64) - eeg)) <= 0.5


def test_nwb_series_of_several_channels_is_coded_along_time(tmp_path):
    # NWB keeps time first, (time, channels): the chunk's longest axis is time, so each channel is a
    # lane and the chunk is byte for byte the frame encode_array makes with time_axis=0.
    quorvel_tools = pytest.importorskip("quorvel_tools")
    data = np.ascontiguousarray(recording((3, 4000), "f4").T)
    data[~np.isfinite(data)] = 0.0
    with write_nwb(tmp_path / "leads.nwb", data, data.shape, 360.0, max_error=0.01) as io:
        series = io.read().acquisition["series"]
        assert series.data.id.read_direct_chunk((0, 0))[1] == quorvel_tools.encode_array(data, max_error=0.01,
                                                                                          time_axis=0)
        restored = series.data[()]
    assert np.max(np.abs(restored.astype(np.float64) - data)) <= 0.01
