// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/output_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <utility>

#include "engine/wav_writer.h"

namespace bitoner::cli {

namespace {

// Big enough that a write call costs nothing next to the synthesis of what it writes.
constexpr std::size_t kBufferBytes = 64 * 1024;

volatile std::sig_atomic_t caughtSignal = 0;

extern "C" void noteSignal(int signal) { caughtSignal = signal; }

struct sigaction previousInt {};
struct sigaction previousTerm {};

}  // namespace

InterruptGuard::InterruptGuard() {
  caughtSignal = 0;
  struct sigaction action {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a write blocked on a pipe returns, and the loop looks
  ::sigaction(SIGINT, &action, &previousInt);
  ::sigaction(SIGTERM, &action, &previousTerm);
}

InterruptGuard::~InterruptGuard() {
  ::sigaction(SIGINT, &previousInt, nullptr);
  ::sigaction(SIGTERM, &previousTerm, nullptr);
}

void InterruptGuard::reraise(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  ::raise(signal);
  std::_Exit(128 + signal);  // only if the signal was blocked
}

void throwIfInterrupted() {
  if (const int signal = caughtSignal; signal != 0) {
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
