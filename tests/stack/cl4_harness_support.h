#pragma once
// Test harness for the transport layer: a CL4 on a SimulatedSerialPort whose far end is the
// in-process simulated controller, short link timings, and a recorder of every indication
// item CL4 routes upward.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/stack/cl4.h"
#include "server/stack/l4_indication.h"
#include "server/stack/simulated_serial_port.h"
#include "sim/simulated_controller.h"

namespace tavra::stack::testing {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline constexpr auto kWait = std::chrono::milliseconds(10000);

// Collects routed items; any thread.
class IndicationRecorder {
 public:
  void Add(L4Indication&& item);
  [[nodiscard]] std::vector<L4Indication> Items() const;
  // Items of one client, of one kind.
  [[nodiscard]] std::vector<L4Indication> Of(std::int32_t clientId, L4Kind kind) const;
  [[nodiscard]] std::size_t Count(const std::function<bool(const L4Indication&)>& match) const;
  // Waits until `count` items match; returns them (fewer on time-out).
  std::vector<L4Indication> WaitFor(const std::function<bool(const L4Indication&)>& match,
                                    std::size_t count = 1,
                                    std::chrono::milliseconds timeout = kWait) const;
  std::optional<L4Indication> WaitOne(std::int32_t clientId,
                                      L4Kind kind,
                                      std::chrono::milliseconds timeout = kWait) const;
  [[nodiscard]] std::size_t Size() const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  std::vector<L4Indication> m_items;
};

// Sets the short link timings for the life of a test and restores the defaults afterwards.
class ShortTimings {
 public:
  explicit ShortTimings(std::int32_t noResponseFromClientMs = 5000);
  ~ShortTimings();
  ShortTimings(const ShortTimings&) = delete;
  ShortTimings& operator=(const ShortTimings&) = delete;
};

// A started CL4 with the simulator attached. The simulator is stopped before CL4 (and with it
// the port) is destroyed.
class Cl4Harness {
 public:
  explicit Cl4Harness(sim::SimConfig config = {}, bool start = true);
  ~Cl4Harness();
  Cl4Harness(const Cl4Harness&) = delete;
  Cl4Harness& operator=(const Cl4Harness&) = delete;

  CL4& l4() { return *m_l4; }
  sim::SimulatedController& sim() { return *m_sim; }
  SimulatedSerialPort& port() { return *m_port; }
  IndicationRecorder& items() { return m_items; }

  [[nodiscard]] Result Start();
  bool WaitLinkUp(std::chrono::milliseconds timeout = kWait);
  bool WaitLinkDown(std::chrono::milliseconds timeout = kWait);
  // Registers a client (asserting success) and returns its key.
  std::int32_t AddClient();
  // The client's transport number (CLIENT_INDEX) and link address (CLIENT_ADDRESS + 0x20).
  std::int32_t TransportNumber(std::int32_t key);
  std::uint8_t LinkAddress(std::int32_t key);

  // Transport PDUs the simulator received of one type (0x70, 0xF0, ...), in order.
  std::vector<sim::ObservedPdu> PdusOfType(std::uint8_t type) const;
  // Waits until the simulator has received `count` PDUs of the type.
  bool WaitPdus(std::uint8_t type, std::size_t count, std::chrono::milliseconds timeout = kWait);
  // Frames the simulator received at the controller's transport (0x21 from 0x21).
  std::vector<Bytes> TransportFrames() const;
  // Sends a raw PDU from the controller's transport entity to CL4.
  void InjectPdu(const Bytes& pdu);

  // Connects `key` to entity rxId and waits for the Connect_Confirm; returns the connection id.
  std::int32_t Connect(std::int32_t key,
                       std::int32_t rxId = 5,
                       std::int32_t requestId = 77,
                       const L4Backoff& backoff = DefaultL4Backoff());

 private:
  IndicationRecorder m_items;
  std::unique_ptr<sim::SimulatedController> m_sim;
  SimulatedSerialPort* m_port = nullptr;  // owned by m_l4 (through CL2)
  std::unique_ptr<CL4> m_l4;
};

// Pointer and length of a byte vector in the form the CL4 operations take.
inline std::int32_t Len(const Bytes& b) {
  return static_cast<std::int32_t>(b.size());
}

}  // namespace tavra::stack::testing
