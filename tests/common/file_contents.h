#pragma once
// Whole files as bytes, for tests that write their input and read what the code under test
// (or another process) wrote.
//
// Threads: any. No lock.

#include <filesystem>
#include <string>
#include <string_view>

namespace tavra::test {

// Writes `bytes` as the whole file; throws std::runtime_error when that fails.
void WriteFile(const std::filesystem::path& path, std::string_view bytes);
// The whole file; empty when it cannot be read.
[[nodiscard]] std::string ReadFile(const std::filesystem::path& path);

}  // namespace tavra::test
