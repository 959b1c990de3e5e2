// The firmware file operations: checksums, the open check, the download header and image, the
// backup file's record lines and check, and the compatibility test.

#include "loader/app/firmware_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "firmware_file_support.h"
#include "tests/common/file_contents.h"
#include "tests/common/temp_dir.h"

namespace tavra::loader {
namespace {

using tavra::test::ReadFile;
using tavra::test::TempDir;
using tavra::test::WriteFile;

using test::DemoFile;
using test::DemoLines;
using test::JoinCrLf;

LineSource Text(const std::string& text) {
  return LineSource::Text(text);
}

std::vector<std::uint8_t> RowBytes(const FirmwareImage& image, int r) {
  const auto row = image.Row(r);
  return {row.begin(), row.end()};
}

// --- checksums ---

TEST(FirmwareChecksums, SingleLineExamples) {
  EXPECT_EQ(CalcFileHeaderChecksum(Text("[Product]\r\n")), 944);
  EXPECT_EQ(CalcFileHeaderChecksum(Text("Country=\xD8\r\n")), 800);  // 0xD8 counts as -40
  EXPECT_EQ(CalcFirmwareChecksum(Text(":00000001FF\r\n")), 606);
  // The line end does not matter: LF alone and no end at all sum the same.
  EXPECT_EQ(CalcFileHeaderChecksum(Text("[Product]\n")), 944);
  EXPECT_EQ(CalcFileHeaderChecksum(Text("[Product]")), 944);
  EXPECT_EQ(CalcFirmwareChecksum(Text(":00000001FF")), 606);
}

TEST(FirmwareChecksums, EachSumSeesOnlyItsKindOfLine) {
  EXPECT_EQ(CalcFirmwareChecksum(Text("[Product]\r\n")), 0);
  EXPECT_EQ(CalcFileHeaderChecksum(Text(":00000001FF\r\n")), 0);
  EXPECT_EQ(CalcFileHeaderChecksum(Text("\r\n")), 23);  // an empty line is a header line
  EXPECT_EQ(CalcFileHeaderChecksum(Text("")), 0);
  EXPECT_EQ(CalcFirmwareChecksum(Text("")), 0);
}

TEST(FirmwareChecksums, DemoFile) {
  EXPECT_EQ(CalcFileHeaderChecksum(Text(DemoFile())), 6340);
  EXPECT_EQ(CalcFirmwareChecksum(Text(DemoFile())), 1589);
}

TEST(FirmwareChecksums, HeaderSumStopsAfterSevenLines) {
  std::vector<std::string> lines = DemoLines();
  const std::uint16_t sum = CalcFileHeaderChecksum(Text(JoinCrLf(lines)));
  lines[7] = "[Anything else]";
  lines.insert(lines.begin() + 8, "Extra=line");
  EXPECT_EQ(CalcFileHeaderChecksum(Text(JoinCrLf(lines))), sum);
}

TEST(FirmwareChecksums, RecordLinesAmongFirstSevenCountButAddNothing) {
  // Two record lines in the first seven push Agent and the Date section out of the sum:
  // [Product] 944 + Name=Demo 858 + Version=2.05 1023 + Country=DK 983 + Agent=Test 995.
  const std::string text = JoinCrLf({"[Product]", "Name=Demo", ":00000001FF", "Version=2.05",
                                     ":00000001FF", "Country=DK", "Agent=Test", "[Date]"});
  EXPECT_EQ(CalcFileHeaderChecksum(Text(text)), 944 + 858 + 1023 + 983 + 995);
  EXPECT_EQ(CalcFirmwareChecksum(Text(text)), 2 * 606);
}

TEST(FirmwareChecksums, ChecksumSectionAmongFirstSevenIsSummed) {
  const std::string text =
      JoinCrLf({"[Checksum]", "FirmwareChecksum=606", "[Product]", ":00000001FF"});
  EXPECT_EQ(CalcFileHeaderChecksum(Text(text)), 1026 + 1888 + 944);
  // Such a file can still pass: its FileHeaderChecksum is the FirmwareChecksum value unless
  // given, and the value itself is part of what is summed.
  const std::string selfChecked =
      JoinCrLf({"[Product]", "Name=Demo", "Version=2.05", "Country=DK", "Agent=Test", "[Checksum]",
                "FirmwareChecksum=606", ":00000001FF"});
  const FirmwareFileCheck check = CheckFirmwareFile(Text(selfChecked));
  EXPECT_EQ(check.computedHeaderChecksum, 944 + 858 + 1023 + 983 + 995 + 1026 + 1888);
  EXPECT_EQ(check.expectedHeaderChecksum, 606);
  EXPECT_FALSE(check.Passed());
}

TEST(FirmwareChecksums, SumWrapsModulo65536) {
  // 199 times '~' (126) per line, 3 lines: 3 * (25074 + 23) = 75291 -> 9755.
  const std::string line(199, '~');
  EXPECT_EQ(CalcFileHeaderChecksum(Text(JoinCrLf({line, line, line}))), 75291 - 65536);
  // Negative sums wrap the other way: 199 bytes of 0x80 (-128) = -25472 + 23 -> 40087.
  EXPECT_EQ(CalcFileHeaderChecksum(Text(std::string(199, '\x80') + "\r\n")), 65536 - 25472 + 23);
}

TEST(FirmwareChecksums, ReadingEndsAtOverlongLine) {
  const std::string text = JoinCrLf({":00000001FF", ":" + std::string(199, 'A'), ":00000001FF"});
  EXPECT_EQ(CalcFirmwareChecksum(Text(text)), 606);
  EXPECT_EQ(CalcFileHeaderChecksum(Text(JoinCrLf({"[Product]", std::string(200, 'x'), "A"}))), 944);
}

TEST(FirmwareChecksums, MissingFileSumsToZero) {
  TempDir dir;
  EXPECT_EQ(CalcFileHeaderChecksum(dir / "none.tvw"), 0);
  EXPECT_EQ(CalcFirmwareChecksum(dir / "none.tvw"), 0);
}

// --- the open check ---

TEST(FirmwareOpenCheck, DemoFilePassesFromFileAndText) {
  TempDir dir;
  WriteFile(dir / "demo.tvw", DemoFile());
  EXPECT_TRUE(VerifyFirmwareFile(dir / "demo.tvw"));
  const FirmwareFileCheck check = CheckFirmwareFile(dir / "demo.tvw");
  EXPECT_TRUE(check.Passed());
  EXPECT_EQ(check.storedHeaderChecksum, 6340);
  EXPECT_EQ(check.storedFirmwareChecksum, 1589);
  EXPECT_EQ(check.computedHeaderChecksum, 6340);
  EXPECT_EQ(check.computedFirmwareChecksum, 1589);
  EXPECT_EQ(check.rows, 2);
  EXPECT_EQ(check.headerBytes, 145u);
  // LF line ends and a missing last line end give the same result.
  std::string lf;
  for (const auto& line : DemoLines()) {
    lf += line + "\n";
  }
  EXPECT_TRUE(VerifyFirmwareFile(Text(lf)));
  EXPECT_TRUE(VerifyFirmwareFile(Text(lf.substr(0, lf.size() - 1))));
}

TEST(FirmwareOpenCheck, ChangingOneCharacterOfProtectedLinesFails) {
  const std::vector<std::string> lines = DemoLines();
  for (const std::size_t index : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 10u, 11u}) {
    for (std::size_t pos = 0; pos < lines[index].size(); ++pos) {
      std::vector<std::string> changed = lines;
      changed[index][pos] = static_cast<char>(changed[index][pos] + 1);
      if (changed[index][0] == ':' && index < 7) {
        continue;  // turning a header line into a record line is another case
      }
      const FirmwareFileCheck check = CheckFirmwareFile(Text(JoinCrLf(changed)));
      EXPECT_FALSE(check.Passed()) << "line " << index + 1 << " pos " << pos;
      if (index < 7) {
        EXPECT_FALSE(check.HeaderChecksumMatches()) << "line " << index + 1 << " pos " << pos;
      } else {
        EXPECT_FALSE(check.FirmwareChecksumMatches()) << "line " << index + 1 << " pos " << pos;
      }
    }
  }
}

TEST(FirmwareOpenCheck, ChangesOfChecksumLinesThatKeepTheValuesPass) {
  const std::vector<std::pair<std::size_t, std::string>> changes = {
      {7, "[checksum]"},
      {7, "  [ CHECKSUM ]  "},
      {8, "FileHeaderChecksum = 6340"},
      {8, "fileheaderchecksum=0x18C4"},
      {8, "FileHeaderChecksum=$18c4"},
      {8, "FileHeaderChecksum=\"6340\""},
      {8, "FileHeaderChecksum=71876"},  // 6340 + 65536
      {9, "FirmwareChecksum=$635"},
      {9, "FIRMWARECHECKSUM=0X635"},
      {9, "FirmwareChecksum=-63947"},  // 1589 - 65536
      {9, "FirmwareChecksum='1589'"},
  };
  for (const auto& [index, text] : changes) {
    std::vector<std::string> lines = DemoLines();
    lines[index] = text;
    EXPECT_TRUE(VerifyFirmwareFile(Text(JoinCrLf(lines)))) << text;
  }
}

TEST(FirmwareOpenCheck, StoredValuesAreComparedOnLow16Bits) {
  // One header line that sums to 4464 ('I' and 91 zeros), then six empty record lines (81 each).
  const std::vector<std::string> product = {
      "I" + std::string(91, '0'), ":", ":", ":", ":", ":", ":"};
  ASSERT_EQ(CalcFileHeaderChecksum(Text(JoinCrLf(product))), 4464);
  ASSERT_EQ(CalcFirmwareChecksum(Text(JoinCrLf(product))), 486);
  const auto file = [&](const std::string& header, const std::string& firmware) {
    std::vector<std::string> lines = product;
    lines.insert(lines.end(),
                 {"[Checksum]", "FileHeaderChecksum=" + header, "FirmwareChecksum=" + firmware});
    return JoinCrLf(lines);
  };
  struct Case {
    const char* header;
    const char* firmware;
    bool passes;
  };
  const std::vector<Case> cases = {
      {"4464", "486", true},         {"70000", "486", true},  {"$11170", "486", true},
      {"-61072", "486", true},       {"70001", "486", false}, {"4464", "66022", true},
      {"4464", "-65050", true},      {"4464", "487", false},  {"4464", "2147483647", false},
      {"4464", "2147483648", false},  // does not convert: 65535
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VerifyFirmwareFile(Text(file(c.header, c.firmware))), c.passes)
        << c.header << " " << c.firmware;
  }

