// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace bitoner::bench {

// Insertions, deletions and substitutions that turn `a` into `b`: the character errors of a
// decoded text against the one sent.
inline std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) {
    row[j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0U : 1U)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// For each character of `a`, whether `b` keeps it unchanged where the fewest edits turn one into
// the other: a character deleted or replaced is lost, and so is the one that an insertion comes
// before (the last one for insertions after the end).
inline std::vector<bool> lostCharacters(const std::string& a, const std::string& b) {
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  std::vector<std::vector<std::size_t>> cost(n + 1, std::vector<std::size_t>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) {
    for (std::size_t j = 0; j <= m; ++j) {
      cost[i][j] = i == 0   ? j
                   : j == 0 ? i
                            : std::min({cost[i - 1][j] + 1, cost[i][j - 1] + 1,
                                        cost[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0U : 1U)});
    }
  }
  std::vector<bool> lost(n, false);
  std::size_t i = n;
  std::size_t j = m;
  while (i > 0 || j > 0) {
    if (i > 0 && j > 0 && cost[i][j] == cost[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0U : 1U)) {
      lost[i - 1] = lost[i - 1] || a[i - 1] != b[j - 1];
      --i;
      --j;
    } else if (i > 0 && cost[i][j] == cost[i - 1][j] + 1) {
      lost[--i] = true;
    } else {
      --j;
      if (n > 0) {
        lost[std::min(i, n - 1)] = true;
      }
    }
  }
  return lost;
}

}  // namespace bitoner::bench
