// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace bitoner::testing {

static_assert(std::is_same_v<short, std::int16_t>, "libsndfile's short samples are 16-bit");

// The samples of a sound file as libsndfile, an independent reader, finds them, interleaved; its
// format, rate and channels go to `info` when given. Throws std::runtime_error if it cannot open.
inline std::vector<std::int16_t> readWavSamples(const std::filesystem::path& file,
                                                SF_INFO* info = nullptr) {
  SF_INFO found{};
  SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &found);
  if (sound == nullptr) {
    throw std::runtime_error("cannot read " + file.string() + ": " + sf_strerror(nullptr));
  }
  std::vector<std::int16_t> samples(static_cast<std::size_t>(found.frames * found.channels));
  const sf_count_t read = sf_readf_short(sound, samples.data(), found.frames);
  sf_close(sound);
  samples.resize(static_cast<std::size_t>(read > 0 ? read * found.channels : 0));
  if (info != nullptr) {
    *info = found;
  }
  return samples;
}

}  // namespace bitoner::testing
