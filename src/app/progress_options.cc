#include "app/progress_options.h"

namespace grouper {

void add_progress_options(CLI::App& app, ProgressMode& mode, const std::string& auto_note) {
  CLI::Option* on = app.add_flag_callback(
                           "--progress", [&mode] { mode = ProgressMode::kOn; },
                           "show a progress bar on standard error (percent of the input read, records per second, "
                           "time left); without this option, it is shown " +
                               auto_note)
                        ->group("Progress");
  app.add_flag_callback("--no-progress", [&mode] { mode = ProgressMode::kOff; }, "never show the progress bar")
      ->excludes(on)
      ->group("Progress");
}

}  // namespace grouper
