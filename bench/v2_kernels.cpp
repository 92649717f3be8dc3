// Speed of the proposed version-2 coding core on one thread: quantiser, fixed predictors, tokens
// with context classes, per-block static rANS tables, and a decoder that runs 8 blocks in lockstep.
//
//   g++ -O2 -std=c++23 bench/v2_kernels.cpp -o build-bench-v2-kernels && ./build-bench-v2-kernels [rounds]
//
// The ECG of tests/data tiled to 10^6 samples (each tile rotated by an odd number of samples, as
// bench/peers.py does), max error 1e-3 x range, step 2e, blocks of 4096. A block codes first or
// second differences (whichever has the smaller sum of magnitudes), zigzagged, as tokens (values
// below 16, else bit length and next bit, plus raw low bits) under one of 4 context tables chosen
// by the class of the previous token (its bit length against the block's median): the decoder
// reads it from a small table, so the context adds one load to each lane's serial chain. This is the default path of bench/v2_model.py without grid detection,
// interpolation or LPC; its bytes match the model's estimate to within the block headers.
// Prints bytes, encode and decode MB/s (float32 bytes / time, medians of interleaved rounds), by
// wall time and by the thread's CPU time (the second is the one to trust on a shared machine).

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr int kProbBits = 12;
constexpr uint32_t kTotal = 1u << kProbBits;
constexpr uint32_t kStateLow = 1u << 16;
#ifndef CLASSES
#define CLASSES 4
#endif
constexpr int kClasses = CLASSES;
constexpr int kTokens = 64;
constexpr int kBlock = 4096;
#ifndef LANES
#define LANES 8
#endif
constexpr int kLanes = LANES;

std::vector<float> load_npy(const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
    uint16_t header = 0;
    std::memcpy(&header, bytes.data() + 8, 2);
    const size_t start = 10 + header;
    std::vector<float> out((bytes.size() - start) / 4);
    std::memcpy(out.data(), bytes.data() + start, out.size() * 4);
    return out;
}

std::vector<float> tiled(const std::vector<float>& ecg, size_t n) {
    std::vector<float> out;
    for (size_t tile = 0; out.size() < n; ++tile) {
        const size_t shift = (((2 * tile + 1) * 7919) % ecg.size()) | 1;
        for (size_t i = 0; i < ecg.size() && out.size() < n; ++i) out.push_back(ecg[(i + shift) % ecg.size()]);
    }
    return out;
}

struct Token {
    uint32_t token, bits, raw;
};

inline Token tokenise(uint32_t u) {
    if (u < 16) return {u, 0, 0};
    const uint32_t length = 32 - std::countl_zero(u);
    const uint32_t bits = length - 2;
    return {16 + (length - 5) * 2 + ((u >> bits) & 1), bits, u & ((1u << bits) - 1)};
}

inline uint32_t context_of(uint32_t previous, uint32_t base) {
    const int length = 32 - std::countl_zero(previous);
    return static_cast<uint32_t>(std::clamp(length - static_cast<int>(base), 0, kClasses - 1));
}

struct Block {  // one coded block: what the container would hold
    uint8_t order = 1;
    uint8_t base = 0;
    std::array<std::array<uint16_t, kTokens>, kClasses> freq{};
    std::vector<uint16_t> words;  // rANS, read front to back
    std::vector<uint64_t> raw;    // raw bits, LSB first
    int64_t first = 0;            // the block's first code (its own origin)
    size_t bytes() const { return 8 + 4 * 24 + words.size() * 2 + raw.size() * 8; }
};

void normalise(const std::array<uint32_t, kTokens>& counts, std::array<uint16_t, kTokens>& freq) {
    uint64_t sum = 0;
    for (uint32_t c : counts) sum += c;
    if (sum == 0) { freq.fill(0); freq[0] = kTotal; return; }
    uint32_t given = 0, top = 0;
    for (int t = 0; t < kTokens; ++t) {
        freq[t] = counts[t] ? static_cast<uint16_t>(std::max<uint64_t>(1, counts[t] * kTotal / sum)) : 0;
        given += freq[t];
        if (freq[t] > freq[top]) top = t;
    }
    freq[top] = static_cast<uint16_t>(freq[top] + kTotal - given);
}

