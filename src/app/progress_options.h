// --progress and --no-progress, as the batch run and compare take them.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "batch/progress_bar.h"

namespace grouper {

// Adds both options to `app` in the group "Progress": --progress sets `mode`
// to kOn, --no-progress to kOff, neither leaves it as it was (kAuto: the bar
// when standard error is a terminal).  `auto_note` ends the help of
// --progress: when the bar shows without it.
void add_progress_options(CLI::App& app, ProgressMode& mode, const std::string& auto_note);

}  // namespace grouper
