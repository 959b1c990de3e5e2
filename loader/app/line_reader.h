#pragma once
// Line-by-line reading of firmware files, from a file or from text in memory.
//
// A line ends at LF or CR LF; the line end is never part of the line. A last line without a
// line end is a line like any other (it keeps all its characters). A reader has a line limit
// (199 characters for the checksums and the image, 99 for the download header): a longer line
// is reported as TooLong with only its first characters (up to the limit) in Text(), and the
// reader stands after it, so the caller decides whether reading ends there (the firmware
// readers) or goes on (the INI reader, and the download header for record lines).
//
// Line kinds: a record line starts with ':'; every other line, the empty line included, is a
// header line.
//
// A LineReader is used by one thread at a time; it owns the file it opened.

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavra::loader {

// The line buffers of the readers: a buffer of N characters takes lines of N - 1 characters.
inline constexpr std::size_t kRecordLineBuffer = 200;  // checksums, image
inline constexpr std::size_t kHeaderLineBuffer = 100;  // download header
inline constexpr std::size_t kRecordLineChars = kRecordLineBuffer - 1;
inline constexpr std::size_t kHeaderLineChars = kHeaderLineBuffer - 1;

[[nodiscard]] inline bool IsRecordLine(std::string_view line) {
  return !line.empty() && line.front() == ':';
}

// Where the readers take their bytes from: a file by path, or text in memory (the controller's
// header, tests, fuzzing). A text source refers to the caller's text, which must outlive it.
class LineSource {
 public:
  static LineSource File(std::filesystem::path path);
  static LineSource Text(std::string_view text);
  static LineSource Text(const char* text) { return Text(std::string_view(text)); }
  // A temporary string would be gone before the reader reads it.
  static LineSource Text(std::string&& text) = delete;

  [[nodiscard]] bool IsFile() const { return m_isFile; }
  [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }
  [[nodiscard]] std::string_view TextView() const { return m_text; }

 private:
  LineSource() = default;
  bool m_isFile = false;
  std::filesystem::path m_path;
  std::string_view m_text;
};

class LineReader {
 public:
  enum class Status {
    Line,       // Text() holds the next line
    TooLong,    // the next line is longer than the limit; Text() holds its first characters
    End,        // no more lines (or the file could not be opened, see Opened())
    ReadError,  // the file could not be read on; nothing more comes
  };

  LineReader(const LineSource& source, std::size_t maxChars);
  ~LineReader() = default;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // False when the source is a file that could not be opened; such a reader ends at once.
  [[nodiscard]] bool Opened() const { return m_opened; }
  // errno of the failed open or read, 0 otherwise.
  [[nodiscard]] int SystemError() const { return m_errno; }

  [[nodiscard]] Status Next();
  // The line last delivered by Next() (its first characters after TooLong); valid until the
  // next call.
  [[nodiscard]] std::string_view Text() const { return m_text; }
  // 1-based number of the line last delivered or skipped.
  [[nodiscard]] int LineNumber() const { return m_lineNumber; }

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  bool Refill();
  Status Finish(std::string_view line, bool endedByLf, bool overflow);

  std::unique_ptr<std::FILE, FileCloser> m_file;
  std::vector<char> m_chunk;   // read buffer of a file source
  std::string_view m_pending;  // bytes not yet taken
  std::string m_line;          // a line that spans two chunks, gathered up to the limit
  std::string_view m_text;
  std::size_t m_maxChars;
  int m_lineNumber = 0;
  int m_errno = 0;
  bool m_opened = true;
  bool m_readError = false;
};

}  // namespace tavra::loader
