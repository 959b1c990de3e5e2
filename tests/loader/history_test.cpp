// The update history file: records come back as they were written (texts with quotes, line ends
// and UTF-8 included), a cut-off line is skipped, and where the file lives.

#include <gtest/gtest.h>

#include <cstdlib>

#include "loader/app/history_file.h"
#include "tests/common/file_contents.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tavra::loader::test {
namespace {

using tavra::test::ReadFile;
using tavra::test::ScopedEnv;
using tavra::test::TempDir;
using tavra::test::WriteFile;

HistoryRecord Sample(std::string file) {
  HistoryRecord record;
  record.time = "2024-06-01T12:34:56Z";
  record.port = 3;
  record.action = std::string(kActionUpdate);
  record.controller = "Tavra Controller";
  record.versionBefore = "2.05  DK";
  record.versionAfter = "3.00  DK";
  record.file = std::move(file);
  record.headerChecksum = 7650;
  record.firmwareChecksum = 20014;
  record.result = std::string(kResultOk);
  record.message = "IDS_MB_5_TEXT";
  record.seconds = 12.25;
  return record;
}

void ExpectSame(const HistoryRecord& a, const HistoryRecord& b) {
  EXPECT_EQ(ToJsonLine(a), ToJsonLine(b));
  EXPECT_EQ(a.file, b.file);
  EXPECT_EQ(a.port, b.port);
  EXPECT_EQ(a.firmwareChecksum, b.firmwareChecksum);
}

TEST(History, RecordsComeBackAndABrokenLineIsSkipped) {
  TempDir dir;
  const auto file = dir / "state" / "tavra" / "history.jsonl";
  const HistoryRecord odd = Sample("/tmp/\"\xC3\x98K\"\\\nfirmware.TVW");
  ASSERT_TRUE(AppendHistory(file, odd));
  const std::string cut = ToJsonLine(Sample("cut.TVW"));
  WriteFile(dir / "cut", cut.substr(0, cut.size() / 2));
  std::string text = ReadFile(file) + ReadFile(dir / "cut") + "\n{\"time\":\"x\"}\n";
  WriteFile(file, text);  // a line cut by a crash, one without an action
  HistoryRecord version = Sample("");
  version.action = std::string(kActionVersion);
  version.headerChecksum = version.firmwareChecksum = -1;
  ASSERT_TRUE(AppendHistory(file, version));

  const std::vector<HistoryRecord> records = ReadHistory(file);
  ASSERT_EQ(records.size(), 2u);
  ExpectSame(records[0], odd);
  ExpectSame(records[1], version);
  EXPECT_EQ(ToJsonLine(version).find("Checksum"), std::string::npos);  // unknown: left out
  EXPECT_TRUE(ReadHistory(dir / "none.jsonl").empty());
}

TEST(History, TheFileLivesUnderXdgStateHome) {
  {
    const ScopedEnv absolute("XDG_STATE_HOME", "/var/tmp/state");
    EXPECT_EQ(DefaultHistoryFile(), "/var/tmp/state/tavra/history.jsonl");
  }
  const ScopedEnv relative("XDG_STATE_HOME", "relative");  // not absolute: ignored
  if (const char* home = std::getenv("HOME"); home != nullptr) {
    EXPECT_EQ(DefaultHistoryFile(),
              std::filesystem::path(home) / ".local/state/tavra/history.jsonl");
  }
}

}  // namespace
}  // namespace tavra::loader::test
