#pragma once
// The simulated Tavra controller: the far end of the serial line for tests and for a person
// who has no controller at hand.
//
// What it does on the line:
// - acknowledges every data frame (0x40 accepted, 0x80 no such address, 0xC0 too long), answers
//   a repeated frame again without handling it twice, and sends its own frames with sequence
//   numbers, retransmitting them until they are acknowledged;
// - link management at address 0x20: connect (0x01 normal mode, 0x06 boot code), identify
//   (19-byte description, bytes 13..18 the identity), set bit rate (up to a maximum),
//   keep-alive, restart (0x03); after a restart it runs normally at 9600 bit/s, after a switch to
//   boot code (0x06 while running normally) it runs its boot code at 9600 bit/s; when the host
//   has been silent for the time T announced in the connect request it falls back to 9600;
// - in normal mode the transport entity at address 0x21 (transactions, connections, connection
//   data, disconnects, aborts) and, on command, requests of its own;
// - in boot-code mode the firmware entity at address 0x22: download (start, blocks, cancel,
//   finish), header download and upload, production data upload, firmware upload;
// - fault injection and observation for tests.
//
// Ownership and threads: a SimulatedController owns its worker thread (protocol state), its
// writer thread (pacing, reply delay) and, on a pseudo-terminal or tty, its reader thread; all
// are joined by Stop() and the destructor. Every public method may be called from any thread;
// the protocol state and the observations are kept under one state lock, which the worker and
// the public methods take briefly. No lock is held while the trace sink is called.
// An attached SimulatedSerialPort must outlive the controller (or be detached by Stop()).

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/firmware_store.h"
#include "sim/transport_entity.h"

namespace tavra::stack {
class SimulatedSerialPort;
}

namespace tavra::sim {

enum class ControllerMode { Normal, BootCode };

inline constexpr int kAnyAddress = -1;

struct SimConfig {
  ControllerMode mode = ControllerMode::Normal;
  std::uint8_t normalType = 3;  // identity type reported while running normally
  std::uint8_t bootType = 1;    // identity type reported while running the boot code
  std::array<std::uint8_t, 4> version{1, 2, 3, 4};
  std::uint8_t identityExtra = 0;  // identity byte 5
  // Description bytes 0..12 of the identify answer (not interpreted by the host).
  std::array<std::uint8_t, 13> descriptionHead{'T', 'A', 'V', 'R', 'A', '-', 'S',
                                               'I', 'M', 0,   0,   0,   0};
  int maxBitRate = 57600;  // set bit rate above this is refused (9600 refuses every request)

  // The controller's own frames: acknowledgement wait and retransmissions.
  int retransmissionTimeMs = 1000;
  int retransmissions = 3;
  // Fall back to 9600 bit/s (link down) when nothing valid came for the announced T.
  bool superviseHost = true;

  bool emulateLineTiming = false;     // bytes leave and arrive at rate/10 per second
  bool garbleOnRateMismatch = false;  // garble (instead of losing) bytes while rates differ
  int replyDelayMs = 0;               // every acknowledgement and reply waits this long

  TransactionPolicy transactionPolicy = TransactionPolicy::Echo;
  std::vector<std::uint8_t> transactionAnswer;  // for TransactionPolicy::Fixed
  ConnectPolicy connectPolicy = ConnectPolicy::Accept;
  // Further link addresses that accept frames (recorded, never answered) in either mode.
  std::vector<std::uint8_t> extraAddresses;

  FirmwareContent firmware = FirmwareContent::Default();
  std::string storePath;  // non-empty: firmware loaded from / saved to this file

