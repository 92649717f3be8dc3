"""One version-2 block in real bytes, and back: the byte-level half of bench/v2_model.py.

    .venv/bin/python bench/v2_block.py          # every corpus signal at max error 1e-3 x range (a few minutes)

A block holds the codes q of up to a few thousand samples. Layout, bit-packed LSB first, then
byte-aligned parts:
  4 bits predictor (d1 d2 d3 lpc2 lpc4 lpc8 lpc16 lpc32 interp); LPC: 4 bits shift, 16 bits per coefficient
  5 bits context base; per context 1 bit (preset or table), then 6 bits preset or 7 bits count + 5 bits per token
  varint count of 16-bit rANS words, the words, then the raw bits to the end of the block
"""

from __future__ import annotations

import math
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import v2_model as m  # noqa: E402

PREDICTORS = ("d1", "d2", "d3", "lpc2", "lpc4", "lpc8", "lpc16", "lpc32", "interp")
CLASSES = 4


class BitWriter:
    def __init__(self) -> None:
        self.bits: list[int] = []

    def put(self, value: int, count: int) -> None:
        self.bits += [(value >> i) & 1 for i in range(count)]

    def tobytes(self) -> bytes:
        padded = self.bits + [0] * (-len(self.bits) % 8)
        return np.packbits(np.array(padded, np.uint8), bitorder="little").tobytes()


class BitReader:
    def __init__(self, data: bytes) -> None:
        self.bits = np.unpackbits(np.frombuffer(data, np.uint8), bitorder="little")
        self.position = 0

    def get(self, count: int) -> int:
        chunk = self.bits[self.position : self.position + count]
        self.position += count
        return int(np.dot(chunk.astype(np.int64), 1 << np.arange(count, dtype=np.int64))) if count else 0

    def aligned(self) -> int:
        return (self.position + 7) // 8


def varint(value: int) -> bytes:
    out = bytearray()
    while True:
        out.append((value & 0x7F) | (0x80 if value > 0x7F else 0))
        value >>= 7
        if not value:
            return bytes(out)


def read_varint(data: bytes, at: int) -> tuple[int, int]:
    value, shift = 0, 0
    while True:
        byte = data[at]
        value |= (byte & 0x7F) << shift
        at, shift = at + 1, shift + 7
        if byte < 0x80:
            return value, at


def predict(q: np.ndarray, predictor: str) -> tuple[np.ndarray, tuple]:
    if predictor.startswith("d"):
        return m.fixed_residuals(q, int(predictor[1:])), ()
    if predictor == "interp":
        return m.interpolation_residuals(q), ()
    coefs, shift = m.lpc_coefficients(q, int(predictor[3:]))
    return m.lpc_residuals(q, coefs, shift), (coefs, shift)


def unpredict(r: np.ndarray, predictor: str, parameters: tuple) -> np.ndarray:
    if predictor.startswith("d"):
        q = r
        for _ in range(int(predictor[1:])):
            q = np.cumsum(q)
        return q
    if predictor == "interp":
        return m.interpolation_decode(r)
    return m.lpc_decode(r, *parameters)


def encode_block(q: np.ndarray) -> bytes:
    """The cheapest predictor's residuals under per-context models, in real bytes."""
    costs = []
    for predictor in PREDICTORS:
        r, parameters = predict(q, predictor)
        u = m.zigzag(r)
        token, raw = m.tokens(u)
        base = m.context_base(u, CLASSES)
        context = m.contexts(u, CLASSES, base)
        bits = m.block_bits(token, raw, context, CLASSES) + (16 * len(parameters[0]) + 4 if parameters else 0)
        costs.append((bits, predictor, parameters, u, token, raw, base, context))
    _, predictor, parameters, u, token, raw, base, context = min(costs, key=lambda c: c[0])
    head = BitWriter()
    head.put(PREDICTORS.index(predictor), 4)
    if parameters:
        head.put(parameters[1], 4)
        for c in parameters[0]:
            head.put(int(c) & 0xFFFF, 16)
    head.put(base, 5)
    tables = []
    for c in range(CLASSES):
        _, preset, codes = m.context_model(token[context == c])
        head.put(int(preset >= 0), 1)
        if preset >= 0:
            head.put(preset, 6)
            tables.append(m.PRESETS[preset])
        else:
            head.put(codes.size, 7)
            for code in codes:
                head.put(int(code), 5)
            tables.append(m.frequencies(codes) if codes.size else np.ones(1, np.int64) * m.TOTAL)
    words = m.rans_encode(token, tables, context, ways(q.size))
    tail = BitWriter()
    for value, count in zip(u, raw):
        tail.put(int(value) & ((1 << int(count)) - 1), int(count))
    packed = np.array(words, np.uint16).astype("<u2").tobytes()
    return head.tobytes() + varint(len(words)) + packed + tail.tobytes()


