#include "proxy_support.h"

#include <iomanip>
#include <ostream>

namespace tavra::dbus::test {

ProxyOptions OptionsFor(const tavra::test::TestBus& bus) {
  ProxyOptions options;
  options.busAddress = bus.Address();
  options.program = TAVRALINK_PATH;
  return options;
}

std::ostream& operator<<(std::ostream& out, const CallbackEvent& event) {
  out << event.method << "(";
  for (std::size_t i = 0; i < event.values.size(); ++i) {
    out << (i == 0 ? "" : ", ") << event.values[i];
  }
  out << ") [";
  for (std::size_t i = 0; i < event.data.size(); ++i) {
    out << (i == 0 ? "" : " ") << std::hex << std::setw(2) << std::setfill('0')
        << static_cast<int>(event.data[i]) << std::dec;
  }
  return out << "]";
}

std::vector<CallbackEvent> RecordingCallback::Events() const {
  std::lock_guard lock(m_mutex);
  return m_events;
}

std::size_t RecordingCallback::Count() const {
  std::lock_guard lock(m_mutex);
  return m_events.size();
}

std::vector<std::thread::id> RecordingCallback::Threads() const {
  std::lock_guard lock(m_mutex);
  return m_threads;
}

bool RecordingCallback::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, timeout, [&] { return m_events.size() >= count; });
}

std::optional<CallbackEvent> RecordingCallback::WaitFor(
    const std::string& method,
    std::function<bool(const CallbackEvent&)> match,
    std::chrono::milliseconds timeout,
    std::size_t from) {
  std::unique_lock lock(m_mutex);
  std::optional<CallbackEvent> found;
  m_cv.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < m_events.size(); ++i) {
      if (m_events[i].method == method && (!match || match(m_events[i]))) {
        found = m_events[i];
        return true;
      }
    }
    return false;
  });
  return found;
}

HRESULT RecordingCallback::OnEvent(const tavra::CallbackEvent& received) {
  const std::span<const std::int32_t> values = received.Values();
  const std::span<const std::uint8_t> data = received.Data();
  const CallbackEvent event{
      std::string(received.Name()), {values.begin(), values.end()}, {data.begin(), data.end()}};
  {
    std::lock_guard lock(m_mutex);
    m_events.push_back(event);
    if (m_threads.empty() || m_threads.back() != std::this_thread::get_id()) {
      m_threads.push_back(std::this_thread::get_id());
    }
  }
  m_cv.notify_all();
  if (m_hook) {
    m_hook(event);
  }
  return S_OK;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (const int v : values) {
    bytes.push_back(static_cast<std::uint8_t>(v));
  }
  return bytes;
}

}  // namespace tavra::dbus::test