  // Called for every frame in both directions (see TraceLine); any thread, no lock held.
  std::function<void(const std::string&)> trace;
};

// A new data frame the controller accepted (repetitions are not recorded).
struct ObservedFrame {
  std::uint8_t sequence = 0;  // 0..31
  std::uint8_t destination = 0;
  std::uint8_t source = 0;
  std::vector<std::uint8_t> data;
  int bitRate = 0;  // the host's bit rate when the frame arrived
};

// A transport PDU from the host (address 0x21 to 0x21), decoded.
struct ObservedPdu {
  std::uint8_t type = 0;              // top 4 bits of byte 0
  std::uint8_t number = 0;            // N
  std::optional<std::uint8_t> extra;  // for 0x70, 0xD0, 0xF0
  std::vector<std::uint8_t> data;     // after N / the extra byte
};

// A firmware message from the host to address 0x22.
struct ObservedFirmwareMessage {
  std::uint8_t source = 0;  // the host's client address
  std::vector<std::uint8_t> message;
};

struct SimCounters {
  std::uint32_t framesAccepted = 0;        // new frames answered 0x40
  std::uint32_t framesRepeated = 0;        // repetitions answered 0x40 again
  std::uint32_t framesNoSuchAddress = 0;   // answered 0x80
  std::uint32_t framesTooLong = 0;         // answered 0xC0
  std::uint32_t framesBadCheck = 0;        // no answer
  std::uint32_t acksSent = 0;              // acknowledgement frames written (any code)
  std::uint32_t acksDropped = 0;           // held back by DropAcks
  std::uint32_t busyAnswers = 0;           // 0xA0 sent by AnswerBusy / AnswerBusyEvery
  std::uint32_t transportBusyAnswers = 0;  // 0x60 / 0xE0 sent by AnswerTransportBusy[Every]
  std::uint32_t acksReceived = 0;          // valid acknowledgement frames from the host
  std::uint32_t framesSent = 0;            // own data frames written, retransmissions included
  std::uint32_t retransmissions = 0;
  std::uint32_t framesGivenUp = 0;          // own frames never acknowledged with 0x40
  std::uint32_t bytesLostRateMismatch = 0;  // received or sent while the rates differed
  std::uint32_t bytesGarbled = 0;           // garbled instead (garbleOnRateMismatch)
  std::uint32_t bytesCorrupted = 0;         // by CorruptBytes
  std::uint32_t bytesLostSilent = 0;        // while silent (cable pulled)
  std::uint32_t restarts = 0;               // Restart() and command 0x03
  std::uint32_t hostTimeouts = 0;           // T ran out without a valid frame
  std::uint32_t bytesReceived = 0;          // every byte that came from the host
  std::uint32_t hostClosings = 0;           // pseudo-terminal: the host's last descriptor closed
};

class SimulatedController {
 public:
  explicit SimulatedController(SimConfig config = {});
  ~SimulatedController();
  SimulatedController(const SimulatedController&) = delete;
  SimulatedController& operator=(const SimulatedController&) = delete;

  // --- where it runs (exactly one of these, once) ---
  // In process: becomes the port's far end. False when already running.
  bool AttachTo(stack::SimulatedSerialPort& port);
  // Creates a pseudo-terminal and serves on its master; the host opens SlavePath(). If
  // linkPath is non-empty a symlink to the slave is made there (replacing an old symlink) and
  // removed by Stop(). False with a text in *error on failure.
  bool StartPseudoTerminal(const std::string& linkPath = {}, std::string* error = nullptr);
  // Opens a real tty device (null-modem cable) with 8N1 raw settings at 9600 bit/s; rate changes
  // are applied to the device.
  bool OpenDevice(const std::string& devicePath, std::string* error = nullptr);
  [[nodiscard]] std::string SlavePath() const;
  // Joins the threads, detaches from the port and removes the symlink. Idempotent. (The store
  // file is written at every change of the firmware, not only here.)
  void Stop();

  // --- configuration while running ---
  [[nodiscard]] SimConfig Config() const;
  void SetMode(ControllerMode mode);  // as if the controller had restarted into that mode
  void SetIdentity(std::uint8_t normalType,
                   std::uint8_t bootType,
                   std::array<std::uint8_t, 4> version,
                   std::uint8_t extra = 0);
  void SetMaxBitRate(int bitRate);
  void SetTransactionPolicy(TransactionPolicy policy, std::vector<std::uint8_t> answer = {});
  void SetConnectPolicy(ConnectPolicy policy);
  void SetLineTiming(bool on);
  void SetGarbleOnRateMismatch(bool on);
  [[nodiscard]] FirmwareContent Firmware() const;
  void SetFirmware(FirmwareContent firmware);
  void SetTrace(std::function<void(const std::string&)> trace);

