#!/usr/bin/env python3
"""End-to-end speed, ratio and memory of quorvel against what a user would write by hand.

    pip install . && python3 bench/end_to_end.py            # about two minutes on one core
    python3 bench/end_to_end.py --quick                     # 10^6 ECG only, fewer repeats
    python3 bench/end_to_end.py --versus-libdeflate          # wall time against libdeflate alone
    python3 bench/end_to_end.py --decode-loop cdf97          # decode and drop, in a fresh process

For every method at scale 11 (cutoff low) and every signal (the MIT-BIH ECG tiled to 10^6 and
10^7 samples, each tile rotated by an odd number of samples so that DEFLATE cannot match whole
repeated tiles; a smooth synthetic signal; white noise) it measures:

* quorvel.compress_signal / decompress_signal: throughput in Msamples/s (median of several runs
  of process CPU time, which a busy shared machine disturbs far less than wall time; both are
  single-threaded), the compression ratio (input bytes / container bytes);
* the same pipeline written with NumPy + PyWavelets + zlib (normalise, wavedec, quantise and
  dead-zone with NumPy, tobytes, raw zlib at level 6; the reverse for decoding). PyWavelets has no
  lifting CDF 5/3 or 9/7: the closest biorthogonal wavelets, bior2.2 and bior4.4, stand in for
  them, with whole-sample symmetric borders ('reflect'), as the lifting schemes use;
  db4 and sym4 use mode 'periodic';
* libdeflate at level 6 alone on quorvel's own coefficient stream (inflated back out of the
  container), called through ctypes on the system's libdeflate: the speed and ratio that the
  DEFLATE stage by itself allows;
* peak memory above the input (compression) and above the container (decompression): each case
  runs in a fresh subprocess that resets the kernel's resident-set high-water mark
  (/proc/self/clear_refs, "5") right before the call and reads VmHWM after it, so C++
  allocations count, and only pages actually touched.

The share of each stage inside the codec comes from the C++ benchmark (bench/codec_bench.cpp,
CompressStages and DecompressStages); pass --stages BIN to run it and print the shares here.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import gc
import json
import os
import statistics
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np
import pywt

import quorvel

ROOT = Path(__file__).resolve().parent.parent
ECG = ROOT / "tests" / "data" / "ecg_mitbih208_360hz.npy"
METHODS = ("cdf53", "cdf97", "db4", "sym4")
PYWT_WAVELET = {"cdf53": ("bior2.2", "reflect"), "cdf97": ("bior4.4", "reflect"),
                "db4": ("db4", "periodic"), "sym4": ("sym4", "periodic")}
FILTER_LENGTH = {"cdf53": 6, "cdf97": 10, "db4": 8, "sym4": 8}
SCALE = 11
THRESHOLD = 2  # dead-zone of scale 11, cutoff low
HEADER = 52


# --- signals -------------------------------------------------------------------------------------

def ecg_tiled(n: int) -> np.ndarray:
    """The ECG repeated up to n samples, copy k rotated by an odd number of samples."""
    ecg = np.load(ECG).astype(np.float32)
    tiles = []
    total = 0
    for tile in range((n + ecg.size - 1) // ecg.size):
        rotation = ((2 * tile + 1) * 7919 % ecg.size) | 1
        tiles.append(np.roll(ecg, -rotation))
        total += ecg.size
    return np.ascontiguousarray(np.concatenate(tiles)[:n])


def smooth(n: int) -> np.ndarray:
    """Three slow tones and a chirp: a signal whose detail bands are nearly empty."""
    t = np.arange(n, dtype=np.float64) / 1000.0
    x = np.sin(2 * np.pi * 0.5 * t) + 0.3 * np.sin(2 * np.pi * 2.1 * t + 1.0) \
        + 0.1 * np.sin(2 * np.pi * (1.0 + 0.002 * t) * t)
    return x.astype(np.float32)


def noise(n: int) -> np.ndarray:
    return np.random.default_rng(208).standard_normal(n, dtype=np.float32)


SIGNALS = {"ecg": ecg_tiled, "smooth": smooth, "noise": noise}


# --- the hand-written pipeline -------------------------------------------------------------------

def plan_levels(n: int, filter_length: int) -> int:
    for limit, levels in ((20, 1), (40, 2), (60, 3), (80, 4)):
        if n < limit:
            return levels
    return min(max((n // filter_length).bit_length() - 1, 1), 8)


def baseline_compress(x: np.ndarray, method: str) -> bytes:
    wavelet, mode = PYWT_WAVELET[method]
    x = np.nan_to_num(x, nan=0.0, posinf=1.0, neginf=0.0)
    lo, hi = x.min(), x.max()
    y = (x - lo) * np.float32(1.0 / (hi - lo))
    mean = y.mean(dtype=np.float32)
    y -= mean
    levels = plan_levels(x.size, FILTER_LENGTH[method])
    bands = pywt.wavedec(y, wavelet, mode=mode, level=levels)
    quantised = []
    for k, band in enumerate(bands):
        c = np.clip(band * np.float32(1 << SCALE), -32768.0, 32767.0).astype(np.int16)
        if k > 0:
            c[np.abs(c.astype(np.int32)) < THRESHOLD] = 0
        quantised.append(c)
    lengths = np.array([x.size, levels] + [c.size for c in quantised], dtype=np.uint32)
    header = np.array([lo, hi, mean], dtype=np.float32).tobytes() + lengths.tobytes()
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    payload = packer.compress(np.concatenate(quantised).astype("<i2").tobytes()) + packer.flush()
    return header + payload


def baseline_decompress(blob: bytes, method: str) -> np.ndarray:
    wavelet, mode = PYWT_WAVELET[method]
    lo, hi, mean = np.frombuffer(blob, np.float32, 3)
    n, levels = np.frombuffer(blob, np.uint32, 2, 12)
    lengths = np.frombuffer(blob, np.uint32, levels + 1, 20)
    start = 20 + 4 * (int(levels) + 1)
    coefficients = np.frombuffer(zlib.decompress(blob[start:], wbits=-15), "<i2")
    y = coefficients.astype(np.float32) * np.float32(2.0 ** -SCALE)
    bands = np.split(y, np.cumsum(lengths[:-1]))
    out = pywt.waverec(bands, wavelet, mode=mode)[:n]
    return (out + mean) * (hi - lo) + lo


# --- libdeflate alone ----------------------------------------------------------------------------

class LibDeflate:
    def __init__(self) -> None:
        name = ctypes.util.find_library("deflate") or "libdeflate.so.0"
        lib = ctypes.CDLL(name)
        lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
        lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
        lib.libdeflate_deflate_compress_bound.restype = ctypes.c_size_t
        lib.libdeflate_deflate_compress_bound.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        lib.libdeflate_deflate_compress.restype = ctypes.c_size_t
        lib.libdeflate_deflate_compress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                                    ctypes.c_void_p, ctypes.c_size_t]
        lib.libdeflate_free_compressor.argtypes = [ctypes.c_void_p]
        lib.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
        lib.libdeflate_deflate_decompress.restype = ctypes.c_int
        lib.libdeflate_deflate_decompress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                                      ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
        self.lib = lib
        # Kept across calls, as the codec keeps its own per thread.
        self.compressor = lib.libdeflate_alloc_compressor(6)
        self.decompressor = lib.libdeflate_alloc_decompressor()

    def compress(self, stream: bytes) -> int:
        """Compressed size of stream at level 6, with the held compressor (the codec keeps one per thread)."""
        return len(self.deflate(stream))


    def deflate(self, stream: bytes) -> bytes:
        """stream at level 6 into a fresh buffer, as a caller holding a compressor would."""
        bound = self.lib.libdeflate_deflate_compress_bound(self.compressor, len(stream))
        out = np.empty(bound, np.uint8)
        size = self.lib.libdeflate_deflate_compress(self.compressor, stream, len(stream), out.ctypes.data, bound)
        return out[:size].tobytes()

    def inflate(self, payload: bytes, size: int) -> np.ndarray:
        """payload inflated into a fresh array of its known size."""
        out = np.empty(size, np.uint8)
        if self.lib.libdeflate_deflate_decompress(self.decompressor, payload, len(payload), out.ctypes.data,
                                                  size, None) != 0:
            raise ValueError("libdeflate could not inflate the payload")
        return out


# --- measuring -----------------------------------------------------------------------------------

def cpu_seconds(calls, repeats: int):
    """Median process CPU time of each call over `repeats` rounds, and each call's last result.

    The calls alternate within every round (after one untimed warm-up round), so that quorvel and
    the baseline meet the same machine load and the same state of the process's heap: whether
    glibc hands a large array fresh pages from the kernel or memory freed by the previous call
    changes a decoder's time by half."""
    results = [call() for call in calls]
    times = [[] for _ in calls]
    for _ in range(repeats):
        for k, call in enumerate(calls):
            results[k] = None
            gc.collect()
            t0 = time.process_time()
            results[k] = call()
            times[k].append(time.process_time() - t0)
    return [statistics.median(t) for t in times], results


