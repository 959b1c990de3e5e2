#include "terminal_text.h"

#include <cstdio>

#include "cli_commands.h"

namespace tavra::loader::cli {

std::string ProductInfoLines(const std::string& info) {
  std::string lines;
  std::size_t start = 0;
  while (start < info.size()) {
    std::size_t end = info.find("\r\n", start);
    if (end == std::string::npos) {
      end = info.size();
    }
    std::string_view line(info.data() + start, end - start);
    while (!line.empty() && line.back() == ' ') {
      line.remove_suffix(1);
    }
    lines.append(line);
    lines += '\n';
    start = end + 2;
  }
  return lines;
}

std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
          quoted += escaped;
        } else {
          quoted += c;
        }
    }
  }
  return quoted + "\"";
}

void JsonObject::Name(std::string_view name) {
  if (!m_members.empty()) {
    m_members += ",";
  }
  m_members += JsonString(name) + ":";
}

JsonObject& JsonObject::Add(std::string_view name, std::string_view value) {
  Name(name);
  m_members += JsonString(value);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view name, long long value) {
  Name(name);
  m_members += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view name, double value) {
  Name(name);
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  m_members += text;
  return *this;
}

JsonObject& JsonObject::Add(std::string_view name, bool value) {
  Name(name);
  m_members += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Add(std::string_view name, const std::vector<std::string>& values) {
  Name(name);
  m_members += "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    m_members += (i == 0 ? "" : ",") + JsonString(values[i]);
  }
  m_members += "]";
  return *this;
}

JsonObject& JsonObject::Add(std::string_view name, const JsonObject& value) {
  Name(name);
  m_members += value.Text();
  return *this;
}

}  // namespace tavra::loader::cli
