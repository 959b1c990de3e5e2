#include "server/stack/frame_parser.h"

#include <algorithm>

namespace tavra::stack {

namespace {

constexpr std::uint8_t kFirstHeaderValue = 0x20;
constexpr std::uint8_t kLinkManagementAddress = 0x20;

void Count(std::atomic<std::uint32_t>& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

std::array<std::uint32_t, 9> ParserCounters::Words() const {
  return {repeatedFrames.load(std::memory_order_relaxed),
          acksReceived.load(std::memory_order_relaxed),
          acksBadCheck.load(std::memory_order_relaxed),
          acksInsideData.load(std::memory_order_relaxed),
          framesAccepted.load(std::memory_order_relaxed),
          framesNoSuchAddress.load(std::memory_order_relaxed),
          alwaysZero.load(std::memory_order_relaxed),
          framesTooLong.load(std::memory_order_relaxed),
          framesBadCheck.load(std::memory_order_relaxed)};
}

FrameParser::FrameParser(IFrameSink& sink) : m_sink(sink) {}

void FrameParser::Reset() {
  m_state = State::Hunt;
}

void FrameParser::ResetSequence() {
  m_lastSequence = kNoSequence;
}

void FrameParser::Feed(std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t b : bytes) {
    Feed(b);
  }
}

void FrameParser::Feed(std::uint8_t byte) {
  switch (m_state) {
    case State::Hunt:
      if (byte == kStx) {
        m_sum = kStx;
        m_overflow = false;
        m_state = State::FirstByte;
      } else if (byte == kEtx || byte == kDle) {
        // The byte after a stray ETX or DLE may be a check byte or an escaped 0x02: never
        // take it for a frame start.
        m_state = State::Skip;
      }
      break;

    case State::Skip: m_state = State::Hunt; break;

    case State::FirstByte:
      if (byte >= 0x20 && byte <= 0x3F) {
        m_sum = static_cast<std::uint8_t>(m_sum + byte);
        m_sequence = byte;
        m_state = State::Destination;
      } else if (IsAcknowledgementByte(byte)) {
        m_ack = byte;
        m_state = State::AckCheck;
      } else {
        m_state = State::Hunt;
      }
      break;

    case State::AckCheck:
      if (byte == static_cast<std::uint8_t>(m_ack + kStx)) {
        AcceptAck(false);
      } else if (m_sink.CountersEnabled()) {
        Count(m_counters.acksBadCheck);
      }
      m_state = State::Hunt;
      break;

    case State::Destination:
      if (byte < kFirstHeaderValue) {
        m_state = State::Hunt;
      } else {
        m_sum = static_cast<std::uint8_t>(m_sum + byte);
        m_destination = byte;
        m_state = State::Source;
      }
      break;

    case State::Source:
      if (byte < kFirstHeaderValue) {
        m_state = State::Hunt;
      } else {
        m_sum = static_cast<std::uint8_t>(m_sum + byte);
        m_source = byte;
        m_count = 0;
        m_state = State::Data;
      }
      break;

    case State::Data:
      if (byte == kStx) {
        // An acknowledgement frame sent in the middle of this data frame.
        m_state = State::EmbeddedStart;
      } else if (byte == kEtx) {
        m_sum = static_cast<std::uint8_t>(m_sum + kEtx);
        m_state = State::DataCheck;
      } else if (byte == kDle) {
        m_state = State::Escaped;
      } else {
        m_sum = static_cast<std::uint8_t>(m_sum + byte);
        StoreDataByte(byte);
      }
      break;

    case State::Escaped:
      if (byte == kStx || byte == kEtx || byte == kDle) {
        m_sum = static_cast<std::uint8_t>(m_sum + byte);
        StoreDataByte(byte);
        m_state = State::Data;
      } else {
        m_state = State::Hunt;
      }
      break;

    case State::EmbeddedStart:
      if (IsAcknowledgementByte(byte)) {
        m_ack = byte;
        m_state = State::EmbeddedAckCheck;
      } else {
        m_state = State::SkipToData;
      }
      break;

    case State::SkipToData: m_state = State::Data; break;

    case State::EmbeddedAckCheck:
      if (byte == static_cast<std::uint8_t>(m_ack + kStx)) {
        AcceptAck(true);
      } else if (m_sink.CountersEnabled()) {
        Count(m_counters.acksBadCheck);
      }
      m_state = State::Data;
      break;

    case State::DataCheck:
      m_state = State::Hunt;
      if (byte == m_sum) {
        FrameComplete();
      } else if (m_sink.CountersEnabled()) {
        Count(m_counters.framesBadCheck);
      }
      break;
  }
}

void FrameParser::StoreDataByte(std::uint8_t byte) {
  // From the 1024th byte on the frame is only summed: it will be refused as too long.
  if (m_overflow) {
    return;
  }
  m_data[m_count++] = byte;
  if (m_count >= kMaxFrameData) {
    m_overflow = true;
  }
}

void FrameParser::AcceptAck(bool insideData) {
  m_sink.OnValidFrame();
  if (m_sink.CountersEnabled()) {
    Count(insideData ? m_counters.acksInsideData : m_counters.acksReceived);
  }
  m_sink.OnAcknowledgement(m_ack, insideData);
}

void FrameParser::FrameComplete() {
  m_sink.OnValidFrame();
  const int key = m_sink.LookupAddress(m_destination);
  const auto sequence = static_cast<std::uint8_t>(m_sequence & 0x1F);
  std::uint8_t code = kAckAccepted;
  if (key < 0) {
    code = kAckNoSuchAddress;
  } else if (m_overflow) {
    code = kAckTooLong;
  }
  const bool counting = m_sink.CountersEnabled();
  if (counting) {
    Count(code == kAckAccepted        ? m_counters.framesAccepted
          : code == kAckNoSuchAddress ? m_counters.framesNoSuchAddress
                                      : m_counters.framesTooLong);
  }
  m_sink.OnAnswer(static_cast<std::uint8_t>(code | sequence));

  if (code == kAckAccepted) {
    if (sequence != m_lastSequence) {
      m_lastFrame.sequence = m_sequence;
      m_lastFrame.destination = m_destination;
      m_lastFrame.source = m_source;
      std::copy_n(m_data.begin(), m_count, m_lastFrame.data.begin());
      m_lastFrame.length = m_count;
      if (m_destination == kLinkManagementAddress) {
        m_sink.OnLinkManagementReply(m_lastFrame);
      } else {
        m_sink.OnDataFrame(key, m_lastFrame);
      }
    } else if (counting) {
      Count(m_counters.repeatedFrames);
    }
  }
  // Refused frames set it too: the sender moves on to its next number either way.
  m_lastSequence = sequence;
}

}  // namespace tavra::stack
