// The debug log: setter refusals, stamp layouts, the display line limit, the log file's open
// rules and line ends, the debug switches of the command line and the loader's set-up.

#include "loader/link/disp_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/file_contents.h"
#include "tests/common/temp_dir.h"

namespace tavra::loader {
namespace {

using std::chrono::system_clock;
using tavra::test::ReadFile;
using tavra::test::TempDir;
using tavra::test::WriteFile;

// What the memo shows, kept outside the memo, which the log owns.
struct MemoState {
  std::vector<std::string> lines;
  bool horizontal = false;
  bool vertical = false;
};

class FakeMemo final : public DisplayMemo {
 public:
  explicit FakeMemo(MemoState& state) : m_state(state) {}
  int LineCount() const override { return static_cast<int>(m_state.lines.size()); }
  void DeleteFirstLine() override { m_state.lines.erase(m_state.lines.begin()); }
  void AppendLine(std::string_view line) override { m_state.lines.emplace_back(line); }
  void SetScrollBars(bool horizontal, bool vertical) override {
    m_state.horizontal = horizontal;
    m_state.vertical = vertical;
  }

 private:
  MemoState& m_state;
};

system_clock::time_point LocalTime(
    int year, int month, int day, int hour, int min, int sec, int msecs) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  return system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(msecs);
}

// 05/03/2024 14:07:09.045 local time, at every reading.
TDispLog::Clock FixedClock() {
  const system_clock::time_point at = LocalTime(2024, 3, 5, 14, 7, 9, 45);
  return [at] { return at; };
}

// The readings in turn; the last one repeats.
TDispLog::Clock Readings(const std::vector<system_clock::time_point>& readings) {
  auto next = std::make_shared<std::size_t>(0);
  return [readings, next] { return readings[std::min((*next)++, readings.size() - 1)]; };
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

TEST(DispLogSetters, RefusalsGiveTheirTextAndKeepTheProperty) {
  TDispLog log;
  EXPECT_EQ(log.MaxDispLines(), 200U);
  EXPECT_EQ(log.LogFilename(), "Debug.Log");
  EXPECT_TRUE(log.AppendToLog());
  EXPECT_EQ(log.SepString(), " ~ ");

  EXPECT_EQ(log.SetDisplayLine(true), "Must call InitDisplay() before setting DisplayLine = true!");
  EXPECT_FALSE(log.DisplayLine());

  EXPECT_EQ(log.SetDisplayDTPos(200), "");
  EXPECT_EQ(log.SetDisplayDTPos(201), "Maximum DisplayDTPos is 200!");
  EXPECT_EQ(log.DisplayDTPos(), 200U);
  EXPECT_EQ(log.SetLogDTPos(201), "Maximum LogDTPos is 200!");
  EXPECT_EQ(log.LogDTPos(), 0U);

  // LogLine without KeepLogOpen opens nothing yet.
  ASSERT_EQ(log.SetLogLine(true), "");
  EXPECT_EQ(log.SetKeepLogOpen(true), "LogLine must be false before setting KeepLogOpen!");
  EXPECT_FALSE(log.KeepLogOpen());
  EXPECT_EQ(log.SetAppendToLog(false), "AppendToLog must be set before writing to log file!");
  EXPECT_TRUE(log.AppendToLog());

  // The scroll bars set before InitDisplay reach the memo then, later ones at once.
  MemoState memo;
  log.SetDispHorSBar(true);
  log.InitDisplay(std::make_unique<FakeMemo>(memo));
  EXPECT_TRUE(memo.horizontal);
  EXPECT_FALSE(memo.vertical);
  log.SetDispVerSBar(true);
  EXPECT_TRUE(memo.vertical);
  EXPECT_EQ(log.SetDisplayLine(true), "");
}

TEST(DispLogSetters, AppendToLogRefusedAfterFirstLineAlsoWithLogLineOffAgain) {
  TempDir dir;
  TDispLog log;
  ASSERT_EQ(log.SetLogFilename((dir / "a.log").string()), "");
  ASSERT_EQ(log.SetLogLine(true), "");
  ASSERT_EQ(log.WriteLine("first"), "");
  ASSERT_EQ(log.SetLogLine(false), "");
  EXPECT_EQ(log.SetAppendToLog(false), "AppendToLog must be set before writing to log file!");
  EXPECT_TRUE(log.AppendToLog());
}

struct StampCase {
  const char* name;
  bool date;
  bool time;
  bool msecs;
  std::uint32_t position;
  std::string text;
  std::string shown;
};

// Cases print by name (no byte dump in test names).
void PrintTo(const StampCase& c, std::ostream* os) {
  *os << c.name;
}

class DispLogStamp : public ::testing::TestWithParam<StampCase> {};

TEST_P(DispLogStamp, DisplayedLineLayout) {
  const StampCase& c = GetParam();
  MemoState memo;
  TDispLog log(FixedClock());
  log.InitDisplay(std::make_unique<FakeMemo>(memo));
  ASSERT_EQ(log.SetDisplayLine(true), "");
  log.SetDisplayDate(c.date);
  log.SetDisplayTime(c.time);
  log.SetDisplayMSecs(c.msecs);
  ASSERT_EQ(log.SetDisplayDTPos(c.position), "");
  ASSERT_EQ(log.WriteLine(c.text), "");
  EXPECT_EQ(memo.lines, std::vector<std::string>{c.shown});
}

INSTANTIATE_TEST_SUITE_P(
    Layouts,
    DispLogStamp,
    ::testing::Values(
        StampCase{"AllInFront", true, true, true, 0, "abc", "05/03/2024 ~ 14:07:09.045 ~ abc"},
        StampCase{"TimeInFront", false, true, false, 0, "abc", "14:07:09 ~ abc"},
        StampCase{"DateInFront", true, false, true, 0, "abc", "05/03/2024 ~ abc"},
        StampCase{"MSecsAloneStampsNothing", false, false, true, 0, "abc", "abc"},
        StampCase{"AllAtColumn10", true, true, true, 10, "abc",
                  "abc       ~ 05/03/2024 ~ 14:07:09.045"},
        StampCase{"TimeAtColumn6", false, true, false, 6, "abc", "abc   ~ 14:07:09"},
        StampCase{"LineLongerThanColumn", true, false, false, 3, "abcdef", "abcdef ~ 05/03/2024"},
        StampCase{"ColumnCountsCharacters", false, true, false, 6,
                  "\xC3\x86"
                  "ble",
                  "\xC3\x86"
                  "ble  ~ 14:07:09"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(DispLogStampClock, BehindTheTextTheDateComesFromASecondReading) {
  const auto beforeMidnight = LocalTime(2023, 12, 31, 23, 59, 59, 999);
  const auto afterMidnight = LocalTime(2024, 1, 1, 0, 0, 0, 0);
  for (const std::uint32_t position : {0U, 3U}) {
    MemoState memo;
    TDispLog log(Readings({beforeMidnight, afterMidnight}));
    log.InitDisplay(std::make_unique<FakeMemo>(memo));
    ASSERT_EQ(log.SetDisplayLine(true), "");
    log.SetDisplayDate(true);
    log.SetDisplayTime(true);
    log.SetDisplayMSecs(true);
    ASSERT_EQ(log.SetDisplayDTPos(position), "");
    ASSERT_EQ(log.WriteLine("x"), "");
    EXPECT_EQ(memo.lines.at(0),
              position == 0 ? "31/12/2023 ~ 23:59:59.999 ~ x" : "x  ~ 01/01/2024 ~ 23:59:59.999");
  }
}

TEST(DispLogDisplay, HoldsAtMostMaxDispLinesPlusOne) {
  struct Case {
    std::uint32_t maxLines;
    int written;
    std::size_t shown;
    const char* first;
  };
  for (const Case& c : {Case{200, 500, 201, "line 299"}, Case{0, 3, 1, "line 2"}}) {
    MemoState memo;
    TDispLog log;
    log.InitDisplay(std::make_unique<FakeMemo>(memo));
    ASSERT_EQ(log.SetDisplayLine(true), "");
    log.SetMaxDispLines(c.maxLines);
    for (int i = 0; i < c.written; ++i) {
      ASSERT_EQ(log.WriteLine("line " + std::to_string(i)), "");
    }
    ASSERT_EQ(memo.lines.size(), c.shown) << c.maxLines;
    EXPECT_EQ(memo.lines.front(), c.first);
    EXPECT_EQ(memo.lines.back(), "line " + std::to_string(c.written - 1));
  }
}

// Two runs over a log file that holds "old": the first writes a, switches LogLine off and on
// and writes b; the second writes c.
TEST(DispLogFile, OpenRulesAcrossRunsAndSingleLfLineEnds) {
  struct Case {
    bool keepOpen;
    bool append;
    const char* afterFirst;
    const char* afterSecond;
  };
  for (const Case& c : {Case{false, true, "old\na\nb\n", "old\na\nb\nc\n"},
                        Case{true, true, "old\na\nb\n", "old\na\nb\nc\n"},
                        Case{false, false, "a\nb\n", "c\n"}, Case{true, false, "a\nb\n", "c\n"}}) {
    SCOPED_TRACE(testing::Message() << "keepOpen " << c.keepOpen << " append " << c.append);
    TempDir dir;
    const std::string path = (dir / "run.log").string();
    WriteFile(path, "old\n");
    const auto run = [&](const std::vector<std::string>& lines, bool toggle) {
      TDispLog log;
      ASSERT_EQ(log.SetLogFilename(path), "");
      ASSERT_EQ(log.SetAppendToLog(c.append), "");
      ASSERT_EQ(log.SetKeepLogOpen(c.keepOpen), "");
      ASSERT_EQ(log.SetLogLine(true), "");
      for (const std::string& line : lines) {
        ASSERT_EQ(log.WriteLine(line), "");
        if (toggle) {
          ASSERT_EQ(log.SetLogLine(false), "");
          ASSERT_EQ(log.SetLogLine(true), "");
        }
      }
    };
    run({"a", "b"}, true);
    EXPECT_EQ(ReadFile(path), c.afterFirst);
    run({"c"}, false);
    EXPECT_EQ(ReadFile(path), c.afterSecond);
  }
}

TEST(DispLogFile, UnopenableFileGivesItsErrorAndLosesNoOpenFile) {
  TempDir dir;
  const std::string missing = (dir / "no-folder" / "x.log").string();
  const std::string expected = std::string("File I/O error:") + std::strerror(ENOENT);

  TDispLog perLine;
  ASSERT_EQ(perLine.SetLogFilename(missing), "");
  ASSERT_EQ(perLine.SetLogLine(true), "");
  EXPECT_EQ(perLine.WriteLine("lost"), expected);

  TDispLog kept;
  ASSERT_EQ(kept.SetKeepLogOpen(true), "");
  ASSERT_EQ(kept.SetLogFilename(missing), "");
  EXPECT_EQ(kept.SetLogLine(true), expected);
  EXPECT_FALSE(kept.LogLine());

  // A new name that cannot be opened leaves the open file and its name in use.
  const std::string good = (dir / "good.log").string();
  ASSERT_EQ(kept.SetLogFilename(good), "");
  ASSERT_EQ(kept.SetLogLine(true), "");
  ASSERT_EQ(kept.WriteLine("one"), "");
  EXPECT_EQ(kept.SetLogFilename(missing), expected);
  EXPECT_EQ(kept.LogFilename(), good);
  ASSERT_EQ(kept.WriteLine("two"), "");
  EXPECT_EQ(ReadFile(good), "one\ntwo\n");
}

TEST(DebugMode, LettersAnywhereInTheCommandLine) {
  struct Case {
    const char* commandLine;
    int mode;
  };
  for (const Case& c : {Case{"", 0}, Case{"x", 0}, Case{"/d", 1}, Case{"-v", 2}, Case{"dv", 3},
                        Case{"/d /v", 3}, Case{"-D", 1}, Case{"/V", 2}}) {
    EXPECT_EQ(ParseDebugMode(std::string_view(c.commandLine)), c.mode) << c.commandLine;
  }
  // The program name is not part of it, even when it holds the letters.
  EXPECT_EQ(ParseDebugMode(std::vector<std::string>{"/opt/dvd/tavraloader", "x"}), 0);
  EXPECT_EQ(ParseDebugMode(std::vector<std::string>{"prog", "/d", "/v"}), 3);
  EXPECT_EQ(ParseDebugMode(std::vector<std::string>{}), 0);
}

// Runs in a fresh temporary folder as the current folder.
class DebugLogSetUp : public ::testing::Test {
 protected:
  void SetUp() override {
    m_previous = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.Path());
  }
  void TearDown() override { std::filesystem::current_path(m_previous); }

  TempDir m_dir;
  std::filesystem::path m_previous;
};

TEST_F(DebugLogSetUp, ModesWriteTheStampedLogstartLine) {
  const std::string stamped = "05/03/2024  14:07:09.045  " + std::string(kLogStartLine);
  EXPECT_EQ(kLogStartLine, "****** Logstart for Tavra Firmware Loader version = 1");
  struct Case {
    const char* commandLine;
    bool file;
    bool display;
  };
  for (const Case& c : {Case{"x", false, false}, Case{"/d", true, false}, Case{"-v", false, true},
                        Case{"/d /v", true, true}}) {
    SCOPED_TRACE(c.commandLine);
    std::filesystem::remove("Debug.Log");
    MemoState memo;
    {
      TDispLog log(FixedClock());
      ASSERT_EQ(SetUpDebugLog(log, ParseDebugMode(c.commandLine), std::make_unique<FakeMemo>(memo)),
                "");
      ASSERT_EQ(log.WriteLine(kLogStartLine), "");
    }
    EXPECT_EQ(std::filesystem::exists("Debug.Log"), c.file);
    if (c.file) {
      EXPECT_EQ(ReadFile("Debug.Log"), stamped + "\n");
    }
    EXPECT_EQ(memo.lines,
              c.display ? std::vector<std::string>{stamped} : std::vector<std::string>{});
  }
  TDispLog noMemo;
  EXPECT_EQ(SetUpDebugLog(noMemo, 2, nullptr),
            "Must call InitDisplay() before setting DisplayLine = true!");
}

TEST(DispLogSinkThreads, LinesFromTwoThreadsStayWhole) {
  TempDir dir;
  const std::string path = (dir / "threads.log").string();
  constexpr int kLinesPerThread = 200;
  {
    TDispLog log;
    ASSERT_EQ(log.SetLogFilename(path), "");
    ASSERT_EQ(log.SetKeepLogOpen(true), "");
    ASSERT_EQ(log.SetLogLine(true), "");
    DispLogSink sink(log);
    const auto writer = [&sink](char name) {
      for (int i = 0; i < kLinesPerThread; ++i) {
        sink.WriteLine(std::string(1, name) + std::string(40, '.'));
      }
    };
    std::thread worker(writer, 'w');
    writer('m');
    worker.join();
  }
  const std::vector<std::string> lines = Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), 2U * kLinesPerThread);
  for (const std::string& line : lines) {
    ASSERT_EQ(line.size(), 41U);
  }
}

}  // namespace
}  // namespace tavra::loader
