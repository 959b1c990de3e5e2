#include "loader/app/profile_reader.h"

#include "shared/hex_text.h"

namespace tavra::loader {
namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) {
      return false;
    }
  }
  return true;
}

// The name of a section line "[name]" (blanks around it removed), or nothing for another line.
std::optional<std::string_view> SectionName(std::string_view line) {
  if (line.empty() || line.front() != '[') {
    return std::nullopt;
  }
  const std::size_t close = line.rfind(']');
  if (close == std::string_view::npos || close == 0) {
    return std::nullopt;
  }
  return Trim(line.substr(1, close - 1));
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace

std::optional<std::string> FindProfileValue(const LineSource& source,
                                            std::string_view section,
                                            std::string_view key) {
  LineReader reader(source, kProfileLineChars);
  bool inSection = false;
  for (;;) {
    const LineReader::Status status = reader.Next();
    if (status == LineReader::Status::TooLong) {
      continue;
    }
    if (status != LineReader::Status::Line) {
      return std::nullopt;
    }
    const std::string_view line = Trim(reader.Text());
    if (const auto name = SectionName(line)) {
      if (inSection) {
        return std::nullopt;  // the first matching section ended without the key
      }
      inSection = EqualNoCase(*name, section);
      continue;
    }
    if (!inSection) {
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      continue;
    }
    if (EqualNoCase(Trim(line.substr(0, equals)), key)) {
      return std::string(Unquote(Trim(line.substr(equals + 1))));
    }
  }
}

std::string GetProfileString(const LineSource& source,
                             std::string_view section,
                             std::string_view key,
                             std::string_view defaultValue) {
  if (auto value = FindProfileValue(source, section, key)) {
    return std::move(*value);
  }
  return std::string(defaultValue);
}

std::int32_t GetProfileInt(const LineSource& source,
                           std::string_view section,
                           std::string_view key,
                           std::int32_t defaultValue) {
  const auto value = FindProfileValue(source, section, key);
  if (!value) {
    return defaultValue;
  }
  return ParseProfileInt(*value).value_or(defaultValue);
}

std::optional<std::int32_t> ParseProfileInt(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  bool hex = false;
  if (!text.empty() && text.front() == '$') {
    hex = true;
    text.remove_prefix(1);
  } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    hex = true;
    text.remove_prefix(2);
  }
  if (text.empty()) {
    return std::nullopt;
  }

  std::uint64_t magnitude = 0;
  if (hex) {
    for (const char c : text) {
      const int digit = HexDigit(c);
      if (digit < 0) {
        return std::nullopt;
      }
      magnitude = magnitude * 16 + static_cast<std::uint64_t>(digit);
      if (magnitude > 0xFFFFFFFFu) {
        return std::nullopt;
      }
    }
    auto bits = static_cast<std::uint32_t>(magnitude);
    if (negative) {
      bits = 0u - bits;
    }
    return static_cast<std::int32_t>(bits);
  }

  const std::uint64_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    if (magnitude > limit) {
      return std::nullopt;
    }
  }
  if (negative) {
    return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(magnitude));
  }
  return static_cast<std::int32_t>(magnitude);
}

}  // namespace tavra::loader
