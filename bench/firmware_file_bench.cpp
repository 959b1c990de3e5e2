// The firmware file on the paths a user waits for: the open check of a full 19,999-row file,
// and building the download header and image from it before an update. Two record sizes: the
// usual 16 data bytes per line, and the largest line the reader takes (99 bytes, 199 chars).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "loader/app/firmware_file.h"

namespace {

using namespace tavra::loader;

// Writes a file of 19,999 record lines of `dataBytes` bytes with a header whose two checksums
// match, once per size, and removes it at exit.
class BenchFile {
 public:
  explicit BenchFile(int dataBytes) {
    std::string records;
    char digits[8];
    for (int r = 0; r < FirmwareImage::kMaxRows; ++r) {
      // A record of byte count, address, type and data; the last byte stands for the checksum.
      const int bytes = dataBytes + 4 <= 99 ? dataBytes + 4 : 99;
      records += ':';
      for (int b = 0; b < bytes; ++b) {
        std::snprintf(digits, sizeof digits, "%02X", (r * 31 + b * 7) & 0xFF);
        records += digits;
      }
      records += "\r\n";
    }
    const std::string product =
        "[Product]\r\nName=Bench\r\nVersion=2.10\r\nCountry=DK\r\nAgent=Lab\r\n[Date]\r\n"
        "Date=31-12-2025\r\n";
    const unsigned header = CalcFileHeaderChecksum(LineSource::Text(product));
    const unsigned firmware = CalcFirmwareChecksum(LineSource::Text(records));
    const std::string text = product +
                             "[Checksum]\r\nFileHeaderChecksum=" + std::to_string(header) +
                             "\r\nFirmwareChecksum=" + std::to_string(firmware) + "\r\n" + records;
    m_path =
        std::filesystem::temp_directory_path() /
        ("tavra-fw-bench-" + std::to_string(::getpid()) + "-" + std::to_string(dataBytes) + ".tvw");
    std::ofstream(m_path, std::ios::binary)
        .write(text.data(), static_cast<std::streamsize>(text.size()));
    m_size = text.size();
  }
  ~BenchFile() {
    std::error_code ec;
    std::filesystem::remove(m_path, ec);
  }
  BenchFile(const BenchFile&) = delete;
  BenchFile& operator=(const BenchFile&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }
  [[nodiscard]] std::size_t Size() const { return m_size; }

 private:
  std::filesystem::path m_path;
  std::size_t m_size = 0;
};

const BenchFile& FileWithRecordsOf(int dataBytes) {
  static const BenchFile small(16);
  static const BenchFile largest(95);
  return dataBytes <= 16 ? small : largest;
}

void BM_OpenCheck(benchmark::State& state) {
  const BenchFile& file = FileWithRecordsOf(static_cast<int>(state.range(0)));
  if (!VerifyFirmwareFile(file.Path())) {
    state.SkipWithError("the bench file does not pass the open check");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(VerifyFirmwareFile(file.Path()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.Size()));
}
BENCHMARK(BM_OpenCheck)->Arg(16)->Arg(95)->Unit(benchmark::kMillisecond);

void BM_LoadForDownload(benchmark::State& state) {
  const BenchFile& file = FileWithRecordsOf(static_cast<int>(state.range(0)));
  auto image = std::make_unique<FirmwareImage>();
  HeaderText header;
  for (auto _ : state) {
    const bool ok = BuildDownloadHeader(file.Path(), header).Ok() &&
                    LoadDownloadImage(file.Path(), *image).Ok();
    if (!ok || image->rowCount != FirmwareImage::kMaxRows) {
      state.SkipWithError("the bench file does not load");
      return;
    }
    benchmark::DoNotOptimize(image->rows[FirmwareImage::kMaxRows][0]);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.Size()));
}
BENCHMARK(BM_LoadForDownload)->Arg(16)->Arg(95)->Unit(benchmark::kMillisecond);

// The passes that the open check is made of.
void BM_Passes(benchmark::State& state) {
  const BenchFile& file = FileWithRecordsOf(95);
  const LineSource source = LineSource::File(file.Path());
  HeaderText header;
  int rows = 0;
  for (auto _ : state) {
    switch (state.range(0)) {
      case 0: benchmark::DoNotOptimize(CalcFirmwareChecksum(source)); break;
      case 1: benchmark::DoNotOptimize(BuildDownloadHeader(source, header)); break;
      case 2: benchmark::DoNotOptimize(ScanDownloadImage(source, rows)); break;
      default: benchmark::DoNotOptimize(CalcFileHeaderChecksum(source)); break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.Size()));
}
BENCHMARK(BM_Passes)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// Check and load together: what the open dialog and the update step cost for one file.
void BM_CheckAndLoad(benchmark::State& state) {
  const BenchFile& file = FileWithRecordsOf(static_cast<int>(state.range(0)));
  auto image = std::make_unique<FirmwareImage>();
  HeaderText header;
  for (auto _ : state) {
    const bool ok = VerifyFirmwareFile(file.Path()) &&
                    BuildDownloadHeader(file.Path(), header).Ok() &&
                    LoadDownloadImage(file.Path(), *image).Ok();
    if (!ok) {
      state.SkipWithError("the bench file does not pass");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.Size()));
}
BENCHMARK(BM_CheckAndLoad)->Arg(16)->Arg(95)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
