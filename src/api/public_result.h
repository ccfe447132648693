// The public API's side of a grouping: a record placed in a line buffer as
// the grouping expects it, and the engine's result turned into the public
// Result.  Shared by the public Grouper and the explanation.
#pragma once

#include <cstddef>
#include <string_view>

#include "engine/grouper.h"
#include "episode_grouper/result.h"

namespace grouper {

// Copies `record` (at most kMaxLineBytes of it) into `line`, which holds
// kLineBufferSize bytes, blanks after it up to kRecordWidth; returns its length.
size_t place_record(std::string_view record, char* line);

// The result of the record `engine` grouped last.
void fill_result(const Grouper& engine, const TableStore& tables, episode_grouper::Result& out);

}  // namespace grouper
