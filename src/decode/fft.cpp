// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/fft.h"

#include <fftw3.h>

#include <new>
#include <string>

#include "decode/loaded_library.h"

namespace bitoner::decode {

namespace {

// FFTW's entry points, resolved once per process.
class Fftw {
 public:
  static const Fftw& library() {
    static const Fftw loaded;
    if (!loaded.library_.loaded()) {
      throw LibraryMissing(loaded.library_.failure("FFTW"));
    }
    return loaded;
  }

  decltype(&fftw_alloc_complex) allocComplex = nullptr;
  decltype(&fftw_plan_dft_1d) planDft1d = nullptr;
  decltype(&fftw_execute) execute = nullptr;
  decltype(&fftw_destroy_plan) destroyPlan = nullptr;
  decltype(&fftw_free) free = nullptr;

 private:
  Fftw() : library_("libfftw3.so.3") {
    library_.resolve(allocComplex, "fftw_alloc_complex");
    library_.resolve(planDft1d, "fftw_plan_dft_1d");
    library_.resolve(execute, "fftw_execute");
    library_.resolve(destroyPlan, "fftw_destroy_plan");
    library_.resolve(free, "fftw_free");
  }

  LoadedLibrary library_;
};

}  // namespace

Transform::Transform(std::int64_t size)
    : size_(size),
      in_(Fftw::library().allocComplex(static_cast<std::size_t>(size))),
      out_(Fftw::library().allocComplex(static_cast<std::size_t>(size))),
      plan_(Fftw::library().planDft1d(static_cast<int>(size), in_, out_, FFTW_FORWARD,
                                      FFTW_ESTIMATE)) {
  if (in_ == nullptr || out_ == nullptr || plan_ == nullptr) {
    release();
    throw std::bad_alloc();
  }
}

Transform::~Transform() { release(); }

void Transform::execute() { Fftw::library().execute(plan_); }

void Transform::release() {
  const Fftw& fftw = Fftw::library();
  if (plan_ != nullptr) {
    fftw.destroyPlan(plan_);
  }
  fftw.free(in_);
  fftw.free(out_);
}

}  // namespace bitoner::decode
