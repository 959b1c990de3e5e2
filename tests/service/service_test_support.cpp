#include "service_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "server/stack/debug_trace.h"
#include "server/stack/simulated_serial_port.h"
#include "server/stack/termios_serial_port.h"

namespace tavra::service::test {

// ---------------------------------------------------------------------------------------------
// RecordingCallback

HRESULT RecordingCallback::OnEvent(const tavra::CallbackEvent& received) {
  const std::span<const std::uint8_t> data = received.Data();
  CallbackEvent event{std::string(received.Name()), received.values[0],
                      received.values[1],           received.values[2],
                      {data.begin(), data.end()},   received.data == nullptr};
  if (received.kind == CallbackKind::Connect_Confirm) {
    // b is the result, c the connection id.
    event.b = received.values[2];
    event.c = received.values[1];
  }
  {
    std::unique_lock lock(m_mutex);
    m_events.push_back(event);
    m_changed.notify_all();
    if (m_block) {
      m_blockedInside = true;
      m_changed.notify_all();
      m_changed.wait(lock, [this] { return !m_block; });
      m_blockedInside = false;
    }
  }
  if (m_onEvent) {
    m_onEvent(event);
  }
  return 0;
}

void RecordingCallback::SetOnEvent(std::function<void(const CallbackEvent&)> onEvent) {
  m_onEvent = std::move(onEvent);
}

std::vector<CallbackEvent> RecordingCallback::Events() const {
  std::lock_guard lock(m_mutex);
  return m_events;
}

bool RecordingCallback::WaitFor(
    const std::function<bool(const std::vector<CallbackEvent>&)>& condition,
    std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return condition(m_events); });
}

std::optional<CallbackEvent> RecordingCallback::WaitForEvent(
    const std::string& method, std::int32_t a, std::chrono::milliseconds timeout) const {
  std::optional<CallbackEvent> found;
  WaitFor(
      [&](const std::vector<CallbackEvent>& events) {
        for (const CallbackEvent& e : events) {
          if (e.method == method && e.a == a) {
            found = e;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

bool RecordingCallback::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
  return WaitFor([count](const std::vector<CallbackEvent>& e) { return e.size() >= count; },
                 timeout);
}

void RecordingCallback::BlockCallbacks() {
  std::lock_guard lock(m_mutex);
  m_block = true;
}

void RecordingCallback::Unblock() {
  std::lock_guard lock(m_mutex);
  m_block = false;
  m_changed.notify_all();
}

bool RecordingCallback::WaitUntilBlocked(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [this] { return m_blockedInside; });
}

// ---------------------------------------------------------------------------------------------
// PtyController

PtyController::PtyController(const PortDir& dir, int port, sim::SimConfig config)
    : m_sim(std::make_unique<sim::SimulatedController>(std::move(config))) {
  std::string error;
  if (!m_sim->StartPseudoTerminal(dir.PathOf(port), &error)) {
    ADD_FAILURE() << "pseudo-terminal for COM" << port << ": " << error;
  }
}

PtyController::~PtyController() {
  m_sim->Stop();
}

// ---------------------------------------------------------------------------------------------
// Factories, trace

TavraPool::SerialPortFactory CountingFactory::Termios() const {
  return [made = made](int) -> std::unique_ptr<stack::ISerialPort> {
    ++*made;
    return std::make_unique<stack::TermiosSerialPort>();
  };
}

TavraPool::SerialPortFactory CountingFactory::Unconnected() const {
  return [made = made](int) -> std::unique_ptr<stack::ISerialPort> {
    ++*made;
    return std::make_unique<stack::SimulatedSerialPort>();
  };
}

struct TraceRecorder::Shared {
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> texts;
};

TraceRecorder::TraceRecorder() : m_shared(std::make_shared<Shared>()) {
  stack::SetDebugTraceSink([shared = m_shared](std::string_view text) {
    std::lock_guard lock(shared->mutex);
    shared->texts.emplace_back(text);
    shared->changed.notify_all();
  });
}

bool TraceRecorder::WaitForText(const std::string& text,
                                int count,
                                std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_shared->mutex);
  return m_shared->changed.wait_for(lock, timeout, [&] {
    return std::count(m_shared->texts.begin(), m_shared->texts.end(), text) >= count;
  });
}

int TraceRecorder::Count(const std::string& text) const {
  std::lock_guard lock(m_shared->mutex);
  return static_cast<int>(std::count(m_shared->texts.begin(), m_shared->texts.end(), text));
}

TraceRecorder::~TraceRecorder() {
  stack::SetDebugTraceSink({});
}

std::vector<std::string> TraceRecorder::Texts() const {
  std::lock_guard lock(m_shared->mutex);
  return m_shared->texts;
}

}  // namespace tavra::service::test
