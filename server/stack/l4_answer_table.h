#pragma once
// Requests from the controller (0x70) handed to a client and waiting for its Data_Response;
// unanswered in time, the controller gets 0x60. One table per CL4Impl, which owns it; client
// threads answer, CL4's dispatcher accepts, CL4's timer ticks. The answer lock (see
// l4_outlet.h) is taken with no other table lock held.

#include <array>
#include <cstdint>
#include <mutex>
#include <span>

#include "server/stack/cl4.h"
#include "server/stack/l4_outlet.h"
#include "server/stack/l4_pdu.h"

namespace tavra::stack {

struct L4AnswerRecord {
  bool used = false;
  std::int32_t ownerKey = 0;
  std::int32_t responseId = 0;  // P_ResponseId, from the cookie counter
  std::uint8_t controllerRequestNumber = 0;
  std::int32_t answerTimer = 0;  // ticks
};

class L4AnswerTable {
 public:
  // responseTicks: how long a client has for its Data_Response.
  L4AnswerTable(IL4Outlet& outlet, std::int32_t responseTicks)
      : m_outlet(outlet), m_responseTicks(responseTicks) {}
  L4AnswerTable(const L4AnswerTable&) = delete;
  L4AnswerTable& operator=(const L4AnswerTable&) = delete;

  // A 0x70 of the controller for the client `clientKey`: the client gets a Data_Indication
  // with a new response id. With every record waiting, the controller gets 0x60 instead: a
  // response id that matches nothing would only make the client's answer fail.
  void Accept(std::int32_t clientKey, const L4Pdu& pdu);
  // Data_Response: sends 0x50 with the controller's request number and frees the record.
  // kL4NothingToAnswer (no such response id for this key), or CL2's refusal (kept waiting).
  [[nodiscard]] Result Answer(std::int32_t key,
                              std::int32_t responseId,
                              std::span<const std::uint8_t> data,
                              const L4Backoff& backoff);
  // The link is down: every record is forgotten, a late Data_Response finds nothing.
  void OnLinkLost();
  // One 100-ms tick: at 0 the controller gets 0x60 and the record is freed.
  void Tick();
  [[nodiscard]] int Count() const;

 private:
  IL4Outlet& m_outlet;
  const std::int32_t m_responseTicks;
  mutable std::mutex m_mutex;
  std::array<L4AnswerRecord, CL4::kAnswerRecords> m_records{};
};

}  // namespace tavra::stack
