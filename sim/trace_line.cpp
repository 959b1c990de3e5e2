#include <cstdio>
#include <string>

#include "server/stack/frame_codec.h"
#include "sim/simulated_controller.h"

namespace tavra::sim {

namespace {

void AppendHex(std::string& out, std::uint8_t b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[b >> 4]);
  out.push_back(kDigits[b & 0x0F]);
}

const char* AnswerName(std::uint8_t x) {
  switch (x & 0xE0) {
    case stack::kAckAccepted: return "accepted";
    case stack::kAckNoSuchAddress: return "no such address";
    case stack::kAckBusy: return "busy";
    case stack::kAckTooLong: return "too long";
    default: return "?";
  }
}

// A short reading of the frame for a person; bytes that do not make a frame are only shown.
std::string Describe(std::span<const std::uint8_t> frame) {
  std::size_t start = 0;
  while (start < frame.size() && frame[start] != stack::kStx) {
    ++start;
  }
  const std::span<const std::uint8_t> f = frame.subspan(start);
  char text[96];
  if (f.size() == 3 && stack::IsAcknowledgementByte(f[1])) {
    std::snprintf(text, sizeof text, "ack %s seq %u", AnswerName(f[1]), f[1] & 0x1Fu);
    return text;
  }
  if (f.size() < 6 || f[1] < 0x20 || f[1] > 0x3F) {
    return "?";
  }
  std::size_t length = 0;
  bool escaped = false;
  for (std::size_t i = 4; i + 2 < f.size(); ++i) {
    if (!escaped && f[i] == stack::kDle) {
      escaped = true;
      continue;
    }
    escaped = false;
    ++length;
  }
  std::snprintf(text, sizeof text, "seq %u %02X<-%02X len %zu", f[1] & 0x1Fu, f[2], f[3], length);
  return text;
}

}  // namespace

std::string TraceLine(double seconds, bool fromHost, std::span<const std::uint8_t> frame) {
  char head[48];
  std::snprintf(head, sizeof head, "%12.6f %s", seconds, fromHost ? "H>C" : "C>H");
  std::string out = head;
  out += ' ';
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (i > 0) {
      out.push_back(' ');
    }
    AppendHex(out, frame[i]);
  }
  out += "  | ";
  out += Describe(frame);
  return out;
}

}  // namespace tavra::sim
