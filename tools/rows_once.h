// Visits the rows of many row ranges, overlapping or nested as they may be,
// so that each row is visited once, by the first range that holds it.
//
// Workload: a table file's key ranges come from the file and are not
// trusted; 32,767 keys that each span every row cost one walk of the rows,
// not keys x rows.  next_[j] leads to the first row at or after j not yet
// visited (paths are shortened as they are followed).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

namespace grouper::tools {

class RowsOnce {
 public:
  explicit RowsOnce(size_t rows) : next_(rows + 1) { std::iota(next_.begin(), next_.end(), size_t{0}); }

  // Calls fn(j) for every row j of [fr, to), clipped to the rows, that no
  // earlier call has visited.
  template <class Fn>
  void visit(int64_t fr, int64_t to, Fn&& fn) {
    const auto rows = static_cast<int64_t>(next_.size() - 1);
    const auto end = static_cast<size_t>(std::clamp<int64_t>(to, 0, rows));
    for (size_t j = first(static_cast<size_t>(std::clamp<int64_t>(fr, 0, rows))); j < end; j = first(j + 1)) {
      fn(j);
      next_[j] = j + 1;
    }
  }

 private:
  size_t first(size_t j) {
    size_t root = j;
    while (next_[root] != root) root = next_[root];
    while (next_[j] != root) j = std::exchange(next_[j], root);
    return root;
  }

  std::vector<size_t> next_;
};

}  // namespace grouper::tools