  // -1 matches 65535: a record line of ':' and 82 bytes 0xFF sums to 81 - 82.
  const auto withRecord = [](const std::string& firmware) {
    std::vector<std::string> lines = DemoLines();
    lines[9] = "FirmwareChecksum=" + firmware;
    lines.resize(10);
    lines.push_back(":" + std::string(82, '\xFF'));
    return CheckFirmwareFile(Text(JoinCrLf(lines)));
  };
  EXPECT_EQ(withRecord("-1").computedFirmwareChecksum, 65535);
  EXPECT_TRUE(withRecord("-1").FirmwareChecksumMatches());
  EXPECT_TRUE(withRecord("65535").FirmwareChecksumMatches());
  EXPECT_TRUE(withRecord("$FFFFFFFF").FirmwareChecksumMatches());
  EXPECT_FALSE(withRecord("-2").FirmwareChecksumMatches());
  EXPECT_EQ(withRecord("-1").layout.error, FileError::NotHex);  // the bytes are no hex digits
}

TEST(FirmwareOpenCheck, MissingChecksumKeysUseDefaults) {
  // No FirmwareChecksum: 65535; no FileHeaderChecksum: the FirmwareChecksum value.
  const FirmwareFileCheck none = CheckFirmwareFile(Text("[Product]\r\n"));
  EXPECT_EQ(none.storedFirmwareChecksum, std::nullopt);
  EXPECT_EQ(none.expectedFirmwareChecksum, 65535);
  EXPECT_EQ(none.expectedHeaderChecksum, 65535);
  EXPECT_FALSE(none.Passed());

  const FirmwareFileCheck onlyFirmware =
      CheckFirmwareFile(Text("[Checksum]\r\nFirmwareChecksum=1234\r\n"));
  EXPECT_EQ(onlyFirmware.expectedHeaderChecksum, 1234);
  const FirmwareFileCheck notInt =
      CheckFirmwareFile(Text("[Checksum]\r\nFirmwareChecksum=abc\r\nFileHeaderChecksum=x\r\n"));
  EXPECT_EQ(notInt.storedFirmwareChecksum, std::nullopt);
  EXPECT_EQ(notInt.expectedFirmwareChecksum, 65535);
  EXPECT_EQ(notInt.expectedHeaderChecksum, 65535);
}

