#include "loader/link/disp_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace tavra::loader {
namespace {

struct LocalMoment {
  std::tm tm{};
  int msecs = 0;
};

LocalMoment ToLocal(std::chrono::system_clock::time_point when) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(when);
  LocalMoment moment;
  moment.msecs = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(when - seconds).count());
  const std::time_t time = std::chrono::system_clock::to_time_t(seconds);
  if (::localtime_r(&time, &moment.tm) == nullptr) {
    moment.tm = std::tm{};
  }
  return moment;
}

std::string DateText(const LocalMoment& moment) {
  char text[32];
  std::snprintf(text, sizeof text, "%2.2d/%2.2d/%4.4d", moment.tm.tm_mday, moment.tm.tm_mon + 1,
                moment.tm.tm_year + 1900);
  return text;
}

std::string TimeText(const LocalMoment& moment, bool msecs) {
  char text[32];
  if (msecs) {
    std::snprintf(text, sizeof text, "%2.2d:%2.2d:%2.2d.%3.3d", moment.tm.tm_hour, moment.tm.tm_min,
                  moment.tm.tm_sec, moment.msecs);
  } else {
    std::snprintf(text, sizeof text, "%2.2d:%2.2d:%2.2d", moment.tm.tm_hour, moment.tm.tm_min,
                  moment.tm.tm_sec);
  }
  return text;
}

// Characters, not bytes: a UTF-8 continuation byte does not take a column.
std::size_t CharacterCount(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0U) != 0x80U) {
      ++count;
    }
  }
  return count;
}

// Blanks until the line is `column` - 1 characters long; a longer line stays as it is.
void PadToColumn(std::string& line, std::uint32_t column) {
  const std::size_t length = CharacterCount(line);
  if (column > 0 && length < column - 1) {
    line.append(column - 1 - length, ' ');
  }
}

std::string DTPosError(std::string_view property) {
  return "Maximum " + std::string(property) + " is " + std::to_string(kMaxDTPos) + "!";
}

// Whole line or as much as the file takes; errors are ignored by design.
void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

DisplayMemo::~DisplayMemo() = default;

TDispLog::TDispLog(Clock clock) : m_clock(std::move(clock)) {}

TDispLog::~TDispLog() {
  CloseLog();
}

void TDispLog::InitDisplay(std::unique_ptr<DisplayMemo> memo) {
  if (memo == nullptr) {
    return;
  }
  m_memo = std::move(memo);
  ApplyScrollBars();
}

std::string TDispLog::WriteLine(std::string_view text) {
  if (m_displayLine && m_memo != nullptr) {
    std::string line(text);
    if (m_displayTime || m_displayDate) {
      line = StampLine(text, {m_displayDate, m_displayDTPos, m_displayMSecs, m_displayTime});
    }
    ShowLine(line);
  }
  if (!m_logLine) {
    return {};
  }
  std::string line(text);
  if (m_logTime || m_logDate) {
    line = StampLine(text, {m_logDate, m_logDTPos, m_logMSecs, m_logTime});
  }
  line += '\n';
  return WriteToLog(line);
}

std::string TDispLog::StampLine(std::string_view text, const StampSwitches& stamp) const {
  const LocalMoment now = ToLocal(m_clock());
  std::string line;
  if (stamp.position == 0) {
    if (stamp.date) {
      line += DateText(now) + m_sepString;
    }
    if (stamp.time) {
      line += TimeText(now, stamp.msecs) + m_sepString;
    }
    line += text;
    return line;
  }
  line = text;
  PadToColumn(line, stamp.position);
  line += m_sepString;
  if (stamp.date) {
    line += DateText(ToLocal(m_clock()));
  }
  if (stamp.time) {
    if (stamp.date) {
      line += m_sepString;
    }
    line += TimeText(now, stamp.msecs);
  }
  return line;
}

void TDispLog::ShowLine(const std::string& line) {
  m_memo->BeginUpdate();
  if (static_cast<std::int64_t>(m_memo->LineCount()) > static_cast<std::int64_t>(m_maxDispLines)) {
    m_memo->DeleteFirstLine();
  }
  m_memo->AppendLine(line);
  m_memo->EndUpdate();
}

std::string TDispLog::WriteToLog(const std::string& line) {
  if (!m_keepLogOpen) {
    std::string error = OpenLog(m_logFilename, m_logFd);
    if (!error.empty()) {
      return error;
    }
  }
  ++m_loggedLines;
  WriteAll(m_logFd, line);
  if (!m_keepLogOpen) {
    CloseLog();
  }
  return {};
}

std::string TDispLog::OpenLog(const std::string& filename, int& fd) const {
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
  if (m_loggedLines == 0) {
    flags |= O_CREAT;
    if (!m_appendToLog) {
      flags |= O_TRUNC;
    }
  }
  fd = ::open(filename.c_str(), flags, 0644);
  if (fd < 0) {
    return std::string("File I/O error:") + std::strerror(errno);
  }
  return {};
}

