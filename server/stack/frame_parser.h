#pragma once
// The byte-at-a-time receive parser of the serial line. One per link layer; fed only from the
// receiver thread (Feed/Reset/ResetSequence are not thread-safe). Its outputs go to an
// IFrameSink, called on the receiver thread; the sink must not block.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "server/stack/frame_codec.h"

namespace tavra::stack {

// Statistics words 5..13 of the link status block, counted only while the sink says so.
// Written by the receiver thread, read by any thread.
struct ParserCounters {
  std::atomic<std::uint32_t> repeatedFrames{0};       // word 5
  std::atomic<std::uint32_t> acksReceived{0};         // word 6
  std::atomic<std::uint32_t> acksBadCheck{0};         // word 7
  std::atomic<std::uint32_t> acksInsideData{0};       // word 8
  std::atomic<std::uint32_t> framesAccepted{0};       // word 9
  std::atomic<std::uint32_t> framesNoSuchAddress{0};  // word 10
  std::atomic<std::uint32_t> alwaysZero{0};           // word 11
  std::atomic<std::uint32_t> framesTooLong{0};        // word 12
  std::atomic<std::uint32_t> framesBadCheck{0};       // word 13

  // Words 5..13, in order.
  [[nodiscard]] std::array<std::uint32_t, 9> Words() const;
};

// Copy of the last new frame that was accepted.
struct ReceivedFrame {
  std::uint8_t sequence = 0;  // the sequence byte as received (0x20..0x3F)
  std::uint8_t destination = 0;
  std::uint8_t source = 0;
  std::array<std::uint8_t, kMaxFrameData> data{};
  std::size_t length = 0;

  [[nodiscard]] std::span<const std::uint8_t> Data() const { return {data.data(), length}; }
};

class IFrameSink {
 public:
  virtual ~IFrameSink() = default;
  // Owner key of a destination address, or -1 when no entry (used or not) has that address.
  virtual int LookupAddress(std::uint8_t address) = 0;
  // Every valid frame (data or acknowledgement) reloads the link's idle counter.
  virtual void OnValidFrame() = 0;
  // A valid acknowledgement frame; insideData tells if it came in the middle of a data frame.
  virtual void OnAcknowledgement(std::uint8_t ack, bool insideData) = 0;
  // The answer byte to send for a completed data frame (0x40/0x80/0xC0 | sequence).
  virtual void OnAnswer(std::uint8_t answer) = 0;
  // A new accepted frame to address 0x20 (link management reply).
  virtual void OnLinkManagementReply(const ReceivedFrame& frame) = 0;
  // A new accepted frame for the owner of its destination address (not 0x20).
  virtual void OnDataFrame(int ownerKey, const ReceivedFrame& frame) = 0;
  // Whether the statistics counters count now (only while the link is up).
  virtual bool CountersEnabled() = 0;
};

class FrameParser {
 public:
  enum class State {
    Hunt,
    Skip,
    FirstByte,
    AckCheck,
    Destination,
    Source,
    Data,
    Escaped,
    EmbeddedStart,
    SkipToData,
    EmbeddedAckCheck,
    DataCheck,
  };

  static constexpr std::uint8_t kNoSequence = 0xFF;

  explicit FrameParser(IFrameSink& sink);
  FrameParser(const FrameParser&) = delete;
  FrameParser& operator=(const FrameParser&) = delete;

  // Back to the hunt state (start of the receive loop, and after a pause of 100 ms or more).
  void Reset();
  // Forget the last received sequence number (0xFF); only at the start of the receive loop.
  void ResetSequence();
  void Feed(std::uint8_t byte);
  void Feed(std::span<const std::uint8_t> bytes);

  [[nodiscard]] State CurrentState() const { return m_state; }
  [[nodiscard]] std::uint8_t LastSequence() const { return m_lastSequence; }
  [[nodiscard]] const ReceivedFrame& LastFrame() const { return m_lastFrame; }
  [[nodiscard]] const ParserCounters& Counters() const { return m_counters; }
  [[nodiscard]] std::size_t DataCount() const { return m_count; }

 private:
  void StoreDataByte(std::uint8_t byte);
  void FrameComplete();
  void AcceptAck(bool insideData);

  IFrameSink& m_sink;
  State m_state = State::Hunt;
  std::uint8_t m_sum = 0;
  std::uint8_t m_sequence = 0;
  std::uint8_t m_destination = 0;
  std::uint8_t m_source = 0;
  std::array<std::uint8_t, kMaxFrameData> m_data{};
  std::size_t m_count = 0;
  bool m_overflow = false;
  std::uint8_t m_ack = 0;
  std::uint8_t m_lastSequence = kNoSequence;
  ReceivedFrame m_lastFrame;
  ParserCounters m_counters;
};

}  // namespace tavra::stack
