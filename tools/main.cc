// grouper-tables: look inside, build, check and generate table sets.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

constexpr const char* kUsage =
    "usage: grouper-tables COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  dump      write a table set as readable tab-separated text\n"
    "  build     turn that text back into the sixteen table files\n"
    "  verify    check a table set against every rule its files must follow\n"
    "  generate  make a synthetic table set and an episode file\n"
    "\n"
    "Run 'grouper-tables COMMAND --help' for the arguments of a command.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || grouper::tools::is_help_flag(argv[1])) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const char* name = argv[1];
  if (std::strcmp(name, "dump") == 0) return grouper::tools::cmd_dump(argc - 2, argv + 2);
  if (std::strcmp(name, "build") == 0) return grouper::tools::cmd_build(argc - 2, argv + 2);
  if (std::strcmp(name, "verify") == 0) return grouper::tools::cmd_verify(argc - 2, argv + 2);
  if (std::strcmp(name, "generate") == 0) return grouper::tools::cmd_generate(argc - 2, argv + 2);
  std::fprintf(stderr, "grouper-tables: unknown command '%s'\n\n%s", name, kUsage);
  return 2;
}
