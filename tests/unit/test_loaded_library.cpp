// SPDX-License-Identifier: GPL-3.0-or-later
// A library loaded on demand says which one is missing, and why, where it cannot be had.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "decode/loaded_library.h"

namespace bitoner::decode {
namespace {

struct Absent {
  LoadedLibrary library{"libbitoner-absent.so.0"};
};

struct LackingASymbol {
  LackingASymbol() { library.resolve(function, "bitoner_no_such_symbol"); }
  LoadedLibrary library{"libm.so.6"};
  void (*function)() = nullptr;
};

TEST(LoadedLibraryTest, AMissingLibraryOrSymbolIsRefusedNamingIt) {
  try {
    loadedOnce<Absent, std::runtime_error>("Absent");
    FAIL() << "an absent library was taken as loaded";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("cannot load Absent (libbitoner-absent.so.0): ", 0),
              0U)
        << error.what();
  }
  const LackingASymbol lacking;
  EXPECT_FALSE(lacking.library.loaded());
  EXPECT_NE(lacking.library.failure("libm").find("bitoner_no_such_symbol"), std::string::npos)
      << lacking.library.failure("libm");
}

}  // namespace
}  // namespace bitoner::decode
