#include "link_fakes_support.h"

#include <algorithm>

namespace tavra::loader::test {

int RecordingLog::Count(const std::string& line) const {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

HRESULT ScriptedTavra::Client_Add(std::shared_ptr<ITavraCallback> P_Callback,
                                  std::int32_t& P_ClientId) {
  if (clientAddResult != S_OK) {
    return clientAddResult;
  }
  callback = std::move(P_Callback);
  P_ClientId = 7;
  return S_OK;
}

HRESULT ScriptedTavra::Client_Remove(std::int32_t P_ClientId) {
  removed.push_back(P_ClientId);
  callback.reset();
  return S_OK;
}

HRESULT ScriptedTavra::Data_Request(std::int32_t,
                                    std::int32_t P_RxId,
                                    std::int32_t P_DataLength,
                                    const std::uint8_t* P_Data,
                                    std::uint8_t,
                                    std::int32_t) {
  if (P_RxId != 2 || dataRequestResult != S_OK) {
    return dataRequestResult != S_OK ? dataRequestResult : CommandFailed_InvalidRxId;
  }
  if (m_later.joinable()) {
    m_later.join();
  }
  const Bytes message(P_Data, P_Data + P_DataLength);
  sent.push_back(message);
  const auto answers = replies ? replies(message) : std::vector<Bytes>{};
  if (!callback || !confirm) {
    return S_OK;
  }
  (void)callback->Data_Confirm(0, 0, 0, P_Data);
  if (answers.empty()) {
    return S_OK;
  }
  auto deliver = [](ITavraCallback& to, const Bytes& reply) {
    (void)to.Data_Indication(0, static_cast<std::int32_t>(reply.size()), reply.data(), 0, 0);
  };
  deliver(*callback, answers[0]);
  if (answers.size() > 1) {
    m_later = std::thread([to = callback, answers, state = state, deliver] {
      for (std::size_t i = 1; i < answers.size(); ++i) {
        if (state != nullptr) {
          (void)state->WaitIndicationTaken(std::chrono::seconds(10));
        }
        deliver(*to, answers[i]);
      }
    });
  }
  return S_OK;
}

ScriptedTavra::~ScriptedTavra() {
  if (m_later.joinable()) {
    m_later.join();
  }
}

HRESULT ScriptedTavra::Management_Request(std::int32_t,
                                          std::int32_t P_Command,
                                          std::int32_t& P_Result,
                                          std::int32_t& P_DataType,
                                          std::int32_t& P_DataSize,
                                          Bytes& P_Data) {
  commands.push_back(P_Command);
  const ManagementAnswer answer = management[P_Command];
  if (answer.hr == S_OK) {
    P_Result = answer.result;
    P_DataType = answer.type;
    P_DataSize = static_cast<std::int32_t>(answer.data.size());
    P_Data = answer.data;
  }
  if (P_Command == RESET_CONTROLLER && answer.hr == S_OK && callback) {
    Indicate(-1);  // the server takes the link down for the restart
  }
  return answer.hr;
}

void ScriptedTavra::Indicate(int type) {
  if (type < 0) {
    (void)callback->Management_Indication(STATUS_NO_CONNECTION, 0, 0, nullptr);
    return;
  }
  const Bytes identity{static_cast<std::uint8_t>(type), 1, 2, 3, 4, 0};
  (void)callback->Management_Indication(STATUS_ONLINE, 1, 6, identity.data());
}

FakeLink::FakeLink(bool bootCode)
    : connection(
          [pool = pool](std::uint32_t, std::shared_ptr<ITavraPool>& out) {
            out = pool;
            return S_OK;
          },
          &log,
          boxes) {
  tavra.state = &connection.State();
  if (connection.ChangeComport(1) == S_OK && bootCode) {
    tavra.Indicate(1);
  }
  log.lines.clear();
}

}  // namespace tavra::loader::test
