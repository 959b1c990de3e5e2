#pragma once
// Support for the proxy tests: the options of a proxy on a test bus, and a callback object that
// records what arrives. The bus, child programs and bounded waits come from tests/common.
//
// Owner: the test that made each object. Threads: OptionsFor is called by the test's thread.
// RecordingCallback is called on the proxy's bus thread and read by the test's thread under its own
// mutex; its hook runs with no lock held.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/dbus_proxy/tavra_dbus_proxy.h"
#include "shared/callback_adapter.h"
#include "shared/tavra_interfaces.h"
#include "tests/common/bus/test_bus.h"
#include "tests/common/wait_until.h"

namespace tavra::dbus::test {

using namespace std::chrono_literals;

// Options for a proxy on `bus` that may start the built tavralink.
[[nodiscard]] ProxyOptions OptionsFor(const tavra::test::TestBus& bus);

// One callback as it arrived: the method, its integer arguments in order (byte arguments
// included) and its data.
struct CallbackEvent {
  std::string method;
  std::vector<std::int32_t> values;
  std::vector<std::uint8_t> data;
  bool operator==(const CallbackEvent&) const = default;
};
std::ostream& operator<<(std::ostream& out, const CallbackEvent& event);

class RecordingCallback final : public CallbackAdapter {
 public:
  // Called after each event is recorded, on the callback's thread, with no lock held.
  using Hook = std::function<void(const CallbackEvent&)>;
  explicit RecordingCallback(Hook hook = nullptr) : m_hook(std::move(hook)) {}

  [[nodiscard]] std::vector<CallbackEvent> Events() const;
  [[nodiscard]] std::size_t Count() const;
  // The threads the callbacks ran on.
  [[nodiscard]] std::vector<std::thread::id> Threads() const;
  bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = tavra::test::kWait);
  // The first recorded event (from index `from` on) of `method` that `match` accepts.
  std::optional<CallbackEvent> WaitFor(const std::string& method,
                                       std::function<bool(const CallbackEvent&)> match = nullptr,
                                       std::chrono::milliseconds timeout = tavra::test::kWait,
                                       std::size_t from = 0);

 protected:
  HRESULT OnEvent(const tavra::CallbackEvent& received) override;

 private:
  Hook m_hook;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<CallbackEvent> m_events;
  std::vector<std::thread::id> m_threads;
};

// "0A 0B" <-> bytes, for the expectations.
std::vector<std::uint8_t> Bytes(std::initializer_list<int> values);

}  // namespace tavra::dbus::test
