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

// The same episodes as named fields: each record is read back into its
// fields (episode_grouper::read_record), so that a row holds exactly what
// the record holds, and written as a CSV row under a header naming the
// columns (id, birth_date, sex, record_date, los, discharge, principal,
// secondary, procedures, birth_weight, vent_hours; code lists separated by
// "|"), or as a JSON Lines object with the same names (code lists as
// arrays).  False when a write fails or a record cannot be read back.
enum class EpisodeFormat { kFixed, kCsv, kJsonl };
bool write_episodes(const EpisodeModel& model, uint64_t seed, uint64_t count, std::FILE* out, EpisodeFormat format);

}  // namespace grouper::tools
