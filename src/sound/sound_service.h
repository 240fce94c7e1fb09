#pragma once

#include <stdexcept>
#include <string>

namespace bitoner {

// The sound server is unreachable or was lost; what() gives the server's own reason.
class SoundError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Plays tone files one after another as one continuous signal. Names are matched against the files
// in the working directory without regard to letter case, as the keying sequencer's names expect.
class SoundService {
 public:
  virtual ~SoundService() = default;

  // Makes sure the sound server can be reached before a run starts. Throws SoundError.
  virtual void open() = 0;

  // Starts the named file at once, straight after what is still queued, and returns when at most
  // one short buffer (50 ms or less) of it remains queued. Returns false if the file could not be
  // read and was skipped. Throws SoundError if the server is lost.
  virtual bool play(const std::string& name) = 0;

  // Waits until everything queued has been heard. Throws SoundError if the server is lost.
  virtual void drain() = 0;
};

}  // namespace bitoner
