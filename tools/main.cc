// grouper-tables: look inside, build, check and generate table sets.
#include <string>

#include "app/command_line.h"
#include "commands.h"
#include "episode_grouper/version.h"

int main(int argc, char** argv) {
  CLI::App app("look inside, build, check and generate the table sets of the grouper", "grouper-tables");
  grouper::cli::configure(app, std::string("grouper-tables ") + episode_grouper::version());
  app.footer("Run 'grouper-tables COMMAND --help' for the arguments of a command.");
  app.require_subcommand(1);
  int status = 0;
  grouper::tools::add_dump_command(app, status);
  grouper::tools::add_build_command(app, status);
  grouper::tools::add_verify_command(app, status);
  grouper::tools::add_generate_command(app, status);
  return grouper::cli::parse_and_run(app, argc, argv, status);
}
