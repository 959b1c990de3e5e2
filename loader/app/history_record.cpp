#include "loader/app/history_record.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <variant>

namespace tavra::loader {
namespace {

void AppendString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;  // UTF-8 as it is
    }
  }
  out += '"';
}

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

using Value = std::variant<std::string, double>;

// A reader of one flat JSON object of strings and numbers.
class FlatObject {
 public:
  explicit FlatObject(std::string_view text) : m_text(text) {}

  std::optional<std::map<std::string, Value>> Parse() {
    std::map<std::string, Value> fields;
    if (!Take('{')) {
      return std::nullopt;
    }
    if (Take('}')) {
      return AtEnd() ? std::optional(fields) : std::nullopt;
    }
    do {
      std::string key;
      Value value;
      if (!String(key) || !Take(':') || !AnyValue(value)) {
        return std::nullopt;
      }
      fields[key] = std::move(value);
    } while (Take(','));
    if (!Take('}') || !AtEnd()) {
      return std::nullopt;
    }
    return fields;
  }

 private:
  void Blanks() {
    while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t')) {
      ++m_at;
    }
  }
  bool Take(char c) {
    Blanks();
    if (m_at < m_text.size() && m_text[m_at] == c) {
      ++m_at;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    Blanks();
    return m_at == m_text.size();
  }
  bool AnyValue(Value& value) {
    Blanks();
    if (m_at < m_text.size() && m_text[m_at] == '"') {
      std::string text;
      if (!String(text)) {
        return false;
      }
      value = std::move(text);
      return true;
    }
    double number = 0;
    const char* begin = m_text.data() + m_at;
    const auto [end, error] = std::from_chars(begin, m_text.data() + m_text.size(), number);
    if (error != std::errc() || end == begin) {
      return false;
    }
    m_at += static_cast<std::size_t>(end - begin);
    value = number;
    return true;
  }
  bool String(std::string& out) {
    if (!Take('"')) {
      return false;
    }
    while (m_at < m_text.size()) {
      const char c = m_text[m_at++];
      if (c == '"') {
        return true;
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (m_at >= m_text.size()) {
        return false;
      }
      const char e = m_text[m_at++];
      if (e == 'u') {
        unsigned code = 0;
        if (m_at + 4 > m_text.size()) {
          return false;
        }
        const auto [end, error] =
            std::from_chars(m_text.data() + m_at, m_text.data() + m_at + 4, code, 16);
        if (error != std::errc() || end != m_text.data() + m_at + 4) {
          return false;
        }
        m_at += 4;
        AppendUtf8(out, code);
      } else if (e == 'n') {
        out += '\n';
      } else if (e == 't') {
        out += '\t';
      } else if (e == 'r') {
        out += '\r';
      } else if (e == '"' || e == '\\' || e == '/') {
        out += e;
      } else {
        return false;
      }
    }
    return false;  // no closing quote: a cut-off line
  }

  std::string_view m_text;
  std::size_t m_at = 0;
};

std::string TextOf(const std::map<std::string, Value>& fields, const std::string& key) {
  const auto found = fields.find(key);
  const std::string* text =
      found != fields.end() ? std::get_if<std::string>(&found->second) : nullptr;
  return text != nullptr ? *text : std::string();
}

double NumberOf(const std::map<std::string, Value>& fields, const std::string& key, double none) {
  const auto found = fields.find(key);
  const double* number = found != fields.end() ? std::get_if<double>(&found->second) : nullptr;
  return number != nullptr ? *number : none;
}

}  // namespace

std::string ToJsonLine(const HistoryRecord& record) {
  std::string line = "{";
  const auto text = [&line](std::string_view key, std::string_view value) {
    if (line.size() > 1) {
      line += ',';
    }
    AppendString(line, key);
    line += ':';
    AppendString(line, value);
  };
  const auto number = [&line](std::string_view key, const std::string& value) {
    line += ',';
    AppendString(line, key);
    line += ':' + value;
  };
  text("time", record.time);
  number("port", std::to_string(record.port));
  text("action", record.action);
  text("controller", record.controller);
  text("versionBefore", record.versionBefore);
  text("versionAfter", record.versionAfter);
  text("file", record.file);
  if (record.headerChecksum >= 0) {
    number("headerChecksum", std::to_string(record.headerChecksum));
  }
  if (record.firmwareChecksum >= 0) {
    number("firmwareChecksum", std::to_string(record.firmwareChecksum));
  }
  text("result", record.result);
  text("message", record.message);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", record.seconds);
  number("seconds", seconds);
  return line + "}";
}

std::optional<HistoryRecord> ParseJsonLine(std::string_view line) {
  const auto fields = FlatObject(line).Parse();
  if (!fields || TextOf(*fields, "time").empty() || TextOf(*fields, "action").empty()) {
    return std::nullopt;
  }
  HistoryRecord record;
  record.time = TextOf(*fields, "time");
  record.port = static_cast<int>(NumberOf(*fields, "port", 0));
  record.action = TextOf(*fields, "action");
  record.controller = TextOf(*fields, "controller");
  record.versionBefore = TextOf(*fields, "versionBefore");
  record.versionAfter = TextOf(*fields, "versionAfter");
  record.file = TextOf(*fields, "file");
  record.headerChecksum = static_cast<int>(NumberOf(*fields, "headerChecksum", -1));
  record.firmwareChecksum = static_cast<int>(NumberOf(*fields, "firmwareChecksum", -1));
  record.result = TextOf(*fields, "result");
  record.message = TextOf(*fields, "message");
  record.seconds = NumberOf(*fields, "seconds", 0);
  return record;
}

}  // namespace tavra::loader
