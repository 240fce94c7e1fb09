// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

#include "sound/sound_service.h"

namespace bitoner::testing {

// A sound output that plays nothing at once: for runs where only the window's side is looked at.
class SilentSound : public SoundService {
 public:
  void open(std::shared_ptr<const ToneBank> /*tones*/) override {}
  void play(Tone /*tone*/) override {}
  void drain() override {}
};

}  // namespace bitoner::testing
