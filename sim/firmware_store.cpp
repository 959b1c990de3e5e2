#include "sim/firmware_store.h"

#include <cstdio>
#include <fstream>
#include <numeric>
#include <sstream>

#include "shared/hex_text.h"

namespace tavra::sim {

namespace {

constexpr const char* kStoreMagic = "tavra-sim store 1";

// The 16-bit line sum the loader checks: every character as a signed byte, plus CR and LF.
std::uint16_t LineSum(const std::string& line) {
  int sum = 13 + 10;
  for (char c : line) {
    sum += static_cast<signed char>(c);
  }
  return static_cast<std::uint16_t>(sum);
}

std::vector<std::uint8_t> HexRecord(std::uint16_t address,
                                    std::uint8_t type,
                                    const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> record;
  record.reserve(data.size() + 5);
  record.push_back(static_cast<std::uint8_t>(data.size()));
  record.push_back(static_cast<std::uint8_t>(address >> 8));
  record.push_back(static_cast<std::uint8_t>(address & 0xFF));
  record.push_back(type);
  for (std::uint8_t b : data) {
    record.push_back(b);
  }
  const int sum = std::accumulate(record.begin(), record.end(), 0);
  record.push_back(static_cast<std::uint8_t>(-sum & 0xFF));
  return record;
}

}  // namespace

std::uint32_t FirmwareContent::SizeInBytes() const {
  std::uint32_t size = 0;
  for (const auto& row : rows) {
    size += static_cast<std::uint32_t>(row.size());
  }
  return size;
}

FirmwareContent FirmwareContent::Default() {
  FirmwareContent content;
  for (std::uint16_t r = 0; r < 8; ++r) {
    std::vector<std::uint8_t> data(16);
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>((r * 16 + i) * 7 + 0x21);
    }
    content.rows.push_back(HexRecord(static_cast<std::uint16_t>(r * 16), 0x00, data));
  }
  content.rows.push_back(HexRecord(0, 0x01, {}));

  const std::vector<std::string> description{
      "[Product]", "Name=Tavra Controller", "Version=3.00", "Country=DK", "Agent=Tavra",
      "[Date]",    "Date=01-06-2024",
  };
  std::uint16_t headerSum = 0;
  for (const std::string& line : description) {
    headerSum = static_cast<std::uint16_t>(headerSum + LineSum(line));
  }
  std::uint16_t firmwareSum = 0;
  for (const auto& row : content.rows) {
    firmwareSum = static_cast<std::uint16_t>(firmwareSum + LineSum(":" + Hex(row)));
  }
  std::string text;
  for (const std::string& line : description) {
    text += line + "\r\n";
  }
  text += "[Checksum]\r\n";
  text += "FileHeaderChecksum=" + std::to_string(headerSum) + "\r\n";
  text += "FirmwareChecksum=" + std::to_string(firmwareSum) + "\r\n";
  content.header.assign(text.begin(), text.end());

  const std::string serial = "SN-202-000001";
  content.productionData = std::vector<std::uint8_t>(serial.begin(), serial.end());
  return content;
}

FirmwareContent FirmwareContent::Empty() {
  return FirmwareContent{};
}

std::string ToFirmwareFileText(const FirmwareContent& content) {
  std::string text(content.header.begin(), content.header.end());
  for (const auto& row : content.rows) {
    text += ":" + Hex(row) + "\r\n";
  }
  return text;
}

bool LoadStore(const std::string& path, FirmwareContent* content, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) {
      *error = path + ": " + why;
    }
    return false;
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return fail("cannot open");
  }
  std::string line;
  if (!std::getline(in, line) || line != kStoreMagic) {
    return fail("not a tavra-sim store");
  }
  FirmwareContent loaded;
  int lineNumber = 1;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty()) {
      continue;
    }
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    std::vector<std::uint8_t> bytes;
    if (key == "header") {
      if (!ParseHex(value, kMaxHeaderBytes, &bytes)) {
        return fail(where + "bad header");
      }
      loaded.header = std::move(bytes);
    } else if (key == "row") {
      if (loaded.rows.size() >= kMaxRows) {
        return fail(where + "too many rows");
      }
      if (!ParseHex(value, kMaxRowBytes, &bytes)) {
        return fail(where + "bad row");
      }
      loaded.rows.push_back(std::move(bytes));
    } else if (key == "production") {
      if (!ParseHex(value, kMaxProductionBytes, &bytes)) {
        return fail(where + "bad production data");
      }
      loaded.productionData = std::move(bytes);
    } else {
      // NOLINTNEXTLINE(performance-inefficient-string-concatenation): built once, on the way out
      return fail(where + "unknown entry '" + key + "'");
    }
  }
  *content = std::move(loaded);
  return true;
}

bool SaveStore(const std::string& path, const FirmwareContent& content, std::string* error) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      if (error != nullptr) {
        *error = temporary + ": cannot create";
      }
      return false;
    }
    out << kStoreMagic << '\n';
    out << "header " << Hex(content.header) << '\n';
    for (const auto& row : content.rows) {
      out << "row " << Hex(row) << '\n';
    }
    if (content.productionData) {
      out << "production " << Hex(*content.productionData) << '\n';
    }
    out.flush();
    if (!out) {
      if (error != nullptr) {
        *error = temporary + ": write failed";
      }
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    if (error != nullptr) {
      *error = path + ": cannot replace";
    }
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace tavra::sim
