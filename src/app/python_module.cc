#include "app/python_module.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace grouper {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInterpreter = "/usr/bin/python3";

bool holds_package(const fs::path& dir) {
  std::error_code ec;
  return fs::is_regular_file(dir / "episode_grouper" / "__init__.py", ec);
}

fs::path program_dir() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return fs::path(std::string(buffer, static_cast<size_t>(n))).parent_path();
}

}  // namespace

fs::path python_package_dir() {
  if (const char* given = std::getenv("GROUPER_PYTHONPATH"); given && *given) return given;
  const fs::path bin = program_dir();
  if (bin.empty()) return {};
  for (const fs::path& candidate : {bin.parent_path() / "python", bin.parent_path() / GROUPER_PYTHON_INSTALL_DIR}) {
    if (holds_package(candidate)) return candidate;
  }
  return {};
}

int run_python_module(const std::string& module, const std::vector<std::string>& args) {
  const fs::path package = python_package_dir();
  if (package.empty()) {
    std::fprintf(stderr, "grouper: the Python package episode_grouper was not found (set GROUPER_PYTHONPATH)\n");
    return 1;
  }
  // The package comes first on the interpreter's path; the rest of the
  // environment passes unchanged.
  std::string path_entry = "PYTHONPATH=" + package.string();
  if (const char* old = std::getenv("PYTHONPATH"); old && *old) path_entry += std::string(":") + old;
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "PYTHONPATH=", 11) != 0) env.push_back(*e);
  }
  env.push_back(path_entry.data());
  env.push_back(nullptr);

  std::vector<std::string> words = {kInterpreter, "-m", module};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = 0;
  if (int err = posix_spawn(&pid, kInterpreter, nullptr, nullptr, argv.data(), env.data()); err != 0) {
    std::fprintf(stderr, "grouper: cannot start %s: %s\n", kInterpreter, std::strerror(err));
    return 1;
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "grouper: lost %s: %s\n", kInterpreter, std::strerror(errno));
      return 1;
    }
  }
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  std::fprintf(stderr, "grouper: %s -m %s ended by signal %d\n", kInterpreter, module.c_str(), WTERMSIG(wstatus));
  return 1;
}

}  // namespace grouper
