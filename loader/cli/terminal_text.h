#pragma once
// Text helpers of the command line: the product information as lines, and a small JSON object
// writer for --json (one object per result, on one line).
//
// Free functions and a value type; any thread.

#include <string>
#include <string_view>
#include <vector>

namespace tavra::loader::cli {

// A JSON object built member by member; Text() gives it on one line.
class JsonObject {
 public:
  JsonObject& Add(std::string_view name, std::string_view value);
  JsonObject& Add(std::string_view name, const char* value) {
    return Add(name, std::string_view(value));
  }
  JsonObject& Add(std::string_view name, long long value);
  JsonObject& Add(std::string_view name, int value) {
    return Add(name, static_cast<long long>(value));
  }
  JsonObject& Add(std::string_view name, double value);
  JsonObject& Add(std::string_view name, bool value);
  JsonObject& Add(std::string_view name, const std::vector<std::string>& values);
  JsonObject& Add(std::string_view name, const JsonObject& value);
  [[nodiscard]] std::string Text() const { return "{" + m_members + "}"; }

 private:
  void Name(std::string_view name);
  std::string m_members;
};

// A JSON string literal: quotes, backslashes and control characters escaped; other bytes
// (UTF-8) as they are.
[[nodiscard]] std::string JsonString(std::string_view text);

}  // namespace tavra::loader::cli
