#pragma once
// Test doubles for the loader's controller link: a scripted ITavra that answers each firmware
// message at once from a reply function (Data_Confirm, then the replies as Data_Indication, on
// the calling thread), a pool that hands it out, and recorders for log lines, boxes and progress.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loader/link/driver_connection.h"
#include "loader/link/loader_reports.h"

namespace tavra::loader::test {

using Bytes = std::vector<std::uint8_t>;

struct RecordingLog final : LogSink {
  void WriteLine(std::string_view line) override { lines.emplace_back(line); }
  [[nodiscard]] int Count(const std::string& line) const;
  std::vector<std::string> lines;
};

struct RecordingBoxes final : MessageBoxes {
  void Show(std::string_view textId, std::string_view) override { shown.emplace_back(textId); }
  void PostNotice(std::string text, std::string) override {
    std::lock_guard lock(mutex);
    notices.push_back(std::move(text));
  }
  std::vector<std::string> shown;
  std::mutex mutex;
  std::vector<std::string> notices;  // guarded by mutex
};

struct RecordingProgress final : Progress {
  void SetMaximum(int value) override { maximum = value; }
  void SetPosition(int value) override { position = value; }
  int maximum = -1;
  int position = -1;
};

struct ManagementAnswer {
  HRESULT hr = S_OK;
  std::int32_t result = 0;
  std::int32_t type = 0;
  Bytes data;
};

class ScriptedTavra final : public ITavra {
 public:
  // The controller's replies to one firmware message (none: the loader's wait times out). The
  // first comes with the confirm during the request; each further one only after the loader
  // has read the one before (from a thread of the double's own).
  using Replies = std::function<std::vector<Bytes>(const Bytes& message)>;

  ~ScriptedTavra() override;
  LinkState* state = nullptr;  // the loader's latches, to pace the further replies

  Replies replies;
  bool confirm = true;  // every request is confirmed by the link (false: a silent line)
  HRESULT dataRequestResult = S_OK;
  HRESULT clientAddResult = S_OK;
  std::map<std::int32_t, ManagementAnswer> management;  // by command; missing: S_OK, all 0
  std::vector<Bytes> sent;                              // firmware messages, in order
  std::vector<std::int32_t> commands;                   // management commands, in order
  std::vector<std::int32_t> removed;                    // client ids removed
  std::shared_ptr<ITavraCallback> callback;

  HRESULT Client_Add(std::shared_ptr<ITavraCallback> P_Callback, std::int32_t& P_ClientId) override;
  HRESULT Client_Remove(std::int32_t P_ClientId) override;
  HRESULT Data_Request(std::int32_t,
                       std::int32_t P_RxId,
                       std::int32_t P_DataLength,
                       const std::uint8_t* P_Data,
                       std::uint8_t,
                       std::int32_t) override;
  HRESULT Management_Request(std::int32_t,
                             std::int32_t P_Command,
                             std::int32_t& P_Result,
                             std::int32_t& P_DataType,
                             std::int32_t& P_DataSize,
                             Bytes& P_Data) override;
  HRESULT Data_Response(std::int32_t, std::int32_t, std::int32_t, const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Connect_Request(
      std::int32_t, std::int32_t, std::int32_t, std::int32_t, const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Connect_Response(
      std::int32_t, std::int32_t, std::uint8_t, std::int32_t, const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Management_SetupBackoff(
      std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t) override {
    return S_OK;
  }
  HRESULT Disconnect_Request(std::int32_t,
                             std::int32_t,
                             std::int32_t,
                             const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Disconnect_Response(std::int32_t,
                              std::int32_t,
                              std::int32_t,
                              const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT ConnectionData_Request(std::int32_t,
                                 std::int32_t,
                                 std::int32_t,
                                 const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT ConnectionData_Response(std::int32_t,
                                  std::int32_t,
                                  std::int32_t,
                                  const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Client_AddEx(std::shared_ptr<ITavraCallback> P_Callback,
                       std::int32_t& P_ClientId,
                       std::int32_t& P_ConnectionToTavra) override {
    P_ConnectionToTavra = 0;
    return Client_Add(std::move(P_Callback), P_ClientId);
  }

  // Reports the controller online with `type` (1: boot code) or, with -1, the link down.
  void Indicate(int type);

 private:
  std::thread m_later;  // delivers the further replies of the last request
};

class FakePool final : public ITavraPool {
 public:
  std::shared_ptr<ScriptedTavra> tavra = std::make_shared<ScriptedTavra>();
  HRESULT result = S_OK;
  HRESULT GetTavraInterface(std::int32_t, std::int32_t, std::shared_ptr<ITavra>& P_Tavra) override {
    if (result == S_OK) {
      P_Tavra = tavra;
    }
    return result;
  }
};

// A connection to a FakePool, registered on port 1 and (optionally) in boot-code mode.
struct FakeLink {
  explicit FakeLink(bool bootCode = true);
  std::shared_ptr<FakePool> pool = std::make_shared<FakePool>();
  ScriptedTavra& tavra = *pool->tavra;
  RecordingLog log;
  RecordingBoxes boxes;
  DriverConnection connection;
};

}  // namespace tavra::loader::test