// First or second differences, whichever has the smaller sum of magnitudes, zigzagged into u.
uint8_t zigzag_residuals(const int64_t* q, int n, uint32_t* u) {
    int64_t cost1 = 0, cost2 = 0;
    for (int i = 1; i < n; ++i) cost1 += std::llabs(q[i] - q[i - 1]);
    for (int i = 2; i < n; ++i) cost2 += std::llabs(q[i] - 2 * q[i - 1] + q[i - 2]);
    const uint8_t order = cost2 < cost1 ? 2 : 1;
    u[0] = 0;
    for (int i = 1; i < n; ++i) {
        const int64_t r = order == 1 || i == 1 ? q[i] - q[i - 1] : q[i] - 2 * q[i - 1] + q[i - 2];
        u[i] = static_cast<uint32_t>(r >= 0 ? 2 * r : -2 * r - 1);
    }
    return order;
}

// The contexts' origin: the bit length of the block's median value, from a histogram of lengths.
uint8_t context_base(const uint32_t* u, int n) {
    std::array<int, 33> lengths{};
    for (int i = 0; i < n; ++i) ++lengths[32 - std::countl_zero(u[i])];
    int median_length = 0;
    for (int seen = lengths[0]; seen <= n / 2; seen += lengths[++median_length]) {}
    return static_cast<uint8_t>(std::max(0, median_length - kClasses / 2 + 1));
}

using Counts = std::array<std::array<uint32_t, kTokens>, kClasses>;

// Tokens, contexts and their counts; the raw bits go straight into the block, LSB first.
void tokenise_block(Block& block, const uint32_t* u, int n, uint8_t* token, uint8_t* ctx, Counts& counts) {
    uint64_t buffer = 0;
    int filled = 0;
    for (int i = 0; i < n; ++i) {
        ctx[i] = static_cast<uint8_t>(context_of(i > 0 ? u[i - 1] : 0, block.base));
        const Token t = tokenise(u[i]);
        token[i] = static_cast<uint8_t>(t.token);
        ++counts[ctx[i]][t.token];
        buffer |= static_cast<uint64_t>(t.raw) << filled;
        filled += t.bits;
        if (filled >= 64) {
            block.raw.push_back(buffer);
            filled -= 64;
            buffer = filled ? static_cast<uint64_t>(t.raw) >> (t.bits - filled) : 0;
        }
    }
    block.raw.push_back(buffer);
}

// Division by a frequency as a multiply and shift (exact for 32-bit states: the reciprocal is
// ceil(2^(32+k) / f) with k = ceil(log2 f)).
struct Symbol {
    uint64_t reciprocal;
    uint32_t freq, start, shift, limit;
};

void rans_encode(Block& block, const uint8_t* token, const uint8_t* ctx, const Counts& counts, int n) {
    std::array<std::array<Symbol, kTokens>, kClasses> symbols{};
    for (int c = 0; c < kClasses; ++c) {
        normalise(counts[c], block.freq[c]);
        uint32_t start = 0;
        for (int t = 0; t < kTokens; ++t) {
            const uint32_t f = block.freq[c][t];
            if (f) {
                const uint32_t k = 32 - std::countl_zero(f - 1);
                const uint64_t limit = std::min<uint64_t>(uint64_t((kStateLow >> kProbBits) << 16) * f, 0xFFFFFFFFu);
                symbols[c][t] = {((uint64_t(1) << (32 + k)) + f - 1) / f, f, start, 32 + k, uint32_t(limit)};
            }
            start += f;
        }
    }
    uint32_t state = kStateLow;
    std::vector<uint16_t>& words = block.words;
    words.reserve(n);
    for (int i = n - 1; i >= 0; --i) {
        const Symbol& s = symbols[ctx[i]][token[i]];
        if (state >= s.limit && s.freq < kTotal) { words.push_back(static_cast<uint16_t>(state)); state >>= 16; }
        const uint32_t quotient = static_cast<uint32_t>((uint64_t(state) * s.reciprocal) >> s.shift);
        state = (quotient << kProbBits) + (state - quotient * s.freq) + s.start;
    }
    words.push_back(static_cast<uint16_t>(state));
    words.push_back(static_cast<uint16_t>(state >> 16));
    std::reverse(words.begin(), words.end());
}

Block encode_block(const int64_t* q, int n, std::vector<uint32_t>& u, std::vector<uint8_t>& ctx,
                   std::vector<uint8_t>& token) {
    Block block;
    block.order = zigzag_residuals(q, n, u.data());
    block.first = q[0];
    block.base = context_base(u.data(), n);
    Counts counts{};
    tokenise_block(block, u.data(), n, token.data(), ctx.data(), counts);
    rans_encode(block, token.data(), ctx.data(), counts, n);
    return block;
}

