#pragma once
// The loader's debug log: one-line diagnostic reports shown in a memo of the main window,
// written to a log file, or both, each with an optional date and time stamp.
//
// Stamps: date "dd/mm/yyyy", time "hh:nn:ss" or with milliseconds "hh:nn:ss.zzz", local time.
// At stamp position 0 the stamp stands in front of the text: [date + SepString] +
// [time + SepString] + text. At position p the text is padded with blanks to p - 1 characters
// (a longer text is left as it is), then SepString, the date, and the time (after another
// SepString when the date is on too); the date is then taken from a second reading of the clock.
//
// Log file: LogFilename relative to the current folder, one LF after each line. The first open
// of a run appends to an existing file (AppendToLog) or replaces it; once a line has been
// written, later opens append to the file. With KeepLogOpen the file stays open while LogLine
// is true; otherwise it is opened and closed for every line. Write errors are ignored.
//
// Errors are returned as their texts (empty on success); a refused setter leaves its property
// as it was.
//
// Owner: the loader's main window (one instance when debug output is on). Thread: TDispLog has
// no lock; it is used by one thread at a time. Where the window and a worker thread both log,
// they go through one DispLogSink, which serializes the calls.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "loader/link/loader_reports.h"

namespace tavra::loader {

// Where the window places the display memo (over its hidden memo), in pixels, and its font.
inline constexpr int kDisplayMemoTop = 390;
inline constexpr int kDisplayMemoWidth = 705;
inline constexpr int kDisplayMemoHeight = 57;
inline constexpr int kDisplayMemoLeft = 7;
inline constexpr std::string_view kDisplayMemoFont = "Courier New";

// The memo that shows the lines, implemented by the window. Its calls come on the thread that
// writes the line; a window's memo hands them to its own thread.
class DisplayMemo {
 public:
  virtual ~DisplayMemo();
  [[nodiscard]] virtual int LineCount() const = 0;
  virtual void DeleteFirstLine() = 0;
  virtual void AppendLine(std::string_view line) = 0;
  virtual void SetScrollBars(bool horizontal, bool vertical) = 0;
  // One update of the lines: the memo may hold back repainting in between.
  virtual void BeginUpdate() {}
  virtual void EndUpdate() {}
};

inline constexpr std::uint32_t kMaxDTPos = 200;
inline constexpr std::string_view kDefaultLogFilename = "Debug.Log";
inline constexpr std::string_view kLogStartLine =
    "****** Logstart for Tavra Firmware Loader version = 1";

class TDispLog {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // All properties at their defaults; `clock` gives the time for the stamps.
  explicit TDispLog(Clock clock = [] { return std::chrono::system_clock::now(); });
  ~TDispLog();  // closes the log file
  TDispLog(const TDispLog&) = delete;
  TDispLog& operator=(const TDispLog&) = delete;

  // Takes the memo and applies the scroll bar properties to it. A null memo is ignored.
  void InitDisplay(std::unique_ptr<DisplayMemo> memo);
  [[nodiscard]] bool HasDisplay() const { return m_memo != nullptr; }

  // Shows and/or logs one line. Returns the error text when the log file could not be opened
  // (the line is then not logged; the display has it).
  std::string WriteLine(std::string_view text);

  [[nodiscard]] std::uint32_t MaxDispLines() const { return m_maxDispLines; }
  void SetMaxDispLines(std::uint32_t value) { m_maxDispLines = value; }

  [[nodiscard]] const std::string& LogFilename() const { return m_logFilename; }
  // With LogLine and KeepLogOpen both true the new file is opened; when that fails the old
  // name and file stay in use.
  [[nodiscard]] std::string SetLogFilename(std::string value);

  [[nodiscard]] bool LogLine() const { return m_logLine; }
  // With KeepLogOpen, true opens the log file (LogLine stays false when that fails) and false
  // closes it.
  [[nodiscard]] std::string SetLogLine(bool value);

  [[nodiscard]] bool DisplayLine() const { return m_displayLine; }
  [[nodiscard]] std::string SetDisplayLine(bool value);

  [[nodiscard]] bool AppendToLog() const { return m_appendToLog; }
  [[nodiscard]] std::string SetAppendToLog(bool value);

