#pragma once
// What travels between the transport layer CL4 and the link layer CL2: transmit jobs down,
// messages up. The upward queue is owned by CL4; CL2 only appends and then sets CL4's signal.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace tavra::stack {

// One frame to send. Owned by whoever holds it (the queue, a slot or the transmitter).
struct L2Job {
  std::int32_t ownerKey = 0;         // address-table key of the sender
  std::int32_t cookie = 0;           // orders jobs waiting in slots; returned in the result
  std::int32_t busyRetryBudget = 0;  // 0..10
  std::int32_t remainingBudget = 0;  // set equal to busyRetryBudget by the sender
  std::int32_t backoffTime = 0;      // ms when given (0..10000); 100-ms ticks once accepted
  std::int32_t backoffCountdown = 0;
  std::int32_t source = 0;       // set on acceptance: the owner's address
  std::int32_t destination = 0;  // given as 0..0xDF; 0x20 is added on acceptance
  std::vector<std::uint8_t> data;
};

inline constexpr std::int32_t kL2KindLinkState = 16;
inline constexpr std::int32_t kL2KindTransmitResult = 256;
inline constexpr std::int32_t kL2KindReceivedData = 4096;

inline constexpr std::int32_t kLinkOnline = 0x24000001;
inline constexpr std::int32_t kLinkOffline = 0x24000003;

// One upward message.
struct L2Message {
  std::int32_t ownerKey = 0;
  std::int32_t kind = 0;           // kL2Kind...
  std::int32_t code = 0;           // link state: online/offline; transmit result: 257..271; data: 0
  std::int32_t value = 0;          // link state: 1 online, 0 offline; transmit result: the cookie
  std::int32_t type = 0;           // received data: source address - 0x20 (the sender number)
  std::vector<std::uint8_t> data;  // online: the 6 identity bytes; received data: the frame data
};

// Unbounded FIFO of upward messages; any thread may push and pop.
class L2MessageQueue {
 public:
  void Push(L2Message message) {
    std::lock_guard lock(m_mutex);
    m_items.push_back(std::move(message));
  }
  std::optional<L2Message> Pop() {
    std::lock_guard lock(m_mutex);
    if (m_items.empty()) {
      return std::nullopt;
    }
    L2Message m = std::move(m_items.front());
    m_items.pop_front();
    return m;
  }
  [[nodiscard]] std::size_t Size() const {
    std::lock_guard lock(m_mutex);
    return m_items.size();
  }

 private:
  mutable std::mutex m_mutex;
  std::deque<L2Message> m_items;
};

}  // namespace tavra::stack
