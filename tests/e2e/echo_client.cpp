// tavra-echo-client: a test client for the end-to-end tests. It registers on one port, waits for
// the link and then exchanges transactions with the controller's transport entity (entity 1,
// which echoes them) one after the other until SIGTERM, each carrying its own number. Every
// answer must be the echo of the request just sent: an answer out of order, a lost or a wrong
// one ends the client with exit code 3 and a line saying so.
//
// Usage: tavra-echo-client PORT TAG [--connect]. With --connect it first opens a connection to
// the transport entity and holds it to the end. Standard output: "ready CLIENT" once registered
// with the link up (and connected), "ok N" after every tenth good exchange, "done N" on SIGTERM
// (exit 0). Exit 1: no server, no registration or no link. Every wait is bounded (30 s).
//
// Threads: the main thread sends and waits; the proxy's bus thread calls the callback object.

#include <signal.h>

#include <QtCore/QCoreApplication>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/dbus_proxy/tavra_dbus_proxy.h"
#include "tools/tavractl/client_callback.h"

namespace {

using namespace std::chrono_literals;
using tavra::HRESULT;
using tavra::ITavra;
using tavra::S_OK;

constexpr auto kWait = 30s;
std::atomic<bool> g_stop{false};

// The Connect_Confirm, as the callback's printer gives it (on the bus thread).
struct ConnectConfirm {
  std::mutex mutex;
  std::condition_variable cv;
  std::string line;  // guarded by mutex
};

int Fail(const std::string& text) {
  std::printf("bad %s\n", text.c_str());
  std::fflush(stdout);
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  const bool connect = argc == 4 && std::string(argv[3]) == "--connect";
  if (argc != 3 && !connect) {
    std::fprintf(stderr, "usage: tavra-echo-client PORT TAG [--connect]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const auto tag = static_cast<std::uint8_t>(std::atoi(argv[2]));
  const QCoreApplication application(argc, argv);  // QtDBus needs one
  struct sigaction action {};
  action.sa_handler = [](int) { g_stop = true; };
  sigaction(SIGTERM, &action, nullptr);

  std::shared_ptr<tavra::dbus::TavraPoolProxy> pool;
  std::string error;
  if (tavra::dbus::ConnectTavraPool(tavra::dbus::ProxyOptions{}, pool, &error) != S_OK) {
    std::fprintf(stderr, "no server: %s\n", error.c_str());
    return 1;
  }
  std::shared_ptr<ITavra> tavra;
  auto confirm = std::make_shared<ConnectConfirm>();
  auto callback =
      std::make_shared<tavra::tavractl::ClientCallback>([confirm](const std::string& l) {
        if (l.starts_with("Connect_Confirm ")) {
          std::lock_guard lock(confirm->mutex);
          confirm->line = l;
          confirm->cv.notify_all();
        }
      });
  std::int32_t client = 0;
  HRESULT result = pool->GetTavraInterface(port, 0, tavra);
  if (result == S_OK) {
    result = tavra->Client_Add(callback, client);
  }
  if (result != S_OK) {
    std::printf("refused %d\n", result);
    std::fflush(stdout);
    return 1;
  }
  if (!callback->WaitForLink(kWait)) {
    std::fprintf(stderr, "no link\n");
    return 1;
  }
  if (connect) {
    if (tavra->Connect_Request(client, 0, 1, 0, nullptr) != S_OK) {
      std::printf("refused connection\n");
      return 1;
    }
    std::unique_lock lock(confirm->mutex);
    confirm->cv.wait_for(lock, kWait, [&] { return !confirm->line.empty(); });
    if (confirm->line.find("P_ConfirmResult=S_OK") == std::string::npos) {
      std::printf("refused connection: %s\n", confirm->line.c_str());
      return 1;
    }
  }
  std::printf("ready %d\n", client);
  std::fflush(stdout);

  std::int32_t number = 0;
  while (!g_stop) {
    ++number;
    const std::vector<std::uint8_t> sent{tag, static_cast<std::uint8_t>(number >> 8),
                                         static_cast<std::uint8_t>(number)};
    result = tavra->Data_Request(client, 1, static_cast<std::int32_t>(sent.size()), sent.data(), 1,
                                 number);
    if (result != S_OK) {
      return Fail("request " + std::to_string(number) + ": " + std::to_string(result));
    }
    const auto answer = callback->WaitForConfirm(number, kWait);
    if (!answer || answer->result != S_OK || answer->data != sent) {
      return Fail("answer " + std::to_string(number));
    }
    if (number % 10 == 0) {
      std::printf("ok %d\n", number);
      std::fflush(stdout);
    }
  }
  (void)tavra->Client_Remove(client);
  std::printf("done %d\n", number);
  std::fflush(stdout);
  return 0;
}
