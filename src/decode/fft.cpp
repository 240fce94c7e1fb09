// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/fft.h"

#include <dlfcn.h>
#include <fftw3.h>

#include <new>
#include <string>

namespace bitoner::decode {

namespace {

// FFTW's entry points, resolved once per process.
class Fftw {
 public:
  static const Fftw& library() {
    static const Fftw loaded;
    if (loaded.handle_ == nullptr) {
      throw LibraryMissing(std::string("cannot load FFTW (") + kSoname + "): " + loaded.why_);
    }
    return loaded;
  }

  decltype(&fftw_alloc_complex) allocComplex = nullptr;
  decltype(&fftw_plan_dft_1d) planDft1d = nullptr;
  decltype(&fftw_execute) execute = nullptr;
  decltype(&fftw_destroy_plan) destroyPlan = nullptr;
  decltype(&fftw_free) free = nullptr;

 private:
  static constexpr const char* kSoname = "libfftw3.so.3";

  Fftw() : handle_(::dlopen(kSoname, RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
      why_ = ::dlerror();
      return;
    }
    const bool found = resolve(allocComplex, "fftw_alloc_complex") &&
                       resolve(planDft1d, "fftw_plan_dft_1d") && resolve(execute, "fftw_execute") &&
                       resolve(destroyPlan, "fftw_destroy_plan") && resolve(free, "fftw_free");
    if (!found) {
      why_ = ::dlerror();
      ::dlclose(handle_);
      handle_ = nullptr;
    }
  }

  template <typename Function>
  bool resolve(Function& function, const char* name) {
    function = reinterpret_cast<Function>(::dlsym(handle_, name));
    return function != nullptr;
  }

  void* handle_;
  std::string why_;
};

}  // namespace

Transform::Transform(std::int64_t size, Buffers buffers)
    : size_(size),
      in_(Fftw::library().allocComplex(static_cast<std::size_t>(size))),
      out_(buffers == Buffers::InPlace
               ? in_
               : Fftw::library().allocComplex(static_cast<std::size_t>(size))),
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
  if (out_ != in_) {
    fftw.free(out_);
  }
  fftw.free(in_);
}

}  // namespace bitoner::decode