TEST(FirmwareOpenCheck, MissingFileFails) {
  TempDir dir;
  const FirmwareFileCheck check = CheckFirmwareFile(dir / "none.tvw");
  EXPECT_FALSE(check.Passed());
  EXPECT_EQ(check.layout.error, FileError::CannotOpen);
  EXPECT_EQ(check.computedHeaderChecksum, 0);
  EXPECT_EQ(FormatProductInfo(dir / "none.tvw"), " \r\n   \r\n \r\n \r\n");
}

TEST(FirmwareOpenCheck, FileThatDoesNotLoadFailsWithMatchingChecksums) {
  // Checksums that match but a record that is not hexadecimal: the open check refuses it.
  std::vector<std::string> lines = DemoLines();
  lines[11] = ":00000001FG";          // 'G' is one above 'F'
  lines[10] = ":0400000001020304F1";  // and one below elsewhere: the sum stays 1589
  const FirmwareFileCheck check = CheckFirmwareFile(Text(JoinCrLf(lines)));
  EXPECT_TRUE(check.HeaderChecksumMatches());
  EXPECT_TRUE(check.FirmwareChecksumMatches());
  EXPECT_FALSE(check.Passed());
  EXPECT_EQ(check.layout.error, FileError::NotHex);
  EXPECT_EQ(check.layout.line, 12);
  EXPECT_EQ(check.layout.column, 11);
}

