// The line reader: line ends, line limits, last lines without an end, and files whose lines
// cross the reader's read chunks.

#include "loader/app/line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/file_contents.h"
#include "tests/common/temp_dir.h"

namespace tavra::loader {
namespace {

using tavra::test::TempDir;
using tavra::test::WriteFile;

using Status = LineReader::Status;

struct Read {
  std::vector<std::string> lines;  // "<too long>" marks a skipped line
  Status last = Status::End;
};

Read ReadAll(const LineSource& source, std::size_t maxChars) {
  LineReader reader(source, maxChars);
  Read result;
  for (;;) {
    const Status status = reader.Next();
    if (status == Status::Line) {
      result.lines.emplace_back(reader.Text());
    } else if (status == Status::TooLong) {
      result.lines.emplace_back("<too long:" + std::string(reader.Text().substr(0, 3)) + ">");
    } else {
      result.last = status;
      return result;
    }
  }
}

struct LineCase {
  const char* name;
  std::string text;
  std::vector<std::string> lines;
};

class FirmwareLineEnds : public ::testing::TestWithParam<LineCase> {};

TEST_P(FirmwareLineEnds, SplitsAsExpected) {
  const LineCase& c = GetParam();
  const Read read = ReadAll(LineSource::Text(c.text), kRecordLineChars);
  EXPECT_EQ(read.lines, c.lines);
  EXPECT_EQ(read.last, Status::End);
}

INSTANTIATE_TEST_SUITE_P(
    Cases,
    FirmwareLineEnds,
    ::testing::Values(LineCase{"Empty", "", {}},
                      LineCase{"Lf", "a\nb\n", {"a", "b"}},
                      LineCase{"CrLf", "a\r\nb\r\n", {"a", "b"}},
                      LineCase{"Mixed", "a\r\nb\nc\r\n", {"a", "b", "c"}},
                      LineCase{"EmptyLines", "\n\r\n\n", {"", "", ""}},
                      LineCase{"LastLineWithoutEnd", "a\r\n:00000001FF", {"a", ":00000001FF"}},
                      LineCase{"LoneCrIsText", "a\rb\r\n", {"a\rb"}},
                      LineCase{"CrAtEndOfFileIsText", "a\r", {"a\r"}},
                      LineCase{"DoubleCrKeepsOne", "a\r\r\n", {"a\r"}},
                      LineCase{
                          "ZeroByteIsText", std::string("a\0b\n", 4), {std::string("a\0b", 3)}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(FirmwareLineReader, LimitCountsTextWithoutLineEnd) {
  const std::string fits(199, 'x');
  const std::string over(200, 'y');
  const std::string text = fits + "\r\n" + over + "\r\n" + fits + "\n" + over;
  const Read read = ReadAll(LineSource::Text(text), kRecordLineChars);
  EXPECT_EQ(read.lines, (std::vector<std::string>{fits, "<too long:yyy>", fits, "<too long:yyy>"}));
}

TEST(FirmwareLineReader, TooLongLineDeliversItsFirstCharactersAndReadingGoesOn) {
  const std::string text = ":" + std::string(150, 'A') + "\nnext\n";
  LineReader reader(LineSource::Text(text), kHeaderLineChars);
  ASSERT_EQ(reader.Next(), Status::TooLong);
  EXPECT_EQ(reader.Text().size(), kHeaderLineChars);
  EXPECT_TRUE(IsRecordLine(reader.Text()));
  EXPECT_EQ(reader.LineNumber(), 1);
  ASSERT_EQ(reader.Next(), Status::Line);
  EXPECT_EQ(reader.Text(), "next");
  EXPECT_EQ(reader.LineNumber(), 2);
  EXPECT_EQ(reader.Next(), Status::End);
}

TEST(FirmwareLineReader, RecordAndHeaderLineKinds) {
  EXPECT_TRUE(IsRecordLine(":"));
  EXPECT_TRUE(IsRecordLine(":00000001FF"));
  EXPECT_FALSE(IsRecordLine(""));
  EXPECT_FALSE(IsRecordLine(" :00"));
  EXPECT_FALSE(IsRecordLine("[Product]"));
}

TEST(FirmwareLineReader, MissingFileEndsAtOnce) {
  TempDir dir;
  LineReader reader(LineSource::File(dir / "absent.tvw"), kRecordLineChars);
  EXPECT_FALSE(reader.Opened());
  EXPECT_NE(reader.SystemError(), 0);
  EXPECT_EQ(reader.Next(), Status::End);
}

TEST(FirmwareLineReader, FolderGivesReadError) {
  TempDir dir;
  LineReader reader(LineSource::File(dir.Path()), kRecordLineChars);
  EXPECT_EQ(reader.Next(), Status::ReadError);
}

// Lines of every length around the reader's 64 KiB chunks: a file read gives exactly the lines
// that the same text read from memory gives.
TEST(FirmwareLineReader, FileLinesAcrossChunksMatchTextLines) {
  std::string text;
  for (int i = 0; text.size() < 300 * 1024; ++i) {
    const auto length = static_cast<std::size_t>((i * 37) % 230);
    text += std::string(length, static_cast<char>('a' + i % 26));
    text += (i % 3 == 0) ? "\r\n" : "\n";
  }
  text += std::string(120, 'z');  // no line end
  TempDir dir;
  WriteFile(dir / "big.tvw", text);

  const Read fromText = ReadAll(LineSource::Text(text), kRecordLineChars);
  const Read fromFile = ReadAll(LineSource::File(dir / "big.tvw"), kRecordLineChars);
  EXPECT_EQ(fromFile.lines, fromText.lines);
  EXPECT_EQ(fromFile.last, Status::End);
  EXPECT_GT(fromText.lines.size(), 2000u);
  EXPECT_EQ(fromText.lines.back(), std::string(120, 'z'));
}

// A CR LF split by a chunk boundary still ends the line (the CR is not text).
TEST(FirmwareLineReader, CrLfSplitAtChunkBoundary) {
  const std::size_t chunk = 64 * 1024;
  std::string text(chunk - 100, '\n');
  text += std::string(99, 'q');  // ends one byte before the boundary
  text += "\r\nlast\r\n";
  TempDir dir;
  WriteFile(dir / "split.tvw", text);
  const Read read = ReadAll(LineSource::File(dir / "split.tvw"), kRecordLineChars);
  ASSERT_EQ(read.lines.size(), chunk - 100 + 2);
  EXPECT_EQ(read.lines[read.lines.size() - 2], std::string(99, 'q'));
  EXPECT_EQ(read.lines.back(), "last");
}

}  // namespace
}  // namespace tavra::loader
