// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace bitoner::decode {

// A shared library opened when it is first needed rather than linked: the commands that do not
// need it (a beacon running for weeks on a small box above all) then neither map it nor bind its
// symbols at start-up. The packages name such a library as a dependency of their own.
class LoadedLibrary {
 public:
  // Opens `soname`, binding its symbols at once; loaded() tells whether it could.
  explicit LoadedLibrary(const char* soname);
  // Never closed: a library keeps caches of its own (FFTW its planner's) that must stay
  // reachable for the process's life, and unmapping it at exit gains nothing.
  ~LoadedLibrary() = default;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  // Points `function` at the library's symbol `name`; a missing one makes loaded() false.
  template <typename Function>
  void resolve(Function& function, const char* name) {
    function = reinterpret_cast<Function>(symbol(name));
  }
  // The library is open and every symbol asked for was found.
  bool loaded() const { return handle_ != nullptr && why_.empty(); }
  // "cannot load WHAT (SONAME): the loader's reason", for when it is not loaded.
  std::string failure(std::string_view what) const;

 private:
  void* symbol(const char* name);

  std::string soname_;
  void* handle_;
  std::string why_;
};

// A library's table of entry points, made once per process when first asked for. `Table` holds a
// LoadedLibrary named `library` and resolves its members in its constructor. Throws `Error` with
// the loader's reason, naming the library as `what`, when the library or a symbol is missing.
template <typename Table, typename Error>
const Table& loadedOnce(std::string_view what) {
  static const Table table;
  if (!table.library.loaded()) {
    throw Error(table.library.failure(what));
  }
  return table;
}

}  // namespace bitoner::decode