// --- product information and compatibility ---

TEST(FirmwareProductInfo, DemoFileText) {
  EXPECT_EQ(FormatProductInfo(Text(DemoFile())), "Demo \r\n2.05  DK \r\nTest \r\n01-02-2003 \r\n");
  EXPECT_EQ(FormatProductInfo(Text("[Date]\nDate=\"1-1-99\"\n")), " \r\n   \r\n \r\n1-1-99 \r\n");
}

TEST(FirmwareCompatibility, VersionAndProductionCode) {
  const auto withVersion = [](const std::string& version) {
    return "[Product]\r\nVersion=" + version + "\r\n";
  };
  ProductionData any;
  ProductionData code202;
  const std::string serial = "SN-202-0001";
  std::copy(serial.begin(), serial.end(), code202.bytes.begin());
  ASSERT_EQ(code202.CompatibilityCode(), "202");
  ProductionData code203 = code202;
  code203.bytes[5] = '3';

  struct Case {
    std::string file;
    bool anyController;
    bool with202;
    bool with203;
  };
  const std::vector<Case> cases = {
      {DemoFile(), true, true, true},
      {withVersion("2"), true, true, true},
      {withVersion("  2.99  "), true, true, true},
      {withVersion("3.0"), false, true, false},
      {withVersion("3"), false, true, false},
      {withVersion(""), false, false, false},
      {withVersion("1.5"), false, false, false},
      {withVersion("4.0"), false, false, false},
      {withVersion("v2"), false, false, false},
      {"[Product]\r\nName=X\r\n", false, false, false},
      {"", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsFirmwareAllowed(Text(c.file), any), c.anyController) << c.file;
    EXPECT_EQ(IsFirmwareAllowed(Text(c.file), code202), c.with202) << c.file;
    EXPECT_EQ(IsFirmwareAllowed(Text(c.file), code203), c.with203) << c.file;
  }
}

