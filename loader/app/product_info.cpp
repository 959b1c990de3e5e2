#include "loader/app/firmware_file.h"
#include "loader/app/profile_reader.h"

namespace tavra::loader {

std::string FormatProductInfo(const LineSource& source) {
  std::string info;
  info += GetProfileString(source, "Product", "Name", "");
  info += " \r\n";
  info += GetProfileString(source, "Product", "Version", "");
  info += "  ";
  info += GetProfileString(source, "Product", "Country", "");
  info += " \r\n";
  info += GetProfileString(source, "Product", "Agent", "");
  info += " \r\n";
  info += GetProfileString(source, "Date", "Date", "");
  info += " \r\n";
  return info;
}

bool IsFirmwareAllowed(const LineSource& source, const ProductionData& production) {
  const std::string version = GetProfileString(source, "Product", "Version", "");
  if (version.empty()) {
    return false;
  }
  switch (version.front()) {
    case '2': return true;
    case '3': return production.CompatibilityCode() == "202";
    default: return false;
  }
}

}  // namespace tavra::loader
