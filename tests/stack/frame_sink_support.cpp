#include "frame_sink_support.h"

#include <cstdio>

namespace tavra::test {

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (const std::uint8_t b : bytes) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(b));
    if (!out.empty()) {
      out += ' ';
    }
    out += text;
  }
  return out;
}

namespace {

std::string HexByte(std::uint8_t b) {
  return Hex(std::span<const std::uint8_t>(&b, 1));
}

std::string FrameText(const stack::ReceivedFrame& frame) {
  return HexByte(frame.sequence) + " " + HexByte(frame.destination) + " " + HexByte(frame.source) +
         " [" + Hex(frame.Data()) + "]";
}

}  // namespace

RecordingSink::RecordingSink() : m_addresses{{0x20, 2}, {0x21, 1}, {0x40, 10}} {}

void RecordingSink::SetAddresses(std::map<std::uint8_t, int> addresses) {
  std::lock_guard lock(m_mutex);
  m_addresses = std::move(addresses);
}

void RecordingSink::SetCountersEnabled(bool enabled) {
  std::lock_guard lock(m_mutex);
  m_counters = enabled;
}

void RecordingSink::Add(std::string event) {
  std::lock_guard lock(m_mutex);
  m_events.push_back(std::move(event));
  m_cv.notify_all();
}

int RecordingSink::LookupAddress(std::uint8_t address) {
  Add("lookup " + HexByte(address));
  std::lock_guard lock(m_mutex);
  const auto it = m_addresses.find(address);
  return it == m_addresses.end() ? -1 : it->second;
}

void RecordingSink::OnValidFrame() {
  Add("valid");
}

void RecordingSink::OnAcknowledgement(std::uint8_t ack, bool insideData) {
  Add((insideData ? "ack-in " : "ack ") + HexByte(ack));
}

void RecordingSink::OnAnswer(std::uint8_t answer) {
  Add("answer " + HexByte(answer));
}

void RecordingSink::OnLinkManagementReply(const stack::ReceivedFrame& frame) {
  Add("link " + FrameText(frame));
}

void RecordingSink::OnDataFrame(int ownerKey, const stack::ReceivedFrame& frame) {
  Add("data " + std::to_string(ownerKey) + " " + FrameText(frame));
}

bool RecordingSink::CountersEnabled() {
  std::lock_guard lock(m_mutex);
  return m_counters;
}

std::vector<std::string> RecordingSink::Events() const {
  std::lock_guard lock(m_mutex);
  return m_events;
}

std::vector<std::string> RecordingSink::Outputs() const {
  std::lock_guard lock(m_mutex);
  std::vector<std::string> out;
  for (const auto& e : m_events) {
    if (e != "valid" && e.rfind("lookup", 0) != 0) {
      out.push_back(e);
    }
  }
  return out;
}

std::size_t RecordingSink::Count(const std::string& prefix) const {
  std::lock_guard lock(m_mutex);
  std::size_t n = 0;
  for (const auto& e : m_events) {
    n += e.rfind(prefix, 0) == 0 ? 1 : 0;
  }
  return n;
}

void RecordingSink::Clear() {
  std::lock_guard lock(m_mutex);
  m_events.clear();
}

bool RecordingSink::WaitFor(const std::string& prefix,
                            std::size_t n,
                            std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, timeout, [&] {
    std::size_t count = 0;
    for (const auto& e : m_events) {
      count += e.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count >= n;
  });
}

}  // namespace tavra::test
