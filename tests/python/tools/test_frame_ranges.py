"""Parts of frames read from byte ranges, alone and from a Zarr store on disk: only the bytes the part needs."""
import pathlib
import sys

import numpy as np
import pytest

zarr = pytest.importorskip("zarr", minversion="3")
from zarr.storage import LocalStore  # noqa: E402

import quorvel_tools  # noqa: E402
from quorvel_tools._frame import encode_settings, frame_layout, frame_references  # noqa: E402
from quorvel_tools._ranges import HEAD_BYTES, decode_array_ranges, fetch_part  # noqa: E402
from quorvel_tools.settings import Settings  # noqa: E402
from quorvel_tools.zarr import QuorvelCodec  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "reference"))
import v2_container  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"
LANES, N = 64, 40000  # three blocks of 2^14 samples per lane


@pytest.fixture(scope="module")
def recording():
    """64 lanes of a real ECG in groups of four at different gains (so some lanes are coded jointly),
    each with EEG of its own on top, and a NaN dropout in lane 9."""
    ecg, eeg = np.load(DATA / "ecg_mitbih208_360hz.npy"), np.load(DATA / "eeg_fp1_128hz.npy")
    x = np.stack([np.roll(ecg, -1000 * (k // 4))[:N] * (1 + 0.25 * (k % 4)) + 0.02 * np.roll(eeg, -500 * k)[:N]
                  for k in range(LANES)]).astype(np.float32)
    x[9, 16500:17500] = np.nan
    return x


class CountingStore(LocalStore):
    """A LocalStore that notes every read of a chunk: (key, byte range, bytes served)."""

    served: list = []

    async def get(self, key, prototype=None, byte_range=None):
        value = await super().get(key, prototype, byte_range)
        if value is not None and not key.endswith("zarr.json"):
            CountingStore.served.append((key, byte_range, len(value)))
        return value


@pytest.fixture(scope="module")
def store(tmp_path_factory, recording):
    path = tmp_path_factory.mktemp("ranges") / "z.zarr"
    target = 1e-3 * float(np.nanmax(recording) - np.nanmin(recording))
    array = zarr.create_array(CountingStore(path), shape=recording.shape, chunks=recording.shape, dtype="float32",
                              serializer=QuorvelCodec(max_error=target), compressors=None)
    array[:] = recording
    chunk = next(p for p in path.rglob("*") if p.is_file() and p.name != "zarr.json")
    return array, chunk


def lanes_touched(frame, served):
    """The lanes of whose blocks (past the container's header and block index) the served ranges hold more
    than the few bytes a fetch of a head or a header may run into."""
    touched = set()
    for lane, (offset, size) in enumerate(frame_layout(frame)[2]):
        blocks = offset + v2_container.parse(frame[offset:offset + size])[1]
        held = sum(max(0, min(r.end, offset + size) - max(r.start, blocks)) for _, r, _ in served)
        if held > HEAD_BYTES:
            touched.add(lane)
    return touched


@pytest.mark.parametrize("which", ["alone", "joint", "with NaN"])
def test_one_lane_over_a_tenth_of_the_time_reads_a_tenth_of_the_chunk(store, recording, which):
    array, chunk = store
    frame = chunk.read_bytes()
    references = frame_references(frame)
    assert references, "the recording should code some lanes jointly"
    lane = {"alone": 0, "joint": next(iter(references)), "with NaN": 9}[which]
    assert (lane in references) == (which == "joint")
    start, stop = 4 * N // 10, 5 * N // 10
    CountingStore.served.clear()
    part = array[lane, start:stop]
    served = list(CountingStore.served)
    whole = quorvel_tools.decode_array(frame)
    np.testing.assert_array_equal(part, whole[lane, start:stop])
    np.testing.assert_array_equal(part, array[:][lane, start:stop])
    assert all(r is not None for _, r, _ in served)  # never the whole chunk
    assert sum(n for *_, n in served) <= len(frame) / 10
    assert lanes_touched(frame, served) == {lane} | ({references[lane][0]} if lane in references else set())
    np.testing.assert_array_equal(np.isnan(part), np.isnan(recording[lane, start:stop]))
    assert np.isnan(part).sum() == (1000 if which == "with NaN" else 0)


def test_boxes_with_steps_and_single_samples_read_as_the_whole_chunk_does(store, recording):
    in_memory = zarr.create_array(zarr.storage.MemoryStore(), shape=(8, 5000), chunks=(8, 5000), dtype="float32",
                                  serializer=QuorvelCodec(max_error=0.05), compressors=None)
    in_memory[:] = recording[:8, :5000]  # a store that cannot tell a chunk's size: read whole, the box decoded
    for array in (store[0], in_memory):
        whole = array[:]
        for selection in [(slice(3, 9, 2), slice(2000, 4000, 3)), (7, 123), (slice(None), slice(-5, None)),
                          (slice(6, None), -1), ([1, 5], slice(0, 10))]:
            np.testing.assert_array_equal(array[selection], whole[selection])


def test_time_on_the_first_axis(tmp_path, recording):
    x = np.ascontiguousarray(recording[:8, :5000].T)  # (time, channels)
    array = zarr.create_array(tmp_path / "t.zarr", shape=x.shape, chunks=x.shape, dtype="float32",
                              serializer=QuorvelCodec(max_error=1e-3, time_axis=0), compressors=None)
    array[:] = x
    whole = array[:]
    np.testing.assert_array_equal(array[1000:1500, 2], whole[1000:1500, 2])
    np.testing.assert_array_equal(array[10:20, 1:4], whole[10:20, 1:4])


def test_a_frame_with_a_lane_table_is_read_whole(tmp_path, recording):
    x = recording[:8, :5000]
    array = zarr.create_array(CountingStore(tmp_path / "l.zarr"), shape=x.shape, chunks=x.shape, dtype="float32",
                              serializer=QuorvelCodec(max_error=0.05), compressors=None)
    array[:] = x
    chunk = next(p for p in (tmp_path / "l.zarr").rglob("*") if p.is_file() and p.name != "zarr.json")
    frame = encode_settings(x, Settings.of(max_error=0.05), compact=False)
    chunk.write_bytes(frame)
    CountingStore.served.clear()
    part = array[5, 100:200]
    np.testing.assert_array_equal(part, quorvel_tools.decode_array(frame)[5, 100:200])
    assert sum(n for *_, n in CountingStore.served) >= len(frame)


def test_damage_is_an_error_or_the_part_the_whole_frame_gives(recording):
    frame = quorvel_tools.encode_array(recording[:16, :20000], max_error=0.05)
    lane, start, stop = 3, 17000, 19000
    rng = np.random.default_rng(7)
    positions = [*range(0, 40), *rng.integers(0, len(frame), 60), len(frame) - 1]
    for position in positions:
        damaged = bytearray(frame)
        damaged[position] ^= 1 << int(rng.integers(8))
        damaged = bytes(damaged)
        try:
            expected = quorvel_tools.decode_array(damaged, lanes=lane, start=start, stop=stop)
        except ValueError:
            expected = None
        try:
            part = decode_array_ranges(lambda o, n, d=damaged: d[o:o + n], len(damaged),
                                       lanes=lane, start=start, stop=stop)
        except ValueError:
            assert expected is None, f"byte {position}"
            continue
        assert expected is not None, f"byte {position}"
        np.testing.assert_array_equal(part, expected)


def test_short_reads_and_cut_chunks_are_errors(store, recording):
    frame = quorvel_tools.encode_array(recording[:4, :5000], max_error=0.05)
    with pytest.raises(quorvel_tools.CodecError, match="the store gave"):
        decode_array_ranges(lambda o, n: frame[o:o + n - 1], len(frame), lanes=1, start=0, stop=10)
    for size in (0, 5, len(frame) // 2, len(frame) - 1):  # a size that says less than the frame holds
        with pytest.raises(ValueError):
            decode_array_ranges(lambda o, n: frame[o:o + n], size, lanes=1, start=0, stop=10)
    array, chunk = store
    original = chunk.read_bytes()
    try:
        chunk.write_bytes(original[: len(original) - 100])
        with pytest.raises(ValueError):
            array[5, 100:200]
    finally:
        chunk.write_bytes(original)


def test_fetches_only_what_the_layout_says_a_part_needs(recording):
    frame = quorvel_tools.encode_array(recording[:16, :N], max_error=0.05)
    for lane, start, stop in [(2, 0, 100), (15, N - 1, N), (7, 16000, 33000)]:
        held = fetch_part(lambda o, n: frame[o:o + n], len(frame), [lane], start, stop)
        needed = len(frame) - sum(len(p) for p in v2_container.compact_parts(frame)[1])
        for k, container in enumerate(v2_container.compact_parts(frame)[1]):
            header, end, parts = v2_container.parse(container)
            needed += end
            if k == lane:
                b = header.block_length
                needed += sum(size + 4 for _, size in parts[start // b:(stop - 1) // b + 1])
        assert needed <= held.fetched <= needed + 256 + 64
        np.testing.assert_array_equal(quorvel_tools.decode_array(held.bytes, lanes=lane, start=start, stop=stop),
                                      quorvel_tools.decode_array(frame, lanes=lane, start=start, stop=stop))
