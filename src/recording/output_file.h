// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "recording/sha512.h"

namespace bitoner {

// A file could not be written; what() names the file and the system's reason.
class FileError : public std::runtime_error {
 public:
  FileError(const std::filesystem::path& file, std::error_code reason)
      : std::runtime_error(file.string() + ": " + reason.message()) {}
};

// The run was interrupted by a stop signal.
class Interrupted : public std::runtime_error {
 public:
  explicit Interrupted(int signal) : std::runtime_error("interrupted"), signal_(signal) {}
  int signal() const { return signal_; }

 private:
  int signal_;
};

// Throws Interrupted once a stop signal has come while StopSignals catch them.
void throwIfInterrupted();

// Bytes on their way to a file under its final name. A regular file is written to a new temporary
// file beside it, synced, and renamed over it by commit(), so the name never shows a partial file
// and an existing file is untouched until the new one is complete; without commit() the temporary
// file is removed. Standard output ("-") is written straight through. Errors throw FileError.
class OutputFile {
 public:
  // The name that means standard output.
  static constexpr const char* kStandardOutput = "-";

  // A directory at `target` is refused at once, before anything is written.
  explicit OutputFile(std::filesystem::path target);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(std::span<const std::byte> bytes);
  void write(const std::string& text) { write(std::as_bytes(std::span(text.data(), text.size()))); }

  // Writes what is buffered; for a file also syncs and closes it and renames it into place.
  void commit();

  // Commits files that belong together (a SigMF pair) as one: either all of them replace what
  // stood under their names, or, on any failure, none does and the old files are as they were.
  // Another process committing into the same directory waits until these are in place.
  static void commitTogether(std::span<OutputFile* const> files);

  const std::filesystem::path& target() const { return target_; }
  // From now on every byte written also goes into `hash`, which must outlive the writes.
  void digestInto(Sha512& hash) { hash_ = &hash; }

 private:
  void flush();
  void writeOut(std::span<const std::byte> bytes);
  // Writes what is buffered, syncs and closes the file, leaving it under its temporary name.
  void finish();
  [[noreturn]] void fail(int error) const;

  std::filesystem::path target_;
  std::filesystem::path temporary_;  // empty for standard output
  int fd_ = -1;
  bool ownsFd_ = false;
  std::vector<std::byte> buffer_;
  Sha512* hash_ = nullptr;
};

}  // namespace bitoner
