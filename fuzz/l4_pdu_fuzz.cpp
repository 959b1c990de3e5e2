// Fuzzes the transport PDU decoder with arbitrary frame data from address 0x21, and the encoder
// with what the decoder found.
// Checked: a PDU is refused exactly when the data is empty, of type 0x40 or cut short in its
// header; the data handed on lies inside the input, is never longer than it, and starts where
// the header ends (or is the whole PDU for the short answers); re-encoding the decoded fields
// gives a PDU that decodes to the same type, number, extra byte and data, and re-encoding that
// changes nothing. The bytes themselves come back unchanged only when the input used the short
// form wherever it could: a number below 15 sent in the two-byte form (0xBF 0x03 ...) is valid
// but re-encodes in the one-byte form.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "server/stack/l4_pdu.h"

namespace {

using tavra::stack::L4Pdu;
using tavra::stack::L4PduType;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// The header length the input itself used, or nothing when the header is cut short.
std::optional<std::size_t> InputHeaderLength(std::span<const std::uint8_t> in) {
  const auto type = static_cast<L4PduType>(in[0] & 0xF0);
  std::size_t length = (in[0] & 0x0F) == tavra::stack::kL4TwoByteMarker ? 2 : 1;
  if (tavra::stack::HasExtraByte(type)) {
    ++length;
  }
  if (in.size() < length) {
    return std::nullopt;
  }
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  const std::optional<L4Pdu> pdu = tavra::stack::DecodeL4Pdu(in);

  // Refused exactly in the three documented cases.
  if (in.empty() || static_cast<L4PduType>(in[0] & 0xF0) == L4PduType::NotAPdu) {
    Check(!pdu.has_value());
    return 0;
  }
  const std::optional<std::size_t> header = InputHeaderLength(in);
  if (!header.has_value()) {
    Check(!pdu.has_value());
    return 0;
  }
  Check(pdu.has_value());

  // The fields are the header's bytes.
  const bool twoByteForm = (in[0] & 0x0F) == tavra::stack::kL4TwoByteMarker;
  const bool extra = tavra::stack::HasExtraByte(pdu->type);
  Check(static_cast<std::uint8_t>(pdu->type) == (in[0] & 0xF0));
  Check(pdu->number == (twoByteForm ? in[1] : (in[0] & 0x0F)));
  Check(pdu->extra == (extra ? in[*header - 1] : 0));

  // The data handed on stays inside the input.
  const std::uint8_t* const begin = pdu->handedOn.data();
  Check(pdu->handedOn.size() <= size);
  Check(pdu->handedOn.empty() || (begin >= data && begin + pdu->handedOn.size() <= data + size));
  const std::span<const std::uint8_t> payload = in.subspan(*header);
  if (tavra::stack::HandsOnWholePdu(pdu->type)) {
    Check(begin == data && pdu->handedOn.size() == size);
  } else {
    Check(pdu->handedOn.size() == payload.size());
    Check(payload.empty() || begin == payload.data());
  }

  // Re-encode. The types without an extra byte get a stray one that must not be written.
  const std::uint8_t extraArgument = extra ? pdu->extra : static_cast<std::uint8_t>(in[0] ^ 0xA5);
  const std::vector<std::uint8_t> encoded =
      tavra::stack::EncodeL4Pdu(pdu->type, pdu->number, extraArgument, payload);
  const std::size_t encodedHeader = tavra::stack::L4HeaderLength(pdu->type, pdu->number);
  Check(encoded.size() == encodedHeader + payload.size());
  Check(SameBytes(std::span<const std::uint8_t>(encoded).subspan(encodedHeader), payload));
  const bool canonical = !twoByteForm || pdu->number >= tavra::stack::kL4TwoByteMarker;
  if (canonical) {
    Check(SameBytes(encoded, in));
  } else {
    Check(encoded.size() + 1 == size);
  }

  // The re-encoded PDU decodes to the same fields and data.
  const std::optional<L4Pdu> again = tavra::stack::DecodeL4Pdu(encoded);
  Check(again.has_value());
  Check(again->type == pdu->type && again->number == pdu->number && again->extra == pdu->extra);
  if (tavra::stack::HandsOnWholePdu(again->type)) {
    Check(SameBytes(again->handedOn, encoded));
  } else {
    Check(SameBytes(again->handedOn, payload));
  }

  // The encoder's output is its own fixed point.
  Check(SameBytes(
      tavra::stack::EncodeL4Pdu(again->type, again->number, again->extra,
                                std::span<const std::uint8_t>(encoded).subspan(encodedHeader)),
      encoded));
  return 0;
}
