// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/sha512.h"

#include <nettle/sha2.h>

#include <array>
#include <cstdint>

namespace bitoner::cli {

struct Sha512::State {
  sha512_ctx context{};
};

Sha512::Sha512() : state_(std::make_unique<State>()) { sha512_init(&state_->context); }

Sha512::~Sha512() = default;

void Sha512::update(std::span<const std::byte> bytes) {
  sha512_update(&state_->context, bytes.size(),
                reinterpret_cast<const std::uint8_t*>(bytes.data()));
}

std::string Sha512::hex() {
  std::array<std::uint8_t, SHA512_DIGEST_SIZE> digest{};
  sha512_digest(&state_->context, digest.size(), digest.data());
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest) {
    text += kDigits[byte >> 4U];
    text += kDigits[byte & 0xFU];
  }
  return text;
}

}  // namespace bitoner::cli
