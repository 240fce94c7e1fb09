// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/file_set.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

// Finished temporaries holding `content` for each of `targets`.
std::vector<FileMove> newSet(const std::vector<std::filesystem::path>& targets,
                             const std::string& content) {
  std::vector<FileMove> moves;
  for (const auto& target : targets) {
    const auto temporary =
        target.parent_path() / ("." + target.filename().string() + ".new-" + content);
    std::ofstream(temporary) << content;
    moves.push_back({temporary, target});
  }
  return moves;
}

// A pair replaced while a large set is being moved into the same directory, over the first and
// the last name of that set: the pair waits, so both names end up holding the same set.
TEST(ReplaceTogether, ASetMovedMeanwhileWaitsForTheOneBeingMoved) {
  const testing::TempDir dir;
  std::vector<std::filesystem::path> targets;
  for (int k = 0; k < 1000; ++k) {
    targets.push_back(dir / ("file" + std::to_string(k)));
  }
  const std::vector<FileMove> large = newSet(targets, "large");
  const std::vector<FileMove> pair = newSet({targets.front(), targets.back()}, "pair");
  std::thread mover([&] { EXPECT_FALSE(replaceTogether(large).has_value()); });
  while (testing::fileText(targets.front()) != "large") {
    std::this_thread::yield();
  }
  EXPECT_FALSE(replaceTogether(pair).has_value());
  mover.join();
  EXPECT_EQ(testing::fileText(targets.front()), "pair");
  EXPECT_EQ(testing::fileText(targets.back()), "pair");
}

}  // namespace
}  // namespace bitoner
