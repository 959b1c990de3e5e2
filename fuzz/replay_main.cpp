// A main for the fuzz targets without libFuzzer: runs each input once. Each argument is a file or
// a folder whose files are all inputs, so a target built with any compiler replays its seed
// corpus as a test. A failed check aborts inside the target; exit code 1 means an argument could
// not be read.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  // A copy of exactly the input's size, so that reads past its end are caught by the sanitizers.
  const std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

// The files to run for one argument: the file itself, or a folder's regular files in name order.
bool Collect(const std::filesystem::path& arg, std::vector<std::filesystem::path>& files) {
  std::error_code ec;
  if (!std::filesystem::is_directory(arg, ec)) {
    files.push_back(arg);
    return true;
  }
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
    if (entry.is_regular_file()) {
      found.push_back(entry.path());
    }
  }
  if (ec || found.empty()) {
    std::fprintf(stderr, "no inputs in %s\n", arg.c_str());
    return false;
  }
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
    return 2;
  }
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    if (!Collect(argv[i], files)) {
      return 1;
    }
  }
  for (const auto& file : files) {
    if (!RunFile(file)) {
      return 1;
    }
  }
  std::printf("%zu inputs run\n", files.size());
  return 0;
}
