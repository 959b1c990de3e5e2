// Recorded sessions: link up, a transaction, an update and a backup of a 20-row firmware, the
// link lost when the cable is pulled. Each was recorded once with tavra-sim --trace into
// tests/data/sessions/NAME.trace; here a replayer plays the controller from the trace over a
// pseudo-terminal while the same clients run, and the host's frames must be the recorded ones
// (replay_support.h says what may differ: timestamps and keep-alives in long idle gaps).
//
// TAVRA_RECORD_SESSIONS=1 records the traces anew with tavra-sim instead of comparing (the
// tests then report themselves skipped). A golden trace is regenerated only for a change of
// what the host sends, and the commit says which.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>

#include "e2e_support.h"
#include "replay_support.h"

namespace tavra::test {
namespace {

constexpr int kPort = 1;
const char kNormalMode[] = "(Tavra Windows";

std::filesystem::path SessionFile(const std::string& name) {
  return std::filesystem::path(SESSION_DIR) / name;
}

class RecordedSession : public EndToEnd {
 protected:
  void SetUp() override { ASSERT_TRUE(m_bus.Ready()); }

  // The controller: tavra-sim recording, or the replayer of the golden trace.
  void StartController() {
    if (m_record) {
      m_sim = StartSim(kPort, {"--trace=" + File("trace").string()});
      return;
    }
    std::string error;
    const auto script = ReadTrace(SessionFile(Name() + ".trace"), &error);
    ASSERT_TRUE(script) << error;
    m_replayer = std::make_unique<SessionReplayer>(*script);
    const auto link = m_bus.PortFolder() / ("COM" + std::to_string(kPort));
    std::filesystem::create_directories(link.parent_path());
    ASSERT_TRUE(m_replayer->Start(link.string(), &error)) << error;
  }

  // The replayer falls silent where the trace does.
  void PullCable() {
    if (m_sim) {
      m_sim->Signal(SIGUSR1);
    }
  }

  void FinishController() {
    if (m_record) {
      m_sim->Signal(SIGTERM);
      ASSERT_EQ(m_sim->Wait(std::chrono::milliseconds(kWait)), 0);
      std::ifstream in(File("trace"));
      std::vector<std::string> lines;
      for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
      }
      std::ofstream out(SessionFile(Name() + ".trace"));
      for (const std::string& line : TrimAtGivingUp(lines)) {
        out << line << "\n";
      }
      GTEST_SKIP() << "recorded " << SessionFile(Name() + ".trace");
    }
    ASSERT_TRUE(m_replayer->WaitDone(std::chrono::milliseconds(60s)));
    EXPECT_EQ(m_replayer->Failure(), "");
    std::cout << "extra keep-alives: " << m_replayer->ExtraKeepAlives() << "\n";
  }

  std::unique_ptr<ChildProcess> Watch() {
    auto watch = StartWatch(kPort);
    EXPECT_TRUE(SeeLine(*watch, "STATUS_ONLINE"));
    return watch;
  }

  static std::string Name() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }

  const bool m_record = std::getenv("TAVRA_RECORD_SESSIONS") != nullptr;
  std::unique_ptr<ChildProcess> m_sim;
  std::unique_ptr<SessionReplayer> m_replayer;
};

TEST_F(RecordedSession, TransactionThenCablePulled) {
  StartController();
  auto watch = Watch();
  if (m_replayer) {
    // An idle gap longer than the recording's: the host's keep-alive is answered and the rest
    // of the session is compared with its sequence numbers shifted.
    EXPECT_TRUE(WaitUntil([&] { return m_replayer->ExtraKeepAlives() == 1; }, 30s));
  }
  const CliRun answered = Tavractl({"request", std::to_string(kPort), "1", "0a0b0c"});
  EXPECT_EQ(answered.exitCode, 0) << answered.err;
  EXPECT_EQ(answered.out, "Answer: 0A 0B 0C\n");
  PullCable();
  const CliRun lost = Tavractl({"request", std::to_string(kPort), "1", "0d0e"});
  EXPECT_EQ(lost.exitCode, 1) << lost.out;
  EXPECT_TRUE(SeeLine(*watch, "STATUS_NO_CONNECTION"));
  FinishController();
}

TEST_F(RecordedSession, UpdateThenBackup) {
  StartController();
  auto watch = Watch();
  const std::string firmware = SessionFile("small.TVW").string();
  const CliRun update = Run({"--quiet", "update", firmware});
  EXPECT_EQ(update.exitCode, 0) << update.err;
  // The controller restarts after the update; the host notices it and finds it again.
  EXPECT_TRUE(SeeLine(*watch, kNormalMode));
  const CliRun backup = Run({"--quiet", "backup", File("back.TVW")});
  EXPECT_EQ(backup.exitCode, 0) << backup.err;
  EXPECT_EQ(ReadFile(File("back.TVW")), ReadFile(firmware));
  EXPECT_TRUE(SeeLine(*watch, kNormalMode));
  FinishController();
}

}  // namespace
}  // namespace tavra::test
