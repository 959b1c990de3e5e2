// Throughput of the frame encoder and of the receive parser over a realistic byte stream.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "server/stack/frame_codec.h"
#include "server/stack/frame_parser.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tavra::stack::ReceivedFrame;

// The least a link layer does with the parser's outputs.
class CountingSink final : public tavra::stack::IFrameSink {
 public:
  int LookupAddress(std::uint8_t address) override {
    return address == 0x20 || address == 0x21 || (address >= 0x40 && address < 0x52) ? address : -1;
  }
  void OnValidFrame() override { ++valid; }
  void OnAcknowledgement(std::uint8_t, bool) override { ++acks; }
  void OnAnswer(std::uint8_t answer) override { lastAnswer = answer; }
  void OnLinkManagementReply(const ReceivedFrame& frame) override { bytes += frame.length; }
  void OnDataFrame(int, const ReceivedFrame& frame) override { bytes += frame.length; }
  bool CountersEnabled() override { return true; }

  std::size_t valid = 0;
  std::size_t acks = 0;
  std::size_t bytes = 0;
  std::uint8_t lastAnswer = 0;
};

Bytes RandomData(std::mt19937& random, std::size_t length) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes data(length);
  for (auto& b : data) {
    b = static_cast<std::uint8_t>(byte(random));
  }
  return data;
}

// What a firmware transfer puts on the line in one direction: for every long block frame
// (firmware rows, random bytes, so about 1 in 85 escaped) an acknowledgement, a short
// transport frame and its acknowledgement, a keep-alive poll now and then, and every tenth
// block an acknowledgement that arrives in the middle of a data frame.
Bytes RealisticStream() {
  std::mt19937 random(42);
  std::uniform_int_distribution<std::size_t> shortLength(4, 24);
  std::uniform_int_distribution<std::size_t> longLength(200, 1023);
  Bytes stream;
  auto append = [&stream](const Bytes& b) { stream.insert(stream.end(), b.begin(), b.end()); };
  std::uint8_t sequence = 0;
  while (stream.size() < 1 << 20) {
    sequence = static_cast<std::uint8_t>((sequence + 1) & 0x1F);
    Bytes block =
        tavra::stack::EncodeDataFrame(sequence, 0x41, 0x22, RandomData(random, longLength(random)));
    if (sequence % 10 == 0) {
      const auto ack = tavra::stack::EncodeAckFrame(0x40 | sequence);
      block.insert(block.begin() + 40, ack.begin(), ack.end());
    }
    append(block);
    const auto ack = tavra::stack::EncodeAckFrame(0x40 | sequence);
    append(Bytes(ack.begin(), ack.end()));
    sequence = static_cast<std::uint8_t>((sequence + 1) & 0x1F);
    append(tavra::stack::EncodeDataFrame(sequence, 0x21, 0x21,
                                         RandomData(random, shortLength(random))));
    if (sequence % 16 == 1) {
      sequence = static_cast<std::uint8_t>((sequence + 1) & 0x1F);
      append(tavra::stack::EncodeDataFrame(sequence, 0x20, 0x20, Bytes{0x25}));
    }
  }
  return stream;
}

void BM_ParseRealisticStream(benchmark::State& state) {
  const Bytes stream = RealisticStream();
  CountingSink sink;
  tavra::stack::FrameParser parser(sink);
  for (auto _ : state) {
    parser.ResetSequence();
    parser.Feed(stream);
    benchmark::DoNotOptimize(sink.bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.size()));
  state.counters["frames"] =
      benchmark::Counter(static_cast<double>(sink.valid), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseRealisticStream);

void BM_ParseAckFrames(benchmark::State& state) {
  Bytes stream;
  for (int i = 0; i < 4096; ++i) {
    const auto ack = tavra::stack::EncodeAckFrame(static_cast<std::uint8_t>(0x40 | (i & 0x1F)));
    stream.insert(stream.end(), ack.begin(), ack.end());
  }
  CountingSink sink;
  tavra::stack::FrameParser parser(sink);
  for (auto _ : state) {
    parser.Feed(stream);
    benchmark::DoNotOptimize(sink.acks);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_ParseAckFrames);

// Data of every byte value in turn: 3 in 256 are escaped.
void BM_EncodeDataFrame(benchmark::State& state) {
  std::mt19937 random(7);
  const Bytes data = RandomData(random, static_cast<std::size_t>(state.range(0)));
  std::array<std::uint8_t, tavra::stack::kMaxEncodedFrame> out{};
  std::uint8_t sequence = 0;
  for (auto _ : state) {
    sequence = static_cast<std::uint8_t>((sequence + 1) & 0x1F);
    benchmark::DoNotOptimize(tavra::stack::EncodeDataFrame(sequence, 0x22, 0x41, data, out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_EncodeDataFrame)->Arg(5)->Arg(64)->Arg(1024);

// The worst case: every byte needs an escape.
void BM_EncodeDataFrameAllEscaped(benchmark::State& state) {
  const Bytes data(tavra::stack::kMaxFrameData, tavra::stack::kDle);
  std::array<std::uint8_t, tavra::stack::kMaxEncodedFrame> out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(tavra::stack::EncodeDataFrame(1, 0x22, 0x41, data, out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_EncodeDataFrameAllEscaped);

}  // namespace

BENCHMARK_MAIN();
