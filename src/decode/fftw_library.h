// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>

#include "decode/decoder.h"

struct fftw_plan_s;

namespace bitoner::decode {

// One FFTW forward transform of a fixed size, its buffers and plan freed with it. FFTW is loaded
// when the first transform is planned rather than linked: only decoding needs it, and every other
// command (a beacon running for weeks on a small box above all) then neither maps it nor resolves
// its symbols at start-up. Throws LibraryMissing when it cannot be loaded.
class Transform {
 public:
  explicit Transform(std::int64_t size);
  ~Transform();
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;

  std::int64_t size() const { return size_; }
  void set(std::int64_t k, std::complex<double> value) {
    in_[2 * k] = value.real();
    in_[2 * k + 1] = value.imag();
  }
  void execute();
  double power(std::int64_t k) const {
    return out_[2 * k] * out_[2 * k] + out_[2 * k + 1] * out_[2 * k + 1];
  }
  std::complex<double> value(std::int64_t k) const { return {out_[2 * k], out_[2 * k + 1]}; }

 private:
  void release();

  std::int64_t size_;
  double* in_ = nullptr;  // interleaved real and imaginary parts, as FFTW lays them out
  double* out_ = nullptr;
  fftw_plan_s* plan_ = nullptr;
};

// The smallest power of two not below n.
std::int64_t nextPowerOfTwo(std::int64_t n);

}  // namespace bitoner::decode
