"""One version-2 block in real bytes and back: the byte layout of the C++ sequence coder, in Python.

    .venv/bin/python tests/python/reference/v2_block.py   # the corpus at max error 1e-3 x range: C++-layout bytes (minutes)

Bit-exact with codec/sequence/block.hpp and codec/sequence/rans.hpp, and making the same choices as
codec/sequence/block_encoder.cpp, so that tools/make_sequence_reference.py can write blocks the C++
decoder must read back exactly. Layout, bit-packed least significant bit first:
  per segment of 4096 codes: predictor (3 bits; LPC: order - 1 (5), shift (4), width - 1 (4), the
    coefficients in `width` bits each); from the second segment on, 1 bit: a new table set follows;
    a table set: base (5), merge pattern (3), per table 1 bit preset (then 6 bits) or codes (count 7,
    first used token 7, its code 5, Exp-Golomb ranks of the others)
  byte-aligned: the number of rANS words (LEB128), the words (16-bit little-endian), the raw bits in
  decoding order (segment, round, lane), least significant bit first.
"""

from __future__ import annotations

import math
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import v2_cascade  # noqa: E402
import v2_model as m  # noqa: E402

STATE_LOW = 1 << 16
EFFORTS = ("fast", "default", "best")


class BitWriter:
    def __init__(self) -> None:
        self.bits: list[int] = []

    def put(self, value: int, count: int) -> None:
        self.bits += [(value >> i) & 1 for i in range(count)]

    def put_exp_golomb1(self, value: int) -> None:
        shifted = value + 2
        length = shifted.bit_length()
        self.put(0, length - 2)
        self.put(1, 1)
        self.put(shifted, length - 1)

    def tobytes(self) -> bytes:
        padded = self.bits + [0] * (-len(self.bits) % 8)
        return np.packbits(np.array(padded, np.uint8), bitorder="little").tobytes()


class BitReader:
    def __init__(self, data: bytes) -> None:
        self.bits = np.unpackbits(np.frombuffer(data, np.uint8), bitorder="little")
        self.position = 0

    def get(self, count: int) -> int:
        if self.position + count > self.bits.size:
            raise ValueError("past the end")
        chunk = self.bits[self.position : self.position + count]
        self.position += count
        return sum(int(b) << i for i, b in enumerate(chunk))

    def get_exp_golomb1(self) -> int:
        zeros = 0
        while self.get(1) == 0:
            zeros += 1
        return ((1 << (zeros + 1)) | self.get(zeros + 1)) - 2

    def aligned(self) -> int:
        return (self.position + 7) // 8


# ---------------------------------------------------------------- table sets


def used_range(counts: np.ndarray) -> tuple[int, int]:
    used = np.flatnonzero(counts)
    return (int(used[0]), int(used[-1]) + 1) if used.size else (0, 0)


def coded_bits(counts: np.ndarray, used: tuple[int, int], freq: np.ndarray) -> float:
    """Four partial sums, token t into sum t mod 4, as the C++ coder adds them."""
    sums = [0.0] * 4
    for t in range(*used):
        sums[t & 3] += float(counts[t]) * float(m.COST[freq[t]])
    return (sums[0] + sums[1]) + (sums[2] + sums[3])


MEANS = [float(m.top_of(np.array([t]))[0]) + (2.0 ** (m.raw_bits_of(np.array([t]))[0] - 1) if t >= 16 else 0.0)
         for t in range(m.TOKENS)]


def lround(x: float) -> int:
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


def choose_table(counts: np.ndarray, every_preset: bool) -> tuple[float, dict]:
    """(bits, table): the table made from the counts or a preset, as codec/sequence/token_tables.cpp does."""
    total = int(counts.sum())
    if total == 0:
        return 7.0, {"preset": 0}
    used = used_range(counts)
    codes = m.table_codes(counts)
    best = (m.table_bits(codes) + coded_bits(counts, used, m.frequencies(codes)), {"codes": codes})
    low, high = (0, 63) if every_preset else nearby_presets(counts, used, total)
    for k in range(low, high + 1):
        bits = 7 + coded_bits(counts, used, m.PRESETS[k])
        if bits < best[0]:
            best = (bits, {"preset": k})
    return best


def merged_counts(counts: np.ndarray, base: int, first: int, last: int) -> np.ndarray:
    classes = m.class_of_level(np.arange(m.LEVELS), base)
    return counts[(classes >= first) & (classes <= last)].sum(axis=0)


