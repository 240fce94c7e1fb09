// SPDX-License-Identifier: GPL-3.0-or-later
// The real executable run as a user runs it, for the command-line tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace bitoner::testing {

inline std::string slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes(std::filesystem::file_size(file), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

inline std::vector<std::int16_t> samplesOf(const std::string& bytes) {
  std::vector<std::int16_t> samples(bytes.size() / sizeof(std::int16_t));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(std::int16_t));
  return samples;
}

struct Finished {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

// A started `bitoner` with its working directory in `dir`, no display and no sound server in
// its environment, standard output and error into files beside the directory (`tag` tells apart
// those of processes run side by side).
class Bitoner {
 public:
  Bitoner(const std::vector<std::string>& args, const std::filesystem::path& dir,
          const std::string& tag = "")
      : out_(dir.parent_path() / (dir.filename().string() + tag + ".out")),
        err_(dir.parent_path() / (dir.filename().string() + tag + ".err")),
        process_(
            withProgram(args),
            {dir, out_, err_, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "PULSE_SERVER"}}) {}

  ~Bitoner() {
    std::error_code ignored;
    std::filesystem::remove(out_, ignored);
    std::filesystem::remove(err_, ignored);
  }
  Bitoner(const Bitoner&) = delete;
  Bitoner& operator=(const Bitoner&) = delete;

  void signal(int number) const { process_.signal(number); }

  Finished wait() {
    Finished done;
    done.status = process_.wait();
    done.out = slurp(out_);
    done.err = slurp(err_);
    return done;
  }

 private:
  static std::vector<std::string> withProgram(std::vector<std::string> args) {
    args.insert(args.begin(), BITONER_EXECUTABLE);
    return args;
  }

  std::filesystem::path out_;
  std::filesystem::path err_;
  testing::ChildProcess process_;
};

inline Finished run(const std::vector<std::string>& args, const std::filesystem::path& dir) {
  return Bitoner(args, dir).wait();
}

inline std::vector<std::string> with(std::vector<std::string> args,
                                     const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// `bitoner render ARGS` in `dir`, which must succeed.
inline void render(const std::vector<std::string>& args, const TempDir& dir) {
  const Finished done = run(with({"render"}, args), dir.path());
  ASSERT_EQ(done.status, 0) << done.err;
}

}  // namespace bitoner::testing
