#include "support/varied_tables.h"

#include <string_view>

namespace grouper::testing {

TableBuilder varied_tables() {
  TableBuilder b;
  const int16_t circ = b.mdc("05 ");
  const int16_t resp = b.mdc("04 ");
  const int16_t heart = b.adrg("F01A");
  const int16_t valve = b.adrg("F02B");
  const int16_t lung = b.adrg("E01C");
  b.pccl(b.drg("F01A0"), "01234");
  b.pccl(b.drg("F01A1"), "ABCDE");
  b.drg("F02B0");
  b.pccl(b.drg("E01C0"), std::string_view("0X\0YZ", 5));
  b.split(heart, 0, 17, '1');
  const int16_t i21 = b.dx("I21", true);
  const int16_t i50 = b.dx("I50", true);
  const int16_t j18 = b.dx("J18", true);
  const int16_t e11 = b.dx("E11", true);
  const int16_t n18 = b.dx("N18", true);
  const int16_t b95 = b.dx("B95", true);
  const int16_t valve_op = b.proc("M5520");
  b.dx_cond(i21, 100);
  b.dx_cond(i50, 101);
  b.dx_cond(j18, 102);
  b.proc_cond(valve_op, 103);
  b.ccl_columns(3);
  b.ccl_level(1, heart, 3);
  b.ccl_level(2, heart, 2);
  b.ccl_level(1, lung, 4);
  b.ccl_level(2, lung, 1);
  b.dx_ccl(e11, 1);
  b.dx_ccl(n18, 2);
  b.ccx(n18, {e11});
  b.dag(b95, j18);
  b.rule({.slot = 1, .mdc = circ, .adrg = heart, .must = {100}, .must_not = {}});
  b.rule({.slot = 1, .mdc = circ, .adrg = heart, .must = {101}, .must_not = {}, .window = {20040101, 20051231}});
  b.rule({.slot = 1, .mdc = resp, .adrg = lung, .must = {102}, .must_not = {}});
  b.rule({.slot = circ, .adrg = valve, .must = {103}, .must_not = {}});
  b.ltc_row(heart, 3);
  b.ltc_fixed(lung);
  return b;
}

}  // namespace grouper::testing
