// Many clients on one port: 18 clients of one controller object each exchange 1,000
// transactions with the simulated controller (in process, no line emulation, no bus). Checks
// that nothing is lost and that each client's answers come in its own order, and measures the
// callback latency: from the moment the simulator writes the answer (its trace sink, called
// just before the bytes go to the port) to the client's Data_Confirm. Prints the p50/p99
// latency against the goal (p99 at most 5 ms). Arguments: [clients] [transactions].
//
// Threads: one sender thread per client (one transaction outstanding each); the callbacks run
// on the server's delivery threads; the trace sink on the simulator's writer thread.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/service/ctavra.h"
#include "server/service/tavra_pool.h"
#include "server/stack/simulated_serial_port.h"
#include "sim/simulated_controller.h"

namespace {

using tavra::HRESULT;

using Clock = std::chrono::steady_clock;
constexpr std::int32_t kTransportRxId = 1;
constexpr std::uint8_t kTag = 0xB5;
constexpr auto kWait = std::chrono::seconds(10);

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Answer write times by (client, sequence), set by the trace sink.
struct AnswerTimes {
  AnswerTimes(int clients, int count) : perClient(count), at(clients * count) {}
  int perClient;
  std::vector<std::atomic<std::int64_t>> at;
};

// "  t C>H 02 .. .. | note": finds kTag, client, sequence (2 bytes) in the unescaped bytes.
void NoteAnswer(const std::string& line, AnswerTimes& times) {
  const std::int64_t now = Now();
  std::istringstream in(line.substr(0, line.find('|')));
  std::string stamp;
  std::string direction;
  in >> stamp >> direction;
  if (direction != "C>H") {
    return;
  }
  std::vector<int> bytes;
  std::string hex;
  bool escaped = false;
  while (in >> hex) {
    const int b = std::stoi(hex, nullptr, 16);
    if (!escaped && b == 0x10) {
      escaped = true;
      continue;
    }
    escaped = false;
    bytes.push_back(b);
  }
  for (std::size_t i = 0; i + 3 < bytes.size(); ++i) {
    const int client = bytes[i + 1];
    const int sequence = bytes[i + 2] | (bytes[i + 3] << 8);
    if (bytes[i] == kTag && sequence < times.perClient &&
        static_cast<std::size_t>(client * times.perClient + sequence) < times.at.size()) {
      times.at[static_cast<std::size_t>(client * times.perClient + sequence)] = now;
      return;
    }
  }
}

class Client final : public tavra::ITavraCallback {
 public:
  Client(int index, AnswerTimes& times) : m_index(index), m_times(times) {}

  HRESULT Data_Confirm(std::int32_t id,
                       std::int32_t result,
                       std::int32_t length,
                       const std::uint8_t* data) override {
    const std::int64_t now = Now();
    std::lock_guard lock(m_mutex);
    const bool inOrder = id == m_expected && result == 0 && length == 4 && data != nullptr &&
                         data[0] == kTag && data[1] == m_index && (data[2] | (data[3] << 8)) == id;
    if (!inOrder) {
      ++m_faults;
    }
    const auto at = m_times.at[static_cast<std::size_t>(m_index * m_times.perClient + id)].load();
    if (at != 0) {
      m_latencies.push_back(static_cast<double>(now - at) / 1e6);
    }
    ++m_expected;
    m_changed.notify_all();
    return 0;
  }
  HRESULT Management_Indication(std::int32_t type,
                                std::int32_t,
                                std::int32_t,
                                const std::uint8_t*) override {
    std::lock_guard lock(m_mutex);
    m_online = type == tavra::STATUS_ONLINE;
    m_changed.notify_all();
    return 0;
  }
  bool WaitOnline() {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kWait, [this] { return m_online; });
  }
  // Sends `count` transactions one after another; false when one got no confirm in time.
  bool Run(tavra::service::CTavra& tavra, std::int32_t clientId, int count) {
    for (int i = 0; i < count; ++i) {
      const std::uint8_t data[4]{kTag, static_cast<std::uint8_t>(m_index),
                                 static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)};
      if (tavra.Data_Request(clientId, kTransportRxId, 4, data, 1, i) != 0) {
        ++m_faults;
        return false;
      }
      std::unique_lock lock(m_mutex);
      if (!m_changed.wait_for(lock, kWait, [&] { return m_expected > i; })) {
        return false;
      }
    }
    return true;
  }
  int Faults() const { return m_faults; }
  std::vector<double> Latencies() const { return m_latencies; }

  HRESULT Connect_Indication(std::int32_t,
                             std::int32_t,
                             std::int32_t,
                             const std::uint8_t*) override {
    return 0;
  }
  HRESULT Connect_Confirm(
      std::int32_t, std::int32_t, std::int32_t, std::int32_t, const std::uint8_t*) override {
    return 0;
  }
  HRESULT Disconnect_Indication(std::int32_t, std::int32_t, const std::uint8_t*) override {
    return 0;
  }
  HRESULT Disconnected_Indication(std::int32_t, std::int32_t) override { return 0; }
  HRESULT Disconnect_Confirm(std::int32_t, std::int32_t, const std::uint8_t*) override { return 0; }
  HRESULT ConnectionData_Indication(std::int32_t, std::int32_t, const std::uint8_t*) override {
    return 0;
  }
  HRESULT ConnectionData_Confirm(std::int32_t, std::int32_t, const std::uint8_t*) override {
    return 0;
  }
  HRESULT Data_Indication(
      std::int32_t, std::int32_t, const std::uint8_t*, std::uint8_t, std::int32_t) override {
    ++m_faults;  // the answer comes as the confirm, never as an indication
    return 0;
  }

 private:
  const int m_index;
  AnswerTimes& m_times;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_online = false;            // guarded by m_mutex
  std::int32_t m_expected = 0;      // guarded by m_mutex
  int m_faults = 0;                 // guarded by m_mutex (read after the run)
  std::vector<double> m_latencies;  // guarded by m_mutex (read after the run)
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const auto i = std::min(values.size() - 1, static_cast<std::size_t>(p / 100 * values.size()));
  return values[i];
}

}  // namespace

