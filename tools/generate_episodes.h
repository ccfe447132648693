// Synthetic episode lines for a generated table set.
//
// Each line is 273 characters and a line feed, laid out as the grouper reads
// it: a record number, a birth date with its sex and century digit, a record
// date from 2004 to 2006, length of stay, discharge status, 1 to 10
// diagnoses, 0 to 15 procedures, a birth weight for newborns and, now and
// then, ventilation hours.  Most principal diagnoses come from the codes the
// rules group; a few are codes without a group or codes no dictionary holds.
//
// Workload: a million lines per run; a line is built in place in a fixed
// buffer and written through one large output buffer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "generate_random.h"
#include "generate_tables.h"

namespace grouper::tools {

inline constexpr size_t kEpisodeWidth = 273;

class EpisodeMaker {
 public:
  EpisodeMaker(const EpisodeModel& model, uint64_t seed);
  // Fills line[0, kEpisodeWidth) with episode number `number` (no line feed).
  void make(uint64_t number, char* line);

 private:
  int16_t pick_mdc(bool newborn);
  const EpisodeModel& m_;
  Rng rng_;
  std::vector<uint32_t> cumulative_;  // MDC weights without the newborns, summed
};

// Writes `count` episodes, each followed by a line feed.  False when a
// write fails.
bool write_episodes(const EpisodeModel& model, uint64_t seed, uint64_t count, std::FILE* out);

}  // namespace grouper::tools
