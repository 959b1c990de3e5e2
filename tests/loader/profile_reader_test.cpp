// The INI reader: case, first match, blanks, quotes, integers and defaults.

#include "loader/app/profile_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "firmware_file_support.h"
#include "tests/common/file_contents.h"
#include "tests/common/temp_dir.h"

namespace tavra::loader {
namespace {

using tavra::test::TempDir;
using tavra::test::WriteFile;

std::optional<std::string> Find(const std::string& text, const char* section, const char* key) {
  return FindProfileValue(LineSource::Text(text), section, key);
}

struct LookupCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> value;
};

class FirmwareProfileLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(FirmwareProfileLookup, FindsValue) {
  const LookupCase& c = GetParam();
  EXPECT_EQ(Find(c.text, c.section, c.key), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases,
    FirmwareProfileLookup,
    ::testing::Values(
        LookupCase{"Plain", "[Product]\r\nName=Demo\r\n", "Product", "Name", "Demo"},
        LookupCase{"SectionCase", "[pRoDuCt]\nName=Demo\n", "Product", "Name", "Demo"},
        LookupCase{"KeyCase", "[Product]\nNAME=Demo\n", "Product", "name", "Demo"},
        LookupCase{"ValueCaseKept", "[Product]\nName=DeMo\n", "Product", "Name", "DeMo"},
        LookupCase{"FirstKeyCounts", "[Product]\nName=One\nName=Two\n", "Product", "Name", "One"},
        LookupCase{"FirstSectionOnly", "[Product]\nAgent=A\n[Product]\nName=Late\n", "Product",
                   "Name", std::nullopt},
        LookupCase{"FirstSectionWins", "[Product]\nName=One\n[Product]\nName=Two\n", "Product",
                   "Name", "One"},
        LookupCase{"OtherSectionIgnored", "[Date]\nName=X\n[Product]\nName=Y\n", "Product", "Name",
                   "Y"},
        LookupCase{"Blanks", "  [ Product ]  \n\t Name \t=  Demo Unit \t\r\n", "Product", "Name",
                   "Demo Unit"},
        LookupCase{"DoubleQuotes", "[Product]\nName= \"  Demo \" \n", "Product", "Name", "  Demo "},
        LookupCase{"SingleQuotes", "[Product]\nName='Demo'\n", "Product", "Name", "Demo"},
        LookupCase{"OnlyOnePairRemoved", "[Product]\nName=\"\"Demo\"\"\n", "Product", "Name",
                   "\"Demo\""},
        LookupCase{"MismatchedQuotesKept", "[Product]\nName=\"Demo'\n", "Product", "Name",
                   "\"Demo'"},
        LookupCase{"LoneQuoteKept", "[Product]\nName=\"\n", "Product", "Name", "\""},
        LookupCase{"EmptyValue", "[Product]\nName=\n", "Product", "Name", ""},
        LookupCase{"EqualsInValue", "[Product]\nName=a=b\n", "Product", "Name", "a=b"},
        LookupCase{"LineWithoutEqualsIgnored", "[Product]\nName\nName=X\n", "Product", "Name", "X"},
        LookupCase{"RecordLinesIgnored", "[Product]\n:0400000001020304F2\nName=X\n", "Product",
                   "Name", "X"},
        LookupCase{"KeyBeforeSectionIgnored", "Name=X\n[Product]\n", "Product", "Name",
                   std::nullopt},
        LookupCase{"MissingSection", "[Product]\nName=X\n", "Date", "Date", std::nullopt},
        LookupCase{"MissingKey", "[Product]\nName=X\n", "Product", "Agent", std::nullopt},
        LookupCase{"EmptyText", "", "Product", "Name", std::nullopt},
        LookupCase{"UnclosedSectionIsNotASection", "[Product]\n[Date\nName=X\n", "Product", "Name",
                   "X"},
        LookupCase{"LastLineWithoutEnd", "[Product]\nName=X", "Product", "Name", "X"},
        LookupCase{"LongLineSkipped",
                   "[Product]\nAgent=" + std::string(70 * 1024, 'a') + "\nName=X\n", "Product",
                   "Name", "X"},
        LookupCase{"EightBitBytesKept", "[Product]\nCountry=\xD8sterbro\n", "Product", "Country",
                   "\xD8sterbro"}),
    [](const auto& param) { return std::string(param.param.name); });

struct IntCase {
  const char* text;
  std::optional<std::int32_t> value;
};

class FirmwareProfileInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(FirmwareProfileInt, Converts) {
  EXPECT_EQ(ParseProfileInt(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases,
                         FirmwareProfileInt,
                         ::testing::Values(IntCase{"0", 0},
                                           IntCase{"6340", 6340},
                                           IntCase{"70000", 70000},
                                           IntCase{"-1", -1},
                                           IntCase{"+12", 12},
                                           IntCase{"007", 7},
                                           IntCase{"2147483647", 2147483647},
                                           IntCase{"-2147483648", INT32_MIN},
                                           IntCase{"2147483648", std::nullopt},
                                           IntCase{"-2147483649", std::nullopt},
                                           IntCase{"99999999999999999999", std::nullopt},
                                           IntCase{"$635", 1589},
                                           IntCase{"$ffff", 65535},
                                           IntCase{"0x18C4", 6340},
                                           IntCase{"0X18c4", 6340},
                                           IntCase{"$FFFFFFFF", -1},
                                           IntCase{"0x80000000", INT32_MIN},
                                           IntCase{"$100000000", std::nullopt},
                                           IntCase{"-$10", -16},
                                           IntCase{"$00000000000A", 10},
                                           IntCase{"", std::nullopt},
                                           IntCase{"-", std::nullopt},
                                           IntCase{"$", std::nullopt},
                                           IntCase{"0x", std::nullopt},
                                           IntCase{"12a", std::nullopt},
                                           IntCase{"$12G", std::nullopt},
                                           IntCase{" 12", std::nullopt},
                                           IntCase{"1 2", std::nullopt},
                                           IntCase{"1.5", std::nullopt},
                                           IntCase{"--1", std::nullopt},
                                           IntCase{"x12", std::nullopt}));

TEST(FirmwareProfileReader, IntegerDefaults) {
  const std::string text = "[Checksum]\nA=12\nB=twelve\nC=\"0x10\"\n";
  const LineSource source = LineSource::Text(text);
  EXPECT_EQ(GetProfileInt(source, "Checksum", "A", 65535), 12);
  EXPECT_EQ(GetProfileInt(source, "Checksum", "B", 65535), 65535);
  EXPECT_EQ(GetProfileInt(source, "Checksum", "C", 65535), 16);
  EXPECT_EQ(GetProfileInt(source, "Checksum", "D", -7), -7);
  EXPECT_EQ(GetProfileString(source, "Checksum", "D", "dflt"), "dflt");
  EXPECT_EQ(GetProfileString(source, "Checksum", "B", "dflt"), "twelve");
}

TEST(FirmwareProfileReader, ReadsFilesAndTreatsMissingFileAsEmpty) {
  TempDir dir;
  WriteFile(dir / "a.tvw", test::DemoFile());
  EXPECT_EQ(GetProfileString(LineSource::File(dir / "a.tvw"), "date", "DATE", ""), "01-02-2003");
  EXPECT_EQ(GetProfileInt(LineSource::File(dir / "a.tvw"), "Checksum", "FirmwareChecksum", 0),
            1589);
  EXPECT_EQ(FindProfileValue(LineSource::File(dir / "none.tvw"), "Product", "Name"), std::nullopt);
}

}  // namespace
}  // namespace tavra::loader