// --- download header ---

TEST(FirmwareDownloadHeader, DemoFileHoldsTenLinesWithCrLf) {
  HeaderText header;
  header.bytes.fill('#');
  ASSERT_TRUE(BuildDownloadHeader(Text(DemoFile()), header).Ok());
  const std::vector<std::string> lines = DemoLines();
  const std::string expected = JoinCrLf({lines.begin(), lines.begin() + 10});
  EXPECT_EQ(header.Text(), expected);
  EXPECT_EQ(header.Text().size(), 145u);
  for (std::size_t i = 145; i < HeaderText::kSize; ++i) {
    ASSERT_EQ(header.bytes[i], '\0') << i;
  }
}

TEST(FirmwareDownloadHeader, EmptyLinesAndLfEndsBecomeCrLf) {
  HeaderText header;
  ASSERT_TRUE(BuildDownloadHeader(Text("[A]\n\n:00\nB=1\r\n:01\n\n"), header).Ok());
  EXPECT_EQ(header.Text(), "[A]\r\n\r\nB=1\r\n\r\n");
}

TEST(FirmwareDownloadHeader, LongRecordLinesAreSkipped) {
  HeaderText header;
  ASSERT_TRUE(BuildDownloadHeader(Text("[A]\n:" + std::string(198, '0') + "\nB=1\n"), header).Ok());
  EXPECT_EQ(header.Text(), "[A]\r\nB=1\r\n");
}

TEST(FirmwareDownloadHeader, FillsExactly511Bytes) {
  // Five lines of 100 bytes with CR LF (500) plus one of 9 + 2: 511 bytes of text.
  std::vector<std::string> lines(5, std::string(98, 'h'));
  lines.emplace_back(9, 'e');
  HeaderText header;
  ASSERT_TRUE(BuildDownloadHeader(Text(JoinCrLf(lines)), header).Ok());
  EXPECT_EQ(header.Text().size(), 511u);
  EXPECT_EQ(header.bytes[511], '\0');

  lines.back() += "x";  // one byte too many
  header.bytes.fill('#');
  const FileResult result = BuildDownloadHeader(Text(JoinCrLf(lines)), header);
  EXPECT_EQ(result.error, FileError::HeaderTooLong);
  EXPECT_EQ(result.line, 6);
  EXPECT_EQ(header.Text(), "");
  for (const char c : header.bytes) {
    ASSERT_EQ(c, '\0');
  }
}

TEST(FirmwareDownloadHeader, RefusesLinesItCannotHold) {
  HeaderText header;
  EXPECT_TRUE(BuildDownloadHeader(Text(std::string(99, 'x') + "\n"), header).Ok());
  const FileResult tooLong =
      BuildDownloadHeader(Text("[A]\n" + std::string(100, 'x') + "\n"), header);
  EXPECT_EQ(tooLong.error, FileError::HeaderLineTooLong);
  EXPECT_EQ(tooLong.line, 2);
  EXPECT_EQ(header.Text(), "");

  const FileResult zero = BuildDownloadHeader(Text(std::string("[A]\nB=\0x\n", 9)), header);
  EXPECT_EQ(zero.error, FileError::ZeroInHeader);
  EXPECT_EQ(zero.line, 2);

  TempDir dir;
  EXPECT_EQ(BuildDownloadHeader(dir / "none.tvw", header).error, FileError::CannotOpen);
}

TEST(FirmwareHeaderText, TextNeverRunsPastTheLastByte) {
  HeaderText header;
  header.bytes.fill('A');
  EXPECT_EQ(header.Text().size(), 511u);
  header.bytes[3] = '\0';
  EXPECT_EQ(header.Text(), "AAA");
}

