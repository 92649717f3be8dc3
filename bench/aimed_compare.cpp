// Aimed encoder against the 84 fixed settings of compress, on one signal: one JSON line per target and effort.
//
//   quorvel_aimed_compare SIGNAL.f32 [--repeats K] [--efforts fast,default,best] [--no-fixed] [--points] KIND=VALUE ...     (KIND: max_error, rmse, prd, max_bytes)
//
// SIGNAL.f32 holds raw little-endian float32 samples. For each target the
// program finds the smallest container among every method x scale 6..12 x
// cutoff that decompress turns into a signal meeting the target, then runs
// compress_aimed at each effort; encode times are medians of K runs,
// interleaved with compress at its default settings. --points prints every
// fixed setting's size and errors instead. bench/aimed.py drives it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "codec/codec.hpp"

namespace {

using namespace quorvel;

struct Errors {
  double max_abs = 0, rmse = 0, prd = 0;
};

Errors measure(const std::vector<float>& x, const std::vector<float>& y) {
  Errors e;
  double ss = 0, sx = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double d = static_cast<double>(y[i]) - x[i];
    e.max_abs = std::max(e.max_abs, std::fabs(d));
    ss += d * d;
    sx += static_cast<double>(x[i]) * x[i];
  }
  e.rmse = std::sqrt(ss / static_cast<double>(x.size()));
  e.prd = sx > 0 ? 100 * std::sqrt(ss / sx) : 0;
  return e;
}

double figure_of(const Errors& e, TargetKind kind) {
  switch (kind) {
    case TargetKind::max_error: return e.max_abs;
    case TargetKind::rmse: return e.rmse;
    case TargetKind::prd: return e.prd;
    case TargetKind::max_bytes: break;
  }
  return 0;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Smallest container of the fixed settings (methods x scales x cutoffs) meeting the target (bytes, or none).
std::optional<std::size_t> best_fixed_setting(const std::vector<float>& x, Target target) {
  std::optional<std::size_t> best;
  for (const auto& [method, method_name] : Names<CompressionMethod>::table) {
    for (std::uint8_t scale = min_scale; scale <= max_scale; ++scale) {
      for (const auto& [cutoff, cutoff_name] : Names<CutoffLevel>::table) {
        const auto container = compress(x, CompressionOptions(method, scale, cutoff));
        if (!container) continue;
        const bool meets = target.kind == TargetKind::max_bytes
                               ? container->size() <= target.value
                               : figure_of(measure(x, *decompress(*container)), target.kind) <= target.value;
        if (meets && (!best || container->size() < *best)) best = container->size();
      }
    }
  }
  return best;
}

// Every fixed setting's size and errors, for rate-distortion plots.
void print_fixed_points(const std::vector<float>& x) {
  for (const auto& [method, method_name] : Names<CompressionMethod>::table) {
    for (std::uint8_t scale = min_scale; scale <= max_scale; ++scale) {
      for (const auto& [cutoff, cutoff_name] : Names<CutoffLevel>::table) {
        const auto container = compress(x, CompressionOptions(method, scale, cutoff));
        if (!container) continue;
        const Errors e = measure(x, *decompress(*container));
        std::printf("{\"fixed\": \"%s/%d/%s\", \"bytes\": %zu, \"max_abs\": %.9g, \"rmse\": %.9g}\n",
                    std::string(method_name).c_str(), scale, std::string(cutoff_name).c_str(), container->size(),
                    e.max_abs, e.rmse);
      }
    }
  }
}


void compare(const std::vector<float>& x, const std::string& kind_name, Target target, int repeats,
             const std::string& wanted, bool with_fixed) {
  const auto fixed = with_fixed ? best_fixed_setting(x, target) : std::nullopt;
  for (const auto& [effort, effort_name] : Names<Effort>::table) {
    if (wanted.find(effort_name) == std::string::npos) continue;
    const AimOptions options{std::nullopt, effort};
    std::vector<double> aimed_times, default_times;
    std::expected<std::vector<std::uint8_t>, QuorvelError> container;
    for (int r = 0; r < repeats; ++r) {
      auto t0 = std::chrono::steady_clock::now();
      container = compress_aimed(std::span<const float>(x), target, options);
      aimed_times.push_back(seconds_since(t0));
      t0 = std::chrono::steady_clock::now();
      const auto reference = compress(x, CompressionOptions{});
      default_times.push_back(seconds_since(t0));
      if (!reference) std::abort();
    }
    std::printf("{\"kind\": \"%s\", \"target\": %.9g, \"effort\": \"%s\", \"n\": %zu, ", kind_name.c_str(),
                target.value, std::string(effort_name).c_str(), x.size());
    if (fixed) {
      std::printf("\"fixed_bytes\": %zu, ", *fixed);
    } else {
      std::printf("\"fixed_bytes\": null, ");
    }
    std::printf("\"aimed_seconds\": %.6g, \"default_seconds\": %.6g, ", median(aimed_times), median(default_times));
    if (!container) {
      std::printf("\"aimed_bytes\": null, \"error\": \"%s\"}\n", container.error().message().c_str());
      continue;
    }
    const auto decoded = decompress(*container);
    const Errors e = measure(x, *decoded);
    const double achieved = target.kind == TargetKind::max_bytes ? container->size() : figure_of(e, target.kind);
    std::printf("\"aimed_bytes\": %zu, \"achieved\": %.9g, \"max_abs\": %.9g, \"rmse\": %.9g, \"method\": \"%.4s\", "
                "\"levels\": %d, \"met\": %s}\n",
                container->size(), achieved, e.max_abs, e.rmse, reinterpret_cast<const char*>(container->data() + 8),
                (*container)[12], achieved <= target.value ? "true" : "false");
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SIGNAL.f32 [--repeats K] KIND=VALUE ...\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<float> x(bytes.size() / sizeof(float));
  std::memcpy(x.data(), bytes.data(), x.size() * sizeof(float));
  int repeats = 1;
  std::string efforts = "fast,default,best";
  bool with_fixed = true;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repeats" && i + 1 < argc) {
      repeats = std::max(1, std::atoi(argv[++i]));
      continue;
    }
    if (arg == "--efforts" && i + 1 < argc) {
      efforts = argv[++i];
      continue;
    }
    if (arg == "--points") {
      print_fixed_points(x);
      continue;
    }
    if (arg == "--no-fixed") {
      with_fixed = false;
      continue;
    }
    const auto eq = arg.find('=');
    const auto kind = eq == std::string::npos ? std::nullopt : from_name<TargetKind>(arg.substr(0, eq));
    if (!kind) {
      std::fprintf(stderr, "bad target %s\n", arg.c_str());
      return 2;
    }
    compare(x, arg.substr(0, eq), Target{*kind, std::stod(arg.substr(eq + 1))}, repeats, efforts, with_fixed);
  }
  return 0;
}
