#pragma once
// The client side of RFC 2217 (Telnet COM-PORT-OPTION) over one connection: the opening
// negotiation (WILL COM-PORT-OPTION, BINARY both ways), the line settings (rate, 8 data bits, no
// parity, 1 stop bit, no flow control, notifications off, both buffers purged), rate changes and
// the server's answers. Option requests of the server are answered once per change of state
// (RFC 1143 without the queue bits), so no two peers can loop on them; options other than
// BINARY, SUPPRESS-GO-AHEAD and COM-PORT-OPTION are refused.
//
// Plain value type, no lock: the network port guards it with its connection's mutex.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "server/stack/telnet_codec.h"

namespace tavra::stack {

class Rfc2217Session {
 public:
  // COM-PORT-OPTION commands (a server's answer is the command + 100).
  static constexpr std::uint8_t kSetBaudRate = 1;
  static constexpr std::uint8_t kSetDataSize = 2;
  static constexpr std::uint8_t kSetParity = 3;
  static constexpr std::uint8_t kSetStopSize = 4;
  static constexpr std::uint8_t kSetControl = 5;
  static constexpr std::uint8_t kSetLineStateMask = 10;
  static constexpr std::uint8_t kSetModemStateMask = 11;
  static constexpr std::uint8_t kPurgeData = 12;
  static constexpr std::uint8_t kServerOffset = 100;

  // The first bytes to send: WILL COM-PORT-OPTION, WILL BINARY, DO BINARY.
  [[nodiscard]] std::vector<std::uint8_t> Start();
  // Takes one command of the server; appends the answer it needs (if any) to `reply`.
  void OnCommand(const telnet::Command& command, std::vector<std::uint8_t>& reply);

  // The server agreed to COM-PORT-OPTION / refused it.
  [[nodiscard]] bool ComPortAccepted() const { return m_local[telnet::kOptionComPort] == On; }
  [[nodiscard]] bool ComPortRefused() const { return m_comPortRefused; }

  // Appends the line settings at bitRate and a purge of both buffers.
  static void AppendLineSettings(int bitRate, std::vector<std::uint8_t>& out);
  // Appends SET-BAUDRATE bitRate.
  static void AppendSetBaudRate(int bitRate, std::vector<std::uint8_t>& out);

  // Answers to SET-BAUDRATE so far, and the rate of the last one.
  [[nodiscard]] std::uint64_t BaudRateAnswers() const { return m_baudRateAnswers; }
  [[nodiscard]] std::uint32_t LastBaudRateAnswer() const { return m_lastBaudRate; }

 private:
  enum OptionState : std::uint8_t { Off, Requested, On };

  void OnServerWill(bool will, std::uint8_t option, std::vector<std::uint8_t>& reply);
  void OnServerDo(bool doIt, std::uint8_t option, std::vector<std::uint8_t>& reply);
  void OnComPortAnswer(const telnet::Command& command);

  std::array<OptionState, 256> m_local{};   // options we perform (WILL)
  std::array<OptionState, 256> m_remote{};  // options the server performs (DO)
  bool m_comPortRefused = false;
  std::uint64_t m_baudRateAnswers = 0;
  std::uint32_t m_lastBaudRate = 0;
};

}  // namespace tavra::stack
