// Grouping a record allocates nothing: every working array is sized when the
// Engine is made, whatever the records hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "support/alloc_probe.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

using testing::Episode;
using testing::TableBuilder;

TEST(PerRecord, GroupingAllocatesNothing) {
  // A set in which every stage has rows to read: conditions, both rule
  // passes, a split, CCLs with exclusions, PCCL splits, a dagger/asterisk
  // pair and supplementary groups.
  TableBuilder b;
  const int16_t mdc = b.mdc("M05");
  const int16_t adrg = b.adrg("F01A");
  const int16_t other = b.adrg("F02A");
  const int16_t drg = b.drg("F01A1");
  b.drg("F02A0");
  const int16_t i21 = b.dx("I21", true);
  const int16_t e11 = b.dx("E1190");
  const int16_t n18 = b.dx("N180");
  const int16_t star = b.dx("G01");
  const int16_t op = b.proc("M5520");
  b.dx_cond(i21, 100);
  b.dx_cond(e11, 101);
  b.proc_cond(op, 357);
  b.proc_cond(op, 102);
  b.rule({.slot = 1, .mdc = mdc, .adrg = adrg, .must = {100}, .must_not = {}});
  b.rule({.slot = mdc, .adrg = other, .must = {102}, .must_not = {101}});
  b.split(adrg, 0, 120, '1');
  b.ccl_columns(2);
  b.ccl_level(1, adrg, 3);
  b.ccl_level(1, other, 2);
  b.dx_ccl(e11, 1);
  b.dx_ccl(n18, 1);
  b.ccx(n18, {e11});
  b.pccl(drg, "01234");
  b.dag(star, i21);
  b.ltc_row(adrg, 4);
  b.ltc_fixed(other);
  TableStore store = b.build();
  normalize_rules(store);
  PreparedSet grouper_set(store);
  Engine grouper(grouper_set);

  std::vector<std::string> lines;
  for (const char* date : {"20041231", "20050701"}) {
    lines.push_back(Episode().date(date).dx(1, "I21").dx(2, "E1190").dx(3, "N180").str());
    lines.push_back(Episode().date(date).dx(1, "i21").dx(2, "N180").proc(11, "M5520").proc(12, "M5520").str());
    lines.push_back(Episode().date(date).dx(1, "G01").dx(2, "I21").dx(3, "I21").birth_wt(" 1200").str());
    lines.push_back(Episode().date(date).dx(1, "K35").proc(11, "Q2850").vent_hr("00100").str());
    lines.push_back(std::string(Episode().date(date).dx(1, "I21").str()) + std::string(3000, 'x'));
  }
  std::vector<char> buffer(kLineBufferSize, ' ');
  auto group_all = [&] {
    int grouped = 0;
    for (const std::string& line : lines) {
      std::fill(buffer.begin(), buffer.end(), ' ');
      std::copy(line.begin(), line.end(), buffer.begin());
      EXPECT_EQ(grouper.group(buffer.data(), line.size()), 0);
      grouped += grouper.result().res_adrg != 0;
    }
    return grouped;
  };

  testing::AllocProbe probe;
  int grouped = 0;
  for (int round = 0; round < 50; ++round) grouped += group_all();
  EXPECT_EQ(probe.count(), 0u) << "allocations while grouping";
  EXPECT_GT(grouped, 0) << "the records should group";
}

}  // namespace
}  // namespace grouper
