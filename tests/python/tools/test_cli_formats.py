"""File readers and writers of the command line, against independent readers and hand-made files."""
import struct

import numpy as np
import pytest

from quorvel_tools.cli.formats import FormatError, Signal, read_signal, write_signal
from quorvel_tools._qrvl import FileError, Settings, decode_signal, describe, encode_signal

SUBTYPES = ["PCM_U8", "PCM_16", "PCM_24", "PCM_32", "FLOAT", "DOUBLE"]


def full_scale_noise(frames, channels, seed=0):
    return np.random.default_rng(seed).uniform(-1, 0.999, (frames, channels))


@pytest.mark.parametrize("subtype", SUBTYPES)
@pytest.mark.parametrize("channels", [1, 3, 6])
def test_wav_reader_matches_soundfile(tmp_path, subtype, channels):
    soundfile = pytest.importorskip("soundfile")
    path = tmp_path / "in.wav"
    soundfile.write(path, full_scale_noise(301, channels), 22050, subtype=subtype)  # 6 channels: extensible
    expected, rate = soundfile.read(path, always_2d=True)
    signal = read_signal(path)
    assert (signal.sample_rate, signal.wav_subtype, signal.data.shape) == (rate, subtype, (channels, 301))
    np.testing.assert_array_equal(signal.data.T, expected.astype(signal.data.dtype))


@pytest.mark.parametrize("subtype", SUBTYPES)
def test_wav_writer_is_read_back_exactly_by_soundfile(tmp_path, subtype):
    soundfile = pytest.importorskip("soundfile")
    source = tmp_path / "a.wav"
    soundfile.write(source, full_scale_noise(257, 2, seed=1), 8000, subtype=subtype)
    write_signal(tmp_path / "b.wav", read_signal(source))
    assert soundfile.info(tmp_path / "b.wav").subtype == subtype
    np.testing.assert_array_equal(soundfile.read(tmp_path / "b.wav")[0], soundfile.read(source)[0])


def test_wav_writer_rounds_and_clips_only_what_came_from_pcm(tmp_path):
    # Decoded PCM a little past full scale goes back onto the edge its original lay within.
    data = np.array([[-1.00002, -1.0, 0.49 / 2**15, 0.51 / 2**15, 0.99999, 1.00001]])
    write_signal(tmp_path / "c.wav", Signal(data=data, source="wav", sample_rate=1000.0, wav_subtype="PCM_16"))
    values = np.frombuffer((tmp_path / "c.wav").read_bytes()[44:], "<i2")
    assert values.tolist() == [-32768, -32768, 0, 1, 32767, 32767]
    # Anything else beyond full scale, or a gap, is refused rather than clipped or zeroed, and no file is left.
    for row in ([-1.5, 0.0, 0.5], [0.1, np.nan, 0.2]):
        signal = Signal(data=np.array([row]), source="npy", sample_rate=1000.0)
        with pytest.raises(FormatError, match="--subtype FLOAT or .npy"):
            write_signal(tmp_path / "d.wav", signal, subtype="PCM_16")
        assert not (tmp_path / "d.wav").exists()


def test_wav_reader_skips_odd_sized_chunks_and_keeps_whole_frames(tmp_path):
    pcm = np.arange(-6, 6, dtype="<i2")
    fmt = struct.pack("<HHIIHH", 1, 2, 100, 400, 4, 16)
    body = (b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt + b"LIST" + struct.pack("<I", 3) + b"abc\0"
            + b"data" + struct.pack("<I", 0xFFFFFFFF) + pcm.tobytes() + b"\x01")  # streamed size, one stray byte
    (tmp_path / "d.wav").write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    signal = read_signal(tmp_path / "d.wav")
    np.testing.assert_array_equal(signal.data * 2**15, pcm.reshape(-1, 2).T)


