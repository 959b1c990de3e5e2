// tavractl as a person runs it: the built program against the real server and the simulated
// controller, its exact output lines and its exit codes.

#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>

#include "proxy_support.h"
#include "sim/simulated_controller.h"

namespace tavra::dbus::test {
namespace {

using tavra::test::ChildProcess;
using tavra::test::kWait;
using tavra::test::ProgramOutcome;
using tavra::test::TestBus;

const std::string kTavractl = TAVRACTL_PATH;

bool IsOnline(const CallbackEvent& e) {
  return e.values.at(0) == STATUS_ONLINE;
}

// "  <name>   <digits>"
bool IsCounterLine(const std::string& line, const std::string& name) {
  const std::string head = "  " + name + " ";
  if (line.rfind(head, 0) != 0) {
    return false;
  }
  std::size_t i = head.size();
  while (i < line.size() && line[i] == ' ') {
    ++i;
  }
  if (i == line.size()) {
    return false;
  }
  for (; i < line.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(line[i])) == 0) {
      return false;
    }
  }
  return true;
}

// The link address in "Watching COM3 as client N (link address 0xHH); Ctrl+C ends.", or 0.
std::uint8_t WatchedAddress(const std::string& header) {
  const std::string head = "Watching COM3 as client ";
  const std::string tail = "); Ctrl+C ends.";
  const std::size_t open = header.find(" (link address 0x");
  if (header.rfind(head, 0) != 0 || open == std::string::npos ||
      header.size() != open + 17 + 2 + tail.size() || header.substr(open + 19) != tail) {
    return 0;
  }
  return static_cast<std::uint8_t>(std::stoi(header.substr(open + 17, 2), nullptr, 16));
}

// The server serves COM3 with the simulated controller on it; this test holds one client.
class ProxyTavractl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_bus.Ready());
    std::string error;
    ASSERT_TRUE(m_sim.StartPseudoTerminal((m_bus.PortFolder() / "COM3").string(), &error)) << error;
    ASSERT_EQ(ConnectTavraPool(OptionsFor(m_bus), m_pool, &error), S_OK) << error;
    ASSERT_EQ(m_pool->GetTavraInterface(3, 0, m_tavra), S_OK);
    ASSERT_EQ(m_tavra->Client_Add(m_callback, m_client), S_OK);
    ASSERT_TRUE(m_callback->WaitFor("Management_Indication", IsOnline, 20s));
  }

  ProgramOutcome Tavractl(std::vector<std::string> args) {
    args.insert(args.begin(), kTavractl);
    return m_bus.Run(args);
  }

  TestBus m_bus{false};
  sim::SimulatedController m_sim;
  std::shared_ptr<RecordingCallback> m_callback = std::make_shared<RecordingCallback>();
  std::shared_ptr<TavraPoolProxy> m_pool;
  std::shared_ptr<ITavra> m_tavra;
  std::int32_t m_client = -1;
};

TEST_F(ProxyTavractl, StatusListsThePortsInUse) {
  const ProgramOutcome status = Tavractl({"status"});
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_EQ(status.out, (std::vector<std::string>{"PORT  LINK  CONTROLLER     VERSION   CLIENTS",
                                                  "COM3  up    Tavra Windows  1.2.3.4   1"}));
  EXPECT_EQ(status.err, "");
}

