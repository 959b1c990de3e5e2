// Faults on the line and at the controller, end to end (tavraloader-cli, tavralink and
// tavra-sim as processes): a noisy line, a cable pulled and a USB adapter pulled in the middle
// of an update, a controller that restarts during a backup. Nothing reports success with a
// wrong image, every failure ends with the window's message within the link's time-outs, and
// the same server (and the same watching client) takes the next update.
//
// TAVRA_E2E_NOISE_ROWS sets the rows of the noisy update (scripts/soak: the full 2,000).

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <iostream>

#include "e2e_support.h"

namespace tavra::dbus::test {
namespace {

const char kUpdateOk[] = "Opdater Firmware afsluttet med succes\n";
const char kUpdateFailed[] = "Opdater Firmware fejlet !\n";
const char kBackupOk[] = "Backup af  Firmware afsluttet med succes\n";

// The value of counter `name` in tavractl's "status PORT" output, -1 when missing.
long Counter(const std::string& status, const std::string& name) {
  const auto at = status.find("  " + name + " ");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 32, nullptr, 10);
}

class Reliability : public EndToEnd {
 protected:
  void SetUp() override { ASSERT_TRUE(m_bus.Ready()); }

  // A client that stays on the port, so that the server keeps the link and its counters
  // between the commands; its lines show the link going and coming.
  std::unique_ptr<ChildProcess> Watch(int port) {
    auto watch = std::make_unique<ChildProcess>(
        std::vector<std::string>{TAVRACTL_PATH, "watch", std::to_string(port)},
        std::map<std::string, std::string>{{"TAVRALINK_PROGRAM", TAVRALINK_PATH}},
        File("watch.err"));
    const auto first = watch->ReadLine(std::chrono::milliseconds(kWait));
    EXPECT_TRUE(first && first->starts_with("Watching ")) << first.value_or("(nothing)");
    return watch;
  }

