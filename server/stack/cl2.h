#pragma once
// CL2: the link layer of one COM port. Created and owned by the transport layer CL4.
//
// It keeps TavraLink's link addresses (0x20 link management, 0x21 CL4, 0x40 + k for clients),
// queues transmit jobs, sends them one at a time as acknowledged data frames with
// retransmission and busy back-off, answers every received data frame, brings the link up and
// keeps it up (connect, identify, bit-rate negotiation, keep-alive), and hands received data,
// transmit results and link state changes upward as L2Messages on CL4's queue.
//
// Ownership: CL2 owns its serial port, its jobs (queued or in a slot) and its three threads.
// The upper signal and queue given to Open belong to CL4 and must outlive CL2.
//
// Threads: transmitter, receiver and link supervisor, started by Open and joined by the
// destructor. The public operations may be called from any thread, but not concurrently with
// the destructor. Locks and signals: see cl2_impl.h and LINK_LAYER.md; a caller holding a
// transport table lock may call in (the link layer's locks come after CL4's).

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "server/stack/internal_codes.h"
#include "server/stack/l2_types.h"
#include "server/stack/port_table.h"
#include "server/stack/serial_port.h"
#include "shared/sync_event.h"

namespace tavra::stack {

inline constexpr std::int32_t kKeyTransport = 1;
inline constexpr std::int32_t kKeyLinkManagement = 2;
inline constexpr std::int32_t kFirstClientKey = 10;

struct ManagementOutput {
  std::int32_t result = 0;
  std::int32_t dataType = 0;
  std::int32_t dataSize = 0;
  std::vector<std::uint8_t> data;  // owning buffer of dataSize bytes (empty when none)
};

class CL2Impl;

class CL2 {
 public:
  // Takes the serial port to use and reads the settings (idle reload, connect parameters).
  explicit CL2(std::unique_ptr<ISerialPort> port, PortTable& portTable = GlobalPortTable());
  // Destroy: stops and joins the three threads, frees every job, closes the port.
  ~CL2();
  CL2(const CL2&) = delete;
  CL2& operator=(const CL2&) = delete;

  // Opens the port at 9600 and starts the threads; the first connect attempt follows at once.
  [[nodiscard]] Result Open(int portNumber, Event* upperSignal, L2MessageQueue* upperQueue);
  [[nodiscard]] Result RegisterTransport(std::int32_t& key);
  [[nodiscard]] Result RegisterClient(std::int32_t& key);
  [[nodiscard]] Result UnregisterClient(std::int32_t key);
  // Ownership of the job passes to CL2 in every case. 0 when queued.
  [[nodiscard]] Result Send(std::unique_ptr<L2Job> job);
  // Management commands 0x24000011..0x24000016 of a client (0x24000017 is CL4's).
  [[nodiscard]] Result ManagementRequest(std::int32_t key,
                                         std::int32_t command,
                                         ManagementOutput& out);
  [[nodiscard]] bool IsLinkUp() const;

  // --- observation (status, tests) ---
  // The 18 words of the link status block with words 0, 1 and 14 filled in.
  [[nodiscard]] std::array<std::uint32_t, 18> Statistics() const;
  [[nodiscard]] std::int32_t LinkState() const;  // 1 down, 2 up (0 before a successful open)
  // The rate of the last establishment (9600 before the first one); kept when the link is lost.
  [[nodiscard]] int CurrentBitRate() const;
  [[nodiscard]] int PortNumber() const;
  // The controller identity of the last identify answer (all zero before the first one).
  [[nodiscard]] ControllerIdentity Identity() const;

 private:
  std::unique_ptr<CL2Impl> m_impl;
};

// A link layer on the real serial driver (TermiosSerialPort: COM<n> resolved to a device).
[[nodiscard]] std::unique_ptr<CL2> MakeCL2OnDevice(PortTable& portTable = GlobalPortTable());

}  // namespace tavra::stack
