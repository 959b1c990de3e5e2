#include "loader/app/line_reader.h"

#include <cerrno>
#include <cstring>

namespace tavra::loader {
namespace {
constexpr std::size_t kChunkSize = 64 * 1024;
}

LineSource LineSource::File(std::filesystem::path path) {
  LineSource source;
  source.m_isFile = true;
  source.m_path = std::move(path);
  return source;
}

LineSource LineSource::Text(std::string_view text) {
  LineSource source;
  source.m_text = text;
  return source;
}

LineReader::LineReader(const LineSource& source, std::size_t maxChars) : m_maxChars(maxChars) {
  if (!source.IsFile()) {
    m_pending = source.TextView();
    return;
  }
  errno = 0;
  m_file.reset(std::fopen(source.Path().c_str(), "rb"));
  if (!m_file) {
    m_opened = false;
    m_errno = errno;
    return;
  }
  m_chunk.resize(kChunkSize);
}

bool LineReader::Refill() {
  if (!m_file || m_readError) {
    return false;
  }
  errno = 0;
  const std::size_t got = std::fread(m_chunk.data(), 1, m_chunk.size(), m_file.get());
  if (got == 0) {
    if (std::ferror(m_file.get()) != 0) {
      m_readError = true;
      m_errno = errno;
    }
    return false;
  }
  m_pending = std::string_view(m_chunk.data(), got);
  return true;
}

LineReader::Status LineReader::Next() {
  m_text = {};
  if (m_pending.empty() && !Refill()) {
    return m_readError ? Status::ReadError : Status::End;
  }
  ++m_lineNumber;

  // Fast path: the whole line lies in the current chunk.
  const auto* newline =
      static_cast<const char*>(std::memchr(m_pending.data(), '\n', m_pending.size()));
  if (newline != nullptr) {
    const auto length = static_cast<std::size_t>(newline - m_pending.data());
    const std::string_view line = m_pending.substr(0, length);
    m_pending.remove_prefix(length + 1);
    return Finish(line, true, false);
  }

  // The line goes on in the next chunk (or ends the file). Keep at most the limit plus one
  // place for a CR before the LF; anything beyond only marks the line as too long.
  const std::size_t keep = m_maxChars + 1;
  m_line.clear();
  bool overflow = false;
  bool endedByLf = false;
  for (;;) {
    const auto* lf =
        static_cast<const char*>(std::memchr(m_pending.data(), '\n', m_pending.size()));
    const std::size_t take =
        lf != nullptr ? static_cast<std::size_t>(lf - m_pending.data()) : m_pending.size();
    const std::size_t room = keep - m_line.size();
    m_line.append(m_pending.data(), take < room ? take : room);
    overflow = overflow || take > room;
    m_pending.remove_prefix(lf != nullptr ? take + 1 : take);
    if (lf != nullptr) {
      endedByLf = true;
      break;
    }
    if (!Refill()) {
      if (m_readError) {
        return Status::ReadError;
      }
      break;  // a last line without a line end
    }
  }
  return Finish(m_line, endedByLf, overflow);
}

LineReader::Status LineReader::Finish(std::string_view line, bool endedByLf, bool overflow) {
  if (endedByLf && !line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  if (overflow || line.size() > m_maxChars) {
    m_text = line.substr(0, m_maxChars);
    return Status::TooLong;
  }
  m_text = line;
  return Status::Line;
}

}  // namespace tavra::loader
