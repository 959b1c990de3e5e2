#pragma once
// Helpers shared by the firmware file tests: the small demonstration file with its known
// values, and lines joined the way the file format writes them.
//
// Threads: any. No lock.

#include <string>
#include <vector>

namespace tavra::loader::test {

// Lines joined with CR LF, a CR LF after the last one too.
[[nodiscard]] std::string JoinCrLf(const std::vector<std::string>& lines);

// The 12 lines of the demonstration file (header checksum 6340, record checksum 1589).
[[nodiscard]] std::vector<std::string> DemoLines();
[[nodiscard]] inline std::string DemoFile() {
  return JoinCrLf(DemoLines());
}

}  // namespace tavra::loader::test
