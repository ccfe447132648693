// The library's version, "MAJOR.MINOR.PATCH": the version of the build
// (the project's version in CMakeLists.txt), which the programs, the
// Python module, the service and the PostgreSQL extension all report.
#pragma once

#include "episode_grouper/export.h"

namespace episode_grouper {

// The version text, the same as eg_version() of the C interface.
EPISODE_GROUPER_API const char* version() noexcept;

}  // namespace episode_grouper
