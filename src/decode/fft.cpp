// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/fft.h"

#include <fftw3.h>

#include <new>
#include <string>

#include "decode/loaded_library.h"

namespace bitoner::decode {

namespace {

// FFTW's entry points.
struct Fftw {
  Fftw() {
    library.resolve(allocComplex, "fftw_alloc_complex");
    library.resolve(planDft1d, "fftw_plan_dft_1d");
    library.resolve(execute, "fftw_execute");
    library.resolve(destroyPlan, "fftw_destroy_plan");
    library.resolve(free, "fftw_free");
  }

  LoadedLibrary library{"libfftw3.so.3"};
  decltype(&fftw_alloc_complex) allocComplex = nullptr;
  decltype(&fftw_plan_dft_1d) planDft1d = nullptr;
  decltype(&fftw_execute) execute = nullptr;
  decltype(&fftw_destroy_plan) destroyPlan = nullptr;
  decltype(&fftw_free) free = nullptr;
};

const Fftw& fftw() { return loadedOnce<Fftw, LibraryMissing>("FFTW"); }

}  // namespace

Transform::Transform(std::int64_t size, Buffers buffers)
    : size_(size),
      in_(fftw().allocComplex(static_cast<std::size_t>(size))),
      out_(buffers == Buffers::InPlace ? in_ : fftw().allocComplex(static_cast<std::size_t>(size))),
      plan_(fftw().planDft1d(static_cast<int>(size), in_, out_, FFTW_FORWARD, FFTW_ESTIMATE)) {
  if (in_ == nullptr || out_ == nullptr || plan_ == nullptr) {
    release();
    throw std::bad_alloc();
  }
}

Transform::~Transform() { release(); }

void Transform::execute() { fftw().execute(plan_); }

void Transform::release() {
  const Fftw& loaded = fftw();
  if (plan_ != nullptr) {
    loaded.destroyPlan(plan_);
  }
  if (out_ != in_) {
    loaded.free(out_);
  }
  loaded.free(in_);
}

}  // namespace bitoner::decode