  // Reads the watcher's lines until one contains `text`.
  static bool SeeLine(ChildProcess& watch, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto line = watch.ReadLine(std::chrono::milliseconds(kWait));
      if (line && line->find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  std::string Status(int port) {
    const CliRun status = Tavractl({"status", std::to_string(port)});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    std::cout << status.out;  // the counters, for the log
    return status.out;
  }

  // What a clean controller with the store holds, read back by a backup.
  std::string BackupFromStore(const std::string& store, int port, const std::string& name) {
    auto clean = StartSim(port, {"--store", store});
    const CliRun backup = Run({"--port", std::to_string(port), "--quiet", "backup", File(name)});
    EXPECT_EQ(backup.exitCode, 0) << backup.err;
    return ReadText(File(name));
  }
};

TEST_F(Reliability, NoisyLineUpdateAndBackupGiveTheFileSent) {
  const char* rows = std::getenv("TAVRA_E2E_NOISE_ROWS");
  MakeFirmware("noise.TVW", {"--rows", rows != nullptr ? rows : "150"});
  auto sim = StartSim(1, {"--corrupt", "1e-3:11"});
  auto watch = Watch(1);
  const CliRun update = Run({"--quiet", "update", File("noise.TVW")});
  EXPECT_EQ(update.exitCode, 0) << update.err;
  EXPECT_NE(update.out.find(kUpdateOk), std::string::npos) << update.out;
  const CliRun backup = Run({"--quiet", "backup", File("back.TVW")});
  EXPECT_EQ(backup.exitCode, 0) << backup.err;
  EXPECT_NE(backup.out.find(kBackupOk), std::string::npos) << backup.out;
  EXPECT_EQ(ReadText(File("back.TVW")), ReadText(File("noise.TVW")));

  // The noise shows in the counters: frames sent again, check bytes that did not match.
  const std::string status = Status(1);
  const long resent = Counter(status, "Retransmissions");
  const long badCheck = Counter(status, "DataFramesBadCheck");
  const long badAckCheck = Counter(status, "AcknowledgementsBadCheck");
  EXPECT_GE(resent, 0) << status;
  EXPECT_GE(badCheck, 0) << status;
  EXPECT_GT(resent + badCheck + badAckCheck, 0) << status;
  EXPECT_EQ(Counter(status, "FramesGivenUp"), 0) << status;  // noise, not a lost link
}

// Ten times the noise: the update may fail, but it never reports success for an image that the
// controller does not hold; the controller's store, read back over a clean line, decides.
// Disabled while an open fault stands: when a step after the last block fails on this line
// (seed 5, 40 rows), tavraloader-cli ends with exit code 1 and no message at all.
TEST_F(Reliability, HeavyNoiseFailsClearlyOrGivesTheFileSent) {
  MakeFirmware("small.TVW", {"--rows", "40"});
  const std::string store = File("flash.txt").string();
  {
    auto sim = StartSim(1, {"--corrupt", "1e-2:5", "--store", store});
    const CliRun update = Run({"--quiet", "update", File("small.TVW")});
    if (update.exitCode != 0) {
      EXPECT_EQ(update.exitCode, 1);
      EXPECT_NE(update.err.find(kUpdateFailed), std::string::npos)
          << "out: " << update.out << "err: " << update.err;
      return;
    }
    EXPECT_NE(update.out.find(kUpdateOk), std::string::npos) << update.out;
  }
  EXPECT_EQ(BackupFromStore(store, 2, "check.TVW"), ReadText(File("small.TVW")));
}

// The cable pulled during an update and put back; then the USB adapter pulled (the pseudo-
// terminal goes away) and plugged in again. The update fails with its message, the watching
// client sees the link go and come back, and the same server takes the next update.
TEST_F(Reliability, PulledCableAndAdapterFailTheUpdateAndTheSameServerTakesTheNext) {
  MakeFirmware("small.TVW", {"--rows", "120"});
  const std::string store = File("flash.txt").string();
  auto sim = StartSim(1, {"--store", store});
  auto watch = Watch(1);
  ASSERT_TRUE(SeeLine(*watch, "STATUS_ONLINE"));
  const pid_t server = m_bus.ProcessOf("dk.norvik.TavraLink");
  ASSERT_GT(server, 0);

  for (const bool adapter : {false, true}) {
    SCOPED_TRACE(adapter ? "adapter pulled" : "cable pulled");
    auto cli = Start({"update", EXAMPLE_FIRMWARE});
    ASSERT_TRUE(WaitForTransfer("Update"));
    const auto start = std::chrono::steady_clock::now();
    if (adapter) {
      sim.reset();  // the pseudo-terminal is closed and its link removed
    } else {
      sim->Signal(SIGUSR1);
    }
    const CliRun failed = Finish(*cli);
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.err.find(kUpdateFailed), std::string::npos) << failed.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(90));
    EXPECT_TRUE(SeeLine(*watch, "STATUS_NO_CONNECTION"));
    if (adapter) {
      sim = StartSim(1, {"--store", store});
    } else {
      sim->Signal(SIGUSR1);
    }
    EXPECT_TRUE(SeeLine(*watch, "STATUS_ONLINE"));

    const CliRun again = Run({"--quiet", "update", File("small.TVW")});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(m_bus.ProcessOf("dk.norvik.TavraLink"), server);
  }
  const CliRun backup = Run({"--quiet", "backup", File("back.TVW")});
  EXPECT_EQ(backup.exitCode, 0) << backup.err;
  EXPECT_EQ(ReadText(File("back.TVW")), ReadText(File("small.TVW")));
  EXPECT_GE(Counter(Status(1), "LinkEstablishments"), 3);
}

// The controller restarts during a backup: the backup fails with its message and writes no
// file; the next backup gives the file sent.
TEST_F(Reliability, ControllerRestartDuringBackupFailsItAndTheNextBackupWorks) {
  MakeFirmware("small.TVW", {"--rows", "400"});
  auto sim = StartSim(1, {});
  ASSERT_EQ(Run({"--quiet", "update", File("small.TVW")}).exitCode, 0);
  auto cli = Start({"backup", File("cut.TVW")});
  ASSERT_TRUE(WaitForTransfer("Backup"));
  sim->Signal(SIGUSR2);
  const CliRun cut = Finish(*cli);
  EXPECT_EQ(cut.exitCode, 1) << cut.err;
  EXPECT_NE(cut.err.find("fejlet"), std::string::npos) << cut.err;
  EXPECT_FALSE(std::filesystem::exists(File("cut.TVW")));

  const CliRun backup = Run({"--quiet", "backup", File("back.TVW")});
  EXPECT_EQ(backup.exitCode, 0) << backup.err;
  EXPECT_EQ(ReadText(File("back.TVW")), ReadText(File("small.TVW")));
}

}  // namespace
}  // namespace tavra::dbus::test
