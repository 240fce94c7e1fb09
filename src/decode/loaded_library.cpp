// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/loaded_library.h"

#include <dlfcn.h>

namespace bitoner::decode {

LoadedLibrary::LoadedLibrary(const char* soname)
    : soname_(soname), handle_(::dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) {
    why_ = ::dlerror();
  }
}

void* LoadedLibrary::symbol(const char* name) {
  if (handle_ == nullptr) {
    return nullptr;
  }
  void* found = ::dlsym(handle_, name);
  if (found == nullptr && why_.empty()) {
    why_ = ::dlerror();
  }
  return found;
}

std::string LoadedLibrary::failure(std::string_view what) const {
  return "cannot load " + std::string(what) + " (" + soname_ + "): " + why_;
}

}  // namespace bitoner::decode