TEST_F(ProxyTavractl, StatusOfOnePortShowsTheLinkCountersByName) {
  const ProgramOutcome status = Tavractl({"status", "3"});
  EXPECT_EQ(status.exitCode, 0) << status.err;
  ASSERT_EQ(status.out.size(), 3u + 18u);
  EXPECT_EQ(status.out[0], "COM3: in use, link up, 1 client");
  EXPECT_EQ(status.out[1], "Controller: Tavra Windows 1.2.3.4 (identity 03 01 02 03 04 00)");
  EXPECT_EQ(status.out[2], "Link status block:");
  EXPECT_EQ(status.out[3], "  LinkUp                        1");
  EXPECT_EQ(status.out[4], "  ControllerType                3");
  EXPECT_EQ(status.out[5], "  LinkEstablishments            1");
  EXPECT_EQ(status.out[14], "  Unused                        0");
  EXPECT_EQ(status.out[17], "  BitRate                       57600");
  const std::vector<std::string> names = {"LinkUp",
                                          "ControllerType",
                                          "LinkEstablishments",
                                          "Retransmissions",
                                          "FramesGivenUp",
                                          "RepeatedDataFrames",
                                          "AcknowledgementsReceived",
                                          "AcknowledgementsBadCheck",
                                          "AcknowledgementsInsideData",
                                          "DataFramesAccepted",
                                          "DataFramesNoDestination",
                                          "Unused",
                                          "DataFramesTooLong",
                                          "DataFramesBadCheck",
                                          "BitRate",
                                          "MoreThanOneRetransmission",
                                          "MoreThanTwoRetransmissions",
                                          "MoreThanThreeRetransmissions"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_TRUE(IsCounterLine(status.out[3 + i], names[i])) << status.out[3 + i];
  }
  // tavractl's own client is gone again.
  std::vector<PortStatus> ports;
  ASSERT_EQ(m_pool->GetPortTable(ports), S_OK);
  EXPECT_EQ(ports.at(3).clientCount, 1);

  const ProgramOutcome unused = Tavractl({"status", "2"});
  EXPECT_EQ(unused.exitCode, 0);
  EXPECT_EQ(unused.out, (std::vector<std::string>{"COM2: not in use"}));
  ASSERT_EQ(m_pool->GetPortTable(ports), S_OK);
  EXPECT_FALSE(ports.at(2).inUse);
}

TEST_F(ProxyTavractl, SendPrintsTheConfirmResultByName) {
  const ProgramOutcome sent = Tavractl({"send", "3", "1", "01 02:ff"});
  EXPECT_EQ(sent.exitCode, 0) << sent.err;
  EXPECT_EQ(sent.out, (std::vector<std::string>{"Data_Confirm: S_OK"}));
  EXPECT_TRUE(m_sim.WaitUntil(
      [&] {
        const std::vector<sim::ObservedFrame> frames = m_sim.FramesReceived();
        return !frames.empty() && frames.back().destination == 0x21 &&
               frames.back().data == Bytes({1, 2, 0xFF});
      },
      kWait));

  const ProgramOutcome rejected = Tavractl({"send", "3", "0x10", "01"});
  EXPECT_EQ(rejected.exitCode, 1);
  EXPECT_EQ(rejected.out,
            (std::vector<std::string>{"Data_Confirm: CommandFailed_Rejected (0x22000006)"}));

  const ProgramOutcome noPort = Tavractl({"send", "5", "1", "01"});
  EXPECT_EQ(noPort.exitCode, 1);
  EXPECT_TRUE(noPort.out.empty());
  EXPECT_EQ(noPort.err, "tavractl: COM5: CommandFailed_PortNotFound (0x21000002)\n");
}

TEST_F(ProxyTavractl, RequestPrintsTheAnswerOrTheConfirmResult) {
  const ProgramOutcome answered = Tavractl({"request", "3", "1", "0a0B"});
  EXPECT_EQ(answered.exitCode, 0) << answered.err;
  EXPECT_EQ(answered.out, (std::vector<std::string>{"Answer: 0A 0B"}));

  m_sim.SetTransactionPolicy(sim::TransactionPolicy::Refuse);
  const ProgramOutcome refused = Tavractl({"request", "3", "1", "0a0b"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.out,
            (std::vector<std::string>{"Data_Confirm: CommandFailed_Rejected (0x22000006)"}));
}

TEST_F(ProxyTavractl, WatchPrintsEveryIndicationUntilStopped) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    ChildProcess watch({kTavractl, "watch", "3"}, {}, m_bus.Dir() / "watch-stderr");
    ASSERT_TRUE(watch.Started());
    const std::optional<std::string> header = watch.ReadLine(kWait);
    ASSERT_TRUE(header);
    const std::uint8_t address = WatchedAddress(*header);
    ASSERT_GE(address, 0x40) << *header;
    EXPECT_EQ(watch.ReadLine(kWait),
              "Management_Indication P_Type=STATUS_ONLINE P_Subtype=1 "
              "P_Data=03 01 02 03 04 00 (Tavra Windows 1.2.3.4)");

    m_sim.SendFrame(address, 0x23, Bytes({0x01, 0xA2}));
    EXPECT_EQ(watch.ReadLine(kWait),
              "Data_Indication P_TxId=3 P_L7ResponseRequired=0 P_ResponseId=0 P_Data=01 A2");
    m_sim.SendFrame(address, 0x22, {});
    EXPECT_EQ(watch.ReadLine(kWait),
              "Data_Indication P_TxId=2 P_L7ResponseRequired=0 P_ResponseId=0 P_Data=");

    watch.Signal(signal);
    EXPECT_EQ(watch.ReadLine(kWait), "Stopped.");
    EXPECT_EQ(watch.Wait(kWait), 0);
    std::vector<PortStatus> ports;
    ASSERT_EQ(m_pool->GetPortTable(ports), S_OK);
    EXPECT_EQ(ports.at(3).clientCount, 1);
  }
}

