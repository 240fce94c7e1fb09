// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/output_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "engine/wav_writer.h"
#include "signals/stop_signals.h"

namespace bitoner::cli {

namespace {

// Big enough that a write call costs nothing next to the synthesis of what it writes.
constexpr std::size_t kBufferBytes = 64 * 1024;

}  // namespace

void throwIfInterrupted() {
  if (const int signal = StopSignals::received(); signal != 0) {
    throw Interrupted(signal);
  }
}

OutputFile::OutputFile(std::filesystem::path target) : target_(std::move(target)) {
  buffer_.reserve(kBufferBytes);
  if (target_ == kStandardOutput) {
    fd_ = STDOUT_FILENO;
    return;
  }
  try {
    fd_ = createTemporaryBeside(target_, temporary_);
    ownsFd_ = true;
  } catch (const std::system_error& error) {
    throw FileError(target_, error.code());
  }
}

OutputFile::~OutputFile() {
  if (ownsFd_ && fd_ >= 0) {
    ::close(fd_);
  }
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
  }
}

void OutputFile::write(std::span<const std::byte> bytes) {
  if (hash_ != nullptr) {
    hash_->update(bytes);
  }
  if (buffer_.size() + bytes.size() > kBufferBytes) {
    flush();
  }
  if (bytes.size() >= kBufferBytes) {
    writeOut(bytes);
    return;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void OutputFile::flush() {
  writeOut(buffer_);
  buffer_.clear();
}

void OutputFile::writeOut(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    // A signal that cut a large write short is seen here, before the rest blocks again.
    throwIfInterrupted();
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        throwIfInterrupted();
        continue;
      }
      fail(errno);
    }
    if (written == 0) {
      fail(ENOSPC);  // a file that accepts nothing is full, whatever the kernel chose not to say
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

void OutputFile::commit() {
  flush();
  if (!ownsFd_) {
    return;
  }
  // close() is where some file systems report a write that could not be completed.
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    fail(errno);
  }
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    fail(errno);
  }
  temporary_.clear();
}

void OutputFile::fail(int error) const {
  throw FileError(target_ == kStandardOutput ? std::filesystem::path("standard output") : target_,
                  std::error_code(error, std::generic_category()));
}

}  // namespace bitoner::cli
