// A main for the fuzz targets in builds without libFuzzer: runs the target
// once on every file named, or on every file of every directory named (the
// seed corpora), so that each build's tests replay them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg = argv[i];
    if (!std::filesystem::is_directory(arg)) {
      replay(arg);
      ++runs;
      continue;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(arg)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) replay(file);
    runs += files.size();
  }
  std::printf("%zu inputs replayed\n", runs);
  return runs > 0 ? 0 : 1;
}
