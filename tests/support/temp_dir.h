// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace bitoner::testing {

// A file's whole content; empty where it cannot be read.
inline std::string fileText(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits up to `limit` for `file` to hold `text`; false if it never did.
inline bool waitForText(const std::filesystem::path& file, const std::string& text,
                        std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (fileText(file).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// A fresh directory under the system's temporary directory, removed with all it holds.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bitoner-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary directory from " + pattern);
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

  // The names of the entries, sorted.
  std::vector<std::string> entries() const { return entriesOf(path_); }
  static std::vector<std::string> entriesOf(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path path_;
};

// A temporary directory that is the working directory for the object's life (GO writes its tone
// files there); the previous working directory is restored before the directory is removed.
class TempWorkDir : public TempDir {
 public:
  TempWorkDir() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path());
  }
  ~TempWorkDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;

 private:
  std::filesystem::path previous_;
};

}  // namespace bitoner::testing
