#pragma once
// DriverConnection: the loader's one connection to TavraLink. It owns the pool reference, the
// ITavra reference of the chosen COM port, the client registration and the callback object,
// keeps COM_Status (in LinkState), asks for boot-code mode, resets the controller at the end
// and turns the server's result codes into the loader's messages and log lines.
//
// The pool comes from a factory (the D-Bus proxy in the programs, an in-process pool in tests),
// so this library needs no bus.
//
// Owner: the program (window or command line), one per process.
// Threads: every method on one thread at a time (the window's thread or its worker, never both
// at once); the callbacks go to LinkState on the proxy's thread. Lock: LinkLock (in LinkState)
// for COM_Status; no lock is held while the server is called or a box is shown.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "loader/link/link_state.h"
#include "loader/link/loader_callback.h"
#include "loader/link/loader_reports.h"
#include "shared/tavra_interfaces.h"

namespace tavra::loader {

// The class context flags of the two pool creation attempts.
inline constexpr std::uint32_t kPoolContextAll = 0x15;
inline constexpr std::uint32_t kPoolContextLocal = 0x5;
// "The parameter is incorrect": the first creation attempt's failure that makes the second.
inline constexpr HRESULT kInvalidArgument = static_cast<HRESULT>(0x80070057u);

// How long KillComObject waits for the server to take the link down for the reset before it
// lets the controller object go (which could stop the link before the reset is sent).
inline constexpr std::chrono::milliseconds kResetWait{2000};

class DriverConnection {
 public:
  // Creates the pool object with the given class context; 0 and `pool`, or the failure.
  using PoolFactory =
      std::function<HRESULT(std::uint32_t context, std::shared_ptr<ITavraPool>& pool)>;

  // `log` may be null (no debug output); `boxes` must outlive the connection.
  DriverConnection(PoolFactory poolFactory, LogSink* log, MessageBoxes& boxes);
  ~DriverConnection();
  DriverConnection(const DriverConnection&) = delete;
  DriverConnection& operator=(const DriverConnection&) = delete;

  [[nodiscard]] LinkState& State() { return *m_state; }
  [[nodiscard]] const LinkState& State() const { return *m_state; }
  [[nodiscard]] std::uint8_t ComStatus() const { return m_state->ComStatus(); }
  [[nodiscard]] std::int32_t ClientId() const { return m_clientId; }
  [[nodiscard]] int Port() const { return m_port; }

  HRESULT CreateInstance();
  HRESULT ConnectDriver(std::int32_t port);
  HRESULT ChangeComport(std::int32_t port);
  void Client_Remove();
  // 0 = nothing to do or request accepted, -1 = the controller cannot be updated, otherwise the
  // failing result.
  std::int32_t ConnectBootCodeMode();
  void KillComObject();
  void ShowDriverError(std::uint32_t code);

  // Data_Request with the loader's fixed arguments (entity 2, no answer required, request id 0).
  // Without a link reference: CommandFailed_ClientNotRegistered.
  HRESULT SendData(std::span<const std::uint8_t> message);
  // CONNECT_STATUS for status displays: the result (STATUS_ONLINE / STATUS_NO_CONNECTION) and
  // the identity bytes. Returns the call's result.
  HRESULT QueryStatus(std::int32_t& status, std::vector<std::uint8_t>& identity);

  // True when the callback object still exists after KillComObject let it go (the server or
  // the bus kept a reference): the "COM Server Warning" case.
  [[nodiscard]] bool CallbackOutlived() const;

  // Writes one debug line when a log is set.
  void Log(std::string_view line) const;

 private:
  HRESULT CreatePool(std::shared_ptr<ITavraPool>& pool);
  HRESULT RequestBootCode();

  PoolFactory m_poolFactory;
  LogSink* const m_log;
  MessageBoxes& m_boxes;
  std::shared_ptr<LinkState> m_state;
  std::shared_ptr<LoaderCallback> m_callback;
  std::weak_ptr<LoaderCallback> m_releasedCallback;
  std::shared_ptr<ITavraPool> m_pool;
  std::shared_ptr<ITavra> m_tavra;
  std::int32_t m_clientId = 0;
  int m_port = 0;
};

}  // namespace tavra::loader
