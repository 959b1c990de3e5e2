// Fuzzes the receive parser with arbitrary serial-line bytes.
// The first input byte picks the shape of the run: its low 7 bits give a period after which the
// parser is reset to hunt (0: never, as with an unbroken stream), its top bit switches the
// statistics counters on. Checked: the data count never passes 1024, every delivered frame has
// at most 1023 bytes, well-formed header bytes and an accepted answer just before it, every
// answer and acknowledgement byte is one of the allowed codes, and a delivered frame encodes
// and parses back to itself.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "server/stack/frame_codec.h"
#include "server/stack/frame_parser.h"

namespace {

using tavra::stack::FrameParser;
using tavra::stack::ReceivedFrame;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

class CheckingSink final : public tavra::stack::IFrameSink {
 public:
  explicit CheckingSink(bool counters) : m_counters(counters) {}

  int LookupAddress(std::uint8_t address) override {
    // The link layer's table: 0x20, 0x21 and 0x40.. for clients (20 entries in all).
    if (address == 0x20) {
      return 2;
    }
    if (address == 0x21) {
      return 1;
    }
    if (address >= 0x40 && address < 0x40 + 18) {
      return 10 + (address - 0x40);
    }
    return -1;
  }
  void OnValidFrame() override { ++validFrames; }
  void OnAcknowledgement(std::uint8_t ack, bool) override {
    Check(tavra::stack::IsAcknowledgementByte(ack));
  }
  void OnAnswer(std::uint8_t answer) override {
    const std::uint8_t code = answer & 0xE0;
    Check(code == 0x40 || code == 0x80 || code == 0xC0);
    lastAnswer = answer;
    answered = true;
  }
  void OnLinkManagementReply(const ReceivedFrame& frame) override {
    Check(frame.destination == 0x20);
    Delivered(frame);
  }
  void OnDataFrame(int ownerKey, const ReceivedFrame& frame) override {
    Check(ownerKey >= 0);
    Check(frame.destination != 0x20);
    Check(LookupAddress(frame.destination) == ownerKey);
    Delivered(frame);
  }
  bool CountersEnabled() override { return m_counters; }

  std::vector<ReceivedFrame> frames;
  std::uint32_t validFrames = 0;
  std::uint8_t lastAnswer = 0;
  bool answered = false;

 private:
  void Delivered(const ReceivedFrame& frame) {
    Check(frame.length < tavra::stack::kMaxFrameData);
    Check(frame.sequence >= 0x20 && frame.sequence <= 0x3F);
    Check(frame.destination >= 0x20 && frame.source >= 0x20);
    Check(answered && lastAnswer == (0x40 | (frame.sequence & 0x1F)));
    answered = false;
    if (frames.size() < 64) {
      frames.push_back(frame);
    }
  }

  bool m_counters;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const unsigned resetPeriod = data[0] & 0x7F;
  CheckingSink sink((data[0] & 0x80) != 0);
  FrameParser parser(sink);
  parser.Reset();
  parser.ResetSequence();
  for (std::size_t i = 1; i < size; ++i) {
    if (resetPeriod != 0 && i % resetPeriod == 0) {
      parser.Reset();
    }
    parser.Feed(data[i]);
    Check(parser.DataCount() <= tavra::stack::kMaxFrameData);
  }
  const auto words = parser.Counters().Words();
  Check(words[6] == 0);  // word 11 stays 0
  if ((data[0] & 0x80) == 0) {
    for (const std::uint32_t w : words) {
      Check(w == 0);
    }
  }

  // Every delivered frame survives the round trip through the encoder.
  for (const ReceivedFrame& frame : sink.frames) {
    CheckingSink again(false);
    FrameParser reparser(again);
    reparser.Feed(tavra::stack::EncodeDataFrame(frame.sequence, frame.destination, frame.source,
                                                frame.Data()));
    Check(again.frames.size() == 1);
    const ReceivedFrame& copy = again.frames.front();
    Check(copy.sequence == frame.sequence && copy.destination == frame.destination &&
          copy.source == frame.source && copy.length == frame.length);
    Check(std::memcmp(copy.data.data(), frame.data.data(), frame.length) == 0);
  }
  return 0;
}
