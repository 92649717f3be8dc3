"""Lossless audio: quorvel at max_error=0 (bit-exact) against flac -8 and WavPack's highest lossless level.

    apt-get install flac wavpack
    .venv/bin/python bench/corpus.py                 # extract the corpus first (bench/CORPUS.md)
    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/lossless_audio.py [--cache bench/.corpus]

Every 16-bit and 24-bit PCM recording of bench/corpus.json: its samples are written as a PCM WAV
(interleaved for several channels) with soundfile, and flac (`-8 --no-padding`) and wavpack (`-hh -x6`,
its highest lossless mode) compress that file; quorvel compresses the float32 samples themselves at
max_error=0 (a 1-D signal as one container, several channels as one frame) and decodes them back
bit-exactly. The table gives bytes and smallest peer / quorvel (above 1: quorvel is smaller).
"""
from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import tempfile

import numpy as np
import soundfile

import quorvel_tools

HERE = pathlib.Path(__file__).resolve().parent


def peer_bytes(command: list[str], wav: pathlib.Path, out: pathlib.Path) -> int:
    subprocess.run([*command, str(wav), "-o", str(out)], check=True, capture_output=True)
    return out.stat().st_size


def ours(x: np.ndarray, effort: str) -> int:
    if x.ndim == 1:
        blob = quorvel_tools.encode(x, max_error=0, effort=effort)
        back = quorvel_tools.decode(blob)
    else:
        blob = quorvel_tools.encode_array(x, max_error=0, effort=effort)
        back = quorvel_tools.decode_array(blob)
    assert np.array_equal(back.view(np.uint32), x.view(np.uint32)), "not bit-exact"
    return len(blob)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cache", type=pathlib.Path, default=HERE / ".corpus")
    parser.add_argument("--efforts", default="default,best")
    options = parser.parse_args()
    catalogue = json.loads((HERE / "corpus.json").read_text())["signals"]
    efforts = options.efforts.split(",")
    print(f"{'recording':<34}{'half':<9}{'bits':>5}{'ch':>3}{'flac -8':>10}{'wavpack':>10}"
          + "".join(f"{'q ' + e:>12}" for e in efforts) + f"{'peer/q':>8}")
    ratios = []
    with tempfile.TemporaryDirectory() as scratch:
        for entry in catalogue:
            if not str(entry.get("unit", "")).startswith("PCM/2^") or entry.get("bits") not in (16, 24):
                continue
            x = np.load(options.cache / f"{entry['name']}.npy").astype(np.float32)
            bits = int(entry["bits"])
            wav = pathlib.Path(scratch) / "x.wav"
            pcm = np.rint(x.astype(np.float64) * 2.0 ** (bits - 1)).astype(np.int32)
            frames = pcm.T if pcm.ndim == 2 else pcm
            soundfile.write(wav, frames << (32 - bits), int(entry.get("rate_hz") or 44100),
                            subtype=f"PCM_{bits}")
            flac = peer_bytes(["flac", "-8", "--no-padding", "--silent", "-f"], wav, pathlib.Path(scratch) / "x.flac")
            wv = peer_bytes(["wavpack", "-hh", "-x6", "-q", "-y"], wav, pathlib.Path(scratch) / "x.wv")
            sizes = [ours(x, effort) for effort in efforts]
            ratio = min(flac, wv) / sizes[0]
            ratios.append(ratio)
            print(f"{entry['name']:<34}{entry['half']:<9}{bits:>5}{1 if x.ndim == 1 else x.shape[0]:>3}{flac:>10}{wv:>10}"
                  + "".join(f"{s:>12}" for s in sizes) + f"{ratio:>8.3f}")
    print(f"geomean smallest peer / quorvel {efforts[0]}: {np.exp(np.mean(np.log(ratios))):.3f}, "
          f"worst {min(ratios):.3f}", file=sys.stdout)


if __name__ == "__main__":
    main()
