// The progress bar as a user at a terminal sees it: standard error on a
// pseudo-terminal, the result lines in a file.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/run_program.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
using testing::Episode;

struct TerminalRun {
  int exit_code = -1;
  std::string terminal;  // what reached the terminal (standard error, and standard output unless redirected)
};

// Runs the grouper in `dir` with its standard streams on a new
// pseudo-terminal; `args` may redirect standard output ("> out.txt").
TerminalRun run_on_terminal(const fs::path& dir, const std::string& args) {
  const std::string command = "cd " + testing::shell_quoted(dir.string()) + " && exec " +
                              testing::shell_quoted(GROUPER_BINARY) + " " + args;
  TerminalRun run;
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return run;
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the program has closed the terminal
    run.terminal.append(buffer, static_cast<size_t>(n));
  }
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  ::close(master);
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  return run;
}

TEST(ProgressBar, ShownOnATerminalWithoutChangingAByteOfTheResults) {
  testing::ScratchDir dir("progress");
  testing::TableBuilder().write(dir.path());
  std::string episodes;
  for (int i = 0; i < 25000; ++i) episodes += Episode().line();
  testing::write_file(dir / "tamv30.in", episodes);

  ASSERT_EQ(testing::run_grouper(dir.path(), "--output plain.out --no-progress").exit_code, 0);
  const TerminalRun shown = run_on_terminal(dir.path(), "--output bar.out > messages.txt");
  EXPECT_EQ(shown.exit_code, 0);
  EXPECT_NE(shown.terminal.find("100.0% | 25000 records | "), std::string::npos) << shown.terminal;
  EXPECT_NE(shown.terminal.find("records/s | done in "), std::string::npos) << shown.terminal;
  EXPECT_EQ(testing::read_file(dir / "bar.out"), testing::read_file(dir / "plain.out"));
  // Messages on another stream than the bar keep their bytes.
  EXPECT_EQ(testing::read_file(dir / "messages.txt"),
            "record_count = [10000]\nrecord_count = [20000]\n" + testing::kEnd);

  // Refused on request, and never in the classic run without arguments.
  for (const std::string args : {"--output quiet.out --no-progress", ""}) {
    const TerminalRun quiet = run_on_terminal(dir.path(), args);
    EXPECT_EQ(quiet.exit_code, 0) << args;
    EXPECT_EQ(quiet.terminal.find("records/s"), std::string::npos) << args << quiet.terminal;
  }
  EXPECT_EQ(testing::read_file(dir / "tamv30.out"), testing::read_file(dir / "plain.out"));

  // Forced where standard error is no terminal.
  const testing::ProgramRun forced = testing::run_grouper(dir.path(), "--output forced.out --progress");
  EXPECT_NE(forced.err.find("100.0% | 25000 records"), std::string::npos) << forced.err;
  EXPECT_EQ(forced.out, "record_count = [10000]\nrecord_count = [20000]\n" + testing::kEnd);
}

}  // namespace
}  // namespace grouper
