// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/sha512.h"

#include <gcrypt.h>

#include <stdexcept>
#include <string_view>

namespace bitoner {

namespace {

// Libgcrypt wants setting up once before its first use; the sound library may already have done
// it in this process (libsystemd, which it loads, uses Libgcrypt too).
void setUpLibgcrypt() {
  static const bool ready = [] {
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P) == 0) {
      gcry_check_version(nullptr);
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);  // a digest of public data: nothing to lock away
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    return true;
  }();
  static_cast<void>(ready);
}

}  // namespace

struct Sha512::State {
  gcry_md_hd_t handle = nullptr;
};

Sha512::Sha512() : state_(std::make_unique<State>()) {
  setUpLibgcrypt();
  if (const gcry_error_t error = gcry_md_open(&state_->handle, GCRY_MD_SHA512, 0); error != 0) {
    throw std::runtime_error(std::string("SHA-512 is not available: ") + gcry_strerror(error));
  }
}

Sha512::~Sha512() { gcry_md_close(state_->handle); }

void Sha512::update(std::span<const std::byte> bytes) {
  gcry_md_write(state_->handle, bytes.data(), bytes.size());
}

std::string Sha512::hex() {
  const unsigned char* digest = gcry_md_read(state_->handle, GCRY_MD_SHA512);
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string text;
  for (unsigned int k = 0; k < gcry_md_get_algo_dlen(GCRY_MD_SHA512); ++k) {
    text += kDigits[digest[k] >> 4U];
    text += kDigits[digest[k] & 0xFU];
  }
  return text;
}

}  // namespace bitoner
