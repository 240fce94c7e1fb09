// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace bitoner::fuzz {

// Takes a fuzz input apart: texts end at a NUL byte (or the end), numbers take raw bytes.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  std::string text() {
    const std::size_t end = rest_.find('\0');
    std::string taken(rest_.substr(0, end));
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    return taken;
  }

  template <typename Number>
  Number raw() {
    Number value{};
    const std::size_t count = rest_.size() < sizeof value ? rest_.size() : sizeof value;
    std::memcpy(&value, rest_.data(), count);
    rest_.remove_prefix(count);
    return value;
  }

 private:
  std::string_view rest_;
};

// A broken property: say which, and crash so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

}  // namespace bitoner::fuzz
