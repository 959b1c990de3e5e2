#include "server/stack/rfc2217_session.h"

namespace tavra::stack {

namespace {

using telnet::kDo;
using telnet::kDont;
using telnet::kOptionBinary;
using telnet::kOptionComPort;
using telnet::kOptionSuppressGoAhead;
using telnet::kWill;
using telnet::kWont;

constexpr std::uint8_t kDataSize8 = 8;
constexpr std::uint8_t kParityNone = 1;
constexpr std::uint8_t kStopSize1 = 1;
constexpr std::uint8_t kNoFlowControl = 1;
constexpr std::uint8_t kPurgeBoth = 3;

[[nodiscard]] bool WeWill(std::uint8_t option) {
  return option == kOptionBinary || option == kOptionComPort;
}

[[nodiscard]] bool WeWantServerTo(std::uint8_t option) {
  return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

void AppendComPort(std::uint8_t command, std::uint8_t value, std::vector<std::uint8_t>& out) {
  const std::uint8_t payload[] = {command, value};
  telnet::AppendSubnegotiation(kOptionComPort, payload, out);
}

}  // namespace

std::vector<std::uint8_t> Rfc2217Session::Start() {
  std::vector<std::uint8_t> out;
  m_local[kOptionComPort] = Requested;
  m_local[kOptionBinary] = Requested;
  m_remote[kOptionBinary] = Requested;
  telnet::AppendNegotiation(kWill, kOptionComPort, out);
  telnet::AppendNegotiation(kWill, kOptionBinary, out);
  telnet::AppendNegotiation(kDo, kOptionBinary, out);
  return out;
}

void Rfc2217Session::OnServerWill(bool will,
                                  std::uint8_t option,
                                  std::vector<std::uint8_t>& reply) {
  OptionState& state = m_remote[option];
  if (will) {
    if (state == On) {
      return;
    }
    if (state == Requested || WeWantServerTo(option)) {
      const bool answer = state == Off;
      state = On;
      if (answer) {
        telnet::AppendNegotiation(kDo, option, reply);
      }
      return;
    }
    telnet::AppendNegotiation(kDont, option, reply);
    return;
  }
  if (state == On) {
    telnet::AppendNegotiation(kDont, option, reply);
  }
  state = Off;
}

void Rfc2217Session::OnServerDo(bool doIt, std::uint8_t option, std::vector<std::uint8_t>& reply) {
  OptionState& state = m_local[option];
  if (doIt) {
    if (state == On) {
      return;
    }
    if (state == Requested || WeWill(option)) {
      const bool answer = state == Off;
      state = On;
      if (answer) {
        telnet::AppendNegotiation(kWill, option, reply);
      }
      return;
    }
    telnet::AppendNegotiation(kWont, option, reply);
    return;
  }
  if (option == kOptionComPort) {
    m_comPortRefused = true;
  }
  if (state == On) {
    telnet::AppendNegotiation(kWont, option, reply);
  }
  state = Off;
}

void Rfc2217Session::OnComPortAnswer(const telnet::Command& command) {
  const auto payload = command.Payload();
  if (command.truncated || payload.empty()) {
    return;
  }
  if (payload[0] == kServerOffset + kSetBaudRate && payload.size() == 5) {
    m_lastBaudRate = (std::uint32_t{payload[1]} << 24) | (std::uint32_t{payload[2]} << 16) |
                     (std::uint32_t{payload[3]} << 8) | std::uint32_t{payload[4]};
    ++m_baudRateAnswers;
  }
  // Line and modem state notifications and the other answers carry nothing the link needs.
}

void Rfc2217Session::OnCommand(const telnet::Command& command, std::vector<std::uint8_t>& reply) {
  using Kind = telnet::Command::Kind;
  switch (command.kind) {
    case Kind::Will: OnServerWill(true, command.option, reply); break;
    case Kind::Wont: OnServerWill(false, command.option, reply); break;
    case Kind::Do: OnServerDo(true, command.option, reply); break;
    case Kind::Dont: OnServerDo(false, command.option, reply); break;
    case Kind::Subnegotiation:
      if (command.option == kOptionComPort) {
        OnComPortAnswer(command);
      }
      break;
  }
}

void Rfc2217Session::AppendSetBaudRate(int bitRate, std::vector<std::uint8_t>& out) {
  const auto rate = static_cast<std::uint32_t>(bitRate);
  const std::uint8_t payload[] = {
      kSetBaudRate, static_cast<std::uint8_t>(rate >> 24), static_cast<std::uint8_t>(rate >> 16),
      static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate)};
  telnet::AppendSubnegotiation(kOptionComPort, payload, out);
}

void Rfc2217Session::AppendLineSettings(int bitRate, std::vector<std::uint8_t>& out) {
  AppendSetBaudRate(bitRate, out);
  AppendComPort(kSetDataSize, kDataSize8, out);
  AppendComPort(kSetParity, kParityNone, out);
  AppendComPort(kSetStopSize, kStopSize1, out);
  AppendComPort(kSetControl, kNoFlowControl, out);
  AppendComPort(kSetLineStateMask, 0, out);
  AppendComPort(kSetModemStateMask, 0, out);
  AppendComPort(kPurgeData, kPurgeBoth, out);
}

}  // namespace tavra::stack
