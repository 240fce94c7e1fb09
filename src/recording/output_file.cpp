// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "engine/file_set.h"
#include "engine/wav_writer.h"
#include "signals/stop_signals.h"

namespace bitoner {

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
  // Found now rather than after a render of hours.
  struct stat status {};
  if (::stat(target_.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    fail(EISDIR);
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
    // A signal that cut a write short is seen before the rest blocks again; one that came with
    // the failure (SIGPIPE with EPIPE when the reader went) ends the run as that signal.
    throwIfInterrupted();
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      const int error = errno;
      throwIfInterrupted();
      if (error == EINTR) {
        continue;
      }
      fail(error);
    }
    if (written == 0) {
      fail(ENOSPC);  // a file that accepts nothing is full, whatever the kernel chose not to say
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

void OutputFile::finish() {
  flush();
  if (!ownsFd_ || fd_ < 0) {
    return;
  }
  // Without the fsync a crash soon after the rename could leave the new name with no data.
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) {
      fail(errno);
    }
  }
  // close() is where some file systems report a write that could not be completed.
  if (::close(std::exchange(fd_, -1)) != 0) {
    fail(errno);
  }
}

void OutputFile::commit() {
  OutputFile* const self = this;
  commitTogether(std::span(&self, 1));
}

void OutputFile::commitTogether(std::span<OutputFile* const> files) {
  std::vector<OutputFile*> named;
  std::vector<FileMove> moves;
  for (OutputFile* const file : files) {
    file->finish();
    if (file->ownsFd_) {
      named.push_back(file);
      moves.push_back({file->temporary_, file->target_});
    }
  }
  if (const auto failure = replaceTogether(moves)) {
    named[failure->index]->fail(failure->error);
  }
  // The old files now sit under the temporary names.
  for (OutputFile* const file : named) {
    ::unlink(file->temporary_.c_str());
    file->temporary_.clear();
  }
}

void OutputFile::fail(int error) const {
  throw FileError(target_ == kStandardOutput ? std::filesystem::path("standard output") : target_,
                  std::error_code(error, std::generic_category()));
}

}  // namespace bitoner
