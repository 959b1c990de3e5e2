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
#include <fstream>
#include <iostream>

#include "e2e_support.h"

namespace tavra::test {
namespace {

const char kUpdateOk[] = "Opdater Firmware afsluttet med succes\n";
const char kUpdateFailed[] = "Opdater Firmware fejlet !\n";
const char kBackupOk[] = "Backup af  Firmware afsluttet med succes\n";

class Reliability : public EndToEnd {
 protected:
  void SetUp() override { ASSERT_TRUE(m_bus.Ready()); }

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
    return ReadFile(File(name));
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
  EXPECT_EQ(ReadFile(File("back.TVW")), ReadFile(File("noise.TVW")));

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
  EXPECT_EQ(BackupFromStore(store, 2, "check.TVW"), ReadFile(File("small.TVW")));
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
  EXPECT_EQ(ReadFile(File("back.TVW")), ReadFile(File("small.TVW")));
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
  EXPECT_EQ(ReadFile(File("back.TVW")), ReadFile(File("small.TVW")));
}

// The simulator's counter `name` from the line it prints when it stops, -1 when missing.
long SimCounter(const std::string& log, const std::string& name) {
  const auto at = log.find(name + " ");
  return at == std::string::npos ? -1 : std::strtol(log.c_str() + at + name.size(), nullptr, 10);
}

// Busy storms: every second data frame to an entity answered 0xA0, every second transaction
// 0x60. The host backs each off and sends it again (a new send, not a retransmission), so the
// update, the backup and the requests all come through. Back-off times shortened to 100 ms
// (settings file) to keep the run short; the meaning stays.
TEST_F(Reliability, BusyStormsOnEverySecondFrameAndTransactionGiveTheFileSent) {
  const std::filesystem::path settings =
      std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "Norvik as" / "Tavra Server.ini";
  std::filesystem::create_directories(settings.parent_path());
  std::ofstream(settings) << "[General]\nL2_BackoffTime=100\nL4_BackoffTime=100\n";
  MakeFirmware("storm.TVW", {"--rows", "60"});
  auto sim = StartSim(1, {"--busy-every", "2", "--transport-busy-every", "2"});
  auto watch = Watch(1);
  ASSERT_TRUE(SeeLine(*watch, "STATUS_ONLINE"));
  for (const std::string data : {"0a01", "0a02", "0a03"}) {
    const CliRun request = Tavractl({"request", "1", "1", data});
    EXPECT_EQ(request.exitCode, 0) << request.err;
    EXPECT_NE(request.out.find("Answer: 0A 0" + data.substr(3)), std::string::npos) << request.out;
  }
  const CliRun update = Run({"--quiet", "update", File("storm.TVW")});
  EXPECT_EQ(update.exitCode, 0) << update.err;
  const CliRun backup = Run({"--quiet", "backup", File("back.TVW")});
  EXPECT_EQ(backup.exitCode, 0) << backup.err;
  EXPECT_EQ(ReadFile(File("back.TVW")), ReadFile(File("storm.TVW")));

  const std::string status = Status(1);
  sim->Signal(SIGTERM);
  ASSERT_EQ(sim->Wait(std::chrono::milliseconds(kWait)), 0);
  const std::string log = ReadFile(File("sim1.log"));
  std::cout << log;
  // The second of five transaction requests and the fourth were busy: the first request was
  // answered at once, the second and the third after one busy answer each.
  EXPECT_EQ(SimCounter(log, "transport busy answers"), 2) << log;
  // 60 rows in, 60 rows out: well over 120 frames to the firmware entity, half of them busy.
  const long busy = SimCounter(log, "busy answers");
  EXPECT_GE(busy, 60) << log;
  // The host received every busy answer as an acknowledgement, sent each frame again with a
  // new number (never a retransmission) and gave none up.
  EXPECT_EQ(Counter(status, "Retransmissions"), 0) << status;
  EXPECT_EQ(Counter(status, "FramesGivenUp"), 0) << status;
  EXPECT_EQ(SimCounter(log, "retransmissions"), 0) << log;
  const long acks = Counter(status, "AcknowledgementsReceived");
  EXPECT_GE(acks, busy) << status;
  EXPECT_LE(acks, SimCounter(log, "acknowledgements sent")) << status << log;
}

}  // namespace
}  // namespace tavra::test
