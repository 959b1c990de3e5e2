#pragma once
// Helpers shared by the controller object and pool tests: a callback object that records what
// it receives, simulated controllers on pseudo-terminals in a COM port folder (PortDir, from
// tests/common), serial port factories and a settings guard.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/service/tavra_pool.h"
#include "server/stack/serial_port.h"
#include "server/stack/server_settings.h"
#include "shared/callback_adapter.h"
#include "sim/simulated_controller.h"
#include "tests/common/port_dir.h"

namespace tavra::service::test {

using namespace std::chrono_literals;
using tavra::test::PortDir;

// One callback as received.
struct CallbackEvent {
  std::string method;  // the ITavraCallback method name
  std::int32_t a = 0;  // the first long argument
  std::int32_t b = 0;  // the second long argument (0 when there is none)
  std::int32_t c = 0;  // the third long argument / P_L7ResponseRequired / P_ResponseId
  std::vector<std::uint8_t> data;
  bool dataPointerNull = false;
};

class RecordingCallback final : public CallbackAdapter {
 public:
  [[nodiscard]] std::vector<CallbackEvent> Events() const;
  // Waits until `condition` holds for the events so far; false on time-out.
  bool WaitFor(const std::function<bool(const std::vector<CallbackEvent>&)>& condition,
               std::chrono::milliseconds timeout) const;
  // Waits for an event of `method` whose first argument is `a`; returns it.
  std::optional<CallbackEvent> WaitForEvent(const std::string& method,
                                            std::int32_t a,
                                            std::chrono::milliseconds timeout) const;
  bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout) const;

  // Called on the delivery thread after each event is recorded, with no lock held (a client's
  // reaction inside its callback). Set before the client is registered.
  void SetOnEvent(std::function<void(const CallbackEvent&)> onEvent);

  // While set, every callback blocks until Unblock (to make a client hang in a callback).
  void BlockCallbacks();
  void Unblock();
  // Waits until a callback is blocked inside BlockCallbacks.
  bool WaitUntilBlocked(std::chrono::milliseconds timeout) const;

 protected:
  HRESULT OnEvent(const tavra::CallbackEvent& received) override;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<CallbackEvent> m_events;                  // guarded by m_mutex
  bool m_block = false;                                 // guarded by m_mutex
  bool m_blockedInside = false;                         // guarded by m_mutex
  std::function<void(const CallbackEvent&)> m_onEvent;  // set before use
};

// A simulated controller serving a pseudo-terminal linked as COM<port> in a PortDir.
class PtyController {
 public:
  PtyController(const PortDir& dir, int port, sim::SimConfig config = {});
  ~PtyController();
  PtyController(const PtyController&) = delete;
  PtyController& operator=(const PtyController&) = delete;

  [[nodiscard]] sim::SimulatedController& Sim() { return *m_sim; }

 private:
  std::unique_ptr<sim::SimulatedController> m_sim;
};

// Counts the serial ports a factory has made.
struct CountingFactory {
  std::shared_ptr<std::atomic<int>> made = std::make_shared<std::atomic<int>>(0);
  [[nodiscard]] TavraPool::SerialPortFactory Termios() const;
  // Simulated ports with nothing at the far end: the link never comes up.
  [[nodiscard]] TavraPool::SerialPortFactory Unconnected() const;
};

// Settings changed by a test go back to their defaults at the end of the scope.
class SettingsGuard {
 public:
  SettingsGuard() = default;
  ~SettingsGuard() { stack::ServerSettings().ResetToDefaults(); }
  SettingsGuard(const SettingsGuard&) = delete;
  SettingsGuard& operator=(const SettingsGuard&) = delete;
  void Set(stack::Setting setting, std::int32_t value) {
    stack::ServerSettings().Set(setting, value);
  }
};

// Collects the debug trace texts while it lives.
class TraceRecorder {
 public:
  TraceRecorder();
  ~TraceRecorder();
  TraceRecorder(const TraceRecorder&) = delete;
  TraceRecorder& operator=(const TraceRecorder&) = delete;
  [[nodiscard]] std::vector<std::string> Texts() const;
  // Waits until `text` has been traced `count` times.
  bool WaitForText(const std::string& text, int count, std::chrono::milliseconds timeout) const;
  [[nodiscard]] int Count(const std::string& text) const;

 private:
  struct Shared;
  std::shared_ptr<Shared> m_shared;
};

// Registers a new client with a fresh recording callback.
struct RegisteredClient {
  std::shared_ptr<RecordingCallback> callback = std::make_shared<RecordingCallback>();
  std::int32_t id = 0;
};

}  // namespace tavra::service::test
