// tavraloader-cli against a simulated controller, every part its own process: the CLI reaches
// tavralink (started for it) over a private session bus, tavralink the simulator over a
// pseudo-terminal. The main job and each failure path of the backup and the update end with
// the window's message and the right exit code, and the next command works again.

#include <gtest/gtest.h>
#include <signal.h>

#include "e2e_support.h"

namespace tavra::test {
namespace {

class LoaderCliEndToEnd : public EndToEnd {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_bus.Ready());
    MakeFirmware("small.TVW", {"--rows", "120"});
    MakeFirmware("v4.TVW", {"--rows", "40", "--version", "4.00"});
  }
};

TEST_F(LoaderCliEndToEnd, UpdateThenBackupGivesTheFileSent) {
  auto sim = StartSim(1, {});
  const CliRun update = Run({"update", EXAMPLE_FIRMWARE});
  EXPECT_EQ(update.exitCode, 0) << update.err;
  EXPECT_NE(update.out.find("Opdater Firmware afsluttet med succes\n"), std::string::npos);
  EXPECT_NE(update.out.find("Update: 2000 rows, 41984 bytes"), std::string::npos) << update.out;
  EXPECT_NE(update.err.find("Update: 2000/2000 blocks 100%"), std::string::npos) << update.err;

  const CliRun version = Run({"--json", "version"});
  EXPECT_EQ(version.exitCode, 0) << version.err;
  EXPECT_NE(version.out.find("\"product\":{\"name\":\"Tavra Windows\",\"version\":\"2.10\","
                             "\"country\":\"DK\",\"agent\":\"Norvik as\","
                             "\"date\":\"01-06-2024\"}"),
            std::string::npos)
      << version.out;

  const std::string backupFile = File("backup.TVW").string();
  const CliRun backup = Run({"--quiet", "backup", backupFile});
  EXPECT_EQ(backup.exitCode, 0) << backup.err;
  EXPECT_NE(backup.out.find("Backup af  Firmware afsluttet med succes\n"), std::string::npos);
  EXPECT_EQ(backup.err, "");                                    // --quiet: no progress
  EXPECT_EQ(ReadFile(backupFile), ReadFile(EXAMPLE_FIRMWARE));  // passes its checks: same bytes

  const CliRun status = Run({"status"});
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_NE(status.out.find("Forbindelse til Tavra på COMPORT 1\n"), std::string::npos)
      << status.out;
}

// Each failure path on a simulator of its own (a port of its own), then the next command.
TEST_F(LoaderCliEndToEnd, FailuresEndWithTheWindowsMessageAndTheNextCommandWorks) {
  const std::string small = File("small.TVW").string();
  struct Case {
    int port;
    std::vector<std::string> sim;
    std::vector<std::string> command;
    int exitCode;
    const char* message;
  };
  const std::vector<Case> cases = {
      {2, {"--refuse-block", "7"}, {"update", small}, 1, "Opdater Firmware fejlet !\n"},
      {3, {"--refuse-finish", "4"}, {"update", small}, 1, "Opdater Firmware fejlet !\n"},
      {4, {"--no-firmware"}, {"version"}, 1, "Ingen Firmware i Tavra Controlleren !\n"},
      {4, {}, {"backup", File("none.TVW").string()}, 1, "Firmware header Backup fejlet !\n"},
      {5,
       {},
       {"update", File("v4.TVW").string()},
       1,
       "Det er ikke tilladt at downloade valgte Tavra Firmware fil til Tavra Controlleren !\n"},
      // Without production data the update goes on without the compatibility test.
      {6, {"--no-serial"}, {"update", File("v4.TVW").string()}, 0, "Intet SerieNummer i  Tavra "},
  };
  std::map<int, std::unique_ptr<ChildProcess>> sims;
  for (const Case& c : cases) {
    if (!sims.contains(c.port)) {
      sims[c.port] = StartSim(c.port, c.sim);
    }
    std::vector<std::string> args = {"--port", std::to_string(c.port)};
    args.insert(args.end(), c.command.begin(), c.command.end());
    const CliRun run = Run(args);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.command[0] << " on COM" << c.port << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.command[0] << ": " << run.err;
    EXPECT_FALSE(std::filesystem::exists(File("none.TVW")));
  }
  // The refused ports take the next update.
  for (const int port : {2, 3}) {
    const CliRun again = Run({"--port", std::to_string(port), "update", small});
    EXPECT_EQ(again.exitCode, 1) << "the simulator refuses every time: " << again.err;
  }
  const CliRun again = Run({"--port", "4", "update", small});
  EXPECT_EQ(again.exitCode, 0) << again.err;

  // The server started for the commands ends by its own rules once they are gone.
  EXPECT_TRUE(WaitUntil([&] { return !m_bus.NameHasOwner("dk.norvik.TavraLink"); },
                        std::chrono::milliseconds(30s)));
}

// A controller that falls silent, and a server that is killed, in the middle of an update.
TEST_F(LoaderCliEndToEnd, TransferCutOffMidwayFailsWithinTheTimeOutsAndTheNextCommandWorks) {
  auto sim = StartSim(1, {});
  auto cli = Start({"update", EXAMPLE_FIRMWARE});
  ASSERT_TRUE(WaitForTransfer("Update"));
  sim->Signal(SIGUSR1);  // the cable is pulled
  const auto start = std::chrono::steady_clock::now();
  CliRun silent = Finish(*cli);
  EXPECT_EQ(silent.exitCode, 1);
  EXPECT_NE(silent.err.find("Opdater Firmware fejlet !\n"), std::string::npos) << silent.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(90));
  sim->Signal(SIGUSR1);  // and put back

  const std::string small = File("small.TVW").string();
  auto second = StartSim(2, {});
  cli = Start({"--port", "2", "update", EXAMPLE_FIRMWARE});
  ASSERT_TRUE(WaitForTransfer("Update"));
  ASSERT_TRUE(m_bus.StopServer(SIGKILL));
  CliRun killed = Finish(*cli);
  EXPECT_EQ(killed.exitCode, 1);
  EXPECT_NE(killed.err.find("Opdater Firmware fejlet !\n"), std::string::npos) << killed.err;

  // A new server for the next command; the controller that fell silent takes the update.
  const CliRun again = Run({"update", small});
  EXPECT_EQ(again.exitCode, 0) << again.err;
}

// Ctrl+C during a transfer: the client is removed and the message says what may be left.
TEST_F(LoaderCliEndToEnd, InterruptedUpdateSaysTheFirmwareMayBePartial) {
  auto sim = StartSim(1, {});
  auto cli = Start({"update", EXAMPLE_FIRMWARE});
  ASSERT_TRUE(WaitForTransfer("Update"));
  const auto start = std::chrono::steady_clock::now();
  cli->Signal(SIGINT);
  const CliRun run = Finish(*cli);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("interrupted: the controller may hold a partial firmware"),
            std::string::npos)
      << run.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(Run({"update", File("small.TVW").string()}).exitCode, 0);
}

}  // namespace
}  // namespace tavra::test
