// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/outcome.h"

#include <iostream>
#include <string>

#include "decode/decoder.h"
#include "grab/picture.h"
#include "grab/spectrogram.h"
#include "recording/output_file.h"
#include "recording/recording_reader.h"
#include "sound/sound_service.h"

namespace bitoner::cli {

void say(std::string_view command, std::string_view text) {
  std::cerr << "bitoner " << command << ": " << text << '\n';
}

int reportOutcome(std::string_view command, const std::function<int()>& body) {
  try {
    return body();
  } catch (const Refusal& refusal) {
    say(command, refusal.what());
    return kExitRefused;
  } catch (const decode::SettingsError& error) {
    say(command, error.what());
    return kExitRefused;
  } catch (const grab::SpanError& error) {
    say(command, error.what());
    return kExitRefused;
  } catch (const Failure& error) {
    say(command, error.what());
    return kExitFailed;
  } catch (const FileError& error) {
    say(command, std::string("cannot write ") + error.what());
    return kExitFailed;
  } catch (const InputError& error) {
    say(command, std::string("cannot read ") + error.what());
    return kExitFailed;
  } catch (const decode::LibraryMissing& error) {
    say(command, error.what());
    return kExitFailed;
  } catch (const grab::PictureError& error) {
    say(command, error.what());
    return kExitFailed;
  } catch (const SoundError& error) {
    say(command, error.what());
    return kExitFailed;
  }
}

}  // namespace bitoner::cli
