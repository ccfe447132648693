// Comparing two table stores count by count and array by array, through the
// load plan, with a message that names the first difference.
#pragma once

#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "tables/load_plan.h"
#include "tables/table_store.h"

namespace grouper::testing {

inline ::testing::AssertionResult SameStore(const TableStore& a, const TableStore& b) {
  for (const FileSpec& file : load_plan()) {
    for (const CountSpec& c : file.counts) {
      uint16_t va = c.ref(const_cast<TableStore&>(a));
      uint16_t vb = c.ref(const_cast<TableStore&>(b));
      if (va != vb) {
        return ::testing::AssertionFailure() << file.name << ": " << c.name << " " << va << " vs " << vb;
      }
    }
    for (const ArraySpec& arr : file.arrays) {
      auto ba = arr.bytes(a);
      auto bb = arr.bytes(b);
      if (ba.size() != bb.size()) {
        return ::testing::AssertionFailure()
               << file.name << ": " << arr.name << " holds " << ba.size() << " vs " << bb.size() << " bytes";
      }
      if (!ba.empty() && std::memcmp(ba.data(), bb.data(), ba.size()) != 0) {
        size_t i = 0;
        while (ba[i] == bb[i]) ++i;
        return ::testing::AssertionFailure() << file.name << ": " << arr.name << " differs at byte " << i;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// True when every count is 0 and every array is empty.
inline ::testing::AssertionResult EmptyStore(const TableStore& s) {
  for (const FileSpec& file : load_plan()) {
    for (const CountSpec& c : file.counts) {
      if (c.ref(const_cast<TableStore&>(s)) != 0) {
        return ::testing::AssertionFailure() << file.name << ": " << c.name << " is not 0";
      }
    }
    for (const ArraySpec& arr : file.arrays) {
      if (!arr.bytes(s).empty()) return ::testing::AssertionFailure() << file.name << ": " << arr.name << " holds bytes";
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace grouper::testing