def test_delimited_reader_picks_columns_and_reads_gaps_as_nan(tmp_path):
    (tmp_path / "a.csv").write_text("when;x;y\nmon;1.5;2\ntue;;3\nwed;-4e2;5\n")
    assert np.isnan(read_signal(tmp_path / "a.csv", column="x").data).tolist() == [False, True, False]
    np.testing.assert_array_equal(read_signal(tmp_path / "a.csv", column="2").data, [2, 3, 5])
    (tmp_path / "b.tsv").write_text("label\tvalue\na\t1\nb\t2\n")
    np.testing.assert_array_equal(read_signal(tmp_path / "b.tsv").data, [1, 2])
    with pytest.raises(FormatError, match="no column 'z'"):
        read_signal(tmp_path / "a.csv", column="z")
    (tmp_path / "c.csv").write_text("a,b\n1,2\n3\n")
    with pytest.raises(FormatError, match="row 3 has 1 fields, the header has 2"):
        read_signal(tmp_path / "c.csv")


def test_a_signal_with_gaps_keeps_them_through_the_frame(tmp_path):
    data = np.sin(np.arange(2000) / 7.0)
    data[[0, 500, 501, 1999]] = [np.nan, np.inf, -np.inf, np.nan]
    blob = encode_signal(Signal(data=data, source="csv"), Settings.of(max_error=1e-3))
    restored = decode_signal(blob).data
    same = np.isnan(restored) == np.isnan(data)
    assert same.all() and (restored[500:502] == [np.inf, -np.inf]).all()
    finite = np.isfinite(data)
    assert np.abs(restored[finite] - data[finite]).max() <= 1e-3


def test_pcm_sources_meet_the_target_after_rounding_back_to_their_grid():
    # A target of 1.5 LSB: the decoded values are rounded onto the 16-bit grid when written back.
    lsb = 2.0 ** -15
    rng = np.random.default_rng(7)
    data = np.round(np.cumsum(rng.normal(0, 200, (2, 20000)), axis=1) % 30000) * lsb
    signal = Signal(data=data.astype(np.float32), source="wav", sample_rate=8000.0, wav_subtype="PCM_16",
                    grid_step=[lsb, lsb])
    restored = decode_signal(encode_signal(signal, Settings.of(max_error=1.5 * lsb))).data
    rounded = np.round(restored.astype(np.float64) / lsb) * lsb
    assert np.abs(rounded - data).max() <= 1.5 * lsb


def test_describe_rejects_damaged_files():
    blob = encode_signal(Signal(data=np.sin(np.arange(500) / 3.0), source="npy"), Settings.of(prd=1.0, format=1))
    assert describe(blob)["layout"] == "container"
    container = blob[:blob.rindex(b"QRVS")]  # the target the file was made for follows the container
    with pytest.raises(FileError, match="truncated"):
        describe(container[:-1])
    with pytest.raises(FileError, match="metadata runs past the end"):
        describe(blob[:-1])
    # A version-2 header knows its blocks' sizes, so the codec itself finds the truncation.
    blob = encode_signal(Signal(data=np.sin(np.arange(500) / 3.0), source="npy"), Settings.of(prd=1.0))
    with pytest.raises(ValueError, match="truncated"):
        describe(blob[:blob.rindex(b"QRVS")][:-1])
    with pytest.raises(FileError, match="not a quorvel file"):
        describe(b"RIFF" + blob)
    with pytest.raises(FileError, match="the metadata runs past the end"):
        decode_signal(b"QRVS\x01\0\0\0" + struct.pack("<I", 1000) + b"{}")
    # A frame (two channels) cut short says so too: its last container runs into where the CRC-32 begins.
    blob = encode_signal(Signal(data=np.sin(np.arange(1000).reshape(2, 500) / 3.0), source="npy"), Settings.of(prd=1.0))
    with pytest.raises(ValueError, match="truncated"):
        decode_signal(blob[:-1])


def _same_recording(a, b):
    return (a.source, a.sample_rate, a.channel_names, a.units, a.wav_subtype, a.extra, a.annotations) == (
        b.source, b.sample_rate, b.channel_names, b.units, b.wav_subtype, b.extra, b.annotations) and (
        np.array_equal(a.data, b.data, equal_nan=True))


# A WAV recording (the block before a frame) and a CSV column (the block after a container).
DAMAGED = {
    "wav": Signal(data=np.sin(np.arange(2, 802).reshape(2, 400) / 7.0).astype(np.float32), source="wav",
                  sample_rate=8000.0, channel_names=["ch0", "ch1"], units=["", ""], wav_subtype="PCM_16"),
    "csv": Signal(data=np.cos(np.arange(600) / 5.0), source="csv", channel_names=["lead II"], units=[""],
                  extra={"columns": 1, "channel_columns": [0], "gap": "NA"}),
}