// --- download image ---

TEST(FirmwareDownloadImage, DemoFileRows) {
  auto image = std::make_unique<FirmwareImage>();
  ASSERT_TRUE(LoadDownloadImage(Text(DemoFile()), *image).Ok());
  EXPECT_EQ(image->rowCount, 2);
  EXPECT_EQ(RowBytes(*image, 1),
            (std::vector<std::uint8_t>{0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0xF2}));
  EXPECT_EQ(RowBytes(*image, 2), (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01, 0xFF}));
  EXPECT_EQ(image->rowLength[1], 9);
  EXPECT_EQ(image->rowLength[2], 5);
}

TEST(FirmwareDownloadImage, DecodesDigits) {
  struct Case {
    std::string line;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {":", {}},
      {":ABC", {0xAB, 0x0C}},
      {":abcdef", {0xAB, 0xCD, 0xEF}},
      {":aBcD", {0xAB, 0xCD}},
      {":7", {0x07}},
      {":0123456789", {0x01, 0x23, 0x45, 0x67, 0x89}},
      {":" + std::string(198, 'F'), std::vector<std::uint8_t>(99, 0xFF)},
      {":" + std::string(197, 'e'),
       [] {
         std::vector<std::uint8_t> v(98, 0xEE);
         v.push_back(0x0E);
         return v;
       }()},
  };
  auto image = std::make_unique<FirmwareImage>();
  for (const Case& c : cases) {
    ASSERT_TRUE(LoadDownloadImage(Text(c.line + "\r\n"), *image).Ok()) << c.line;
    EXPECT_EQ(image->rowCount, 1);
    EXPECT_EQ(RowBytes(*image, 1), c.bytes) << c.line;
  }
}

TEST(FirmwareDownloadImage, RefusesWhatItCannotRead) {
  struct Case {
    std::string text;
    FileError error;
    int line;
    int column;
  };
  const std::vector<Case> cases = {
      {"[A]\n:00\n:0G\n", FileError::NotHex, 3, 3},
      {":G0\n", FileError::NotHex, 1, 2},
      {":00 11\n", FileError::NotHex, 1, 4},
      {":0-\n", FileError::NotHex, 1, 3},
      {":0\r0\n", FileError::NotHex, 1, 3},
      {":00\n:" + std::string(199, '0') + "\n", FileError::LineTooLong, 2, 0},
      {":00\n" + std::string(200, 'h') + "\n", FileError::LineTooLong, 2, 0},
  };
  auto image = std::make_unique<FirmwareImage>();
  for (const Case& c : cases) {
    image->rowCount = 7;
    const FileResult result = LoadDownloadImage(Text(c.text), *image);
    EXPECT_EQ(result.error, c.error) << c.text.substr(0, 20);
    EXPECT_EQ(result.line, c.line) << c.text.substr(0, 20);
    EXPECT_EQ(result.column, c.column) << c.text.substr(0, 20);
    EXPECT_EQ(image->rowCount, 0);
    EXPECT_FALSE(DescribeFileResult(result).empty());
  }
}

TEST(FirmwareDownloadImage, HeaderOnlyFileHasNoRows) {
  const std::string text = JoinCrLf({"[Product]", "Name=X", "[Checksum]", "FirmwareChecksum=0"});
  auto image = std::make_unique<FirmwareImage>();
  image->rowCount = 5;
  ASSERT_TRUE(LoadDownloadImage(Text(text), *image).Ok());
  EXPECT_EQ(image->rowCount, 0);
  EXPECT_EQ(CalcFirmwareChecksum(Text(text)), 0);
}

