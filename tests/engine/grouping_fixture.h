// A table set built in the test and an Engine over it, for tests that send
// single episode lines through the whole grouping.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "support/table_builder.h"

namespace grouper {

// A rule filed under `slot` that assigns `mdc` and `adrg`, valid always, in
// both rule sets.
inline testing::RuleDef rule_def(int slot, int16_t mdc, int16_t adrg, std::vector<int16_t> must = {},
                                 std::vector<int16_t> must_not = {}) {
  testing::RuleDef d;
  d.slot = slot;
  d.mdc = mdc;
  d.adrg = adrg;
  d.must = std::move(must);
  d.must_not = std::move(must_not);
  return d;
}

class GroupingTest : public ::testing::Test {
 protected:
  // Builds the store from the builder (once, at the first record), as the
  // driver does after loading: normalised, then grouped.
  void build() {
    store_ = b_.build();
    normalize_rules(store_);
    set_ = std::make_unique<PreparedSet>(store_);
    grouper_ = std::make_unique<Engine>(*set_);
  }

  // Groups `e` and expects the record to be accepted.
  const Engine& group(const testing::Episode& e) {
    EXPECT_EQ(group_status(e), 0);
    return *grouper_;
  }

  // Groups `e` and returns what group() returned.
  int group_status(const testing::Episode& e) {
    if (!grouper_) build();
    line_ = e.str();
    return grouper_->group(line_.data(), line_.size());
  }

  int16_t id_at(const testing::Episode& e, int position) { return group(e).code_ids()[position]; }
  bool holds(const testing::Episode& e, int cond) { return group(e).cond_val(cond) == 1; }

  testing::TableBuilder b_;
  TableStore store_;
  std::unique_ptr<PreparedSet> set_;
  std::unique_ptr<Engine> grouper_;
  std::string line_;  // the last line grouped, as group() left it
};

}  // namespace grouper
