// tavra-sim's command line: options into the configuration, where the port is published, and
// clear errors for bad input.

#include "sim/command_line.h"

#include <gtest/gtest.h>

namespace tavra::sim {
namespace {

std::optional<CommandLine> Parse(const std::vector<std::string>& args,
                                 std::string* error = nullptr) {
  std::string ignored;
  return ParseCommandLine(args, error != nullptr ? error : &ignored);
}

TEST(CommandLineTest, DefaultsAreAnOrdinaryController) {
  const std::optional<CommandLine> cl = Parse({});
  ASSERT_TRUE(cl);
  EXPECT_EQ(cl->config.mode, ControllerMode::Normal);
  EXPECT_EQ(cl->config.normalType, 3);
  EXPECT_EQ(cl->config.version, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(cl->config.maxBitRate, 57600);
  EXPECT_TRUE(cl->config.firmware.HasFirmware());
  EXPECT_FALSE(cl->trace);
  EXPECT_EQ(ResolveLinkPath(*cl, "/run/ports"), "/run/ports/COM1");
  EXPECT_EQ(ResolveLinkPath(*cl, ""), "");
}

TEST(CommandLineTest, OptionsReachTheConfiguration) {
  const std::optional<CommandLine> cl = Parse({"--mode",
                                               "boot",
                                               "--type=0",
                                               "--boot-type",
                                               "1",
                                               "--version",
                                               "6.1.0.250",
                                               "--identity-extra",
                                               "0x10",
                                               "--max-rate",
                                               "19200",
                                               "--store",
                                               "s.txt",
                                               "--no-firmware",
                                               "--serial",
                                               "AB-303",
                                               "--answer",
                                               "0A0b",
                                               "--line-timing",
                                               "--garble",
                                               "--delay",
                                               "25",
                                               "--drop-acks",
                                               "2",
                                               "--busy",
                                               "3",
                                               "--transport-busy",
                                               "4",
                                               "--busy-every",
                                               "2",
                                               "--transport-busy-every=3",
                                               "--refuse-block",
                                               "7:9",
                                               "--refuse-block",
                                               "8",
                                               "--refuse-finish",
                                               "5",
                                               "--refuse-header",
                                               "--refuse-upload",
                                               "1",
                                               "--cancel-upload-at",
                                               "2",
                                               "--corrupt",
                                               "0.01:99",
                                               "--pull-cable",
                                               "1.5:2",
                                               "--restart-at",
                                               "10",
                                               "--trace=t.log",
                                               "--port",
                                               "4",
                                               "--retransmission-time",
                                               "200",
                                               "--retransmissions",
                                               "1"});
  ASSERT_TRUE(cl);
  const SimConfig& c = cl->config;
  EXPECT_EQ(c.mode, ControllerMode::BootCode);
  EXPECT_EQ(c.normalType, 0);
  EXPECT_EQ(c.version, (std::array<std::uint8_t, 4>{6, 1, 0, 250}));
  EXPECT_EQ(c.identityExtra, 0x10);
  EXPECT_EQ(c.maxBitRate, 19200);
  EXPECT_EQ(c.storePath, "s.txt");
  EXPECT_FALSE(c.firmware.HasFirmware());
  EXPECT_TRUE(c.firmware.rows.empty());
  EXPECT_EQ(c.firmware.productionData, (std::vector<std::uint8_t>{'A', 'B', '-', '3', '0', '3'}));
  EXPECT_EQ(c.transactionPolicy, TransactionPolicy::Fixed);
  EXPECT_EQ(c.transactionAnswer, (std::vector<std::uint8_t>{0x0A, 0x0B}));
  EXPECT_TRUE(c.emulateLineTiming);
  EXPECT_TRUE(c.garbleOnRateMismatch);
  EXPECT_EQ(c.replyDelayMs, 25);
  EXPECT_EQ(c.retransmissionTimeMs, 200);
  EXPECT_EQ(c.retransmissions, 1);
  EXPECT_EQ(cl->dropAcks, 2);
  EXPECT_EQ(cl->busy, 3);
  EXPECT_EQ(cl->transportBusy, 4);
  EXPECT_EQ(cl->busyEvery, 2);
  EXPECT_EQ(cl->transportBusyEvery, 3);
  EXPECT_EQ(cl->refusedBlocks,
            (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{7, 9}, {8, 1}}));
  EXPECT_EQ(cl->refuseFinish, 5);
  EXPECT_TRUE(cl->refuseHeader);
  EXPECT_EQ(cl->refuseUploads, 1);
  EXPECT_EQ(cl->cancelUploadAt, 2);
  EXPECT_DOUBLE_EQ(cl->corruptProbability, 0.01);
  EXPECT_EQ(cl->corruptSeed, 99u);
  EXPECT_DOUBLE_EQ(*cl->pullCableAt, 1.5);
  EXPECT_DOUBLE_EQ(*cl->pullCableFor, 2.0);
  EXPECT_DOUBLE_EQ(*cl->restartAt, 10.0);
  EXPECT_TRUE(cl->trace);
  EXPECT_EQ(cl->traceFile, "t.log");
  EXPECT_EQ(ResolveLinkPath(*cl, "/p/"), "/p/COM4");
}

TEST(CommandLineTest, PathAndDevice) {
  std::optional<CommandLine> cl = Parse({"/tmp/x/COM2", "--trace"});
  ASSERT_TRUE(cl);
  EXPECT_EQ(ResolveLinkPath(*cl, "/ignored"), "/tmp/x/COM2");
  EXPECT_EQ(cl->traceFile, "");
  cl = Parse({"--device", "/dev/ttyUSB0"});
  ASSERT_TRUE(cl);
  EXPECT_EQ(cl->devicePath, "/dev/ttyUSB0");
}

TEST(CommandLineTest, BadInputIsNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--bogus"}, "unknown option --bogus"},
      {{"--port"}, "--port: needs a COM port number 0..9"},
      {{"--port", "10"}, "--port: needs a COM port number 0..9"},
      {{"--type", "256"}, "--type: needs a number 0..255"},
      {{"--version", "1.2.3"}, "--version: needs four numbers"},
      {{"--version", "1.2.3.4.5"}, "--version: needs four numbers"},
      {{"--mode", "fast"}, "--mode: is 'normal' or 'boot'"},
      {{"--max-rate", "abc"}, "--max-rate: needs a bit rate"},
      {{"--answer", "ABC"}, "--answer: needs hex bytes"},
      {{"--corrupt", "1.5"}, "--corrupt: needs P[:SEED]"},
      {{"--refuse-block", "0"}, "--refuse-block: needs BLOCK[:REASON]"},
      {{"--serial", std::string(257, 'x')}, "--serial: needs a text"},
      {{"a", "b"}, "more than one path given: b"},
      {{"--device", "/dev/ttyS0", "--port", "1"}, "--device serves a real tty"},
  };
  for (const auto& [args, why] : cases) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << why;
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
}

TEST(CommandLineTest, HelpNamesEveryOption) {
  const std::string usage = UsageText();
  for (const char* option : {"--port",
                             "--device",
                             "--mode",
                             "--type",
                             "--boot-type",
                             "--version",
                             "--identity-extra",
                             "--max-rate",
                             "--firmware",
                             "--no-firmware",
                             "--serial",
                             "--no-serial",
                             "--store",
                             "--answer",
                             "--refuse-transactions",
                             "--refuse-connects",
                             "--line-timing",
                             "--garble",
                             "--delay",
                             "--corrupt",
                             "--pull-cable",
                             "--restart-at",
                             "--trace",
                             "--drop-acks",
                             "--busy",
                             "--transport-busy",
                             "--busy-every",
                             "--transport-busy-every",
                             "--refuse-block",
                             "--refuse-finish",
                             "--refuse-header",
                             "--refuse-upload",
                             "--cancel-upload-at",
                             "--retransmission-time",
                             "--retransmissions",
                             "--help"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
  ASSERT_TRUE(Parse({"-h"}));
  EXPECT_TRUE(Parse({"--help"})->help);
}

}  // namespace
}  // namespace tavra::sim
