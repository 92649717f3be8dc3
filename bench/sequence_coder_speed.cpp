// Speed and size of the sequence coder alone, per effort, on the corpus codes.
//
//   quorvel_sequence_coder_speed [--data tests/data] [--rounds 9] [--fraction 1e-3] [--threads 1]
//                                [--signals ecg-1e6,eeg] [--efforts default]   (subsets, for profiling one case)
//   quorvel_sequence_coder_speed --codes FILE     (FILE: little-endian int32 codes; prints the bytes per effort)
//
// Each signal (the ECG tiled to 10^6 samples, each tile rotated by an odd number of samples as
// bench/peers.py does, then every 1-D signal of tests/data as it is) is quantised with step 2e,
// e = fraction x range, anchored at its minimum (the signal layer's grid detection is not applied here),
// and its codes go through encode_sequence and decode_sequence in blocks of 16384. Encode and decode run
// interleaved; the figures are medians over the rounds of the thread's CPU time (wall time in brackets),
// as Msamples/s and as MB/s of float32 input. A shared machine makes wall time wander; CPU time less so.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/sequence/coder.hpp"
#include "rimble/processor_tier.hpp"

namespace {

using namespace quorvel;

std::vector<float> load_npy(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  if (bytes.size() < 10) return {};
  std::uint16_t header = 0;
  std::memcpy(&header, bytes.data() + 8, 2);
  std::vector<float> out((bytes.size() - 10 - header) / 4);
  std::memcpy(out.data(), bytes.data() + 10 + header, out.size() * 4);
  return out;
}

std::vector<float> tiled(const std::vector<float>& x, std::size_t n) {
  std::vector<float> out;
  for (std::size_t tile = 0; out.size() < n; ++tile) {
    const std::size_t shift = (((2 * tile + 1) * 7919) % x.size()) | 1;
    for (std::size_t i = 0; i < x.size() && out.size() < n; ++i) out.push_back(x[(i + shift) % x.size()]);
  }
  return out;
}

std::vector<std::int32_t> quantised(const std::vector<float>& x, double fraction) {
  const auto [low, high] = std::minmax_element(x.begin(), x.end());
  const double step = 2 * fraction * (double(*high) - double(*low));
  std::vector<std::int32_t> q(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) q[i] = static_cast<std::int32_t>(std::floor((double(x[i]) - *low) / step + 0.5));
  return q;
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Timing {
  std::vector<double> cpu, wall;
  template <class F>
  void run(F&& body) {
    const auto w0 = std::chrono::steady_clock::now();
    const double c0 = cpu_seconds();
    body();
    cpu.push_back(cpu_seconds() - c0);
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
  }
  std::string rate(std::size_t n, bool with_cpu) const {
    char text[96];
    if (with_cpu)
      std::snprintf(text, sizeof text, "%7.1f (%6.1f) Ms/s %6.0f MB/s", n / median(cpu) / 1e6, n / median(wall) / 1e6,
                    4.0 * n / median(cpu) / 1e6);
    else
      std::snprintf(text, sizeof text, "       (%6.1f) Ms/s %6.0f MB/s", n / median(wall) / 1e6, 4.0 * n / median(wall) / 1e6);
    return text;
  }
};

// Whether a comma-separated list names this item (an empty list names every item).
bool listed(const std::string& list, const std::string& item) {
  return list.empty() || ("," + list + ",").find("," + item + ",") != std::string::npos;
}

const char* effort_name(Effort effort) {
  return effort == Effort::fast ? "fast" : effort == Effort::default_ ? "default" : "best";
}

void measure(const std::string& name, const std::vector<std::int32_t>& q, int rounds, std::size_t threads,
             const std::string& efforts) {
  for (const Effort effort : {Effort::fast, Effort::default_, Effort::best}) {
    if (!listed(efforts, effort_name(effort))) continue;
    const SequenceCoding coding{.effort = effort, .threads = threads};
    Timing encode, decode;
    std::size_t bytes = 0;
    bool exact = true;
    std::vector<std::int32_t> back(q.size());
    for (int r = 0; r < (effort == Effort::best ? std::max(1, rounds / 3) : rounds); ++r) {
      std::vector<std::vector<std::uint8_t>> blocks;
      encode.run([&] { blocks = encode_sequence(q, coding).value(); });
      const std::vector<std::span<const std::uint8_t>> spans(blocks.begin(), blocks.end());
      decode.run([&] { exact = decode_sequence(spans, back, coding).has_value() && exact; });
      exact = exact && back == q;
      bytes = 0;
      for (const auto& b : blocks) bytes += b.size();
    }
    std::printf("%-9s %8zu %-7s %9zu %7.2f  encode %s  decode %s%s\n", name.c_str(), q.size(), effort_name(effort), bytes,
                4.0 * double(q.size()) / double(bytes), encode.rate(q.size(), threads == 1).c_str(),
                decode.rate(q.size(), threads == 1).c_str(), exact ? "" : "  NOT EXACT");
  }
}

}  // namespace

// The bytes of each effort's blocks (of 16384) for codes from a file: bench/sequence_sizes.py's C++ half.
int print_sizes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  std::vector<std::int32_t> q(bytes.size() / 4);
  std::memcpy(q.data(), bytes.data(), q.size() * 4);
  for (const Effort effort : {Effort::fast, Effort::default_, Effort::best}) {
    const auto blocks = encode_sequence(q, {.effort = effort}).value();
    std::size_t total = 0;
    for (const auto& block : blocks) total += block.size();
    std::printf("%zu %zu ", total, blocks.size());
  }
  std::printf("\n");
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--codes") return print_sizes(argv[2]);
  std::string data = "tests/data";
  int rounds = 9;
  double fraction = 1e-3;
  std::size_t threads = 1;
  std::string signals, efforts;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--data") data = argv[i + 1];
    else if (flag == "--rounds") rounds = std::atoi(argv[i + 1]);
    else if (flag == "--fraction") fraction = std::atof(argv[i + 1]);
    else if (flag == "--threads") threads = static_cast<std::size_t>(std::atol(argv[i + 1]));
    else if (flag == "--signals") signals = argv[i + 1];
    else if (flag == "--efforts") efforts = argv[i + 1];
  }
  const char* tiers[] = {"portable", "sse", "avx"};
  std::printf("processor tier %s, max error %g x range, %zu thread(s); rates: CPU time (wall)\n",
              tiers[static_cast<int>(rimble::processor_tier())], fraction, threads);
  std::printf("%-9s %8s %-7s %9s %7s\n", "signal", "samples", "effort", "bytes", "ratio");
  const auto ecg = load_npy(data + "/ecg_mitbih208_360hz.npy");
  if (ecg.empty()) {
    std::fprintf(stderr, "no %s/ecg_mitbih208_360hz.npy (run from the repository root or pass --data)\n", data.c_str());
    return 1;
  }
  if (listed(signals, "ecg-1e6")) measure("ecg-1e6", quantised(tiled(ecg, 1000000), fraction), rounds, threads, efforts);
  for (const char* name : {"ecg_mitbih208_360hz", "speech_alsa_front_center_48k", "eeg_fp1_128hz", "mpl_membrane",
                           "co2_weekly_mauna_loa", "sst_elnino_monthly", "sunspots_yearly", "goog_adj_close_daily"}) {
    const std::string label = std::string(name).substr(0, std::string(name).find('_'));
    if (!listed(signals, label)) continue;
    measure(label, quantised(load_npy(data + "/" + name + ".npy"), fraction), rounds, threads, efforts);
  }
  return 0;
}
