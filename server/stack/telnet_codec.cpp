#include "server/stack/telnet_codec.h"

namespace tavra::stack::telnet {

void Decoder::AfterIac(std::uint8_t byte) {
  switch (byte) {
    case kWill:
    case kWont:
    case kDo:
    case kDont:
      m_pending = Command{};
      m_pending.kind = byte == kWill   ? Command::Kind::Will
                       : byte == kWont ? Command::Kind::Wont
                       : byte == kDo   ? Command::Kind::Do
                                       : Command::Kind::Dont;
      m_state = State::Option;
      return;
    case kSb:
      m_pending = Command{};
      m_pending.kind = Command::Kind::Subnegotiation;
      m_state = State::SbOption;
      return;
    default:
      // NOP, GA, BRK, a stray SE and the rest carry nothing for a serial line.
      m_state = State::Data;
      return;
  }
}

void Decoder::Feed(std::span<const std::uint8_t> in,
                   std::vector<std::uint8_t>& data,
                   std::vector<Command>& commands) {
  for (const std::uint8_t byte : in) {
    switch (m_state) {
      case State::Data:
        if (byte == kIac) {
          m_state = State::Iac;
        } else {
          data.push_back(byte);
        }
        break;
      case State::Iac:
        if (byte == kIac) {
          data.push_back(kIac);
          m_state = State::Data;
        } else {
          AfterIac(byte);
        }
        break;
      case State::Option:
        m_pending.option = byte;
        commands.push_back(m_pending);
        m_state = State::Data;
        break;
      case State::SbOption:
        m_pending.option = byte;
        m_state = State::SbData;
        break;
      case State::SbData:
        if (byte == kIac) {
          m_state = State::SbIac;
        } else if (m_pending.payloadSize < kMaxSubnegotiation) {
          m_pending.payload[m_pending.payloadSize++] = byte;
        } else {
          m_pending.truncated = true;
        }
        break;
      case State::SbIac:
        if (byte == kIac) {
          if (m_pending.payloadSize < kMaxSubnegotiation) {
            m_pending.payload[m_pending.payloadSize++] = kIac;
          } else {
            m_pending.truncated = true;
          }
          m_state = State::SbData;
        } else if (byte == kSe) {
          commands.push_back(m_pending);
          m_state = State::Data;
        } else {
          // An unterminated subnegotiation: dropped, and the byte read as the command it is.
          AfterIac(byte);
        }
        break;
    }
  }
}

void AppendEscaped(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
  for (const std::uint8_t byte : data) {
    out.push_back(byte);
    if (byte == kIac) {
      out.push_back(kIac);
    }
  }
}

void AppendNegotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
  out.insert(out.end(), {kIac, verb, option});
}

void AppendSubnegotiation(std::uint8_t option,
                          std::span<const std::uint8_t> payload,
                          std::vector<std::uint8_t>& out) {
  out.insert(out.end(), {kIac, kSb, option});
  AppendEscaped(payload, out);
  out.insert(out.end(), {kIac, kSe});
}

}  // namespace tavra::stack::telnet
