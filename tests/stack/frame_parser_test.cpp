// The receive parser: every state and transition, the 1023/1024 data-byte rule, embedded
// acknowledgements, repetitions, the order of the "frame complete" steps, and the counters.

#include "server/stack/frame_parser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "frame_sink_support.h"
#include "server/stack/frame_codec.h"

namespace tavra::stack {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;
using State = FrameParser::State;

Bytes X(const std::string& hex) {
  Bytes out;
  std::istringstream in(hex);
  std::string token;
  while (in >> token) {
    out.push_back(static_cast<std::uint8_t>(std::strtoul(token.c_str(), nullptr, 16)));
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

Bytes F(int sequence, int destination, int source, const Bytes& data) {
  return EncodeDataFrame(static_cast<std::uint8_t>(sequence),
                         static_cast<std::uint8_t>(destination), static_cast<std::uint8_t>(source),
                         data);
}

// A data frame built by hand, for lengths beyond what the encoder takes and wrong check bytes.
Bytes Raw(int sequenceByte, int destination, int source, const Bytes& data, int checkDelta = 0) {
  Bytes out{kStx, static_cast<std::uint8_t>(sequenceByte), static_cast<std::uint8_t>(destination),
            static_cast<std::uint8_t>(source)};
  unsigned sum = kStx + static_cast<unsigned>(sequenceByte + destination + source) + kEtx;
  for (const std::uint8_t b : data) {
    if (b == kStx || b == kEtx || b == kDle) {
      out.push_back(kDle);
    }
    out.push_back(b);
    sum += b;
  }
  out.push_back(kEtx);
  out.push_back(static_cast<std::uint8_t>(sum + static_cast<unsigned>(checkDelta)));
  return out;
}

const Bytes kExample = X("02 25 21 21 70 10 02 41 03 1F");
const Strings kExampleEvents{"valid", "lookup 21", "answer 45", "data 1 25 21 21 [70 02 41]"};

Strings Join(std::initializer_list<Strings> parts) {
  Strings out;
  for (const Strings& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

struct ParseCase {
  const char* name;
  Bytes input;
  Strings events;
};

class FrameParserCases : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FrameParserCases, GivesTheseCallsInOrder) {
  test::RecordingSink sink;
  FrameParser parser(sink);
  parser.Feed(GetParam().input);
  EXPECT_EQ(sink.Events(), GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(
    Stream,
    FrameParserCases,
    ::testing::Values(
        ParseCase{"WorkedExample", kExample, kExampleEvents},
        ParseCase{"WrongCheckByteNoAnswer", X("02 25 21 21 70 10 02 41 03 20"), {}},
        ParseCase{
            "UnknownAddressRefused", F(5, 0x30, 0x21, {0x01}), {"valid", "lookup 30", "answer 85"}},
        ParseCase{"LinkManagementReply",
                  F(2, 0x20, 0x20, {0x21}),
                  {"valid", "lookup 20", "answer 42", "link 22 20 20 [21]"}},
        ParseCase{"ClientAddress",
                  F(7, 0x40, 0x22, {0xAA}),
                  {"valid", "lookup 40", "answer 47", "data 10 27 40 22 [AA]"}},
        ParseCase{
            "HighestHeaderValues", F(31, 0xFF, 0xFF, {}), {"valid", "lookup FF", "answer 9F"}},
        ParseCase{"NoData",
                  F(3, 0x21, 0x21, {}),
                  {"valid", "lookup 21", "answer 43", "data 1 23 21 21 []"}},
        ParseCase{"EscapedBytesKept",
                  F(9, 0x21, 0x21, {0x10, 0x03, 0x02, 0x10}),
                  {"valid", "lookup 21", "answer 49", "data 1 29 21 21 [10 03 02 10]"}},
        ParseCase{"AckFrame", X("02 45 47"), {"valid", "ack 45"}},
        ParseCase{"BusyAckFrame", X("02 A3 A5"), {"valid", "ack A3"}},
        ParseCase{"AckFrameWrongCheck", X("02 45 48"), {}},
        ParseCase{"AckThenDataFrame", Cat({X("02 C1 C3"), kExample}),
                  Join({{"valid", "ack C1"}, kExampleEvents})},
        ParseCase{"BadEscapeAbortsThenNextFrameParsed",
                  Cat({X("02 25 21 21 70 10 41 03 1F"), kExample}), kExampleEvents},
        ParseCase{"ByteAfterStrayEtxIgnored", Cat({X("03"), kExample}), {}},
        ParseCase{"ByteAfterStrayDleIgnored", X("10 02 45 47"), {}},
        ParseCase{"OtherByteAfterStrayEtxThenFrame",
                  Cat({X("03 41"), X("02 45 47")}),
                  {"valid", "ack 45"}},
        ParseCase{"AckInsideData", X("02 25 21 21 70 02 46 48 10 02 41 03 1F"),
                  Join({{"valid", "ack-in 46"}, kExampleEvents})},
        ParseCase{"BadAckInsideDataFrameGoesOn", X("02 25 21 21 70 02 46 49 10 02 41 03 1F"),
                  kExampleEvents},
        ParseCase{"StxAndNonAckByteInsideDataDropsTwoBytes",
                  X("02 25 21 21 70 02 30 31 41 03 1D"),
                  {"valid", "lookup 21", "answer 45", "data 1 25 21 21 [70 41]"}},
        ParseCase{"DestinationBelow20Aborts", Cat({X("02 25 1F"), kExample}), kExampleEvents},
        ParseCase{"SourceBelow20Aborts", Cat({X("02 25 21 05"), kExample}), kExampleEvents},
        ParseCase{"FirstByteNeitherSequenceNorAck", Cat({X("02 60"), kExample}), kExampleEvents},
        ParseCase{"FirstByteE0", Cat({X("02 E0"), kExample}), kExampleEvents},
        ParseCase{"DoubleStartLosesTheFrame", Cat({X("02"), kExample}), {}},
        ParseCase{"RepetitionAnsweredTwiceDeliveredOnce", Cat({kExample, kExample}),
                  Join({kExampleEvents, {"valid", "lookup 21", "answer 45"}})},
        ParseCase{"NextSequenceDeliveredAfterRepetition",
                  Cat({kExample, kExample, F(6, 0x21, 0x21, {0x01})}),
                  Join({kExampleEvents,
                        {"valid", "lookup 21", "answer 45"},
                        {"valid", "lookup 21", "answer 46", "data 1 26 21 21 [01]"}})},
        ParseCase{"RefusedFrameAlsoSetsTheLastSequence",
                  Cat({F(5, 0x30, 0x21, {0x01}), kExample}),
                  {"valid", "lookup 30", "answer 85", "valid", "lookup 21", "answer 45"}},
        ParseCase{"SameSequenceToAnotherOwnerIsARepetition",
                  Cat({kExample, F(5, 0x40, 0x21, {0x01})}),
                  Join({kExampleEvents, {"valid", "lookup 40", "answer 45"}})}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

struct LengthCase {
  std::size_t length;
  int destination;
  const char* answer;
  bool delivered;
};

class FrameParserLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(FrameParserLengths, AcceptsAtMost1023DataBytes) {
  const LengthCase& c = GetParam();
  Bytes data(c.length);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 7);  // escapes included
  }
  test::RecordingSink sink;
  FrameParser parser(sink);
  std::size_t maxCount = 0;
  for (const std::uint8_t b : Raw(0x25, c.destination, 0x21, data)) {
    parser.Feed(b);
    maxCount = std::max(maxCount, parser.DataCount());
  }
  EXPECT_LE(maxCount, kMaxFrameData);
  const Strings out = sink.Outputs();
  ASSERT_EQ(out.size(), c.delivered ? 2U : 1U);
  EXPECT_EQ(out[0], std::string("answer ") + c.answer);
  if (c.delivered) {
    EXPECT_EQ(parser.LastFrame().length, c.length);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), parser.LastFrame().data.begin()));
  }
  EXPECT_EQ(parser.CurrentState(), State::Hunt);
}

INSTANTIATE_TEST_SUITE_P(Rule,
                         FrameParserLengths,
                         ::testing::Values(LengthCase{1022, 0x21, "45", true},
                                           LengthCase{1023, 0x21, "45", true},
                                           LengthCase{1024, 0x21, "C5", false},
                                           LengthCase{1025, 0x21, "C5", false},
                                           LengthCase{3000, 0x21, "C5", false},
                                           LengthCase{1024, 0x30, "85", false},
                                           LengthCase{1023, 0x30, "85", false}));

TEST(FrameParserTest, TooLongFrameWithWrongCheckByteGetsNoAnswer) {
  test::RecordingSink sink;
  FrameParser parser(sink);
  parser.Feed(Raw(0x25, 0x21, 0x21, Bytes(1500, 0x41), 1));
  EXPECT_TRUE(sink.Events().empty());
}

TEST(FrameParserTest, EveryStateIsReached) {
  struct Step {
    const char* input;
    State state;
  };
  for (const Step& s :
       {Step{"", State::Hunt}, Step{"41", State::Hunt}, Step{"03", State::Skip},
        Step{"10", State::Skip}, Step{"03 02", State::Hunt}, Step{"02", State::FirstByte},
        Step{"02 45", State::AckCheck}, Step{"02 25", State::Destination},
        Step{"02 25 21", State::Source}, Step{"02 25 21 21", State::Data},
        Step{"02 25 21 21 10", State::Escaped}, Step{"02 25 21 21 10 10", State::Data},
        Step{"02 25 21 21 02", State::EmbeddedStart}, Step{"02 25 21 21 02 30", State::SkipToData},
        Step{"02 25 21 21 02 30 31", State::Data},
        Step{"02 25 21 21 02 45", State::EmbeddedAckCheck},
        Step{"02 25 21 21 02 45 00", State::Data}, Step{"02 25 21 21 03", State::DataCheck},
        Step{"02 25 21 21 03 00", State::Hunt}}) {
    test::RecordingSink sink;
    FrameParser parser(sink);
    parser.Feed(X(s.input));
    EXPECT_EQ(parser.CurrentState(), s.state) << s.input;
  }
}

TEST(FrameParserTest, ResetDropsAPartialFrame) {
  test::RecordingSink sink;
  FrameParser parser(sink);
  parser.Feed(std::span(kExample).first(6));
  parser.Reset();
  EXPECT_EQ(parser.CurrentState(), State::Hunt);
  parser.Feed(std::span(kExample).subspan(6));
  EXPECT_TRUE(sink.Events().empty());
}

TEST(FrameParserTest, LastSequenceSurvivesResetButNotResetSequence) {
  test::RecordingSink sink;
  FrameParser parser(sink);
  EXPECT_EQ(parser.LastSequence(), FrameParser::kNoSequence);
  parser.Feed(kExample);
  EXPECT_EQ(parser.LastSequence(), 5);

  // A pause (or the link coming up again) does not forget it: the same number is a repetition.
  parser.Reset();
  sink.Clear();
  parser.Feed(kExample);
  EXPECT_EQ(sink.Outputs(), Strings{"answer 45"});

  // Only the start of the receive loop does.
  parser.ResetSequence();
  EXPECT_EQ(parser.LastSequence(), FrameParser::kNoSequence);
  sink.Clear();
  parser.Feed(kExample);
  EXPECT_EQ(sink.Outputs(), (Strings{"answer 45", "data 1 25 21 21 [70 02 41]"}));
}

TEST(FrameParserTest, LastFrameCopyKeepsHeaderAndData) {
  test::RecordingSink sink;
  FrameParser parser(sink);
  parser.Feed(F(12, 0x40, 0x23, {0x01, 0x02, 0x03}));
  const ReceivedFrame& f = parser.LastFrame();
  EXPECT_EQ(f.sequence, 0x2C);
  EXPECT_EQ(f.destination, 0x40);
  EXPECT_EQ(f.source, 0x23);
  EXPECT_EQ(test::Hex(f.Data()), "01 02 03");
  // A refused frame leaves the copy alone.
  parser.Feed(F(13, 0x31, 0x23, {0x09}));
  EXPECT_EQ(parser.LastFrame().sequence, 0x2C);
  EXPECT_EQ(parser.LastSequence(), 13);
}

TEST(FrameParserTest, RoundTripOfEncodedFrames) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> control(0, 3);
  test::RecordingSink sink;
  FrameParser parser(sink);
  std::uniform_int_distribution<std::size_t> length(0, 1023);
  const std::array<std::uint8_t, 3> controls{kStx, kEtx, kDle};
  const std::array<std::size_t, 4> fixedLengths{0, 1, 1022, 1023};
  for (int i = 0; i < 200; ++i) {
    Bytes data(i < 4 ? fixedLengths[static_cast<std::size_t>(i)] : length(random));
    for (auto& b : data) {
      // One byte in four is a control byte, so escapes are frequent.
      b = control(random) == 0 ? controls[static_cast<std::size_t>(byte(random) % 3)]
                               : static_cast<std::uint8_t>(byte(random));
    }
    const int sequence = i % 32;
    sink.Clear();
    parser.Feed(F(sequence, 0x21, 0x21, data));
    ASSERT_EQ(sink.Outputs().size(), 2U) << i;
    EXPECT_EQ(parser.LastFrame().length, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), parser.LastFrame().data.begin())) << i;
    EXPECT_EQ(parser.LastSequence(), sequence);
  }
}