@pytest.mark.parametrize("kind", sorted(DAMAGED))
def test_every_bit_flip_in_the_metadata_block_is_refused_or_harmless(kind):
    blob = encode_signal(DAMAGED[kind], Settings.of(max_error=1e-3))
    start = blob.rindex(b"QRVS")  # first before a frame, last after a container
    length = struct.unpack_from("<I", blob, start + 8)[0]
    assert blob[start + 4] == 2 and start + 16 + length == (len(blob) if start else blob.index(b"QRVC"))
    original = decode_signal(blob)
    silent = []
    for bit in range(8 * (16 + length)):
        damaged = bytearray(blob)
        damaged[start + bit // 8] ^= 1 << (bit % 8)
        try:
            decoded = decode_signal(bytes(damaged))
        except (FileError, ValueError):
            continue
        if not _same_recording(decoded, original):
            silent.append(bit)
    assert silent == []
    damaged = bytearray(blob)
    damaged[start + 16] ^= 0x20  # the first byte of the JSON
    with pytest.raises(FileError, match="the metadata block fails its check"):
        decode_signal(bytes(damaged))


def test_a_block_written_before_it_carried_a_check_is_still_read():
    signal = DAMAGED["wav"]
    blob = encode_signal(signal, Settings.of(max_error=1e-3))
    length = struct.unpack_from("<I", blob, 8)[0]
    old = b"QRVS\x01\0\0\0" + struct.pack("<I", length) + blob[16:]  # version 1: no CRC field
    assert _same_recording(decode_signal(old), decode_signal(blob))
    assert decode_signal(old).sample_rate == 8000.0


@pytest.mark.parametrize("suffix, digital_span", [(".edf", 65535), (".bdf", 16777215)])
def test_edf_writer_fits_headers_to_a_signal_from_elsewhere(tmp_path, suffix, digital_span):
    pyedflib = pytest.importorskip("pyedflib")
    rng = np.random.default_rng(9)
    data = np.stack([np.cumsum(rng.normal(0, 1e-3, 1000)) + 0.123456789, rng.normal(0, 300, 1000)])
    write_signal(tmp_path / f"out{suffix}", Signal(data=data, source="wav", sample_rate=100.0,
                                                    channel_names=["left", "right"], units=["V", "uV"]))
    restored, headers, _ = pyedflib.highlevel.read_edf(str(tmp_path / f"out{suffix}"))
    assert [(h["label"], h["dimension"], h["sample_frequency"]) for h in headers] == [
        ("left", "V", 100.0), ("right", "uV", 100.0)]
    for row, given, header in zip(restored, data, headers):
        assert header["physical_min"] <= given.min() and given.max() <= header["physical_max"]
        step = (header["physical_max"] - header["physical_min"]) / digital_span
        assert np.abs(row - given).max() <= 0.5 * step * (1 + 1e-9)


def test_edf_channels_longer_than_a_read_come_back_whole_and_in_order(tmp_path):
    # The reader takes long channels a part at a time; pyedflib's own reading of the whole is the oracle.
    pyedflib = pytest.importorskip("pyedflib")
    from quorvel_tools.cli.formats import edf
    n = 2 * edf._PART + 1234  # a part and a short last one, at two rates
    rng = np.random.default_rng(4)
    fast, slow = np.cumsum(rng.normal(0, 0.01, n)), np.cumsum(rng.normal(0, 0.01, n // 2))
    headers = [pyedflib.highlevel.make_signal_header(name, sample_frequency=rate, physical_min=-100,
                                                     physical_max=100) for name, rate in (("a", 200), ("b", 100))]
    pyedflib.highlevel.write_edf(str(tmp_path / "long.edf"), [fast, slow], headers)
    expected, _, _ = pyedflib.highlevel.read_edf(str(tmp_path / "long.edf"))
    signal = read_signal(tmp_path / "long.edf")
    assert signal.extra["lengths"] == [want.size for want in expected]  # whole data records, as written
    for row, want in zip(signal.rows(), expected):
        np.testing.assert_array_equal(row[:want.size], want)