def nearby_presets(counts: np.ndarray, used: tuple[int, int], total: int) -> tuple[int, int]:
    mean = 0.0
    for t in range(*used):
        mean += float(counts[t]) * MEANS[t]
    k = lround(4 * math.log2(4 * max(mean / total, 1 / 64)))
    return min(max(k - 3, 0), 63), min(max(k + 3, 0), 63)


def table_bits_estimate(counts: np.ndarray) -> float:
    """A table's bits as the predictor search estimates them: the counts' entropy and a head of 20 bits and 3
    per used token, or the nearby presets' exact price."""
    total = int(counts.sum())
    if total == 0:
        return 7.0
    used = used_range(counts)
    twice_sum, present = 0.0, 0
    for t in range(*used):
        if counts[t]:
            twice_sum += float(counts[t]) * (2 * math.log2(int(counts[t])))
            present += 1
    best = 0.5 * (float(total) * (2 * math.log2(total)) - twice_sum) + 20 + 3 * present
    low, high = nearby_presets(counts, used, total)
    for k in range(low, high + 1):
        best = min(best, 7 + coded_bits(counts, used, m.PRESETS[k]))
    return best


def class_tables_bits(counts: np.ndarray, base: int) -> float:
    bits = 8.0
    for c in range(m.CLASSES):
        bits += table_bits_estimate(merged_counts(counts, base, c, c))
    return bits


def choose_table_set(counts: np.ndarray, base: int, thorough: bool) -> tuple[float, dict]:
    best = (math.inf, {})
    spread = 1 if thorough else 0
    for b in range(max(0, base - spread), min(31, base + spread) + 1):
        run = {(f, l): choose_table(merged_counts(counts, b, f, l), thorough)
               for f in range(m.CLASSES) for l in range(f, m.CLASSES)}
        for merge in range(8):
            bits, tables, first = 8.0, [], 0
            while first < m.CLASSES:
                last = first
                while last + 1 < m.CLASSES and (merge >> last) & 1:
                    last += 1
                bits += run[(first, last)][0]
                tables.append(run[(first, last)][1])
                first = last + 1
            if bits < best[0]:
                best = (bits, {"base": b, "merge": merge, "tables": tables})
    return best


