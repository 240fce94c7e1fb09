// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace bitoner {

// The SHA-512 digest of bytes given in pieces (by Libgcrypt).
class Sha512 {
 public:
  Sha512();
  ~Sha512();
  Sha512(const Sha512&) = delete;
  Sha512& operator=(const Sha512&) = delete;

  void update(std::span<const std::byte> bytes);
  // The digest of everything given, as 128 lower-case hexadecimal digits.
  std::string hex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace bitoner
