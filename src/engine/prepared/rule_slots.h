// The rule slots of both rule sets, made safe to read once when a set is
// opened: every slot then names a condition id in 0..cond_cnt.
#pragma once

#include "engine/prepared/rule_index.h"
#include "tables/table_store.h"

namespace grouper {

// Replaces, in both rule sets, every empty must-not-hold slot (slots 10..19)
// by cond_cnt, the always-false condition, and every slot id outside
// 0..cond_cnt by cond_cnt, so that a broken id counts as the always-false
// condition.  Changes nothing when repeated.
void normalize_rules(TableStore& tables);

}  // namespace grouper
