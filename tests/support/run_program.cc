#include "support/run_program.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace grouper::testing {
namespace {

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

ProgramRun run_program(const std::string& program, const std::filesystem::path& dir,
                       const std::string& args) {
  std::string command = "cd " + quoted(dir.string()) + " && " + quoted(program) + " " + args +
                        " 2>/dev/null </dev/null";
  ProgramRun run;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot start " + program);
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) run.out.append(buf, n);
  int status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
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