  [[nodiscard]] bool DisplayTime() const { return m_displayTime; }
  void SetDisplayTime(bool value) { m_displayTime = value; }
  [[nodiscard]] bool DisplayMSecs() const { return m_displayMSecs; }
  void SetDisplayMSecs(bool value) { m_displayMSecs = value; }
  [[nodiscard]] bool DisplayDate() const { return m_displayDate; }
  void SetDisplayDate(bool value) { m_displayDate = value; }
  [[nodiscard]] bool LogTime() const { return m_logTime; }
  void SetLogTime(bool value) { m_logTime = value; }
  [[nodiscard]] bool LogMSecs() const { return m_logMSecs; }
  void SetLogMSecs(bool value) { m_logMSecs = value; }
  [[nodiscard]] bool LogDate() const { return m_logDate; }
  void SetLogDate(bool value) { m_logDate = value; }

  [[nodiscard]] std::uint32_t DisplayDTPos() const { return m_displayDTPos; }
  [[nodiscard]] std::string SetDisplayDTPos(std::uint32_t value);
  [[nodiscard]] std::uint32_t LogDTPos() const { return m_logDTPos; }
  [[nodiscard]] std::string SetLogDTPos(std::uint32_t value);

  [[nodiscard]] bool KeepLogOpen() const { return m_keepLogOpen; }
  [[nodiscard]] std::string SetKeepLogOpen(bool value);

  [[nodiscard]] bool DispHorSBar() const { return m_dispHorSBar; }
  void SetDispHorSBar(bool value);
  [[nodiscard]] bool DispVerSBar() const { return m_dispVerSBar; }
  void SetDispVerSBar(bool value);

  [[nodiscard]] const std::string& SepString() const { return m_sepString; }
  void SetSepString(std::string value) { m_sepString = std::move(value); }

 private:
  struct StampSwitches {
    bool date;
    std::uint32_t position;
    bool msecs;
    bool time;
  };

  [[nodiscard]] std::string StampLine(std::string_view text, const StampSwitches& stamp) const;
  void ShowLine(const std::string& line);
  std::string WriteToLog(const std::string& line);
  // Opens m_logFilename by the open rules into `fd`; the error text on failure.
  [[nodiscard]] std::string OpenLog(const std::string& filename, int& fd) const;
  void CloseLog();
  void ApplyScrollBars();

  Clock m_clock;
  std::unique_ptr<DisplayMemo> m_memo;
  std::uint64_t m_loggedLines = 0;
  int m_logFd = -1;

  std::uint32_t m_maxDispLines = 200;
  std::string m_logFilename{kDefaultLogFilename};
  bool m_logLine = false;
  bool m_displayLine = false;
  bool m_appendToLog = true;
  bool m_displayTime = false;
  bool m_displayMSecs = false;
  bool m_displayDate = false;
  bool m_logTime = false;
  bool m_logMSecs = false;
  bool m_logDate = false;
  std::uint32_t m_displayDTPos = 0;
  std::uint32_t m_logDTPos = 0;
  bool m_keepLogOpen = false;
  bool m_dispHorSBar = false;
  bool m_dispVerSBar = false;
  std::string m_sepString = " ~ ";
};

// The debug switches of the command line (the text after the program name): every d or D
// sets bit 1 (log file), every v or V sets bit 2 (display); everything else is ignored.
inline constexpr int kDebugLogFile = 1;
inline constexpr int kDebugDisplay = 2;
[[nodiscard]] int ParseDebugMode(std::string_view commandLineAfterProgramName);
// The same for argv: the first element is the program name and is skipped; the others are
// taken as joined with blanks.
[[nodiscard]] int ParseDebugMode(const std::vector<std::string>& argv);

// Sets up `log` for `debugMode` (only its two bits count) the way the loader does it: the log
// file with stamps (bit 1), the display `memo` with stamps (bit 2), or both. Returns the error
// text of the first step that fails, empty on success. The caller then writes kLogStartLine.
[[nodiscard]] std::string SetUpDebugLog(TDispLog& log,
                                        int debugMode,
                                        std::unique_ptr<DisplayMemo> memo);

// A LogSink over a TDispLog, for the link procedures on a worker thread while the window logs
// on its own. Owner: the window, next to the TDispLog, which must outlive it. Thread: any; the
// lock serializes every call into the TDispLog. A log file that cannot be opened costs the line
// (the sink has no one to tell).
class DispLogSink final : public LogSink {
 public:
  explicit DispLogSink(TDispLog& log) : m_log(log) {}
  void WriteLine(std::string_view line) override;

 private:
  std::mutex m_mutex;
  TDispLog& m_log;
};

}  // namespace tavra::loader
