#include "episode_grouper/status.h"

namespace episode_grouper {

const char* kind_name(StatusKind kind) {
  switch (kind) {
    case StatusKind::kOk: return "none";
    case StatusKind::kNoDirectory: return "no_directory";
    case StatusKind::kFileFailed: return "file_failed";
    case StatusKind::kCountMismatch: return "count_mismatch";
    case StatusKind::kLogicSetting: return "logic_setting";
    case StatusKind::kOutOfMemory: return "out_of_memory";
    case StatusKind::kWeights: return "weights";
    case StatusKind::kInvalidEpisode: return "invalid_episode";
    case StatusKind::kRegistry: return "registry";
  }
  return "unknown";
}

}  // namespace episode_grouper
