// Fuzzes the Telnet decoder and the RFC 2217 client with what a hostile or broken device server
// may send. The first input byte gives the read size (1..256) of a second, piecewise decode.
// Checked: piecewise and whole decoding agree; the data is never longer than the input;
// payloads stay within their bound; escaping the data and decoding it again gives it back; the
// client's answers to any command are at most one 3-byte negotiation.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "server/stack/rfc2217_session.h"
#include "server/stack/telnet_codec.h"

namespace {

using tavra::stack::Rfc2217Session;
namespace telnet = tavra::stack::telnet;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool SameCommands(const std::vector<telnet::Command>& a, const std::vector<telnet::Command>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto pa = a[i].Payload();
    const auto pb = b[i].Payload();
    if (a[i].kind != b[i].kind || a[i].option != b[i].option || a[i].truncated != b[i].truncated ||
        !std::equal(pa.begin(), pa.end(), pb.begin(), pb.end())) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t step = static_cast<std::size_t>(bytes[0]) + 1;
  const std::span<const std::uint8_t> in(bytes + 1, size - 1);

  telnet::Decoder whole;
  std::vector<std::uint8_t> data;
  std::vector<telnet::Command> commands;
  whole.Feed(in, data, commands);

  telnet::Decoder pieces;
  std::vector<std::uint8_t> data2;
  std::vector<telnet::Command> commands2;
  for (std::size_t at = 0; at < in.size(); at += step) {
    pieces.Feed(in.subspan(at, std::min(step, in.size() - at)), data2, commands2);
  }
  Check(data == data2);
  Check(SameCommands(commands, commands2));
  Check(data.size() <= in.size());

  Rfc2217Session session;
  (void)session.Start();
  for (const telnet::Command& command : commands) {
    Check(command.payloadSize <= telnet::kMaxSubnegotiation);
    std::vector<std::uint8_t> reply;
    session.OnCommand(command, reply);
    Check(reply.empty() || reply.size() == 3);
  }

  std::vector<std::uint8_t> escaped;
  telnet::AppendEscaped(data, escaped);
  telnet::Decoder again;
  std::vector<std::uint8_t> data3;
  std::vector<telnet::Command> commands3;
  again.Feed(escaped, data3, commands3);
  Check(data3 == data);
  Check(commands3.empty());
  return 0;
}