TEST(FirmwareDownloadImage, HoldsAtMost19999Rows) {
  std::string text;
  for (int r = 0; r < FirmwareImage::kMaxRows; ++r) {
    text += ":00000001FF\r\n";
  }
  auto image = std::make_unique<FirmwareImage>();
  ASSERT_TRUE(LoadDownloadImage(Text(text), *image).Ok());
  EXPECT_EQ(image->rowCount, 19999);
  EXPECT_EQ(RowBytes(*image, 19999), (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01, 0xFF}));
  int rows = 0;
  ASSERT_TRUE(ScanDownloadImage(Text(text), rows).Ok());
  EXPECT_EQ(rows, 19999);

  text += "\r\n[Trailer]\r\n:00\r\n";
  const FileResult result = LoadDownloadImage(Text(text), *image);
  EXPECT_EQ(result.error, FileError::TooManyRows);
  EXPECT_EQ(result.line, 20002);
  EXPECT_EQ(image->rowCount, 0);
  EXPECT_EQ(ScanDownloadImage(Text(text), rows).error, FileError::TooManyRows);
  EXPECT_EQ(rows, 0);
}

// --- writing and the backup check ---

TEST(FirmwareWriting, HeaderTextAndUpperCaseRecordLines) {
  TempDir dir;
  const auto path = dir / "backup.tvw";
  HeaderText header;
  ASSERT_TRUE(BuildDownloadHeader(Text("[A]\nB=1\n"), header).Ok());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(WriteHeaderText(file, header));
  std::fclose(file);

  auto image = std::make_unique<FirmwareImage>();
  ASSERT_TRUE(image->SetRow(1, std::vector<std::uint8_t>{0xAB, 0x0C, 0xff}));
  ASSERT_TRUE(image->SetRow(2, std::vector<std::uint8_t>{}));
  image->rowCount = 2;
  ASSERT_TRUE(AppendUploadImage(path, *image).Ok());
  EXPECT_EQ(ReadFile(path), "[A]\r\nB=1\r\n:AB0CFF\r\n:\r\n");
  // Appending again adds to the end.
  image->rowCount = 1;
  ASSERT_TRUE(AppendUploadImage(path, *image).Ok());
  EXPECT_EQ(ReadFile(path), "[A]\r\nB=1\r\n:AB0CFF\r\n:\r\n:AB0CFF\r\n");
}

TEST(FirmwareWriting, RefusesCorruptImagesAndUnwritablePaths) {
  TempDir dir;
  auto image = std::make_unique<FirmwareImage>();
  image->rowCount = -1;
  EXPECT_EQ(AppendUploadImage(dir / "a.tvw", *image).error, FileError::BadImage);
  image->rowCount = 20000;
  EXPECT_EQ(AppendUploadImage(dir / "a.tvw", *image).error, FileError::BadImage);
  image->rowCount = 1;
  image->rowLength[1] = 101;
  EXPECT_EQ(AppendUploadImage(dir / "a.tvw", *image).error, FileError::BadImage);
  EXPECT_EQ(AppendUploadImage(dir / "no" / "such.tvw", *image).error, FileError::CannotCreate);
  EXPECT_FALSE(image->SetRow(0, std::vector<std::uint8_t>{1}));
  EXPECT_FALSE(image->SetRow(20000, std::vector<std::uint8_t>{1}));
  EXPECT_FALSE(image->SetRow(1, std::vector<std::uint8_t>(101, 1)));
  EXPECT_TRUE(image->SetRow(19999, std::vector<std::uint8_t>(100, 1)));
}

// Download the demo file's image and header, write them back as a backup: the same file.
TEST(FirmwareBackupCheck, RoundTripOfDemoFile) {
  TempDir dir;
  HeaderText header;
  auto image = std::make_unique<FirmwareImage>();
  ASSERT_TRUE(BuildDownloadHeader(Text(DemoFile()), header).Ok());
  ASSERT_TRUE(LoadDownloadImage(Text(DemoFile()), *image).Ok());
  const auto path = dir / "backup.tvw";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(WriteHeaderText(file, header));
  std::fclose(file);
  ASSERT_TRUE(AppendUploadImage(path, *image).Ok());
  EXPECT_EQ(ReadFile(path), DemoFile());
  EXPECT_EQ(VerifyBackupFile(path), BackupCheck::Ok);
}

