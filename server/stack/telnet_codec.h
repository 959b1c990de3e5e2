#pragma once
// The Telnet byte stream of a network serial port: a decoder that splits what a server sends
// into line data and Telnet commands (option negotiation, subnegotiations; everything else
// dropped), and encoders for the other direction. 0xFF in the data is IAC IAC on the wire.
//
// The decoder keeps its state across Feed calls, so a command split over two reads is decoded
// whole. A subnegotiation keeps at most kMaxSubnegotiation payload bytes (longer ones are
// delivered marked `truncated`); memory stays bounded whatever a peer sends.
//
// Plain value types, no lock; one thread at a time (the receiver thread, or the opening one).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavra::stack::telnet {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

inline constexpr std::uint8_t kOptionBinary = 0;
inline constexpr std::uint8_t kOptionSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptionComPort = 44;

inline constexpr std::size_t kMaxSubnegotiation = 32;

struct Command {
  enum class Kind : std::uint8_t { Will, Wont, Do, Dont, Subnegotiation };
  Kind kind = Kind::Will;
  std::uint8_t option = 0;
  std::uint8_t payloadSize = 0;  // Subnegotiation only
  bool truncated = false;        // the payload was longer than kMaxSubnegotiation
  std::array<std::uint8_t, kMaxSubnegotiation> payload{};

  [[nodiscard]] std::span<const std::uint8_t> Payload() const {
    return {payload.data(), payloadSize};
  }
};

class Decoder {
 public:
  // Appends the data bytes of `in` to `data` and its commands to `commands`, in order of
  // arrival within each.
  void Feed(std::span<const std::uint8_t> in,
            std::vector<std::uint8_t>& data,
            std::vector<Command>& commands);
  // Back to plain data (a new connection).
  void Reset() { *this = Decoder{}; }

 private:
  enum class State : std::uint8_t { Data, Iac, Option, SbOption, SbData, SbIac };

  void AfterIac(std::uint8_t byte);

  State m_state = State::Data;
  Command m_pending;
};

// Appends `data` with every 0xFF doubled.
void AppendEscaped(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out);
// Appends IAC verb option (verb: kWill, kWont, kDo or kDont).
void AppendNegotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);
// Appends IAC SB option <payload escaped> IAC SE.
void AppendSubnegotiation(std::uint8_t option,
                          std::span<const std::uint8_t> payload,
                          std::vector<std::uint8_t>& out);

}  // namespace tavra::stack::telnet
