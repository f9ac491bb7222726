// Floating-point sums in the exact association order NumPy uses when it
// reduces a contiguous float64 array with `add` (its pairwise scheme), so
// that native code reproduces `arr.sum()` bit for bit.
#pragma once

#include <cstddef>

namespace quorex::kernel {

// Blocks of up to 128 elements are summed with eight interleaved
// accumulators; longer runs are split in two at a multiple of eight.
inline double pairwise_sum(const double* a, std::ptrdiff_t n) noexcept {
  if (n < 8) {
    double res = 0.0;
    for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (int j = 0; j < 8; ++j) r[j] = a[j];
    std::ptrdiff_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (int j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::ptrdiff_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// The value of `numpy.add.reduce(arr)` for a one-dimensional contiguous
// float64 array: the reduction starts from the identity 0.0.
inline double numpy_sum(const double* a, std::ptrdiff_t n) noexcept { return 0.0 + pairwise_sum(a, n); }

}  // namespace quorex::kernel
