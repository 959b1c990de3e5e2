#pragma once
// What CL4's tables call outward: PDUs to the controller's transport entity (through CL2) and
// indications to clients (through the route function). CL4Impl implements it; each table holds
// a reference for its whole life.
//
// The tables (connections, transactions, answers) share one rule: every public function holds
// the table's own lock for its whole run, private functions run with it held, and the outlet
// is called with it held. SendPdu and SendShortAnswer then take CL2's locks (CL2::Send only
// queues, it never waits for the link); Emit runs the route function, which only hands the
// item on.

#include <cstdint>
#include <span>

#include "server/stack/l4_indication.h"
#include "server/stack/l4_pdu.h"
#include "shared/result_codes.h"

namespace tavra::stack {

class IL4Outlet {
 public:
  virtual ~IL4Outlet() = default;
  // Sends one PDU to address 0x21 as a job of CL4's own key. kL4NoMemory, or CL2's result.
  [[nodiscard]] virtual Result SendPdu(L4PduType type,
                                       std::uint8_t number,
                                       std::uint8_t extra,
                                       std::span<const std::uint8_t> data,
                                       std::int32_t cookie,
                                       std::int32_t l2Budget,
                                       std::int32_t l2BackoffTime) = 0;
  // A short PDU with no client behind it (0x00, 0x10, 0x20, 0x60): cookie 0, the server's L2
  // values; a refused one is simply not sent.
  virtual void SendShortAnswer(L4PduType type, std::uint8_t number) = 0;
  // One indication for the client `clientId`.
  virtual void Emit(std::int32_t clientId,
                    L4Kind kind,
                    std::int32_t a,
                    std::int32_t b,
                    std::int32_t c,
                    std::span<const std::uint8_t> data) = 0;
};

}  // namespace tavra::stack
