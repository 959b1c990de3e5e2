#pragma once
// A frame sink for tests: records every call of the parser as a short text ("valid",
// "lookup 21", "answer 45", "ack 45", "ack-in 45", "link 25 20 20 [..]", "data 1 25 21 21 [..]")
// and lets a test wait for a condition. Thread-safe: the parser may run on a receive thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "server/stack/frame_parser.h"

namespace tavra::test {

std::string Hex(std::span<const std::uint8_t> bytes);

class RecordingSink final : public stack::IFrameSink {
 public:
  // Owns 0x20 (key 2), 0x21 (key 1) and 0x40 (key 10) unless told otherwise.
  RecordingSink();

  void SetAddresses(std::map<std::uint8_t, int> addresses);
  void SetCountersEnabled(bool enabled);

  int LookupAddress(std::uint8_t address) override;
  void OnValidFrame() override;
  void OnAcknowledgement(std::uint8_t ack, bool insideData) override;
  void OnAnswer(std::uint8_t answer) override;
  void OnLinkManagementReply(const stack::ReceivedFrame& frame) override;
  void OnDataFrame(int ownerKey, const stack::ReceivedFrame& frame) override;
  bool CountersEnabled() override;

  [[nodiscard]] std::vector<std::string> Events() const;
  // Events without the "valid" and "lookup" entries (what reaches the link layer's queues).
  [[nodiscard]] std::vector<std::string> Outputs() const;
  [[nodiscard]] std::size_t Count(const std::string& prefix) const;
  void Clear();
  // Waits until at least n events start with prefix; false on time-out.
  bool WaitFor(const std::string& prefix, std::size_t n, std::chrono::milliseconds timeout) const;

 private:
  void Add(std::string event);

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  std::map<std::uint8_t, int> m_addresses;
  bool m_counters = true;
  std::vector<std::string> m_events;
};

}  // namespace tavra::test