def wall_seconds(calls, repeats: int) -> list[float]:
    """Median wall time of each call, the calls alternating within every round (one warm-up round)."""
    for call in calls:
        call()
    times = [[] for _ in calls]
    for _ in range(repeats):
        for k, call in enumerate(calls):
            t0 = time.perf_counter()
            result = call()
            times[k].append(time.perf_counter() - t0)
            del result
    return [statistics.median(t) for t in times]


def versus_libdeflate(repeats: int, libdeflate: LibDeflate) -> None:
    """Wall time of quorvel against libdeflate alone on the same bytes: decompress_signal against
    inflating its payload, compress_signal against deflating (level 6) its coefficient stream."""
    x = ecg_tiled(10**6)
    cases = []
    for method in METHODS:
        options = quorvel.TarvoCompressionOptions(method=method, scale=SCALE)
        blob = quorvel.compress_signal(x, options)
        payload = blob[HEADER:]
        stream = zlib.decompress(payload, wbits=-15)
        cases.append((method, [
            lambda blob=blob: quorvel.decompress_signal(blob),
            lambda payload=payload, size=len(stream): libdeflate.inflate(payload, size),
            lambda options=options: quorvel.compress_signal(x, options),
            lambda stream=stream: libdeflate.deflate(stream)]))
    # A long-running program's heap has settled: glibc raises its mmap and trim thresholds to the
    # largest blocks it has seen freed, after which multi-megabyte arrays come back warm from the
    # heap instead of fresh (a page fault per 4 KiB) from the kernel. One untimed pass over every
    # case lets this process settle before any is timed, so the first method is not the one to pay.
    for _, calls in cases:
        for call in calls:
            call()
    print(f"ECG 10^6, wall time, median of {repeats} interleaved rounds, ms (ratio to libdeflate):")
    for method, calls in cases:
        t_qd, t_inf, t_qc, t_def = wall_seconds(calls, repeats)
        print(f"  {method:>6}: decompress {1e3 * t_qd:6.2f} / inflate {1e3 * t_inf:6.2f} = {t_qd / t_inf:4.2f}x"
              f"   compress {1e3 * t_qc:6.2f} / deflate {1e3 * t_def:6.2f} = {t_qc / t_def:4.2f}x", flush=True)