TEST(FrameParserTest, CountersWords5To13) {
  const Bytes stream = Cat({
      kExample,                                        // accepted
      kExample,                                        // accepted, repetition
      X("02 45 47"),                                   // acknowledgement
      X("02 45 48"),                                   // acknowledgement, bad check
      X("02 26 21 21 70 02 46 48 02 46 49 41 03 1E"),  // inside: one good, one bad; accepted
      F(7, 0x30, 0x21, {0x01}),                        // no such address
      Raw(0x28, 0x21, 0x21, Bytes(1024, 0x41)),        // too long
      Raw(0x29, 0x21, 0x21, {0x41}, 1),                // bad check
  });
  {
    test::RecordingSink sink;
    FrameParser parser(sink);
    parser.Feed(stream);
    const std::array<std::uint32_t, 9> expected{1, 1, 2, 1, 3, 1, 0, 1, 1};
    EXPECT_EQ(parser.Counters().Words(), expected);
  }
  {
    // While the link is down nothing is counted, but the frames are handled the same.
    test::RecordingSink counting;
    FrameParser reference(counting);
    reference.Feed(stream);

    test::RecordingSink sink;
    sink.SetCountersEnabled(false);
    FrameParser parser(sink);
    parser.Feed(stream);
    EXPECT_EQ(parser.Counters().Words(), (std::array<std::uint32_t, 9>{}));
    EXPECT_EQ(sink.Events(), counting.Events());
  }
}

}  // namespace
}  // namespace tavra::stack
