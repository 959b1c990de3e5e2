#include "firmware_file_support.h"

namespace tavra::loader::test {

std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::vector<std::string> DemoLines() {
  return {"[Product]",
          "Name=Demo",
          "Version=2.05",
          "Country=DK",
          "Agent=Test",
          "[Date]",
          "Date=01-02-2003",
          "[Checksum]",
          "FileHeaderChecksum=6340",
          "FirmwareChecksum=1589",
          ":0400000001020304F2",
          ":00000001FF"};
}

}  // namespace tavra::loader::test
