// Filter banks against PyWavelets: tests/data/pywt_filter_bank.bin holds
// PyWavelets' forward and inverse transforms for 11 filters (2 to 24 taps),
// every border mode and odd and even lengths (tools/make_pywt_reference.py
// explains the index alignment, which is one to one).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/rimble.hpp"

namespace {

using rimble::BorderMode;

struct Case {
  BorderMode mode;
  std::vector<float> low;
  std::vector<float> x;
  std::vector<double> approx;
  std::vector<double> details;
  std::vector<double> rebuilt;
};

class Reader {
 public:
  explicit Reader(std::vector<char> bytes) : bytes_(std::move(bytes)) {}
  template <class T>
  T take() {
    T value{};
    if (position_ + sizeof(T) > bytes_.size()) throw std::runtime_error("truncated reference file");
    std::memcpy(&value, bytes_.data() + position_, sizeof(T));
    position_ += sizeof(T);
    return value;
  }
  template <class T>
  std::vector<T> take(std::size_t count) {
    std::vector<T> out(count);
    for (auto& v : out) v = take<T>();
    return out;
  }
  bool done() const { return position_ == bytes_.size(); }

 private:
  std::vector<char> bytes_;
  std::size_t position_ = 0;
};

std::vector<Case> load_cases() {
  std::ifstream file(std::string(QUORVEL_TEST_DATA_DIR) + "/pywt_filter_bank.bin", std::ios::binary);
  Reader reader(std::vector<char>(std::istreambuf_iterator<char>(file), {}));
  if (reader.take<std::uint32_t>() != 0x52575051u) throw std::runtime_error("not a QPWR file");  // "QPWR"
  if (reader.take<std::uint32_t>() != 1) throw std::runtime_error("unknown QPWR version");
  std::vector<Case> cases(reader.take<std::uint32_t>());
  for (Case& c : cases) {
    c.mode = static_cast<BorderMode>(reader.take<std::uint32_t>());
    const std::size_t taps = reader.take<std::uint32_t>();
    const std::size_t n = reader.take<std::uint32_t>();
    const std::size_t m = (n + taps - 1) / 2;
    c.low = reader.take<float>(taps);
    c.x = reader.take<float>(n);
    c.approx = reader.take<double>(m);
    c.details = reader.take<double>(m);
    c.rebuilt = reader.take<double>(2 * m - taps + 2);
  }
  if (!reader.done()) throw std::runtime_error("trailing bytes in reference file");
  return cases;
}

// The fixed-length executor for the case's tap count, or none.
std::shared_ptr<const rimble::IncompleteDwtExecutor<float>> fixed_for(const Case& c) {
  const auto make = [&]<std::size_t L>() -> std::shared_ptr<const rimble::IncompleteDwtExecutor<float>> {
    std::array<float, L> low{};
    std::copy(c.low.begin(), c.low.end(), low.begin());
    return std::make_shared<const rimble::WaveletFixedTaps<float, L>>(c.mode, low);
  };
  switch (c.low.size()) {
    case 2: return make.operator()<2>();
    case 4: return make.operator()<4>();
    case 6: return make.operator()<6>();
    case 8: return make.operator()<8>();
    case 10: return make.operator()<10>();
    case 12: return make.operator()<12>();
    case 16: return make.operator()<16>();
    default: return nullptr;
  }
}

double sum_abs(const std::vector<float>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0, [](double s, float x) { return s + std::fabs(x); });
}

double max_abs(const std::vector<float>& v) {
  double m = 0;
  for (const float x : v) m = std::max(m, static_cast<double>(std::fabs(x)));
  return m;
}

template <class T>
void expect_within(const std::vector<T>& got, const std::vector<double>& want, double tolerance, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(got[i], want[i], tolerance) << what << "[" << i << "]";
  }
}

TEST(FilterBankReference, ForwardAndInverseMatchPyWavelets) {
  const auto cases = load_cases();
  ASSERT_EQ(cases.size(), 275u);
  for (const Case& c : cases) {
    const std::size_t taps = c.low.size();
    SCOPED_TRACE("L=" + std::to_string(taps) + " n=" + std::to_string(c.x.size()) + " " +
                 fixtures::mode_name(c.mode));
    std::vector<std::shared_ptr<const rimble::IncompleteDwtExecutor<float>>> executors = {
        std::make_shared<const rimble::WaveletNTaps<float>>(c.mode, c.low)};
    if (auto fixed = fixed_for(c)) executors.push_back(fixed);

    // The references are exact for the float32 inputs; a float32 sum of L
    // rounded products errs by at most about L * 2^-24 * sum |h_k x_k|, bounded
    // here by L * 2^-23 * sum|h| * max|x| (a factor 2 of margin). A misaligned
    // index or a wrong border sample errs by the size of a sample.
    const double unit = static_cast<double>(taps) * std::ldexp(1.0, -23) * sum_abs(c.low);
    const double forward_tolerance = unit * max_abs(c.x);
    std::vector<float> a32(c.approx.begin(), c.approx.end());
    std::vector<float> d32(c.details.begin(), c.details.end());
    // Each inverse sample adds L products of a low- or high-pass tap (both
    // filters have the same taps up to sign) with a band value.
    const double inverse_tolerance = 2 * unit * std::max(max_abs(a32), max_abs(d32));

    for (const auto& executor : executors) {
      std::vector<float> approx(c.approx.size()), details(c.details.size());
      const auto forward = executor->execute_forward(c.x, approx, details);
      ASSERT_TRUE(forward.has_value()) << forward.error().message();
      expect_within(approx, c.approx, forward_tolerance, "approx");
      expect_within(details, c.details, forward_tolerance, "details");

      std::vector<float> rebuilt(executor->idwt_size({a32.size(), d32.size()}));
      const auto inverse = executor->execute_inverse(a32, d32, rebuilt);
      ASSERT_TRUE(inverse.has_value()) << inverse.error().message();
      expect_within(rebuilt, c.rebuilt, inverse_tolerance, "rebuilt");
    }
  }
}

}  // namespace
