// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace bitoner {

// A finished file under its temporary name and the name it is to replace.
struct FileMove {
  std::filesystem::path temporary;
  std::filesystem::path target;
};

// Which move of a set failed, and the errno that says why.
struct FileSetFailure {
  std::size_t index = 0;
  int error = 0;
};

// Renames finished temporaries over their targets, all in one directory, as one set: a file
// already standing at a target is exchanged with the new one, so that a failure part-way swaps the
// earlier ones back and the directory shows the old set again. The old files then sit under the
// temporary names for their writers to remove. A directory at a target is refused before anything
// moves. Other processes replacing a set in the same directory wait for each other (a lock on the
// directory for the moment of the renames), so two sets never interleave. The directory is synced
// afterwards. Nothing on success.
std::optional<FileSetFailure> replaceTogether(std::span<const FileMove> moves);

// Removes the temporary files that writers killed before they could clean up left in `directory`:
// names made by createTemporaryBeside for a target that `ours` accepts, whose writing process no
// longer runs. A live process with a reused id keeps its file.
void removeDeadTemporaries(const std::filesystem::path& directory,
                           const std::function<bool(std::string_view targetName)>& ours);

}  // namespace bitoner
