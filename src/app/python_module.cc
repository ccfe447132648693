#include "app/python_module.h"

#include <fcntl.h>
#include <signal.h>
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

// Starts `kInterpreter -m MODULE ARGS...` with the package importable;
// `input` >= 0 becomes its standard input and `block_interrupt` blocks
// SIGINT in it.  Returns its pid, or -1 with the reason in `error`.
pid_t spawn_module(const std::string& module, const std::vector<std::string>& args, int input,
                   bool block_interrupt, std::string& error) {
  const fs::path package = python_package_dir();
  if (package.empty()) {
    error = "the Python package episode_grouper was not found (set GROUPER_PYTHONPATH)";
    return -1;
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

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  if (input >= 0) posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  if (block_interrupt) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = 0;
  const int err = posix_spawn(&pid, kInterpreter, &actions, &attributes, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (err != 0) {
    error = std::string("cannot start ") + kInterpreter + ": " + std::strerror(err);
    return -1;
  }
  return pid;
}

// Waits for `pid`; returns its exit status, or 1 with a message when it
// died of a signal or was lost.
int wait_module(pid_t pid, const std::string& module) {
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
  std::string error;
  const pid_t pid = spawn_module(module, args, -1, false, error);
  if (pid < 0) {
    std::fprintf(stderr, "grouper: %s\n", error.c_str());
    return 1;
  }
  return wait_module(pid, module);
}

bool PythonChild::start(const std::string& module, const std::vector<std::string>& args) {
  abandon();
  module_ = module;
  error_.clear();
  // Both ends close on exec: the child gets the read end as its standard
  // input only, and never holds the write end that tells it the end.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    error_ = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  pid_ = spawn_module(module, args, ends[0], true, error_);
  close(ends[0]);
  if (pid_ < 0) {
    close(ends[1]);
    return false;
  }
  input_ = ends[1];
  return true;
}

void PythonChild::close_input() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

int PythonChild::finish() {
  close_input();
  if (pid_ < 0) {
    std::fprintf(stderr, "grouper: %s\n", error_.empty() ? "no page builder was started" : error_.c_str());
    return 1;
  }
  const int status = wait_module(pid_, module_);
  pid_ = -1;
  return status;
}

void PythonChild::abandon() {
  close_input();
  if (pid_ < 0) return;
  kill(pid_, SIGTERM);
  int wstatus = 0;
  while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace grouper
