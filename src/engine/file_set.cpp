// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/file_set.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "engine/wav_writer.h"

namespace bitoner {

namespace {

// The directory of a set, held open and locked against other sets being moved into it.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::filesystem::path& directory)
      : fd_(::open(directory.empty() ? "." : directory.c_str(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    // Where the directory cannot be opened or locked (no read permission, a file system without
    // locks) the renames still go ahead: each stays whole, only two sets may interleave.
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) {
      ::close(fd_);  // releases the lock
    }
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Without it a crash soon after the renames could show the old names again.
  void sync() const {
    if (fd_ >= 0) {
      ::fsync(fd_);
    }
  }

 private:
  int fd_;
};

class SetMove {
 public:
  explicit SetMove(std::span<const FileMove> moves) : moves_(moves) {}

  std::optional<FileSetFailure> run() {
    // A directory at a name cannot be replaced by a file: refuse before anything moves.
    for (std::size_t k = 0; k < moves_.size(); ++k) {
      struct stat status {};
      if (::lstat(moves_[k].target.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        return FileSetFailure{k, EISDIR};
      }
    }
    for (std::size_t k = 0; k < moves_.size(); ++k) {
      if (const int error = move(moves_[k]); error != 0) {
        undo();
        return FileSetFailure{k, error};
      }
    }
    return std::nullopt;
  }

 private:
  enum class Kind : std::uint8_t { Exchanged, Created, Replaced };

  // 0 or the errno of the failed rename.
  int move(const FileMove& file) {
    const char* from = file.temporary.c_str();
    const char* to = file.target.c_str();
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
      done_.push_back(Kind::Exchanged);
      return 0;
    }
    if (errno == ENOENT) {
      if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        done_.push_back(Kind::Created);
        return 0;
      }
    }
    if (errno == EINVAL || errno == ENOSYS) {
      // A file system that cannot exchange: the plain rename cannot be undone, but is whole.
      if (::rename(from, to) == 0) {
        done_.push_back(Kind::Replaced);
        return 0;
      }
    }
    return errno;
  }

  void undo() noexcept {
    for (std::size_t k = done_.size(); k-- > 0;) {
      const char* from = moves_[k].temporary.c_str();
      const char* to = moves_[k].target.c_str();
      if (done_[k] == Kind::Exchanged) {
        ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE);
      } else if (done_[k] == Kind::Created) {
        ::rename(to, from);
      }
    }
  }

  std::span<const FileMove> moves_;
  std::vector<Kind> done_;
};

// Whether the process that wrote a temporary file of ours is gone.
bool writerIsGone(std::string_view pidText) {
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
  if (ec != std::errc() || end != pidText.data() + pidText.size() || pid <= 0 ||
      pid == ::getpid()) {
    return false;
  }
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

bool allDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::optional<FileSetFailure> replaceTogether(std::span<const FileMove> moves) {
  if (moves.empty()) {
    return std::nullopt;
  }
  const DirectoryLock lock(moves.front().target.parent_path());
  std::optional<FileSetFailure> failure = SetMove(moves).run();
  if (!failure) {
    lock.sync();
  }
  return failure;
}

void removeDeadTemporaries(const std::filesystem::path& directory,
                           const std::function<bool(std::string_view targetName)>& ours) {
  std::error_code error;
  std::filesystem::directory_iterator entries(directory.empty() ? "." : directory, error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    // ".TARGET.new-PID-COUNTER"
    const std::string name = entries->path().filename().string();
    const std::size_t mark = name.rfind(kTemporaryMark);
    if (!name.starts_with('.') || mark == std::string::npos || mark < 2) {
      continue;
    }
    const std::string_view rest = std::string_view(name).substr(mark + kTemporaryMark.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos || !allDigits(rest.substr(dash + 1)) ||
        !ours(std::string_view(name).substr(1, mark - 1)) || !writerIsGone(rest.substr(0, dash))) {
      continue;
    }
    std::error_code ignored;
    if (entries->is_regular_file(ignored) && !entries->is_symlink(ignored)) {
      std::filesystem::remove(entries->path(), ignored);
    }
  }
}

}  // namespace bitoner
