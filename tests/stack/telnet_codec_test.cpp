// The Telnet stream of a network serial port: data and commands split correctly whatever the
// read boundaries, 0xFF escaped both ways, and the RFC 2217 client's answers to a server.

#include "server/stack/telnet_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "server/stack/rfc2217_session.h"

namespace tavra::stack {
namespace {

using Bytes = std::vector<std::uint8_t>;
using telnet::Command;

struct Decoded {
  Bytes data;
  std::vector<Command> commands;
};

// Feeds `in` in pieces of `step` bytes.
Decoded Decode(const Bytes& in, std::size_t step) {
  telnet::Decoder decoder;
  Decoded out;
  for (std::size_t at = 0; at < in.size(); at += step) {
    const std::size_t n = std::min(step, in.size() - at);
    decoder.Feed(std::span(in).subspan(at, n), out.data, out.commands);
  }
  return out;
}

TEST(TelnetDecoder, SplitsDataAndCommandsAtEveryReadBoundary) {
  struct Case {
    const char* what;
    Bytes in;
    Bytes data;
    std::vector<std::pair<Command::Kind, std::uint8_t>> commands;
    Bytes lastPayload;
  };
  const Case cases[] = {
      {"plain", {0x02, 0x10, 0x12}, {0x02, 0x10, 0x12}, {}, {}},
      {"escaped FF", {0x01, 0xFF, 0xFF, 0x02}, {0x01, 0xFF, 0x02}, {}, {}},
      {"negotiation inside data",
       {0x01, 0xFF, 0xFB, 0x03, 0x02, 0xFF, 0xFD, 0x2C},
       {0x01, 0x02},
       {{Command::Kind::Will, 3}, {Command::Kind::Do, 44}},
       {}},
      {"modem state notification stripped",
       {0x05, 0xFF, 0xFA, 0x2C, 0x6B, 0x00, 0xFF, 0xF0, 0x06},
       {0x05, 0x06},
       {{Command::Kind::Subnegotiation, 44}},
       {0x6B, 0x00}},
      {"baud answer with an escaped FF",
       {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xF0},
       {},
       {{Command::Kind::Subnegotiation, 44}},
       {0x65, 0x00, 0x00, 0xFF}},
      {"NOP and GA dropped", {0xFF, 0xF1, 0x07, 0xFF, 0xF9}, {0x07}, {}, {}},
      {"unterminated subnegotiation ends at the next command",
       {0xFF, 0xFA, 0x2C, 0x01, 0xFF, 0xFE, 0x00, 0x09},
       {0x09},
       {{Command::Kind::Dont, 0}},
       {}},
  };
  for (const Case& c : cases) {
    for (const std::size_t step : {std::size_t{1}, std::size_t{2}, std::size_t{3}, c.in.size()}) {
      SCOPED_TRACE(std::string(c.what) + ", step " + std::to_string(step));
      const Decoded out = Decode(c.in, step);
      EXPECT_EQ(out.data, c.data);
      ASSERT_EQ(out.commands.size(), c.commands.size());
      for (std::size_t i = 0; i < c.commands.size(); ++i) {
        EXPECT_EQ(out.commands[i].kind, c.commands[i].first);
        EXPECT_EQ(out.commands[i].option, c.commands[i].second);
      }
      if (!c.lastPayload.empty()) {
        const auto payload = out.commands.back().Payload();
        EXPECT_EQ(Bytes(payload.begin(), payload.end()), c.lastPayload);
      }
    }
  }
}

TEST(TelnetDecoder, AnOverlongSubnegotiationIsBoundedAndMarked) {
  Bytes in = {0xFF, 0xFA, 0x2C};
  in.insert(in.end(), 10000, 0x41);
  in.insert(in.end(), {0xFF, 0xF0, 0x33});
  const Decoded out = Decode(in, 7);
  ASSERT_EQ(out.commands.size(), 1u);
  EXPECT_TRUE(out.commands[0].truncated);
  EXPECT_EQ(out.commands[0].payloadSize, telnet::kMaxSubnegotiation);
  EXPECT_EQ(out.data, Bytes{0x33});
}

TEST(TelnetEncoder, EscapesFfInDataAndSubnegotiations) {
  Bytes out;
  telnet::AppendEscaped(Bytes{0x02, 0xFF, 0x00, 0xFF}, out);
  EXPECT_EQ(out, (Bytes{0x02, 0xFF, 0xFF, 0x00, 0xFF, 0xFF}));
  out.clear();
  Rfc2217Session::AppendSetBaudRate(57600, out);  // 0x0000E100
  EXPECT_EQ(out, (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0xE1, 0x00, 0xFF, 0xF0}));
  out.clear();
  Rfc2217Session::AppendSetBaudRate(0xFF, out);
  EXPECT_EQ(out, (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xF0}));
}

// A server's opening as ser2net sends it, then a refusal: each request answered once, nothing
// answered that we asked for ourselves.
TEST(Rfc2217Session, AnswersEachOptionRequestOnce) {
  Rfc2217Session session;
  EXPECT_EQ(session.Start(), (Bytes{0xFF, 0xFB, 0x2C, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00}));
  struct Step {
    Bytes server;
    Bytes reply;
  };
  const Step steps[] = {
      {{0xFF, 0xFB, 0x03}, {0xFF, 0xFD, 0x03}},    // WILL SGA: DO SGA
      {{0xFF, 0xFD, 0x03}, {0xFF, 0xFC, 0x03}},    // DO SGA: WONT SGA
      {{0xFF, 0xFB, 0x01}, {0xFF, 0xFE, 0x01}},    // WILL ECHO: DONT ECHO
      {{0xFF, 0xFE, 0x01}, {}},                    // DONT ECHO: never on
      {{0xFF, 0xFD, 0x00}, {}},                    // DO BINARY: asked for
      {{0xFF, 0xFB, 0x00}, {}},                    // WILL BINARY: asked for
      {{0xFF, 0xFD, 0x2C}, {}},                    // DO COM-PORT-OPTION: asked for
      {{0xFF, 0xFD, 0x2C, 0xFF, 0xFB, 0x03}, {}},  // repeated: already in force
      {{0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0xE1, 0x00, 0xFF, 0xF0}, {}},
  };
  telnet::Decoder decoder;
  for (const Step& step : steps) {
    Bytes data;
    std::vector<Command> commands;
    decoder.Feed(step.server, data, commands);
    Bytes reply;
    for (const Command& command : commands) {
      session.OnCommand(command, reply);
    }
    EXPECT_EQ(reply, step.reply);
  }
  EXPECT_TRUE(session.ComPortAccepted());
  EXPECT_FALSE(session.ComPortRefused());
  EXPECT_EQ(session.BaudRateAnswers(), 1u);
  EXPECT_EQ(session.LastBaudRateAnswer(), 57600u);

  // DONT COM-PORT-OPTION: refused, acknowledged once.
  Bytes data;
  std::vector<Command> commands;
  decoder.Feed(Bytes{0xFF, 0xFE, 0x2C, 0xFF, 0xFE, 0x2C}, data, commands);
  Bytes reply;
  for (const Command& command : commands) {
    session.OnCommand(command, reply);
  }
  EXPECT_EQ(reply, (Bytes{0xFF, 0xFC, 0x2C}));
  EXPECT_TRUE(session.ComPortRefused());
  EXPECT_FALSE(session.ComPortAccepted());
}

}  // namespace
}  // namespace tavra::stack