  // --- fault injection (counts are consumed as the faults happen) ---
  // The next n acknowledgements for frames to `destination` (kAnyAddress: any) are not sent.
  void DropAcks(int n, int destination = kAnyAddress);
  // The next n data frames to `destination` are answered 0xA0 (busy) and not handled.
  void AnswerBusy(int n, int destination = kAnyAddress);
  // The next n transaction (0x70) and connect (0xF0) requests get 0x60 / 0xE0.
  void AnswerTransportBusy(int n);
  // Storms (0: off): every n-th new data frame to an entity (not to link management) is
  // answered 0xA0 and not handled; every n-th transaction or connect request gets 0x60 / 0xE0.
  // They stay through restarts.
  void AnswerBusyEvery(int n);
  void AnswerTransportBusyEvery(int n);
  // Download block `block` is refused with FWDownloadBlock_NAK and `reason` (every time).
  void RefuseDownloadBlock(std::uint16_t block, std::uint8_t reason);
  // FWDownloadFinished_CMD is refused with FWDownloadFinished_NAK and `reason` (nullopt: off).
  void RefuseDownloadFinish(std::optional<std::uint8_t> reason);
  // FWHDownload_CMD is refused with FWHDownload_NAK.
  void RefuseHeaderDownload(bool on);
  // The next n upload messages from the host (FWUpload_CMD, FWUploadBlock_ACK) get FWUpload_NAK.
  void RefuseUploadMessages(int n, std::uint8_t reason);
  // During an upload, block `block` is preceded once by FWUploadCancel_CMD (0: off).
  void CancelUploadAtBlock(std::uint16_t block);
  // Each byte on the line (both directions) is corrupted with probability p, drawn from a
  // generator seeded with `seed` (p = 0: off). The same seed gives the same corruptions.
  void CorruptBytes(double p, std::uint32_t seed);
  // Silent: as if the cable were pulled (nothing in, nothing out). False: back again.
  void SetSilent(bool silent);
  // Restarts the controller: normal mode, 9600 bit/s, transport and transfer state cleared.
  void Restart();
  // Every acknowledgement and every reply waits this long before it leaves.
  void SetReplyDelay(int ms);

  // --- originating transport requests (normal mode) ---
  // 0x70 to the host's transport number; returns the request number used.
  std::uint8_t OriginateTransaction(std::uint8_t transportNumber,
                                    std::span<const std::uint8_t> data);
  // 0xB0 / 0x90 / 0x30 on an accepted connection named by the host's connection number.
  // False when no such connection.
  bool OriginateConnectionData(std::uint8_t hostConnection, std::span<const std::uint8_t> data);
  bool OriginateDisconnect(std::uint8_t hostConnection, std::span<const std::uint8_t> data);
  bool OriginateAbort(std::uint8_t hostConnection);
  // Any data frame of the controller's own (the raw way, for what the above do not cover).
  void SendFrame(std::uint8_t destination, std::uint8_t source, std::span<const std::uint8_t> data);

  // --- observation ---
  [[nodiscard]] ControllerMode Mode() const;
  // The controller's own rate, and its rates in order of change (starting with 9600).
  [[nodiscard]] int BitRate() const;
  [[nodiscard]] std::vector<int> BitRatesSeen() const;
  // The host's rates as seen on the bytes it sent, in order of change (0: not known).
  [[nodiscard]] std::vector<int> HostBitRatesSeen() const;
  // A connect was accepted and the host has not been silent for the announced time since.
  [[nodiscard]] bool HostConnected() const;
  [[nodiscard]] std::vector<ObservedFrame> FramesReceived() const;
  // Link-management commands received (new frames to 0x20), by command byte.
  [[nodiscard]] int ManagementCount(std::uint8_t command) const;
  [[nodiscard]] std::vector<std::uint8_t> ManagementCommands() const;  // in order
  [[nodiscard]] std::vector<ObservedPdu> TransportPdus() const;
  [[nodiscard]] std::vector<ObservedFirmwareMessage> FirmwareMessages() const;
  [[nodiscard]] std::vector<SimConnection> Connections() const;
  [[nodiscard]] SimCounters Counters() const;
  // Acknowledgement bytes sent (code | sequence), in order (dropped ones not included).
  [[nodiscard]] std::vector<std::uint8_t> AcksSent() const;
  void ClearObservations();
  // Why the store file given in the configuration could not be read or written (empty: fine).
  // A store that cannot be read is never overwritten.
  [[nodiscard]] std::string StoreError() const;

  // Waits until `condition` (called without any lock of the controller held) is true,
  // re-checking whenever something was observed. False on time-out.
  bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// "<seconds since start> <H>C|C>H> <bytes in hex>  <decoded>" for one frame.
std::string TraceLine(double seconds, bool fromHost, std::span<const std::uint8_t> frame);

}  // namespace tavra::sim
