// Fuzzes the loader's firmware messages: the send buffer's builders with rows of any size and
// block numbers of any value, each message handed to the simulator's boot code. A message never
// passes the buffer, a block carries its number little-endian and the row's first 1,021 bytes,
// and a download of rows numbered 1..n that the controller accepts holds exactly those rows.
//
// Input: a list of steps, each [op][number low][number high][length][bytes...].

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "loader/link/firmware_messages.h"
#include "sim/firmware_entity.h"

namespace {

using namespace tavra::loader;

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool Acknowledged(const tavra::sim::FirmwareEntity::MessageList& replies, std::uint8_t code) {
  return replies.size() == 1 && !replies[0].empty() && replies[0][0] == code;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tavra::sim::FirmwareEntity entity(tavra::sim::FirmwareContent::Empty());
  SendBuffer buffer;
  std::vector<std::vector<std::uint8_t>> sent;  // rows acknowledged since the download start
  bool clean = false;                           // every block so far acknowledged in order

  std::size_t at = 0;
  auto byte = [&] { return at < size ? data[at++] : std::uint8_t{0}; };
  while (at < size) {
    const std::uint8_t op = byte() % 6;
    const auto number = static_cast<std::uint16_t>(byte() | (byte() << 8));
    const std::size_t want = static_cast<std::size_t>(byte()) * 5;
    const std::size_t n = std::min(want, size - at);
    const std::span<const std::uint8_t> row(data + at, n);
    at += n;

    switch (op) {
      case 0: buffer.SetCode(FWDownload_CMD); break;
      case 1:
        buffer.SetDownloadBlock(number, row);
        Require(buffer.length == 3 + std::min<std::size_t>(n, SendBuffer::kSize - 3));
        Require(buffer.Code() == FWDownloadBlock_CMD);
        Require((buffer.bytes[1] | (buffer.bytes[2] << 8)) == number);
        Require(std::equal(buffer.bytes.begin() + 3, buffer.bytes.begin() + buffer.length,
                           row.begin()));
        break;
      case 2: {
        HeaderText header;
        std::memcpy(header.bytes.data(), row.data(), std::min(n, HeaderText::kSize));
        buffer.SetHeaderDownload(header);
        Require(buffer.length == 1 + HeaderText::kSize);
        break;
      }
      case 3: buffer.SetCode(FWDownloadFinished_CMD); break;
      case 4: buffer.SetCode(number & 1 ? FWDownloadCancel_CMD : FWUpload_CMD); break;
      default: buffer.SetCode(static_cast<std::uint8_t>(number)); break;
    }
    Require(buffer.length >= 1 && buffer.length <= SendBuffer::kSize);
    Require(buffer.Message().size() == buffer.length);

    const auto replies = entity.Handle(buffer.Message());
    if (op == 0) {
      clean = Acknowledged(replies, FWDownload_ACK);
      sent.clear();
    } else if (op == 1 && clean) {
      const std::vector<std::uint8_t> bytes(buffer.bytes.begin() + 3,
                                            buffer.bytes.begin() + buffer.length);
      const bool inOrder = number == sent.size() + 1;
      if (Acknowledged(replies, FWDownloadBlock_ACK) && inOrder) {
        sent.push_back(bytes);
      } else {
        clean = false;
      }
    } else if (op == 3 && clean) {
      if (Acknowledged(replies, FWDownloadFinished_ACK)) {
        Require(entity.Content().rows == sent);  // the controller holds what was sent
      }
      clean = false;
    } else {
      clean = false;  // anything else in between: no claim on what the controller holds
    }
  }
  return 0;
}
