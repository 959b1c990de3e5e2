// Clients killed at random while 18 are active on one port (the most the link layer has
// addresses for): 18 client processes exchange numbered transactions with the simulator, a
// seeded random seven are killed with SIGKILL. The server frees what they held (their link
// addresses, transactions, connections and client entries), so the client count falls back
// to eleven and seven new clients fit again, and a nineteenth still does not; the survivors'
// exchanges go on with every answer the echo of the request just sent (each client checks its
// own numbers).

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <sstream>

#include "e2e_support.h"

namespace tavra::test {
namespace {

constexpr int kPort = 1;
constexpr int kClients = 18;
constexpr int kKilled = 7;

class KilledClients : public EndToEnd {
 protected:
  void SetUp() override { ASSERT_TRUE(m_bus.Ready()); }

  // Clients with an even tag also hold a connection: nine of the port's ten.
  std::unique_ptr<ChildProcess> StartClient(int tag) {
    std::vector<std::string> args{ECHO_CLIENT_PATH, std::to_string(kPort), std::to_string(tag)};
    if (tag % 2 == 0) {
      args.emplace_back("--connect");
    }
    return std::make_unique<ChildProcess>(
        args, std::map<std::string, std::string>{{"TAVRALINK_PROGRAM", TAVRALINK_PATH}},
        File("client" + std::to_string(tag) + ".err"));
  }

  // Reads the client's lines until one starts with `prefix` (a "bad" line fails at once).
  static std::string LineStarting(ChildProcess& client, const std::string& prefix) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto line = client.ReadLine(std::chrono::milliseconds(kWait));
      if (!line && client.Wait(0ms)) {
        break;  // it ended
      }
      if (line && line->starts_with(prefix)) {
        return *line;
      }
      EXPECT_FALSE(line && line->starts_with("bad")) << *line;
    }
    return "(no " + prefix + "line)";
  }

  // The client count of the port in `tavractl status` (which registers no client); -1: none.
  int Clients() {
    const CliRun status = Tavractl({"status"});
    std::istringstream lines(status.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("COM" + std::to_string(kPort) + " ")) {
        return std::stoi(line.substr(line.find_last_of(' ') + 1));
      }
    }
    return -1;
  }

  // A nineteenth client is refused: the link layer has no address left.
  void ExpectNoRoom() {
    const CliRun extra = Tavractl({"request", std::to_string(kPort), "1", "01"});
    EXPECT_EQ(extra.exitCode, 1);
    EXPECT_NE(extra.err.find("CommandFailed_ClientNotRegistered"), std::string::npos) << extra.err;
  }
};

TEST_F(KilledClients, KilledAtRandomFreeTheirPlacesAndTheOthersKeepTheirOrder) {
  auto sim = StartSim(kPort, {});
  std::vector<std::unique_ptr<ChildProcess>> clients;
  for (int tag = 0; tag < kClients; ++tag) {
    clients.push_back(StartClient(tag));
    if (tag == 0) {  // the first one starts the server
      ASSERT_TRUE(LineStarting(*clients[0], "ready ").starts_with("ready "));
    }
  }
  for (int tag = 1; tag < kClients; ++tag) {
    ASSERT_TRUE(LineStarting(*clients[tag], "ready ").starts_with("ready ")) << tag;
  }
  EXPECT_EQ(Clients(), kClients);
  ExpectNoRoom();
  for (auto& client : clients) {
    EXPECT_TRUE(LineStarting(*client, "ok ").starts_with("ok "));
  }

  std::vector<int> order(kClients);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(20261208));
  const std::vector<int> killed(order.begin(), order.begin() + kKilled);
  // The seed kills connection holders too (even tags): leaked connections would show.
  ASSERT_GE(std::count_if(killed.begin(), killed.end(), [](int k) { return k % 2 == 0; }), 2);
  for (const int k : killed) {
    clients[k]->Signal(SIGKILL);
    EXPECT_EQ(clients[k]->Wait(std::chrono::milliseconds(kWait)), -SIGKILL);
  }
  EXPECT_TRUE(WaitUntil([&] { return Clients() == kClients - kKilled; }, 30s)) << Clients();

  // Their places are free: seven new clients fit, and a nineteenth still does not. Had the
  // killed ones kept their transactions, 18 clients with one each would not find 18 of 20;
  // had they kept their connections, the new ones would not find theirs among the ten.
  for (const int k : killed) {
    clients[k] = StartClient(100 + k);
  }
  for (const int k : killed) {
    EXPECT_TRUE(LineStarting(*clients[k], "ready ").starts_with("ready ")) << k;
  }
  EXPECT_EQ(Clients(), kClients);
  ExpectNoRoom();
  for (const int k : killed) {
    EXPECT_EQ(LineStarting(*clients[k], "ok 20"), "ok 20") << k;
  }

  // Everyone stops cleanly with every answer in order: no "bad" line anywhere.
  for (auto& client : clients) {
    client->Signal(SIGTERM);
  }
  for (int tag = 0; tag < kClients; ++tag) {
    const std::string done = LineStarting(*clients[tag], "done ");
    EXPECT_TRUE(done.starts_with("done ")) << tag << ": " << done;
    EXPECT_EQ(clients[tag]->Wait(std::chrono::milliseconds(kWait)), 0) << tag;
  }
  EXPECT_TRUE(WaitUntil([&] { return Clients() <= 0; }, 30s));
}

}  // namespace
}  // namespace tavra::test
