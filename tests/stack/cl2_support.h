#pragma once
// Test support for the link layer CL2: a scripted far end on a SimulatedSerialPort (decodes
// what the host writes with its own decoder, answers link management, acknowledges by rule,
// sends frames of its own), a log of the upward messages, and a fixture that shortens the
// timing settings and restores the defaults afterwards.
//
// Threads: the far end's callback runs on the host's transmitter thread; everything else on
// the test thread. All recorded state is under the far end's mutex; waits are bounded.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "server/stack/cl2.h"
#include "server/stack/simulated_serial_port.h"

namespace tavra::stack::cl2test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One write of the host, decoded independently of the stack's own parser.
struct HostWrite {
  bool isAck = false;
  std::uint8_t ackByte = 0;   // acknowledgement frames
  std::uint8_t sequence = 0;  // data frames: 0..31
  std::uint8_t destination = 0;
  std::uint8_t source = 0;
  std::vector<std::uint8_t> data;
  bool checkOk = false;
  int bitRate = 0;
  Clock::time_point at;

  [[nodiscard]] bool IsManagement(std::uint8_t command) const {
    return !isAck && destination == 0x20 && !data.empty() && data[0] == command;
  }
};

// Decodes one write (a whole data or acknowledgement frame); nothing when malformed.
std::optional<HostWrite> DecodeHostWrite(std::span<const std::uint8_t> bytes);

enum class AckAction { Accept, NoAck, WrongSequence, Busy, NoSuchAddress, TooLong };

inline constexpr std::uint8_t kCmdIdentify = 0x00;
inline constexpr std::uint8_t kCmdConnect = 0x01;
inline constexpr std::uint8_t kCmdRestart = 0x03;
inline constexpr std::uint8_t kCmdSetBitRate = 0x04;
inline constexpr std::uint8_t kCmdKeepAlive = 0x05;
inline constexpr std::uint8_t kCmdConnectBoot = 0x06;

class ScriptedFarEnd {
 public:
  // Decides the acknowledgement of a data frame from the host (attempt counts the writes of
  // frames with the same sequence byte, destination and data in a row, from 1).
  using AckRule = std::function<AckAction(const HostWrite& frame, int attempt)>;

  explicit ScriptedFarEnd(SimulatedSerialPort& port);
  ~ScriptedFarEnd();
  ScriptedFarEnd(const ScriptedFarEnd&) = delete;
  ScriptedFarEnd& operator=(const ScriptedFarEnd&) = delete;

  // --- behaviour ---
  void SetAckRule(AckRule rule);
  void SetRefusedRates(std::set<int> rates);  // set-bit-rate answered "refused"
  void SetConnectRefused(bool refused);       // connect answered with a failed status
  void SetIdentity(std::array<std::uint8_t, 6> identity);
  // While held, every write of the host blocks in the port (at most 5 s) before it is seen.
  void HoldWrites(bool hold);

  // --- the far end's own frames ---
  void SendToHost(std::uint8_t destination,
                  std::uint8_t source,
                  std::span<const std::uint8_t> data,
                  std::optional<std::uint8_t> sequence = std::nullopt);

  // --- observation ---
  [[nodiscard]] std::vector<HostWrite> Writes() const;
  [[nodiscard]] std::vector<HostWrite> DataFrames() const;
  [[nodiscard]] std::vector<HostWrite> ManagementFrames(std::uint8_t command) const;
  [[nodiscard]] std::vector<HostWrite> FramesWithPayload(std::span<const std::uint8_t> data) const;
  [[nodiscard]] int MalformedWrites() const;
  // Waits until pred(writes so far) holds. False on time-out.
  bool WaitFor(const std::function<bool(const std::vector<HostWrite>&)>& pred,
               milliseconds timeout) const;

 private:
  void OnWrite(std::span<const std::uint8_t> bytes, int bitRate);
  void Answer(const HostWrite& frame, AckAction action);
  std::vector<std::uint8_t> ManagementReply(const HostWrite& frame);

  SimulatedSerialPort& m_port;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  AckRule m_rule;
  std::set<int> m_refusedRates;
  bool m_connectRefused = false;
  bool m_hold = false;
  std::array<std::uint8_t, 6> m_identity{3, 1, 2, 3, 4, 0x5A};
  std::vector<HostWrite> m_writes;
  int m_malformed = 0;
  int m_attempt = 0;
  std::optional<HostWrite> m_previous;
  int m_lastSequenceHandled = -1;
  std::uint8_t m_ownSequence = 0;
};

// Collects the upward messages of a CL2 from CL4's queue.
class MessageLog {
 public:
  Event signal;
  L2MessageQueue queue;

  // Waits until pred(all messages so far) holds. False on time-out.
  bool WaitFor(const std::function<bool(const std::vector<L2Message>&)>& pred,
               milliseconds timeout);
  std::vector<L2Message> All();
  [[nodiscard]] static int Count(const std::vector<L2Message>& messages,
                                 std::int32_t kind,
                                 std::int32_t code = -1);

 private:
  void Drain();
  std::vector<L2Message> m_all;
};

// A fixture with a CL2 on a simulated port and a scripted far end. Timing settings are
// shortened (acknowledgement wait 60 ms, connect attempts every 100 ms) before CL2 is made;
// a test may change settings before calling Start(). The defaults come back in TearDown.
class Cl2Test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates CL2 (reading the settings as they are now), opens it and registers CL4.
  void Start(bool open = true);
  // Starts with the host's writes held until n clients are registered, so that every one of
  // them sees the first online indication.
  std::vector<std::int32_t> StartWithClients(int n);
  bool WaitLinkUp(milliseconds timeout = milliseconds(3000));
  bool WaitLinkDown(milliseconds timeout = milliseconds(3000));
  std::int32_t AddClient();
  // A job from `key` to destination number `destination` with the given budget and back-off.
  static std::unique_ptr<L2Job> Job(std::int32_t key,
                                    std::int32_t cookie,
                                    std::vector<std::uint8_t> data,
                                    std::int32_t destination = 1,
                                    std::int32_t budget = 0,
                                    std::int32_t backoffMs = 0);
  // Waits for the transmit result (kind 256) with this cookie; 0 on time-out.
  std::int32_t WaitResult(std::int32_t cookie, milliseconds timeout = milliseconds(3000));

  PortTable m_portTable;
  SimulatedSerialPort* m_port = nullptr;  // owned by m_cl2
  std::unique_ptr<SimulatedSerialPort> m_portOwner;
  std::unique_ptr<ScriptedFarEnd> m_farEnd;
  std::unique_ptr<MessageLog> m_log;  // new for every SetUp
  std::unique_ptr<CL2> m_cl2;
  std::int32_t m_transportKey = 0;
};

}  // namespace tavra::stack::cl2test