void TDispLog::CloseLog() {
  if (m_logFd >= 0) {
    ::close(m_logFd);
    m_logFd = -1;
  }
}

void TDispLog::ApplyScrollBars() {
  if (m_memo != nullptr) {
    m_memo->SetScrollBars(m_dispHorSBar, m_dispVerSBar);
  }
}

std::string TDispLog::SetLogFilename(std::string value) {
  if (m_logLine && m_keepLogOpen) {
    // Open the new file before the old one is let go, so that a name that cannot be opened
    // does not leave the log without a file.
    int fd = -1;
    std::string error = OpenLog(value, fd);
    if (!error.empty()) {
      return error;
    }
    CloseLog();
    m_logFd = fd;
  }
  m_logFilename = std::move(value);
  return {};
}

std::string TDispLog::SetLogLine(bool value) {
  if (value == m_logLine) {
    return {};
  }
  if (m_keepLogOpen) {
    if (value) {
      std::string error = OpenLog(m_logFilename, m_logFd);
      if (!error.empty()) {
        return error;
      }
    } else {
      CloseLog();
    }
  }
  m_logLine = value;
  return {};
}

std::string TDispLog::SetDisplayLine(bool value) {
  if (value && m_memo == nullptr) {
    return "Must call InitDisplay() before setting DisplayLine = true!";
  }
  m_displayLine = value;
  return {};
}

std::string TDispLog::SetAppendToLog(bool value) {
  if (m_logLine || m_loggedLines > 0) {
    return "AppendToLog must be set before writing to log file!";
  }
  m_appendToLog = value;
  return {};
}

std::string TDispLog::SetDisplayDTPos(std::uint32_t value) {
  if (value > kMaxDTPos) {
    return DTPosError("DisplayDTPos");
  }
  m_displayDTPos = value;
  return {};
}

std::string TDispLog::SetLogDTPos(std::uint32_t value) {
  if (value > kMaxDTPos) {
    return DTPosError("LogDTPos");
  }
  m_logDTPos = value;
  return {};
}

std::string TDispLog::SetKeepLogOpen(bool value) {
  if (m_logLine) {
    return "LogLine must be false before setting KeepLogOpen!";
  }
  m_keepLogOpen = value;
  return {};
}

void TDispLog::SetDispHorSBar(bool value) {
  m_dispHorSBar = value;
  ApplyScrollBars();
}

void TDispLog::SetDispVerSBar(bool value) {
  m_dispVerSBar = value;
  ApplyScrollBars();
}

int ParseDebugMode(std::string_view commandLineAfterProgramName) {
  int mode = 0;
  for (const char c : commandLineAfterProgramName) {
    if (c == 'd' || c == 'D') {
      mode |= kDebugLogFile;
    } else if (c == 'v' || c == 'V') {
      mode |= kDebugDisplay;
    }
  }
  return mode;
}

int ParseDebugMode(const std::vector<std::string>& argv) {
  int mode = 0;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    mode |= ParseDebugMode(argv[i]);
  }
  return mode;
}

namespace {

// The display part of the set-up (bit 2).
std::string SetUpDisplay(TDispLog& log, std::unique_ptr<DisplayMemo> memo) {
  log.InitDisplay(std::move(memo));
  if (std::string error = log.SetKeepLogOpen(true); !error.empty()) {
    return error;
  }
  if (std::string error = log.SetDisplayLine(true); !error.empty()) {
    return error;
  }
  log.SetDisplayTime(true);
  log.SetDisplayMSecs(true);
  log.SetDisplayDate(true);
  log.SetSepString("  ");
  return {};
}

}  // namespace

std::string SetUpDebugLog(TDispLog& log, int debugMode, std::unique_ptr<DisplayMemo> memo) {
  switch (debugMode & (kDebugLogFile | kDebugDisplay)) {
    case kDebugLogFile: {
      if (std::string error = log.SetKeepLogOpen(true); !error.empty()) {
        return error;
      }
      log.SetLogTime(true);
      log.SetLogMSecs(true);
      log.SetLogDate(true);
      log.SetSepString("  ");
      return log.SetLogLine(true);
    }
    case kDebugDisplay: return SetUpDisplay(log, std::move(memo));
    case kDebugLogFile | kDebugDisplay: {
      if (std::string error = SetUpDisplay(log, std::move(memo)); !error.empty()) {
        return error;
      }
      log.SetDisplayTime(true);
      log.SetDisplayMSecs(true);
      log.SetDisplayDate(true);
      log.SetLogTime(true);
      log.SetLogMSecs(true);
      log.SetLogDate(true);
      log.SetSepString("  ");
      return log.SetLogLine(true);
    }
    default: return {};
  }
}

void DispLogSink::WriteLine(std::string_view line) {
  const std::lock_guard<std::mutex> lock(m_mutex);
  (void)m_log.WriteLine(line);
}

}  // namespace tavra::loader
