"""The conformance corpus (tests/data/conformance/, written by tools/make_conformance.py): every file
decodes to the samples whose SHA-256 its manifest gives, through quorvel_tools, through the quorvel module
for version 1, and through the plain Python decoder of tests/python/reference/ that docs/format.md
describes; and both decoders refuse the same damage."""

import hashlib
import struct
import zlib
import pathlib
import sys

import numpy as np
import pytest

import quorvel
import quorvel_tools

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "reference"))
import v2_container  # noqa: E402

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "data" / "conformance"


def manifest():
    lines = (CORPUS / "manifest.tsv").read_text().splitlines()
    tier = lines[0].removeprefix("# processor tier ")
    rows = [line.split("\t") for line in lines[2:] if line]
    return tier, {name: (int(count), dtype, digest) for name, _, count, dtype, digest in rows}


TIER, ENTRIES = manifest()
OTHER_TIERS = {tuple(line.split("\t")[:2]): line.split("\t")[2]
               for line in (CORPUS / "tiers.tsv").read_text().splitlines() if line and not line.startswith("#")}


def digest(samples) -> str:
    samples = np.asarray(samples)
    return hashlib.sha256(samples.astype(samples.dtype.newbyteorder("<")).tobytes()).hexdigest()


def is_version_1(data: bytes) -> bool:
    return data[4] == 1


def plain_decode(data: bytes):
    if data[:4] == b"QRVC":
        return v2_container.decode_frame(data, quorvel.decompress_signal)
    return v2_container.decode(data)


def test_the_corpus_is_whole():
    assert len(ENTRIES) >= 60
    assert sorted(p.name for p in CORPUS.iterdir() if p.suffix in (".qrvl", ".qrvc")) == sorted(ENTRIES)
    assert sum(p.stat().st_size for p in CORPUS.iterdir()) < 400_000


@pytest.mark.parametrize("name", sorted(ENTRIES))
def test_every_decoder_gives_the_manifest_samples(name):
    count, dtype, expected = ENTRIES[name]
    data = (CORPUS / name).read_bytes()
    frame = data[:4] == b"QRVC"
    samples = np.asarray(quorvel_tools.decode_array(data) if frame else quorvel_tools.decode(data))
    assert (samples.size, str(samples.dtype)) == (count, dtype)
    if is_version_1(data):
        if not frame:
            assert quorvel.decompress_signal(data).tobytes() == samples.tobytes()
        tier = quorvel_tools.build_info().processor_tier
        if tier != TIER:  # the float transform's last bits follow the processor tier
            expected = OTHER_TIERS[(tier, name)]
    assert digest(samples) == expected
    if not is_version_1(data) or frame:
        assert digest(plain_decode(data)) == expected


VERSION_2 = [name for name in sorted(ENTRIES) if name.startswith(("v2_", "w_"))]


@pytest.mark.parametrize("name", VERSION_2[::4])
def test_both_decoders_refuse_a_damaged_block_or_a_cut(name):
    data = (CORPUS / name).read_bytes()
    flipped = bytearray(data)
    flipped[v2_container.blocks_end(data) - 5] ^= 0x01
    for damaged in (bytes(flipped), data[: v2_container.parse(data)[1] + 2]):
        with pytest.raises(ValueError):
            quorvel_tools.decode(damaged)
        with pytest.raises(ValueError):
            v2_container.decode(damaged)


def with_crcs_remade(data: bytearray) -> bytes:
    """Every block's CRC made to match the header and block as they now are (when they still parse)."""
    try:
        _, header_end, parts = v2_container.parse(bytes(data))
    except ValueError:
        return bytes(data)
    header_crc = zlib.crc32(bytes(data[:header_end]))
    for at, size in parts:
        data[at + size : at + size + 4] = struct.pack("<I", zlib.crc32(bytes(data[at : at + size]), header_crc))
    return bytes(data)


def decoded_alike(data: bytes) -> bool:
    """Decodes with the codec and with the plain decoder, which must agree; whether they refused."""
    results = []
    for decoder in (quorvel_tools.decode, v2_container.decode):
        try:
            results.append(np.asarray(decoder(data), np.float32).tobytes())
        except ValueError:
            results.append(None)
    assert results[0] == results[1]
    return results[0] is None


@pytest.mark.parametrize("part", ["header", "block"])
def test_damage_behind_remade_crcs_is_refused_or_decoded_alike(part):
    """Header fields or block bytes changed, the CRCs made to match: the decoders' own checks decide
    (flags, lengths, grid, band steps, palette; tables, rANS end states, the raw bits' end), and the
    codec and the plain decoder must come out the same on each seeded case, samples included."""
    rng = np.random.default_rng(20261209)
    small = [name for name in VERSION_2 if (CORPUS / name).stat().st_size < 3000]
    outcomes = set()
    for _ in range(150):
        data = bytearray((CORPUS / small[rng.integers(len(small))]).read_bytes())
        _, header_end, parts = v2_container.parse(bytes(data))
        at, size = (6, header_end - 6) if part == "header" else parts[rng.integers(len(parts))]
        data[at + rng.integers(size)] ^= 1 << int(rng.integers(8))
        outcomes.add(decoded_alike(with_crcs_remade(data)))
    assert outcomes == {True, False}  # some damage still decodes, some is refused


def test_a_damaged_frame_is_refused_or_decoded_alike():
    """Bits flipped in a frame's header, shape, lane table or bitmap, containers' headers or masks, and frames cut
    short: the frame's own checks (parts that add up, containers that fill their parts, masks of one bit
    per sample that cover the empty lanes) must come out the same in the codec and the plain decoder."""
    rng = np.random.default_rng(7)
    frames = [(CORPUS / name).read_bytes() for name in sorted(ENTRIES) if name.endswith(".qrvc")]
    # The corpus holds frames of both layouts, some from before the frame CRC; today's encoder writes
    # the compact layout with its CRC.
    x = np.sin(np.arange(900) / 7.0).reshape(3, 300).astype(np.float32)
    x[1, 50:60] = np.nan
    fresh = quorvel_tools.encode_array(x, max_error=1e-3)
    assert fresh[7] & 7 == 1 | 4
    np.testing.assert_array_equal(v2_container.decode_frame(fresh), quorvel_tools.decode_array(fresh))
    frames += [fresh, quorvel_tools.encode_array(x, max_error=1e-3, format=1)]
    outcomes = set()
    for _ in range(400):
        data = bytearray(frames[rng.integers(len(frames))])
        if rng.integers(4) == 0:
            data = data[: rng.integers(len(data))]
        else:
            data[rng.integers(min(len(data), 64)) if rng.integers(2) else rng.integers(len(data))] ^= 1 << int(rng.integers(8))
        results = []
        for decoder in (quorvel_tools.decode_array, lambda f: v2_container.decode_frame(f, quorvel.decompress_signal)):
            try:
                results.append(np.asarray(decoder(bytes(data))).tobytes())
            except ValueError:
                results.append(None)
        assert results[0] == results[1]
        outcomes.add(results[0] is None)
    assert outcomes == {True, False}
