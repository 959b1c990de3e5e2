#pragma once
// FirmwareImage: the record lines of a firmware file in decoded form, one row per record line.
// Row r (1..rowCount) holds rowLength[r] bytes; row 0 is never used. Two instances live in the
// loader: DownloadImage (filled from the chosen file, sent row by row) and UploadImage (filled
// block by block from the controller, written to a backup file).
// About 2 MB: allocate it on the heap (std::make_unique<FirmwareImage>()). Plain data; the owner
// decides who may touch it.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tavra::loader {

struct FirmwareImage {
  static constexpr int kRowSlots = 20000;  // row 0 is unused
  static constexpr int kMaxRows = kRowSlots - 1;
  static constexpr std::size_t kRowBytes = 100;

  std::array<std::array<std::uint8_t, kRowBytes>, kRowSlots> rows{};
  std::array<std::uint8_t, kRowSlots> rowLength{};
  std::int16_t rowCount = 0;

  // The bytes of row r; empty for a row outside 1..rowCount. A length above the row size (only
  // possible when someone wrote rowLength directly) is cut to the row.
  [[nodiscard]] std::span<const std::uint8_t> Row(int r) const {
    if (r < 1 || r > rowCount || r > kMaxRows) {
      return {};
    }
    const auto index = static_cast<std::size_t>(r);
    const std::size_t length = rowLength[index] < kRowBytes ? rowLength[index] : kRowBytes;
    return {rows[index].data(), length};
  }

  // Stores `data` as row r. False (nothing stored) when r is outside 1..19,999 or the data does
  // not fit a row. rowCount is left to the caller.
  [[nodiscard]] bool SetRow(int r, std::span<const std::uint8_t> data) {
    if (r < 1 || r > kMaxRows || data.size() > kRowBytes) {
      return false;
    }
    const auto index = static_cast<std::size_t>(r);
    std::copy(data.begin(), data.end(), rows[index].begin());
    rowLength[index] = static_cast<std::uint8_t>(data.size());
    return true;
  }

  // Rows in use, as a checked count (0 when rowCount holds a value outside 0..19,999).
  [[nodiscard]] int UsedRows() const {
    return rowCount >= 0 && rowCount <= kMaxRows ? rowCount : 0;
  }
};

}  // namespace tavra::loader