struct Lane {  // one block being decoded
    const Block* block;
    const uint16_t* word;
    const uint64_t* raw;
    uint64_t buffer;
    int left;
    uint32_t state, context;
    const struct Tables* tables;
};

struct Tables {  // per context: the symbol of each slot, and each symbol's frequency and start
    std::array<std::array<uint8_t, kTotal>, kClasses> symbol;
    std::array<std::array<uint32_t, kTokens>, kClasses> freq_start;  // freq | start << 16
};

void build_tables(const Block& block, Tables& tables) {
    for (int c = 0; c < kClasses; ++c) {
        uint32_t at = 0;
        for (int t = 0; t < kTokens; ++t) {
            const uint32_t f = block.freq[c][t];
            tables.freq_start[c][t] = f | (at << 16);
            std::memset(tables.symbol[c].data() + at, t, f);
            at += f;
        }
    }
}

inline uint32_t read_bits(Lane& lane, uint32_t count) {
    if (count == 0) return 0;
    uint32_t value;
    if (count <= static_cast<uint32_t>(lane.left)) {
        value = static_cast<uint32_t>(lane.buffer & ((1ull << count) - 1));
        lane.buffer >>= count;
        lane.left -= count;
    } else {
        const uint64_t next = *lane.raw++;
        value = static_cast<uint32_t>((lane.buffer | (next << lane.left)) & ((1ull << count) - 1));
        lane.buffer = next >> (count - lane.left);
        lane.left = 64 - (count - lane.left);
    }
    return value;
}

// The context class that follows each token, for each block base: the token gives the value's bit
// length (below 16 the value itself), which is all the class needs.
const auto token_context = [] {
    std::array<std::array<uint8_t, kTokens>, 33> table{};
    for (uint32_t base = 0; base < 33; ++base)
        for (uint32_t token = 0; token < kTokens; ++token) {
            const uint32_t u = token < 16 ? token : (2u | ((token - 16) & 1)) << ((token - 16) / 2 + 3);
            table[base][token] = static_cast<uint8_t>(context_of(u, base));
        }
    return table;
}();

// Decodes kLanes blocks in lockstep: each lane's state, context and bit reader form one serial
// chain, and the lanes' chains are independent, so the core overlaps them.
void decode_group(Lane* lanes, int lanes_used, int from, int to, uint32_t** outs) {
    for (int i = from; i < to; ++i) {
        for (int l = 0; l < lanes_used; ++l) {
            Lane& lane = lanes[l];
            const uint32_t c = lane.context;
            const uint32_t slot = lane.state & (kTotal - 1);
            const uint32_t token = lane.tables->symbol[c][slot];
            const uint32_t entry = lane.tables->freq_start[c][token];
            lane.state = (entry & 0xFFFF) * (lane.state >> kProbBits) + slot - (entry >> 16);
            if (lane.state < kStateLow) lane.state = (lane.state << 16) | *lane.word++;
            uint32_t u = token;
            if (token >= 16) {
                const uint32_t length = (token - 16) / 2 + 5, bits = length - 2;
                u = ((2 | ((token - 16) & 1)) << bits) | read_bits(lane, bits);
            }
            outs[l][i] = u;
            lane.context = token_context[lane.block->base][token];
        }
    }
}

// Zigzag back to residuals, one or two prefix sums, then float32(anchor + step * q): three
// passes the compiler vectorises except the sums' carried dependency.
void undo_prediction(const Block& block, uint32_t* u, int n, float anchor, double step, float* out) {
    int32_t* r = reinterpret_cast<int32_t*>(u);
    for (int i = 0; i < n; ++i) r[i] = static_cast<int32_t>(u[i] >> 1) ^ -static_cast<int32_t>(u[i] & 1);
    if (block.order == 2)
        for (int i = 2; i < n; ++i) r[i] += r[i - 1];  // second differences to first differences
    r[0] = static_cast<int32_t>(block.first);
    for (int i = 1; i < n; ++i) r[i] += r[i - 1];
    for (int i = 0; i < n; ++i) out[i] = static_cast<float>(anchor + step * static_cast<double>(r[i]));
}

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

struct Signal {
    std::vector<float> x;
    float anchor;
    double step;
};