TEST(FirmwareBackupCheck, LowerCaseDownloadGivesRecordChecksumError) {
  std::vector<std::string> lines = DemoLines();
  lines[10] = ":0400000001020304f2";
  lines[11] = ":00000001ff";
  lines[9] = "FirmwareChecksum=" + std::to_string(CalcFirmwareChecksum(Text(JoinCrLf(lines))));
  const std::string lower = JoinCrLf(lines);
  ASSERT_TRUE(VerifyFirmwareFile(Text(lower)));

  auto upper = std::make_unique<FirmwareImage>();
  auto fromLower = std::make_unique<FirmwareImage>();
  ASSERT_TRUE(LoadDownloadImage(Text(DemoFile()), *upper).Ok());
  ASSERT_TRUE(LoadDownloadImage(Text(lower), *fromLower).Ok());
  ASSERT_EQ(fromLower->rowCount, upper->rowCount);
  for (int r = 1; r <= upper->rowCount; ++r) {
    EXPECT_EQ(RowBytes(*fromLower, r), RowBytes(*upper, r));
  }

  // The controller returns the header it got and the same bytes; the backup has upper case.
  TempDir dir;
  const auto path = dir / "backup.tvw";
  HeaderText header;
  ASSERT_TRUE(BuildDownloadHeader(Text(lower), header).Ok());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(WriteHeaderText(file, header));
  std::fclose(file);
  ASSERT_TRUE(AppendUploadImage(path, *fromLower).Ok());
  EXPECT_EQ(VerifyBackupFile(path), BackupCheck::RecordChecksumError);
}

TEST(FirmwareBackupCheck, Outcomes) {
  std::vector<std::string> badHeader = DemoLines();
  badHeader[1] = "Name=Demp";
  std::vector<std::string> badBoth = badHeader;
  badBoth[11] = ":00000001FE";
  std::vector<std::string> badRecords = DemoLines();
  badRecords[11] = ":00000001FE";
  std::vector<std::string> noHeaderKey = DemoLines();
  noHeaderKey.erase(noHeaderKey.begin() + 8);
  std::vector<std::string> noFirmwareKey = DemoLines();
  noFirmwareKey.erase(noFirmwareKey.begin() + 9);
  std::vector<std::string> notIntFirmware = DemoLines();
  notIntFirmware[9] = "FirmwareChecksum=1589x";

  EXPECT_EQ(VerifyBackupFile(Text(DemoFile())), BackupCheck::Ok);
  EXPECT_EQ(VerifyBackupFile(Text(JoinCrLf(badHeader))), BackupCheck::HeaderChecksumError);
  EXPECT_EQ(VerifyBackupFile(Text(JoinCrLf(badBoth))), BackupCheck::HeaderChecksumError);
  EXPECT_EQ(VerifyBackupFile(Text(JoinCrLf(badRecords))), BackupCheck::RecordChecksumError);
  EXPECT_EQ(VerifyBackupFile(Text(JoinCrLf(noHeaderKey))), BackupCheck::HeaderChecksumError);
  EXPECT_EQ(VerifyBackupFile(Text(JoinCrLf(noFirmwareKey))), BackupCheck::RecordChecksumError);
  EXPECT_EQ(VerifyBackupFile(Text(JoinCrLf(notIntFirmware))), BackupCheck::RecordChecksumError);
  // A header-only backup with FirmwareChecksum=0 is whole.
  std::vector<std::string> headerOnly = DemoLines();
  headerOnly.resize(10);
  headerOnly[9] = "FirmwareChecksum=0";
  EXPECT_EQ(VerifyBackupFile(Text(JoinCrLf(headerOnly))), BackupCheck::Ok);
  TempDir dir;
  EXPECT_EQ(VerifyBackupFile(dir / "none.tvw"), BackupCheck::HeaderChecksumError);
}

}  // namespace
}  // namespace tavra::loader