int main(int argc, char** argv) {
  const int clients = argc > 1 && argv[1][0] != '-' ? std::atoi(argv[1]) : 18;
  const int count = argc > 2 && argv[2][0] != '-' ? std::atoi(argv[2]) : 1000;
  AnswerTimes times(clients, count);
  tavra::sim::SimulatedController sim;
  sim.SetTrace([&times](const std::string& line) { NoteAnswer(line, times); });
  auto pool = std::make_unique<tavra::service::TavraPool>([&sim](int) {
    auto port = std::make_unique<tavra::stack::SimulatedSerialPort>();
    port->SetSkipBitRatePause(true);
    (void)sim.AttachTo(*port);
    return port;
  });
  std::shared_ptr<tavra::service::CTavra> tavra;
  if (pool->GetController(1, tavra) != 0) {
    std::puts("many_clients_bench: no controller object");
    return 1;
  }
  std::vector<std::shared_ptr<Client>> callbacks;
  std::vector<std::int32_t> ids(static_cast<std::size_t>(clients));
  for (int i = 0; i < clients; ++i) {
    callbacks.push_back(std::make_shared<Client>(i, times));
    if (tavra->Client_Add(callbacks.back(), ids[static_cast<std::size_t>(i)]) != 0 ||
        !callbacks.back()->WaitOnline()) {
      std::puts("many_clients_bench: a client did not come online");
      return 1;
    }
  }
  const auto start = Clock::now();
  std::atomic<int> completed{0};
  std::vector<std::thread> senders;
  senders.reserve(static_cast<std::size_t>(clients));
  for (int i = 0; i < clients; ++i) {
    senders.emplace_back([&, i] {
      if (callbacks[static_cast<std::size_t>(i)]->Run(*tavra, ids[static_cast<std::size_t>(i)],
                                                      count)) {
        ++completed;
      }
    });
  }
  for (auto& t : senders) {
    t.join();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  int faults = 0;
  for (const auto& c : callbacks) {
    const auto l = c->Latencies();
    all.insert(all.end(), l.begin(), l.end());
    faults += c->Faults();
  }
  for (int i = 0; i < clients; ++i) {
    (void)tavra->Client_Remove(ids[static_cast<std::size_t>(i)]);
  }
  sim.Stop();  // before the pool closes the port it is attached to
  tavra.reset();
  pool->Teardown();
  const double p99 = Percentile(all, 99);
  std::printf(
      "%d clients x %d transactions in %.2f s (%.0f per second); %d clients finished, "
      "%d lost or out of order, %zu latencies\n",
      clients, count, seconds, clients * count / seconds, completed.load(), faults, all.size());
  std::printf(
      "callback latency (simulator answer -> Data_Confirm): p50 %.3f ms, p99 %.3f ms, "
      "max %.3f ms; goal p99 <= 5 ms: %s; p99/goal %.2f\n",
      Percentile(all, 50), p99, Percentile(all, 100), p99 <= 5.0 ? "met" : "MISSED", p99 / 5.0);
  return completed == clients && faults == 0 ? 0 : 1;
}
