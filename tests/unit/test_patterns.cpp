// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <set>
#include <string_view>

#include "engine/patterns.h"

namespace bitoner {
namespace {

constexpr PatternTable kTable = CWchars();

TEST(PatternTable, SpotChecks) {
  EXPECT_EQ(kTable[69], "0");       // E
  EXPECT_EQ(kTable[84], "1");       // T
  EXPECT_EQ(kTable[54], "10000");   // 6
  EXPECT_EQ(kTable[72], "0000");    // H
  EXPECT_EQ(kTable['#'], "00010");  // understood
  EXPECT_EQ(kTable['*'], "01000");  // wait
  EXPECT_EQ(kTable['='], "10001");
  EXPECT_EQ(kTable['"'], "010010");
  EXPECT_TRUE(kTable[32].empty());  // space
  EXPECT_TRUE(kTable[13].empty());  // carriage return
  EXPECT_TRUE(kTable['+'].empty());
  EXPECT_TRUE(kTable[':'].empty());
}

TEST(PatternTable, EveryCodeUpToZHasAWellFormedEntry) {
  EXPECT_EQ(kTable.size(), 91U);
  std::set<std::string_view> seen;
  for (std::size_t code = 0; code < kTable.size(); ++code) {
    const std::string_view pattern = kTable[code];
    EXPECT_LE(pattern.size(), 6U) << code;
    EXPECT_EQ(pattern.find_first_not_of("01"), std::string_view::npos) << code;
    if (code < 32) {
      EXPECT_TRUE(pattern.empty()) << code;
    }
    // Two characters sending the same pattern could not be told apart by the receiver.
    if (!pattern.empty()) {
      EXPECT_TRUE(seen.insert(pattern).second) << "duplicate pattern at code " << code;
    }
  }
  for (char c = 'A'; c <= 'Z'; ++c) {
    EXPECT_FALSE(kTable[static_cast<std::size_t>(c)].empty()) << c;
  }
  for (char c = '0'; c <= '9'; ++c) {
    EXPECT_EQ(kTable[static_cast<std::size_t>(c)].size(), 5U) << c;
  }
}

}  // namespace
}  // namespace bitoner
