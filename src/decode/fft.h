// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <stdexcept>

struct fftw_plan_s;

namespace bitoner::decode {

// The spectrum library could not be loaded; what() names it and says why.
class LibraryMissing : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A forward complex transform of one size through FFTW, with its buffers and plan. FFTW is loaded
// when the first transform is made rather than linked: only decoding and grabbing need it, and
// every other command (a beacon running for weeks on a small box above all) then neither maps it
// nor resolves its symbols at start-up. Throws LibraryMissing, or std::bad_alloc.
class Transform {
 public:
  // In place, the spectrum overwrites what was set, and the transform needs half the memory: a
  // spectrum of an hour's short sums is a hundred megabytes.
  enum class Buffers : std::uint8_t { Separate, InPlace };
  explicit Transform(std::int64_t size, Buffers buffers = Buffers::Separate);
  ~Transform();
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;

  std::int64_t size() const { return size_; }
  void set(std::int64_t k, std::complex<double> value) {
    in_[k][0] = value.real();
    in_[k][1] = value.imag();
  }
  void execute();
  // |X[k]|^2 of the last execute(), unscaled.
  double power(std::int64_t k) const { return out_[k][0] * out_[k][0] + out_[k][1] * out_[k][1]; }

 private:
  void release();

  std::int64_t size_;
  double (*in_)[2];
  double (*out_)[2];
  fftw_plan_s* plan_;
};

// The smallest power of two not below n: a transform size.
inline std::int64_t nextPowerOfTwo(std::int64_t n) {
  std::int64_t p = 1;
  while (p < n) {
    p *= 2;
  }
  return p;
}

}  // namespace bitoner::decode
