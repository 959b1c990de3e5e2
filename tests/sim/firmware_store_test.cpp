// The default firmware passes the loader's checks, and the store file carries a firmware from
// one run to the next or is refused as a whole.

#include "sim/firmware_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/command_line.h"
#include "tests/common/file_contents.h"
#include "tests/common/temp_dir.h"

namespace tavra::sim {
namespace {

// The loader's 16-bit line sum: characters as signed bytes, plus CR and LF.
std::uint16_t Sum(const std::string& line) {
  int sum = 23;
  for (char c : line) {
    sum += static_cast<signed char>(c);
  }
  return static_cast<std::uint16_t>(sum);
}

std::string Value(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key + "=");
  return text.substr(at + key.size() + 1, text.find('\r', at) - at - key.size() - 1);
}

TEST(DefaultFirmware, HeaderChecksumsMatchItsLinesAndRecords) {
  const FirmwareContent content = FirmwareContent::Default();
  const std::string text = ToFirmwareFileText(content);
  std::istringstream in(text);
  std::string line;
  std::uint16_t header = 0;
  std::uint16_t records = 0;
  int count = 0;
  while (std::getline(in, line)) {
    line.pop_back();  // CR
    if (line[0] == ':') {
      records = static_cast<std::uint16_t>(records + Sum(line));
    } else if (count < 7) {
      header = static_cast<std::uint16_t>(header + Sum(line));
    }
    ++count;
  }
  EXPECT_EQ(std::to_string(header), Value(text, "FileHeaderChecksum"));
  EXPECT_EQ(std::to_string(records), Value(text, "FirmwareChecksum"));
  EXPECT_EQ(Value(text, "Version"), "3.00");
  EXPECT_EQ(content.rows.size(), 9u);
  EXPECT_EQ(content.rows.back(), (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01, 0xFF}));
  EXPECT_EQ(content.SizeInBytes(), 8u * 21u + 5u);
  EXPECT_LT(content.header.size(), 512u);
  ASSERT_TRUE(content.productionData);
  EXPECT_EQ(std::string(content.productionData->begin() + 3, content.productionData->begin() + 6),
            "202");
}

class StoreFile : public ::testing::Test {
 protected:
  void WriteFile(const std::string& text) { tavra::test::WriteFile(m_path, text); }
  tavra::test::TempDir m_dir{"tavra-sim-store"};
  std::string m_path = (m_dir / "store").string();
};

TEST_F(StoreFile, RoundTripKeepsEveryByte) {
  FirmwareContent content = FirmwareContent::Default();
  content.rows.emplace_back();
  content.rows.emplace_back(kMaxRowBytes, 0x10);
  std::string error;
  ASSERT_TRUE(SaveStore(m_path, content, &error)) << error;
  FirmwareContent loaded = FirmwareContent::Empty();
  ASSERT_TRUE(LoadStore(m_path, &loaded, &error)) << error;
  EXPECT_EQ(loaded, content);
  content.productionData.reset();
  content.header.clear();
  ASSERT_TRUE(SaveStore(m_path, content, &error));
  ASSERT_TRUE(LoadStore(m_path, &loaded, &error));
  EXPECT_EQ(loaded, content);
}

TEST_F(StoreFile, BadFilesAreRefusedAndLeaveTheContentAlone) {
  const std::string head = "tavra-sim store 1\n";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"", "not a tavra-sim store"},
      {"tavra-sim store 2\n", "not a tavra-sim store"},
      {head + "row 0G\n", "line 2: bad row"},
      {head + "row 012\n", "line 2: bad row"},
      {head + "header " + std::string(1026, 'A') + "\n", "line 2: bad header"},
      {head + "production " + std::string(514, '0') + "\n", "line 2: bad production data"},
      {head + "\nfirmware 00\n", "line 3: unknown entry 'firmware'"},
  };
  for (const auto& [text, why] : cases) {
    WriteFile(text);
    FirmwareContent content = FirmwareContent::Default();
    std::string error;
    EXPECT_FALSE(LoadStore(m_path, &content, &error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << error;
    EXPECT_EQ(content, FirmwareContent::Default());
  }
  std::string error;
  FirmwareContent content;
  EXPECT_FALSE(LoadStore(m_path + ".missing", &content, &error));
  WriteFile(head + "row 0102\r\n");  // CR LF line ends are fine
  EXPECT_TRUE(LoadStore(m_path, &content, &error)) << error;
  EXPECT_EQ(content.rows, (std::vector<std::vector<std::uint8_t>>{{1, 2}}));
}

TEST_F(StoreFile, UnreadableStoreIsReportedAndNeverOverwritten) {
  WriteFile("something else\n");
  SimConfig config;
  config.storePath = m_path;
  {
    SimulatedController sim(config);
    EXPECT_NE(sim.StoreError().find("not a tavra-sim store"), std::string::npos);
    sim.SetFirmware(FirmwareContent::Empty());
  }
  std::ifstream in(m_path);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "something else");
}

TEST_F(StoreFile, FirmwareFileFormsRowsAndHeader) {
  WriteFile("[Product]\r\nVersion=2\nx\r\n:0400000001020304F2\r\n:00000001FF\r\n");
  FirmwareContent content = FirmwareContent::Default();
  std::string error;
  ASSERT_TRUE(LoadFirmwareFile(m_path, &content, &error)) << error;
  const std::string header(content.header.begin(), content.header.end());
  EXPECT_EQ(header, "[Product]\r\nVersion=2\r\nx\r\n");
  EXPECT_EQ(content.rows.size(), 2u);
  EXPECT_EQ(content.rows[1], (std::vector<std::uint8_t>{0, 0, 0, 1, 0xFF}));
  EXPECT_EQ(content.productionData, FirmwareContent::Default().productionData);
  WriteFile(":0G\r\n");
  EXPECT_FALSE(LoadFirmwareFile(m_path, &content, &error));
  WriteFile(std::string(600, 'h') + "\r\n");
  EXPECT_FALSE(LoadFirmwareFile(m_path, &content, &error));
  EXPECT_NE(error.find("511"), std::string::npos);
}

}  // namespace
}  // namespace tavra::sim
