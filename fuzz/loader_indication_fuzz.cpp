// Fuzzes the loader's handling of what the controller sends: data indications of any length
// (negative, empty, longer than a frame) and code, management indications, and the upload
// block that a backup takes from them, in any order. Whatever arrives, at most one block is
// held, a take always releases it, a row is stored only under the number asked for and with
// exactly the bytes that came, and the upload size and block count agree.
//
// Input: a list of steps, each [op][a][b][length][bytes...].

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "loader/link/firmware_messages.h"
#include "loader/link/link_state.h"
#include "shared/result_codes.h"

namespace {

using namespace tavra::loader;

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

class Boxes final : public MessageBoxes {
 public:
  void Show(std::string_view, std::string_view) override {}
  void PostNotice(std::string, std::string) override { ++notices; }
  int notices = 0;
};

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  [[nodiscard]] bool Done() const { return at >= size; }
  std::uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::vector<std::uint8_t> Bytes(std::size_t n) {
    n = std::min(n, size - std::min(at, size));
    std::vector<std::uint8_t> out(data + at, data + at + n);
    at += n;
    return out;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Boxes boxes;
  LinkState state(&boxes);
  state.SetWaitLimit(std::chrono::milliseconds(0));
  static auto image = std::make_unique<FirmwareImage>();
  image->rowCount = static_cast<std::int16_t>(FirmwareImage::kMaxRows);
  bool held = false;  // what the state should hold, by this model
  std::vector<std::uint8_t> heldBytes;

  Reader in{data, size};
  while (!in.Done()) {
    const std::uint8_t op = in.Byte() % 5;
    const std::uint8_t a = in.Byte();
    const std::uint8_t b = in.Byte();
    // Lengths up to 4 * 255 + a few, so that 1,020 and beyond are reached.
    std::vector<std::uint8_t> bytes = in.Bytes(static_cast<std::size_t>(in.Byte()) * 5);
    switch (op) {
      case 0: {  // a data indication; `a` picks the length against the bytes that came
        auto length = static_cast<std::int32_t>(bytes.size());
        if (a == 0xFF) {
          length = -static_cast<std::int32_t>(b) - 1;
        } else if (a == 0xFE && !bytes.empty()) {
          length = static_cast<std::int32_t>(b % bytes.size());
        }
        const int before = boxes.notices;
        state.OnDataIndication(length, bytes.empty() ? nullptr : bytes.data());
        std::uint8_t code = 0;
        const bool latched = state.WaitCallbackDataIndication(code);
        (void)latched;  // a zero limit may see the latch and the limit together
        if (length >= 1 && bytes[0] == FWUploadBlock_CMD) {
          if (held) {
            Require(boxes.notices == before + 1);  // the second block is reported, not kept
          } else {
            held = true;
            heldBytes.assign(bytes.begin(), bytes.begin() + std::min<std::int32_t>(length, 1024));
          }
        }
        Require(state.UploadBlockCount() == state.UploadSize() / kUploadBytesPerBlock);
        break;
      }
      case 1: {  // the backup takes the held block as row `expected`
        const int expected = a | ((b & 0x7F) << 8);
        int number = -2;
        const LinkState::Take take = state.TakeUploadBlock(expected, *image, number);
        if (!held) {
          Require(take == LinkState::Take::NothingHeld && number == -1);
          break;
        }
        held = false;
        const bool numbered = heldBytes.size() >= 3;
        const int carried = numbered ? heldBytes[1] | (heldBytes[2] << 8) : -1;
        Require(number == carried);
        if (take == LinkState::Take::Stored) {
          Require(number == expected && heldBytes.size() - 3 <= FirmwareImage::kRowBytes);
          const auto stored = image->Row(expected);
          Require(stored.size() == heldBytes.size() - 3);
          Require(std::memcmp(stored.data(), heldBytes.data() + 3, stored.size()) == 0);
        } else if (take == LinkState::Take::WrongNumber) {
          Require(numbered && number != expected);
        } else {
          Require(take == LinkState::Take::NoRow);
          Require(!numbered || heldBytes.size() - 3 > FirmwareImage::kRowBytes || expected < 1 ||
                  expected > FirmwareImage::kMaxRows);
        }
        int again = 0;
        Require(state.TakeUploadBlock(expected, *image, again) == LinkState::Take::NothingHeld);
        break;
      }
      case 2:  // a management indication
        state.OnManagementIndication((a & 3) == 0   ? tavra::STATUS_ONLINE
                                     : (a & 3) == 1 ? tavra::STATUS_NO_CONNECTION
                                                    : static_cast<std::int8_t>(a),
                                     static_cast<std::int32_t>(bytes.size()) - (b & 1),
                                     bytes.empty() ? nullptr : bytes.data());
        break;
      case 3:  // an upload starts
        state.ClearHeldBlock();
        held = false;
        break;
      default: {  // the receive buffers read out
        ProductionData production;
        HeaderText header;
        Require(state.CopyProductionData(production) == ProductionData::kSize);
        Require(state.CopyUploadedHeader(header) == HeaderText::kSize);
        Require(header.Text().size() <= HeaderText::kMaxText);
        break;
      }
    }
  }
  return 0;
}
