// The answer table: controller requests waiting for a client's Data_Response.

#include "server/stack/l4_answer_table.h"

#include <algorithm>

#include "server/stack/l4_codes.h"
#include "server/stack/l4_cookie.h"

namespace tavra::stack {

void L4AnswerTable::Accept(std::int32_t clientKey, const L4Pdu& pdu) {
  std::lock_guard lock(m_mutex);
  for (L4AnswerRecord& record : m_records) {
    if (record.used) {
      continue;
    }
    record.used = true;
    record.ownerKey = clientKey;
    record.responseId = NextL4Cookie();
    record.controllerRequestNumber = pdu.number;
    record.answerTimer = m_responseTicks;
    m_outlet.Emit(clientKey, L4Kind::DataIndication, record.responseId, pdu.number, 1,
                  pdu.handedOn);
    return;
  }
  m_outlet.SendShortAnswer(L4PduType::TransactionBusy, pdu.number);
}

Result L4AnswerTable::Answer(std::int32_t key,
                             std::int32_t responseId,
                             std::span<const std::uint8_t> data,
                             const L4Backoff& backoff) {
  std::lock_guard lock(m_mutex);
  for (L4AnswerRecord& record : m_records) {
    if (record.used && record.ownerKey == key && record.responseId == responseId) {
      const Result sent =
          m_outlet.SendPdu(L4PduType::TransactionAnswer, record.controllerRequestNumber, 0, data, 0,
                           backoff.l2Retries, backoff.l2TimeMs);
      if (sent == kOk) {
        record = L4AnswerRecord{};
      }
      return sent;
    }
  }
  return kL4NothingToAnswer;
}

void L4AnswerTable::OnLinkLost() {
  std::lock_guard lock(m_mutex);
  m_records.fill(L4AnswerRecord{});
}

void L4AnswerTable::Tick() {
  std::lock_guard lock(m_mutex);
  for (L4AnswerRecord& record : m_records) {
    if (record.used && --record.answerTimer <= 0) {
      m_outlet.SendShortAnswer(L4PduType::TransactionBusy, record.controllerRequestNumber);
      record = L4AnswerRecord{};
    }
  }
}

int L4AnswerTable::Count() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(std::count_if(m_records.begin(), m_records.end(),
                                        [](const L4AnswerRecord& r) { return r.used; }));
}

}  // namespace tavra::stack
