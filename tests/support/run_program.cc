#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace grouper::testing {
namespace {

// Closes a descriptor once; -1 marks it closed.
void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The test process ignores SIGPIPE while it feeds a program that may stop
// reading its input early; the program itself starts with the default.
class IgnoreSigpipe {
 public:
  IgnoreSigpipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &saved_);
  }
  ~IgnoreSigpipe() { ::sigaction(SIGPIPE, &saved_, nullptr); }

 private:
  struct sigaction saved_ {};
};

}  // namespace

std::string shell_quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

ProgramRun run_program(const std::string& program, const std::filesystem::path& dir,
                       const std::string& args) {
  return run_program(program, dir, args, RunOptions{});
}

ProgramRun run_program(const std::string& program, const std::filesystem::path& dir, const std::string& args,
                       const RunOptions& options) {
  const std::string command = "cd " + shell_quoted(dir.string()) + " && exec " + shell_quoted(program) + " " + args;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make pipes for " + program);
  }
  IgnoreSigpipe ignore_sigpipe;
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("cannot start " + program);
  if (pid == 0) {
    ::dup2(in_pipe[0], STDIN_FILENO);
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    struct sigaction deflt {};
    deflt.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &deflt, nullptr);
    for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int to_child = in_pipe[1], from_out = out_pipe[0], from_err = err_pipe[0];
  ::fcntl(to_child, F_SETFL, O_NONBLOCK);

  ProgramRun run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  auto time_left_ms = [&deadline] {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  };
  size_t fed = 0;
  if (options.input.empty()) close_fd(to_child);
  char buf[65536];
  while (from_out >= 0 || from_err >= 0) {
    pollfd fds[3] = {{to_child, POLLOUT, 0}, {from_out, POLLIN, 0}, {from_err, POLLIN, 0}};
    const int left = time_left_ms();
    if (left == 0) {
      run.timed_out = true;
      break;
    }
    if (::poll(fds, 3, left) < 0 && errno != EINTR) break;
    if (to_child >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = ::write(to_child, options.input.data() + fed, options.input.size() - fed);
      if (n > 0) fed += static_cast<size_t>(n);
      // A program that stops reading its input ends the feeding.
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || fed == options.input.size()) close_fd(to_child);
    }
    if (from_out >= 0 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) {
      const ssize_t n = ::read(from_out, buf, sizeof buf);
      if (n > 0) run.out.append(buf, static_cast<size_t>(n));
      if ((n == 0 || (n < 0 && errno != EINTR)) || run.out.size() >= options.close_output_after) close_fd(from_out);
    }
    if (from_err >= 0 && (fds[2].revents & (POLLIN | POLLERR | POLLHUP))) {
      const ssize_t n = ::read(from_err, buf, sizeof buf);
      if (n > 0) run.err.append(buf, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR)) close_fd(from_err);
    }
  }
  close_fd(to_child);
  close_fd(from_out);
  close_fd(from_err);

  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, run.timed_out ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return run;
    if (done == 0 && time_left_ms() == 0) {
      run.timed_out = true;
      ::kill(pid, SIGKILL);
      continue;
    }
    if (run.timed_out) ::kill(pid, SIGKILL);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

std::filesystem::path fresh_dir(const std::string& name) {
  const char* base = std::getenv("TEST_TMPDIR");
  std::filesystem::path root = base ? base : std::filesystem::temp_directory_path();
  std::filesystem::path dir = root / ("grouper-test-" + std::to_string(::getpid())) / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  // The per-process parent goes too once nothing else is left in it.
  std::filesystem::remove(path_.parent_path(), ec);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace grouper::testing
