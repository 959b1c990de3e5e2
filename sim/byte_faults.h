#pragma once
// Byte-level line faults: random corruption with a seeded generator (the same seed and the
// same byte stream give the same corrupted positions and values), and the garbage a UART makes
// of bytes sent at another bit rate.
//
// Plain values; each instance is used by one thread at a time (its owner's lock).

#include <cstdint>
#include <random>

namespace tavra::sim {

class ByteCorrupter {
 public:
  ByteCorrupter() = default;
  ByteCorrupter(double probability, std::uint32_t seed)
      : m_probability(probability < 0 ? 0 : (probability > 1 ? 1 : probability)),
        m_generator(seed) {}

  [[nodiscard]] bool Active() const { return m_probability > 0; }

  // Returns true when the byte was changed (to a different value).
  bool Apply(std::uint8_t& byte) {
    if (m_probability <= 0) {
      return false;
    }
    if (std::uniform_real_distribution<double>(0.0, 1.0)(m_generator) >= m_probability) {
      return false;
    }
    const auto flip =
        static_cast<std::uint8_t>(std::uniform_int_distribution<int>(1, 255)(m_generator));
    byte = static_cast<std::uint8_t>(byte ^ flip);
    return true;
  }

 private:
  double m_probability = 0;
  std::mt19937 m_generator{0};
};

// What arrives of a byte sent at a rate the receiver is not set to: a value with no useful
// relation to the one sent (a fixed scramble, so runs are repeatable).
class RateGarbler {
 public:
  std::uint8_t Apply(std::uint8_t byte) {
    m_state = m_state * 1103515245u + 12345u + byte;
    return static_cast<std::uint8_t>(m_state >> 16);
  }

 private:
  std::uint32_t m_state = 0x5A17u;
};

}  // namespace tavra::sim