TEST_F(ProxyTavractl, WatchEndsWhenTheServerEnds) {
  ChildProcess watch({kTavractl, "watch", "3"}, {}, m_bus.Dir() / "watch-stderr");
  ASSERT_TRUE(watch.Started());
  ASSERT_TRUE(watch.ReadLine(kWait));
  ASSERT_TRUE(m_bus.StopServer(SIGTERM));
  EXPECT_EQ(watch.Wait(kWait), 1);
}

struct UsageCase {
  std::vector<std::string> args;
  std::string message;
};

TEST(ProxyTavractlUsage, WrongUsageExitsWithTwo) {
  const std::vector<UsageCase> cases = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"status", "-v"}, "unknown option '-v'"},
      {{"status", "10"}, "'10' is not a COM port number 0..9"},
      {{"status", "1", "2"}, "status takes at most one argument: PORT"},
      {{"watch"}, "watch takes one argument: PORT"},
      {{"send", "3", "1"}, "send takes three arguments: PORT RXID HEX"},
      {{"send", "3", "224", "01"}, "'224' is not an entity number 0..223"},
      {{"request", "3", "0x1", "012"}, "'012' is not bytes in hex digits"},
      {{"request", "3", "1", "0 1"}, "'0 1' is not bytes in hex digits"},
      {{"send", "x", "1", "01"}, "'x' is not a COM port number 0..9"},
  };
  TestBus bus(false);
  for (const UsageCase& c : cases) {
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), kTavractl);
    const ProgramOutcome outcome = bus.Run(argv);
    EXPECT_EQ(outcome.exitCode, 2) << c.message;
    EXPECT_EQ(outcome.err, "tavractl: " + c.message + "\nTry 'tavractl --help'.\n");
    EXPECT_TRUE(outcome.out.empty());
  }
  const ProgramOutcome help = bus.Run({kTavractl, "send", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  ASSERT_FALSE(help.out.empty());
  EXPECT_EQ(help.out.front(), "Usage: tavractl COMMAND [ARGUMENTS]");
  EXPECT_FALSE(bus.NameHasOwner("dk.norvik.TavraLink"));
}

TEST(ProxyTavractlStart, StatusNeverStartsButSendStartsTheServerBesideIt) {
  TestBus bus(false);
  ASSERT_TRUE(bus.Ready());
  const ProgramOutcome status = bus.Run({kTavractl, "status"});
  EXPECT_EQ(status.exitCode, 1);
  EXPECT_EQ(status.out, (std::vector<std::string>{"TavraLink is not running."}));
  EXPECT_FALSE(bus.NameHasOwner("dk.norvik.TavraLink"));

  sim::SimulatedController sim;
  std::string error;
  ASSERT_TRUE(sim.StartPseudoTerminal((bus.PortFolder() / "COM4").string(), &error)) << error;
  // tavractl and tavralink side by side, as installed.
  const std::filesystem::path bin = bus.Dir() / "bin";
  std::filesystem::create_directories(bin);
  std::error_code linkError;
  std::filesystem::create_hard_link(kTavractl, bin / "tavractl", linkError);
  if (linkError) {
    std::filesystem::copy_file(kTavractl, bin / "tavractl");
  }
  std::filesystem::create_symlink(TAVRALINK_PATH, bin / "tavralink");
  const ProgramOutcome sent = bus.Run({(bin / "tavractl").string(), "send", "4", "1", "7f"});
  EXPECT_EQ(sent.exitCode, 0) << sent.err;
  EXPECT_EQ(sent.out, (std::vector<std::string>{"Data_Confirm: S_OK"}));
  EXPECT_TRUE(bus.NameHasOwner("dk.norvik.TavraLink"));
}

}  // namespace
}  // namespace tavra::dbus::test
