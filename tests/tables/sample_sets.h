// A small table set with rows in every table, for tests that need each
// file to carry data (round trips, truncations, text forms).
#pragma once

#include "support/table_builder.h"

namespace grouper::testing {

inline TableBuilder sample_builder() {
  TableBuilder b;
  int16_t k35 = b.dx("K35", true);
  int16_t k350 = b.dx("K350");
  int16_t e11 = b.dx("E1190");
  int16_t a01 = b.dx("A01");
  int16_t p1 = b.proc("5-470");
  int16_t p2 = b.proc("8-931");
  int16_t mdc6 = b.mdc("06 ");
  int16_t g07 = b.adrg("G07 ");
  int16_t g08 = b.adrg("G08 ");
  int16_t d1 = b.drg("G07A");
  int16_t d2 = b.drg("G07B");
  b.dx_cond(k35, 10);
  b.dx_cond(k35, 11, {20000101, 20041231});
  b.dx_cond(e11, 373);
  b.proc_cond(p1, 12);
  b.proc_cond(p2, 13, {20050101, 99991231});
  b.rule({.slot = 1, .mdc = mdc6, .adrg = 0, .must = {10}, .must_not = {}});
  b.rule({.slot = mdc6, .mdc = mdc6, .adrg = g07, .must = {10, 12}, .must_not = {0, 790},
          .window = {19990101, 20061231}});
  b.rule({.slot = mdc6, .mdc = mdc6, .adrg = g08, .must = {}, .must_not = {13},
          .sets = RuleSets::kFrom2005});
  b.split(g07, 0, 17, 'A');
  b.split(g07, 18, 120, 'B', {20050101, 99991231});
  b.dag(a01, k350);
  b.ccl_columns(3);
  b.ccl_level(1, g07, 2);
  b.ccl_level(2, g08, 4);
  b.dx_ccl(e11, 1);
  b.dx_ccl(k350, 2, {20030101, 99991231});
  b.pccl(d1, "01234");
  b.pccl(d2, std::string("0\0" "1", 3));
  b.ccx(e11, {k35, k350});
  b.ltc_row(g07, 3);
  b.ltc_row(g07, 9999, {20050701, 99991231});
  b.ltc_fixed(g08);
  return b;
}

}  // namespace grouper::testing