def decode_loop(method: str, calls: int) -> None:
    """A plain loop in this fresh process: decode the 10^6 ECG and drop the result, `calls` times."""
    import resource
    blob = quorvel.compress_signal(ecg_tiled(10**6), quorvel.TarvoCompressionOptions(method=method, scale=SCALE))
    times, faults = [], []
    for _ in range(calls):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        t0 = time.perf_counter()
        samples = quorvel.decompress_signal(blob)
        times.append(time.perf_counter() - t0)
        faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
        del samples
    print(f"{method}: decode and drop, median of {calls} calls: {1e3 * statistics.median(times):.2f} ms, "
          f"{statistics.median(faults):.0f} page faults per call")


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def memory_probe(signal: str, n: int, method: str, pipeline: str, direction: str) -> None:
    """Runs in a fresh process: peak resident memory of one call above what was resident before it."""
    x = SIGNALS[signal](n)
    options = quorvel.TarvoCompressionOptions(method=method, scale=SCALE)
    if pipeline == "quorvel":
        encode = lambda: quorvel.compress_signal(x, options)  # noqa: E731
        decode = quorvel.decompress_signal
    else:
        encode = lambda: baseline_compress(x, method)  # noqa: E731
        decode = lambda blob: baseline_decompress(blob, method)  # noqa: E731
    if direction == "compress":
        call, reference = encode, x.nbytes
    else:
        blob = encode()
        del x
        gc.collect()
        call, reference = (lambda: decode(blob)), 4 * n
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # VmHWM := VmRSS
    before = status_kib("VmRSS")
    result = call()
    peak = status_kib("VmHWM")
    del result
    print(json.dumps({"peak_above": (peak - before) * 1024 / reference}))


def peak_ratio(signal: str, n: int, method: str, pipeline: str, direction: str) -> float:
    out = subprocess.run([sys.executable, __file__, "--probe", signal, str(n), method, pipeline, direction],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])["peak_above"]


def measure_case(signal: str, n: int, method: str, repeats: int, libdeflate: LibDeflate) -> dict:
    x = SIGNALS[signal](n)
    options = quorvel.TarvoCompressionOptions(method=method, scale=SCALE)
    msps = lambda seconds: n / seconds / 1e6  # noqa: E731

    stream = zlib.decompress(quorvel.compress_signal(x, options)[HEADER:], wbits=-15)
    (t_qc, t_bc, t_ld), (blob, base_blob, deflated) = cpu_seconds(
        [lambda: quorvel.compress_signal(x, options), lambda: baseline_compress(x, method),
         lambda: libdeflate.compress(stream)], repeats)
    (t_qd, t_bd), _ = cpu_seconds(
        [lambda: quorvel.decompress_signal(blob), lambda: baseline_decompress(base_blob, method)], repeats)
    return {
        "signal": signal, "n": n, "method": method,
        "q_comp": msps(t_qc), "q_decomp": msps(t_qd), "q_ratio": x.nbytes / len(blob),
        "b_comp": msps(t_bc), "b_decomp": msps(t_bd), "b_ratio": x.nbytes / len(base_blob),
        "ld_comp": msps(t_ld), "ld_ratio": x.nbytes / (HEADER + deflated),
        # Everything in compress_signal that is not libdeflate's own work, as a share of its time.
        "q_not_deflate": 1.0 - t_ld / t_qc,
    }