def base_of(counts: np.ndarray) -> int:
    per_level = counts.sum(axis=1)
    total = int(per_level.sum())
    seen, median = 0, 0
    while median + 1 < m.LEVELS:
        seen += int(per_level[median])
        if seen * 2 >= total:
            break
        median += 1
    return min(max(median - m.CLASSES // 2 + 1, 0), 31)


def table_frequencies(table: dict) -> np.ndarray:
    return m.PRESETS[table["preset"]] if "preset" in table else m.frequencies(table["codes"])


def tables_of_levels(table_set: dict) -> list[np.ndarray]:
    """The frequencies of each context level's table."""
    of_class, t = [0], 0
    for c in range(1, m.CLASSES):
        t += 0 if (table_set["merge"] >> (c - 1)) & 1 else 1
        of_class.append(t)
    freq = [table_frequencies(table) for table in table_set["tables"]]
    return [freq[of_class[int(m.class_of_level(level, table_set["base"]))]] for level in range(m.LEVELS)]


def write_table_set(head: BitWriter, table_set: dict) -> None:
    head.put(table_set["base"], 5)
    head.put(table_set["merge"], 3)
    for table in table_set["tables"]:
        head.put(int("preset" in table), 1)
        if "preset" in table:
            head.put(table["preset"], 6)
            continue
        codes = table["codes"]
        first, ranks = m.code_ranks(codes)
        head.put(codes.size, 7)
        head.put(first, 7)
        head.put(int(codes[first]), 5)
        for rank in ranks:
            head.put_exp_golomb1(rank)


def read_table_set(head: BitReader) -> dict:
    table_set = {"base": head.get(5), "merge": head.get(3), "tables": []}
    for _ in range(4 - bin(table_set["merge"]).count("1")):
        if head.get(1):
            table_set["tables"].append({"preset": head.get(6)})
            continue
        count, first = head.get(7), head.get(7)
        if not 1 <= count <= m.TOKENS or first >= count:
            raise ValueError("bad table")
        codes = np.zeros(count, np.int64)
        codes[first] = head.get(5)
        if codes[first] == 0:
            raise ValueError("bad table")
        previous = first
        for t in range(first + 1, count):
            rank = head.get_exp_golomb1()
            if rank >= 32:
                raise ValueError("bad table")
            codes[t] = m.RANKS[m.predicted_code(int(codes[previous]), previous, t)][rank]
            previous = t if codes[t] else previous
        table_set["tables"].append({"codes": codes})
    return table_set


# ---------------------------------------------------------------- predictors in the head


EXTENDED = 15  # an LPC head with this shift holds a kind from 8 on, kind - 8 in its order field


def write_predictor(head: BitWriter, choice: m.Choice) -> None:
    kind = m.PREDICTORS.index(choice.kind)
    if kind >= 8:
        head.put(m.PREDICTORS.index("lpc"), 3)
        head.put(kind - 8, 5)
        head.put(EXTENDED, 4)
        if choice.kind == "periodic":
            head.put(choice.period, 16)
            head.put(choice.order - 1, 5)
            head.put(choice.shift, 4)
            write_coefficients(head, choice.coefficients)
            write_coefficients(head, choice.gains)
        return
    head.put(kind, 3)
    if choice.kind == "lms_local":
        head.put(choice.taps.bit_length() - 2, 2)
        head.put(choice.step.bit_length() - 1, 2)
    if choice.kind == "lpc":
        head.put(choice.order - 1, 5)
        head.put(choice.shift, 4)
        write_coefficients(head, choice.coefficients)


def write_coefficients(head: BitWriter, coefficients: tuple) -> None:
    """A width - 1 (4 bits) and the coefficients in that width, two's complement."""
    width = m.width(coefficients)
    head.put(width - 1, 4)
    for c in coefficients:
        head.put(c & ((1 << width) - 1), width)


def read_coefficients(head: BitReader, count: int) -> tuple:
    width = head.get(4) + 1
    coefficients = []
    for _ in range(count):
        c = head.get(width)
        coefficients.append(c - (1 << width) if c >> (width - 1) else c)
    return tuple(coefficients)


def read_predictor(head: BitReader) -> m.Choice:
    kind = head.get(3)
    if m.PREDICTORS[kind] == "lms_local":
        taps = 2 << head.get(2)
        return m.Choice("lms_local", taps=taps, step=1 << head.get(2))
    if m.PREDICTORS[kind] != "lpc":
        return m.Choice(m.PREDICTORS[kind])
    order, shift = head.get(5) + 1, head.get(4)
    if shift == EXTENDED:
        if 8 + order - 1 >= len(m.PREDICTORS):
            raise ValueError("bad predictor")
        if m.PREDICTORS[8 + order - 1] != "periodic":
            return m.Choice(m.PREDICTORS[8 + order - 1])
        period = head.get(16)
        order, shift = head.get(5) + 1, head.get(4)
        if period < m.MIN_PERIOD or shift == EXTENDED:
            raise ValueError("bad periodic predictor")
        coefficients = read_coefficients(head, order)
        return m.Choice("periodic", order, shift, coefficients, period=period,
                        gains=read_coefficients(head, m.PERIODIC_TAPS))
    return m.Choice("lpc", order, shift, read_coefficients(head, order))


# ---------------------------------------------------------------- rANS over lanes


def lanes(ways: int, count: int) -> tuple[int, list[int]]:
    """Lane length and the number of tokens of each lane of a segment of `count` tokens."""
    length = -(-count // ways)
    return length, [max(0, min(length, count - l * length)) for l in range(ways)]


def decoding_order(start: int, count: int, ways: int) -> list[int]:
    """Block positions of a segment's tokens in the order the decoder meets them."""
    length, rounds = lanes(ways, count)
    return [start + l * length + k for k in range(length) for l in range(ways) if k < rounds[l]]


def rans_encode(token: np.ndarray, layout: list[dict], ways: int) -> list[int]:
    """16-bit words, in the order the decoder reads them (see codec/sequence/rans.hpp)."""
    n = token.size
    states, words = [STATE_LOW] * ways, []
    for s in range((n + m.SEGMENT - 1) // m.SEGMENT - 1, -1, -1):
        start = s * m.SEGMENT
        count = min(m.SEGMENT, n - start)
        by_level = tables_of_levels(layout[s])
        levels = m.lane_levels(token[start : start + count], ways)
        starts = [np.concatenate([[0], np.cumsum(f)[:-1]]) for f in by_level]
        for i in reversed(decoding_order(start, count, ways)):
            lane = (i - start) // lanes(ways, count)[0]
            level, t = int(levels[i - start]), int(token[i])
            f, c = int(by_level[level][t]), int(starts[level][t])
            x = states[lane]
            if x >= f << (32 - m.PROB_BITS):
                words.append(x & 0xFFFF)
                x >>= 16
            states[lane] = ((x // f) << m.PROB_BITS) + (x % f) + c
    for x in reversed(states):
        words += [x & 0xFFFF, x >> 16]
    return words[::-1]


TOP = [int(v) for v in m.top_of(np.arange(m.TOKENS))]
RAW = [int(v) for v in m.raw_bits_of(np.arange(m.TOKENS))]
LEVEL = [int(v) for v in m.level_of(np.arange(m.TOKENS))]


def rans_decode(words: list[int], n: int, layout: list[dict], ways: int) -> np.ndarray:
    """The tokens of a block, each lane's state refilled a word at a time (plain integers throughout)."""
    if len(words) < 2 * ways:
        raise ValueError("the words cannot hold the initial states")
    states = [(words[2 * l] << 16) | words[2 * l + 1] for l in range(ways)]
    position = 2 * ways
    token = [0] * n
    for s in range((n + m.SEGMENT - 1) // m.SEGMENT):
        start = s * m.SEGMENT
        count = min(m.SEGMENT, n - start)
        length = lanes(ways, count)[0]
        by_level = [[int(v) for v in f] for f in tables_of_levels(layout[s])]
        slots = [np.repeat(np.arange(len(f)), f).tolist() for f in by_level]
        starts = [np.concatenate([[0], np.cumsum(f)[:-1]]).tolist() for f in by_level]
        for i in decoding_order(start, count, ways):
            lane = (i - start) // length
            level = 0 if (i - start) % length == 0 else LEVEL[token[i - 1]]
            x = states[lane]
            slot = x & (m.TOTAL - 1)
            t = slots[level][slot]
            x = by_level[level][t] * (x >> m.PROB_BITS) + slot - starts[level][t]
            if x < STATE_LOW:
                if position >= len(words):
                    raise ValueError("the rANS words run out")
                x = (x << 16) | words[position]
                position += 1
            states[lane] = x
            token[i] = t
    if position != len(words) or any(x != STATE_LOW for x in states):
        raise ValueError("damaged rANS stream")
    return np.array(token, np.int64)


# ---------------------------------------------------------------- blocks


def candidates(effort: str, wide: bool = False) -> list[m.Choice]:
    """The predictors an effort tries (`wide`: a lossless caller's, the best's at the default effort too,
    the cascade and LPC orders 12, 20 and 24)."""
    out = [m.Choice("identity"), m.Choice("d1")]
    if effort == "fast":
        return out + [m.Choice("d2")]
    out += [m.Choice("lpc", 8), m.Choice("lms_local", taps=8, step=2), m.Choice("lms_local", taps=16, step=1)]
    out.append(m.Choice("periodic", 8))  # where the block shows a cycle
    if effort == "default" and not wide:
        return out
    out += [m.Choice("d2"), m.Choice("interp"), m.Choice("d3")] + [m.Choice("lpc", k) for k in (2, 4, 16, 32)] + [m.Choice("lms")]
    out.append(m.Choice("lms_local", taps=4, step=4))
    return out + [m.Choice("cascade")] + [m.Choice("lpc", k) for k in (12, 20, 24)] if wide else out


def segment_counts(r: np.ndarray, ways: int, lane_step: int = 1) -> tuple[np.ndarray, int, int]:
    """Token counts by context level, the raw bits and the tokens counted, of every `lane_step`-th lane
    of a segment's residuals."""
    token, raw = m.tokens(m.zigzag(r))
    levels = m.lane_levels(token, ways)
    keep = (np.arange(r.size) // -(-r.size // ways)) % lane_step == 0
    counts = np.zeros((m.LEVELS, m.TOKENS), np.int64)
    np.add.at(counts, (levels[keep], token[keep]), 1)
    return counts, int(raw[keep].sum()), int(keep.sum())


def identity_worth_trying(q: np.ndarray, start: int, end: int) -> bool:
    """The identity is tried where the zigzagged codes' bit lengths sum to no more than their first
    differences', over every 8th code (residuals the caller made itself)."""
    at = np.arange(start, end, 8)
    before = np.where(at > 0, q[np.maximum(at - 1, 0)], 0)
    plain = m.bit_length(m.zigzag(q[at])).sum()
    return bool(plain <= m.bit_length(m.zigzag(q[at] - before)).sum())


def predict(q: np.ndarray, start: int, end: int, choice: m.Choice) -> np.ndarray:
    """Residuals of a segment: the model's predictors, and the cascade (which runs from the block's start)."""
    if choice.kind == "cascade":
        return np.array(v2_cascade.predict(q, start, end), np.int64)
    return m.predict(q, start, end, choice)


def reconstruct(q: np.ndarray, start: int, end: int, choice: m.Choice, r: np.ndarray) -> None:
    if choice.kind == "cascade":
        v2_cascade.reconstruct(q, start, end, r)
    else:
        m.reconstruct(q, start, end, choice, r)


def cascade_worth_trying(q: np.ndarray) -> bool:
    """The cascade is tried on blocks of at least a segment whose first differences (every 8th, from
    code 1) are 6 to 20 bits wide on average, as audio's are."""
    if q.size < m.SEGMENT:
        return False
    at = np.arange(1, q.size, 8)
    width = int(m.bit_length(m.zigzag(m.wrap(q[at] - q[at - 1]))).sum())
    return 6 * at.size <= width <= 20 * at.size


SLOW_MARGIN = 0.99


def segment_bits(q: np.ndarray, start: int, end: int, choice: m.Choice, ways: int, thorough: bool) -> float:
    """The estimated bits of a segment coded with `choice`: the best effort and lossless callers count every
    token, the others every other lane."""
    c, raw, counted = segment_counts(predict(q, start, end, choice), ways, 1 if thorough else 2)
    return (raw + class_tables_bits(c, base_of(c))) * (end - start) / counted + choice.head_bits()


def encode_block(q: np.ndarray, effort: str = "default", only: m.Choice | None = None, wide: bool = False) -> bytes:
    """The block's bytes, with the choices codec/sequence/block_encoder.cpp makes (`only`: every segment
    with this predictor, for tests that need each one; `wide`: a lossless caller's candidates)."""
    q = np.asarray(q, np.int64)
    n, ways = q.size, m.ways_for(q.size)
    thorough = effort == "best" or wide
    chosen, counts = [], []
    token, value = np.zeros(n, np.int64), np.zeros(n, np.int64)
    tries_periodic = any(c.kind == "periodic" for c in ([only] if only else candidates(effort, wide)))
    periods = m.find_periods(q) if tries_periodic else (0, 0)
    if only:  # alone, it codes every segment at the first cycle (or the one it names)
        periods = (only.period or periods[0] or m.MIN_PERIOD, 0)
    for start in range(0, n, m.SEGMENT):
        end = min(n, start + m.SEGMENT)
        best = (math.inf, None)
        tried = [only] if only else candidates(effort, wide)
        for candidate in tried:
            if candidate.kind == "periodic":
                continue
            if candidate.kind == "identity" and not only and not identity_worth_trying(q, start, end):
                continue
            if candidate.kind == "cascade" and not only and not cascade_worth_trying(q):
                continue
            choice = m.fit_lpc(q, start, end, candidate.order) if candidate.kind == "lpc" else candidate
            bits = segment_bits(q, start, end, choice, ways, thorough)
            if bits < best[0]:
                best = (bits, choice)
        # The periodic predictor goes last, at each of the block's cycles, and wins only in under
        # SLOW_MARGIN of the others' best bits.
        others = best[0]
        for candidate in tried:
            if candidate.kind != "periodic":
                continue
            for period in periods:  # the strongest (often a multiple of the shortest) where the shortest won
                if period and (period == periods[0] or best[1].kind == "periodic"):
                    choice = m.fit_periodic(q, start, end, candidate.order, period)
                    bits = segment_bits(q, start, end, choice, ways, thorough)
                    if bits < min(best[0], SLOW_MARGIN * others):
                        best = (bits, choice)
        chosen.append(best[1])
        counts.append(segment_counts(predict(q, start, end, best[1]), ways)[0])
        value[start:end] = m.zigzag(predict(q, start, end, best[1]))
        token[start:end] = m.tokens(value[start:end])[0]
    layout = group_segments(counts, thorough)
    head = BitWriter()
    for s, choice in enumerate(chosen):
        write_predictor(head, choice)
        new_set = s == 0 or layout[s] is not layout[s - 1]
        if s > 0:
            head.put(int(new_set), 1)
        if new_set:
            write_table_set(head, layout[s])
    words = rans_encode(token, layout, ways)
    raw = BitWriter()
    for start in range(0, n, m.SEGMENT):
        for i in decoding_order(start, min(m.SEGMENT, n - start), ways):
            raw.put(int(value[i]), int(m.raw_bits_of(np.array([token[i]]))[0]))
    packed = np.array(words, np.uint16).astype("<u2").tobytes()
    return head.tobytes() + varint(len(words)) + packed + raw.tobytes()


def group_segments(counts: list[np.ndarray], thorough: bool) -> list[dict]:
    """The table set of each segment: consecutive segments share one where that is cheaper. The best
    effort prices each group with its best table set, the others with one table per class."""
    s_count = len(counts)
    cost, start_of, sets = [0.0] + [math.inf] * s_count, [0] * (s_count + 1), {}
    for last in range(1, s_count + 1):
        for first in range(last - 1, -1, -1):
            merged = sum(counts[first:last])
            if thorough:
                sets[(first, last)] = choose_table_set(merged, base_of(merged), True)
                group_bits = sets[(first, last)][0]
            else:
                group_bits = class_tables_bits(merged, base_of(merged))
            bits = cost[first] + group_bits + (last - first)
            if bits < cost[last]:
                cost[last], start_of[last] = bits, first
    layout, last = [None] * s_count, s_count
    while last > 0:
        first = start_of[last]
        if not thorough:
            merged = sum(counts[first:last])
            sets[(first, last)] = choose_table_set(merged, base_of(merged), False)
        for s in range(first, last):
            layout[s] = sets[(first, last)][1]
        last = first
    return layout


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


def decode_block(data: bytes, n: int) -> np.ndarray:
    head = BitReader(data)
    chosen, layout = [], []
    for s in range((n + m.SEGMENT - 1) // m.SEGMENT):
        chosen.append(read_predictor(head))
        if chosen[-1].kind == "cascade" and n > 2**22:
            raise ValueError("the cascade in a stream of more than 2^22 codes")
        layout.append(read_table_set(head) if s == 0 or head.get(1) else layout[-1])
    count, at = read_varint(data, head.aligned())
    if 2 * count > len(data) - at:
        raise ValueError("more words than bytes")
    words = np.frombuffer(data[at : at + 2 * count], "<u2").astype(np.int64).tolist()
    ways = m.ways_for(n)
    token = rans_decode(words, n, layout, ways)
    raw = data[at + 2 * count :] + bytes(8)
    value, position, tokens = np.zeros(n, np.int64), 0, token.tolist()
    for start in range(0, n, m.SEGMENT):
        for i in decoding_order(start, min(m.SEGMENT, n - start), ways):
            bits = RAW[tokens[i]]  # at most 30, read from a 5-byte window at the field's first byte
            window = int.from_bytes(raw[position >> 3 : (position >> 3) + 5], "little") >> (position & 7)
            value[i] = TOP[tokens[i]] | (window & ((1 << bits) - 1))
            position += bits
    if (position + 7) // 8 != len(raw) - 8:
        raise ValueError("raw bits do not end the block")
    q = np.zeros(n, np.int64)
    residuals = m.unzigzag(value)
    for s, choice in enumerate(chosen):
        start = s * m.SEGMENT
        reconstruct(q, start, min(n, start + m.SEGMENT), choice, residuals[start : start + m.SEGMENT])
    return q


def main() -> None:
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "bench"))
    from peers import load_signals

    print(f"{'signal':<10}{'samples':>9}{'bytes':>9}  round trip")
    for name, x in load_signals().items():
        e = 1e-3 * (float(x.max()) - float(x.min()))
        q = m.quantise_max_error(x, e)[1]
        blobs = [encode_block(q[s : s + 16384]) for s in range(0, q.size, 16384)]
        decoded = np.concatenate([decode_block(b, min(16384, q.size - 16384 * i)) for i, b in enumerate(blobs)])
        print(f"{name:<10}{x.size:>9}{sum(map(len, blobs)):>9}  {np.array_equal(decoded, q)}", flush=True)


if __name__ == "__main__":
    main()
