// The explain subcommand of the grouper: one record, every step.
#pragma once

namespace grouper {

// Runs `grouper explain` with the arguments after the word "explain";
// returns the exit status.
int explain_command(int argc, char** argv);

}  // namespace grouper
