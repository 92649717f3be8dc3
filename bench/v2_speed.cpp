// Version 2 alone on raw float32 files: encode and decode time per effort, and a digest of every container.
//
//   quorvel_v2_speed [--rounds 5] [--efforts fast,default,best] [--targets max_error=1e-3,rmse=3e-4]
//                    [--decode-only] FILE.f32 ...
//
// Targets are fractions of each signal's range. Each round encodes (and decodes) every file, target and
// effort once, interleaved; times are medians of the rounds' CPU times, in MB/s of float32 input. The
// last column is the FNV-1a hash of the container: a change that must keep every byte shows here first
// (bench/peers.py writes the tiled corpus signals; any .npy converted to raw float32 does).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/v2/decoder.hpp"
#include "codec/v2/encoder.hpp"

namespace {

using namespace quorvel;

std::vector<float> load_f32(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    out.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  return out;
}

std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (const std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

struct Job {
  std::string label;
  const std::vector<float>* x;
  Target target;
  Effort effort;
  std::vector<std::uint8_t> container;
  std::vector<double> encode_s, decode_s;
};

// The thread's CPU time (one thread codes): a shared machine makes wall time wander, CPU time less so.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

template <class F>
double seconds(F&& f) {
  const double start = cpu_seconds();
  f();
  return cpu_seconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  bool decode_only = false;
  std::vector<std::string> efforts = {"fast", "default", "best"}, targets = {"max_error=1e-3"}, files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) rounds = std::stoi(argv[++i]);
    else if (a == "--efforts" && i + 1 < argc) efforts = split(argv[++i]);
    else if (a == "--targets" && i + 1 < argc) targets = split(argv[++i]);
    else if (a == "--decode-only") decode_only = true;
    else files.push_back(a);
  }
  std::vector<std::vector<float>> signals;
  signals.reserve(files.size());
  for (const auto& f : files) signals.push_back(load_f32(f));
  std::vector<Job> jobs;
  for (std::size_t s = 0; s < files.size(); ++s) {
    const auto [low, high] = std::minmax_element(signals[s].begin(), signals[s].end());
    const double range = double(*high) - double(*low);
    for (const auto& t : targets) {
      const std::size_t eq = t.find('=');
      const std::string kind = t.substr(0, eq);
      const double value = std::stod(t.substr(eq + 1)) * range;
      const TargetKind k = kind == "rmse" ? TargetKind::rmse : TargetKind::max_error;
      for (const auto& e : efforts) {
        const Effort effort = e == "fast" ? Effort::fast : e == "best" ? Effort::best : Effort::default_;
        const std::string name = files[s].substr(files[s].find_last_of('/') + 1);
        jobs.push_back({name + " " + t + " " + e, &signals[s], {k, value}, effort, {}, {}, {}});
      }
    }
  }
  for (int r = 0; r < rounds; ++r) {
    for (Job& job : jobs) {
      if (!decode_only || job.container.empty()) {
        const double s = seconds([&] {
          auto c = v2::encode(*job.x, job.target, {.effort = job.effort, .threads = 1});
          job.container = c ? std::move(*c) : std::vector<std::uint8_t>{};
        });
        if (!decode_only) job.encode_s.push_back(s);
      }
      if (job.container.empty()) continue;
      job.decode_s.push_back(seconds([&] { (void)v2::decode(job.container, 1); }));
    }
  }
  std::printf("%-52s %10s %10s %10s  %s\n", "signal target effort", "bytes", "enc MB/s", "dec MB/s", "digest");
  for (const Job& job : jobs) {
    const double mb = double(job.x->size()) * 4 / 1e6;
    std::printf("%-52s %10zu %10.1f %10.1f  %016llx\n", job.label.c_str(), job.container.size(),
                job.encode_s.empty() ? 0.0 : mb / median(job.encode_s), mb / median(job.decode_s),
                static_cast<unsigned long long>(fnv1a(job.container)));
  }
}
