// What a failure of the library is: one type from the table loader up to
// every client.
//
// A Status names the kind of failure, the file concerned and a message for a
// person.  Each client maps the kind once: the C ABI to its eg_status, the
// Python module to its exception's `kind`, the service to its HTTP status
// and the "error" of its JSON answers.  The batch run prints its classic
// messages instead, and with options a line naming the file and the reason.
#pragma once

#include <cstdint>
#include <string>

#include "episode_grouper/export.h"

namespace episode_grouper {

enum class StatusKind : uint8_t {
  kOk = 0,
  kNoDirectory,    // the table directory does not exist or is not a directory
  kFileFailed,     // a table file is missing, cannot be opened for reading, or is short
  kCountMismatch,  // a table count disagrees with an earlier file's
  kLogicSetting,   // the condition catalogue disagrees with the built-in logic conditions
  kOutOfMemory,
  kWeights,        // a weight catalogue cannot be read or fails its checks
  kInvalidEpisode, // an episode's fields cannot be encoded into a record (see episode.h)
  kRegistry,       // a registry of table versions fails its checks (see table_registry.h)
};

// The name of a kind, as the C ABI, the Python module and the service spell
// it: "none", "no_directory", "file_failed", "count_mismatch",
// "logic_setting", "out_of_memory", "weights", "invalid_episode", "registry".
EPISODE_GROUPER_API const char* kind_name(StatusKind kind);

struct Status {
  StatusKind kind = StatusKind::kOk;
  std::string file;  // the file concerned, empty when none is
  int line = 0;      // the line of `file` concerned, 0 when the file as a whole failed
  // The message the classic run prints for this failure besides its own,
  // e.g. "ltcdrg_ast read error " of the loader or "logic setting missing or
  // error\n" of the logic check; empty when there is none.
  std::string loader_message;
  std::string message;  // one line for a person: what, where and why

  bool ok() const { return kind == StatusKind::kOk; }
};

}  // namespace episode_grouper