void encode_all(const Signal& s, std::vector<int64_t>& q, std::vector<Block>& coded) {
    static thread_local std::vector<uint32_t> u(kBlock);
    static thread_local std::vector<uint8_t> ctx(kBlock), token(kBlock);
    for (size_t i = 0; i < s.x.size(); ++i) q[i] = static_cast<int64_t>((double(s.x[i]) - s.anchor) / s.step + 0.5);
    for (size_t b = 0; b < coded.size(); ++b) {
        const int n = static_cast<int>(std::min<size_t>(kBlock, s.x.size() - b * kBlock));
        coded[b] = encode_block(q.data() + b * kBlock, n, u, ctx, token);
    }
}

void decode_all(const Signal& s, const std::vector<Block>& coded, std::vector<float>& decoded) {
    static thread_local std::vector<Tables> tables(kLanes);
    static thread_local std::vector<std::vector<uint32_t>> values(kLanes, std::vector<uint32_t>(kBlock));
    const int blocks = static_cast<int>(coded.size());
    const auto length_of = [&](int b) { return static_cast<int>(std::min<size_t>(kBlock, s.x.size() - size_t(b) * kBlock)); };
    for (int g = 0; g < blocks; g += kLanes) {
        const int used = std::min(kLanes, blocks - g);
        std::array<Lane, kLanes> lanes{};
        std::array<uint32_t*, kLanes> outs{};
        int n = kBlock;
        for (int l = 0; l < used; ++l) {
            const Block& block = coded[g + l];
            build_tables(block, tables[l]);
            lanes[l] = {&block, block.words.data() + 2, block.raw.data(), 0, 0,
                        (uint32_t(block.words[0]) << 16) | block.words[1], 0, &tables[l]};
            outs[l] = values[l].data();
            n = std::min(n, length_of(g + l));
        }
        decode_group(lanes.data(), used, 0, n, outs.data());
        for (int l = 0; l < used; ++l) {
            if (length_of(g + l) > n) decode_group(&lanes[l], 1, n, length_of(g + l), &outs[l]);  // a longer block ends alone
            undo_prediction(coded[g + l], values[l].data(), length_of(g + l), s.anchor, s.step,
                            decoded.data() + size_t(g + l) * kBlock);
        }
    }
}

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
    Signal s;
    s.x = tiled(load_npy("tests/data/ecg_mitbih208_360hz.npy"), 1'000'000);
    const auto [lo, hi] = std::minmax_element(s.x.begin(), s.x.end());
    s.anchor = *lo;
    s.step = 2e-3 * (double(*hi) - double(*lo));
    std::vector<int64_t> q(s.x.size());
    std::vector<Block> coded((s.x.size() + kBlock - 1) / kBlock);
    std::vector<float> decoded(s.x.size());
    std::vector<double> encode_s, decode_s, encode_cpu, decode_cpu;
    using clock = std::chrono::steady_clock;
    for (int round = 0; round < rounds; ++round) {
        const auto t0 = clock::now();
        const double c0 = thread_seconds();
        encode_all(s, q, coded);
        const auto t1 = clock::now();
        const double c1 = thread_seconds();
        decode_all(s, coded, decoded);
        const auto t2 = clock::now();
        const double c2 = thread_seconds();
        encode_s.push_back(std::chrono::duration<double>(t1 - t0).count());
        decode_s.push_back(std::chrono::duration<double>(t2 - t1).count());
        encode_cpu.push_back(c1 - c0);
        decode_cpu.push_back(c2 - c1);
    }
    size_t bytes = 0, wrong = 0;
    for (const Block& block : coded) bytes += block.bytes();
    for (size_t i = 0; i < s.x.size(); ++i)
        wrong += decoded[i] != static_cast<float>(s.anchor + s.step * static_cast<double>(q[i]));
    const double megabytes = s.x.size() * 4 / 1e6;
    std::printf("samples %zu, bytes %zu, ratio %.2f, wrong %zu\n", s.x.size(), bytes, s.x.size() * 4.0 / bytes, wrong);
    std::printf("wall:       encode %.0f MB/s, decode %.0f MB/s (medians of %d rounds)\n",
                megabytes / median(encode_s), megabytes / median(decode_s), rounds);
    std::printf("thread CPU: encode %.0f MB/s, decode %.0f MB/s\n", megabytes / median(encode_cpu),
                megabytes / median(decode_cpu));
}
