#pragma once
// What the simulated controller keeps in its flash: the firmware header text, the firmware rows
// and the production data record, plus a small text file that carries them from one run of
// tavra-sim to the next (so an update in one run and a backup in the next give the same bytes).
//
// Plain values; no threads, no locks.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavra::sim {

inline constexpr std::size_t kMaxHeaderBytes = 512;
inline constexpr std::size_t kMaxProductionBytes = 256;
// A block message (3 + row) must fit the longest transport datagram.
inline constexpr std::size_t kMaxRowBytes = 1020;
inline constexpr std::size_t kMaxRows = 65535;  // block numbers are 16-bit, counted from 1

struct FirmwareContent {
  // Header text without the zero fill (empty: the controller holds no firmware).
  std::vector<std::uint8_t> header;
  std::vector<std::vector<std::uint8_t>> rows;  // row k is upload block k + 1
  // nullopt: the controller holds no serial number.
  std::optional<std::vector<std::uint8_t>> productionData;

  [[nodiscard]] bool HasFirmware() const { return !header.empty(); }
  // Sum of the row lengths (the size announced in FWUpload_ACK).
  [[nodiscard]] std::uint32_t SizeInBytes() const;
  bool operator==(const FirmwareContent&) const = default;

  // A small valid firmware (Intel HEX rows, header with matching checksums, Version 3.00) and
  // a production record "SN-202-000001" (characters 3..5 are "202").
  static FirmwareContent Default();
  // No header, no rows, no production data.
  static FirmwareContent Empty();
};

// The file form of a firmware (the header text and hex record lines as a *.TVW firmware file
// has them), used to build test files and the default.
std::string ToFirmwareFileText(const FirmwareContent& content);

// The store file: "tavra-sim store 1" then lines "header <hex>", "row <hex>", "production <hex>".
// Load fails (false, text in *error) on a missing file, a bad line or a size beyond the limits;
// *content is left as it was then.
bool LoadStore(const std::string& path, FirmwareContent* content, std::string* error);
// Writes a temporary file beside it and renames it into place.
bool SaveStore(const std::string& path, const FirmwareContent& content, std::string* error);

}  // namespace tavra::sim