def ways(n: int) -> int:
    return 4 if n >= 2048 else 1


def decode_block(data: bytes, n: int) -> np.ndarray:
    head = BitReader(data)
    predictor = PREDICTORS[head.get(4)]
    parameters: tuple = ()
    if predictor.startswith("lpc"):
        shift, order = head.get(4), min(int(predictor[3:]), n - 1)
        coefs = np.array([head.get(16) for _ in range(order)], np.int64)
        parameters = (np.where(coefs >= 1 << 15, coefs - (1 << 16), coefs), shift)
    base = head.get(5)
    tables = []
    for _ in range(CLASSES):
        if head.get(1):
            tables.append(m.PRESETS[head.get(6)])
        else:
            codes = np.array([head.get(5) for _ in range(head.get(7))], np.int64)
            tables.append(m.frequencies(codes) if codes.size else np.ones(1, np.int64) * m.TOTAL)
    count, at = read_varint(data, head.aligned())
    words = np.frombuffer(data[at : at + 2 * count], "<u2").astype(np.int64).tolist()
    tail = BitReader(data[at + 2 * count :])
    u = np.zeros(n, np.int64)

    # The context of value i comes from the two values before it, which the loop has finished.
    def classes_of(i: int, token: np.ndarray) -> int:
        if i > 0:
            u[i - 1] = value_of(int(token[i - 1]), tail)
        magnitude = ((int(u[i - 1]) if i > 0 else 0) + (int(u[i - 2]) if i > 1 else 0) + 1) >> 1
        return min(max(magnitude.bit_length() - base, 0), CLASSES - 1)

    token = m.rans_decode(words, n, tables, classes_of, ways(n))
    u[n - 1] = value_of(int(token[n - 1]), tail)
    return unpredict(m.unzigzag(u), predictor, parameters)


def value_of(token: int, tail: BitReader) -> int:
    if token < m.DIRECT:
        return token
    length, half = (token - m.DIRECT) // 2 + 5, (token - m.DIRECT) % 2
    top = (2 | half) << (length - 2)
    return top | tail.get(length - 2)


def main() -> None:
    from entropy_probe import HEADER_BYTES, Variant, coded_bytes
    from peers import load_signals

    print(f"{'signal':<10}{'samples':>9}{'real bytes':>12}{'estimate':>10}  exact")
    for name, x in load_signals().items():
        e = 1e-3 * (float(x.max()) - float(x.min()))
        grid, q = m.quantise_max_error(x, e)
        blobs = [encode_block(q[s : s + 4096]) for s in range(0, q.size, 4096)]
        decoded = np.concatenate([decode_block(blob, min(4096, q.size - 4096 * i)) for i, blob in enumerate(blobs)])
        within = np.max(np.abs(grid.samples(decoded).astype(np.float64) - x)) <= e
        # Each block also pays its index entry (3 bytes) and its CRC32C (4), as the estimate does.
        real = HEADER_BYTES + sum(len(b) + 7 for b in blobs)
        estimate = coded_bytes(x, "max_error", e, Variant("v2"), {})
        print(f"{name:<10}{x.size:>9}{real:>12}{estimate:>10}  {np.array_equal(decoded, q) and within}", flush=True)


if __name__ == "__main__":
    main()