def run_stage_bench(binary: str) -> list[dict]:
    out = subprocess.run([binary, "--benchmark_filter=Stages", "--benchmark_format=json",
                          "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
                         check=True, capture_output=True, text=True).stdout
    return [b for b in json.loads(out)["benchmarks"] if b.get("aggregate_name") == "median"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10^6 ECG only, three repeats")
    parser.add_argument("--repeats", type=int, default=7, help="runs per timing (median); 10^7 uses 3")
    parser.add_argument("--stages", metavar="BIN", help="quorvel_codec_bench binary for the stage shares")
    parser.add_argument("--json", metavar="FILE", help="also write the raw figures as JSON")
    parser.add_argument("--versus-libdeflate", action="store_true",
                        help="only the wall-time ratios to libdeflate on the 10^6 ECG")
    parser.add_argument("--decode-loop", metavar="METHOD",
                        help="only a plain loop of decompress_signal on the 10^6 ECG, dropping each result")
    parser.add_argument("--probe", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.probe:
        signal, n, method, pipeline, direction = args.probe
        memory_probe(signal, int(n), method, pipeline, direction)
        return

    if args.decode_loop:
        decode_loop(args.decode_loop, 201)
        return
    # One core, as a user's single call gets; subprocesses inherit the pinning.
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    cases = [("ecg", 10**6)] if args.quick else [("ecg", 10**6), ("ecg", 10**7), ("smooth", 10**6),
                                                  ("noise", 10**6)]
    repeats = 3 if args.quick else args.repeats
    libdeflate = LibDeflate()
    if args.versus_libdeflate:
        versus_libdeflate(max(repeats, 15), libdeflate)
        return
    rows = []
    print("Throughput in Msamples/s (median process CPU time), ratio = input bytes / output bytes,")
    print("memory = peak resident above the input (compress) or output (decompress), in multiples of its size.")
    print("baseline = NumPy + PyWavelets + zlib level 6; libdeflate = level 6 alone on quorvel's stream;")
    print("comp x / dec x = quorvel speed / baseline speed; !defl = share of compress_signal outside DEFLATE.\n")
    header = (f"{'signal':>6} {'n':>8} {'method':>6} | {'q comp':>7} {'q dec':>7} {'ratio':>6} | "
              f"{'b comp':>7} {'b dec':>7} {'ratio':>6} | {'comp x':>6} {'dec x':>6} | "
              f"{'ld comp':>7} {'ratio':>6} {'!defl':>5} | {'q mem c':>7} {'q mem d':>7} {'b mem c':>7} {'b mem d':>7}")
    print(header)
    print("-" * len(header))
    for signal, n in cases:
        for method in METHODS:
            row = measure_case(signal, n, method, 3 if n >= 10**7 else repeats, libdeflate)
            for pipeline in ("quorvel", "baseline"):
                for direction in ("compress", "decompress"):
                    row[f"{pipeline[0]}_mem_{direction[0]}"] = peak_ratio(signal, n, method, pipeline, direction)
            rows.append(row)
            print(f"{signal:>6} {n:>8.0e} {method:>6} | {row['q_comp']:7.1f} {row['q_decomp']:7.1f} "
                  f"{row['q_ratio']:6.2f} | {row['b_comp']:7.1f} {row['b_decomp']:7.1f} {row['b_ratio']:6.2f} | "
                  f"{row['q_comp'] / row['b_comp']:6.2f} {row['q_decomp'] / row['b_decomp']:6.2f} | "
                  f"{row['ld_comp']:7.1f} {row['ld_ratio']:6.2f} {100 * row['q_not_deflate']:4.0f}% | {row['q_mem_c']:7.2f} {row['q_mem_d']:7.2f} "
                  f"{row['b_mem_c']:7.2f} {row['b_mem_d']:7.2f}", flush=True)
    if args.stages:
        print("\nShare of each stage inside the codec (C++ bench, ECG 10^6, median of 3):")
        for bench in run_stage_bench(args.stages):
            shares = {k: v for k, v in bench.items() if k.endswith("%")}
            print(f"  {bench['run_name']:<28} " + "  ".join(f"{k[:-1]} {v:4.1f}%" for k, v in shares.items()))
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=1))


if __name__ == "__main__":
    main()
