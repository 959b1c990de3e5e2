// tavraloader-cli as a user runs it: the built program, its output and its exit codes.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "firmware_file_support.h"
#include "tests/common/child_process.h"
#include "tests/common/file_contents.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"
#include "tests/common/wait_until.h"

namespace tavra::loader {
namespace {

using tavra::test::ChildProcess;
using tavra::test::kWait;
using tavra::test::ReadFile;
using tavra::test::ScopedEnv;
using tavra::test::TempDir;
using tavra::test::WriteFile;

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class LoaderCli : public ::testing::Test {
 protected:
  Outcome Run(std::vector<std::string> args) {
    args.insert(args.begin(), TAVRALOADER_CLI);
    const std::filesystem::path errPath = m_dir / "stderr";
    std::filesystem::remove(errPath);  // the child appends to it
    Outcome outcome;
    ChildProcess child(args, {}, errPath, 1, m_dir.Path());
    EXPECT_TRUE(child.Started());
    if (!child.Started()) {
      return outcome;
    }
    outcome.out = child.ReadAll(kWait);
    const std::optional<int> exitCode = child.Wait(kWait);
    EXPECT_TRUE(exitCode.has_value());
    outcome.exitCode = exitCode.value_or(-1) >= 0 ? *exitCode : -1;  // -1: ended by a signal
    outcome.err = ReadFile(errPath);
    return outcome;
  }

  void Write(const std::string& name, const std::string& text) { WriteFile(m_dir / name, text); }

  TempDir m_dir;
};

TEST_F(LoaderCli, CheckPassesDemoFile) {
  Write("demo.tvw", test::DemoFile());
  const Outcome run = Run({"check", "demo.tvw"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Demo\n2.05  DK\nTest\n01-02-2003\nOK\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(LoaderCli, CheckRefusesChangedFile) {
  std::vector<std::string> lines = test::DemoLines();
  lines[3] = "Country=\xC3\x98K";  // UTF-8 text is kept byte for byte
  Write("changed.tvw", test::JoinCrLf(lines));
  const Outcome run = Run({"check", "changed.tvw"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "Demo\n2.05  \xC3\x98K\nTest\n01-02-2003\nForkert checksum i fil !\n");
  EXPECT_NE(run.err.find("header checksum"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("record checksum"), std::string::npos) << run.err;
}

TEST_F(LoaderCli, CheckRefusesMissingAndUnloadableFiles) {
  const Outcome missing = Run({"check", "missing.tvw"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "Forkert checksum i fil !\n");
  EXPECT_NE(missing.err.find("missing.tvw: cannot open the file"), std::string::npos);

  std::vector<std::string> lines = test::DemoLines();
  lines[10] = ":0400000001020304F1";
  lines[11] = ":00000001FG";  // the same record sum, but not hexadecimal
  Write("nothex.tvw", test::JoinCrLf(lines));
  const Outcome notHex = Run({"check", "nothex.tvw"});
  EXPECT_EQ(notHex.exitCode, 1);
  EXPECT_NE(notHex.out.find("Forkert checksum i fil !"), std::string::npos);
  EXPECT_NE(notHex.err.find("line 12: record line has a character that is not a hex digit"),
            std::string::npos)
      << notHex.err;
}

TEST_F(LoaderCli, InfoShowsChecksumsRowsAndHeaderSize) {
  Write("demo.tvw", test::DemoFile());
  const Outcome run = Run({"info", "demo.tvw"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "File:               demo.tvw\n"
            "Name:               Demo\n"
            "Version:            2.05\n"
            "Country:            DK\n"
            "Agent:              Test\n"
            "Date:               01-02-2003\n"
            "FileHeaderChecksum: stored 6340, computed 6340, match\n"
            "FirmwareChecksum:   stored 1589, computed 1589, match\n"
            "Rows:               2\n"
            "Header:             145 bytes\n"
            "Open check:         passed\n");
}

TEST_F(LoaderCli, InfoReportsStoredValuesAsRead) {
  std::vector<std::string> lines = test::DemoLines();
  lines[8] = "FileHeaderChecksum=71876";  // low 16 bits 6340
  lines.erase(lines.begin() + 9);         // no FirmwareChecksum
  Write("odd.tvw", test::JoinCrLf(lines));
  const Outcome run = Run({"info", "odd.tvw"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("FileHeaderChecksum: stored 71876 (low 16 bits 6340), computed 6340, "
                         "match\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("FirmwareChecksum:   stored none (65535 used), computed 1589, MISMATCH\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Open check:         failed\n"), std::string::npos);

  Write("long.tvw", test::DemoFile() + ":" + std::string(200, '0') + "\r\n");
  const Outcome tooLong = Run({"info", "long.tvw"});
  EXPECT_EQ(tooLong.exitCode, 0);
  EXPECT_NE(tooLong.out.find("Loadable:           no, line 13: line is longer than 199"),
            std::string::npos)
      << tooLong.out;

  EXPECT_EQ(Run({"info", "missing.tvw"}).exitCode, 1);
}

TEST_F(LoaderCli, LangChoosesTheLanguageOfTheMessages) {
  const Outcome english = Run({"check", "missing.tvw", "--lang", "english"});
  EXPECT_EQ(english.exitCode, 1);
  EXPECT_EQ(english.out, "Wrong checksum in the file!\n");
  const Outcome german = Run({"--lang=German", "check", "missing.tvw"});
  EXPECT_EQ(german.out,
            "Falsche Pr\xC3\xBC"
            "fsumme in der Datei!\n");
  const Outcome french = Run({"check", "missing.tvw", "--lang", "FRENCH"});
  EXPECT_EQ(french.exitCode, 2);
  EXPECT_NE(french.err.find("--lang takes DANISH, ENGLISH or GERMAN"), std::string::npos);
}

TEST_F(LoaderCli, HistoryShowsTheStoredRecordsAndSkipsABrokenLine) {
  const std::string line =
      "{\"time\":\"2024-06-01T12:34:56Z\",\"port\":3,\"action\":\"update\",\"controller\":"
      "\"Demo\",\"versionBefore\":\"2.05  DK\",\"versionAfter\":\"3.00  DK\",\"file\":"
      "\"/x/new.TVW\",\"headerChecksum\":7650,\"firmwareChecksum\":20014,\"result\":\"ok\","
      "\"message\":\"IDS_MB_5_TEXT\",\"seconds\":12.250}";
  std::filesystem::create_directories(m_dir / "state/tavra");
  WriteFile(m_dir / "state/tavra/history.jsonl", line + "\n{\"time\":\"2024-06\n");
  const ScopedEnv stateHome("XDG_STATE_HOME", (m_dir / "state").string());
  const Outcome json = Run({"history", "--json"});
  const Outcome plain = Run({"history"});
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_EQ(json.out, line + "\n");
  EXPECT_EQ(plain.out,
            "2024-06-01T12:34:56Z  COM3  update  ok           12.2 s  Demo 2.05  DK -> 3.00  DK\n"
            "    /x/new.TVW (header 7650, firmware 20014)\n");
}

TEST_F(LoaderCli, HelpAndUsageErrors) {
  const Outcome help = Run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Usage: tavraloader-cli COMMAND"), std::string::npos);
  EXPECT_NE(help.out.find("  check FILE"), std::string::npos);
  EXPECT_NE(help.out.find("  info FILE"), std::string::npos);
  EXPECT_EQ(Run({"-h"}).out, help.out);
  EXPECT_EQ(Run({"help"}).out, help.out);

  const Outcome commandHelp = Run({"check", "--help"});
  EXPECT_EQ(commandHelp.exitCode, 0);
  EXPECT_NE(commandHelp.out.find("Usage: tavraloader-cli check FILE"), std::string::npos);

  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::vector<Case> usage = {
      {{}, "no command given"},
      {{"flash", "a.tvw"}, "unknown command 'flash'"},
      {{"check"}, "check: expected FILE"},
      {{"info", "a.tvw", "b.tvw"}, "info: expected FILE"},
      {{"check", "--verbose", "a.tvw"}, "check: unknown option '--verbose'"},
  };
  for (const Case& c : usage) {
    const Outcome run = Run(c.args);
    EXPECT_EQ(run.exitCode, 2) << c.message;
    EXPECT_EQ(run.out, "") << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Try 'tavraloader-cli --help'."), std::string::npos);
  }
}

TEST_F(LoaderCli, DoubleDashAllowsFileNamesThatStartWithDash) {
  Write("-demo.tvw", test::DemoFile());
  const Outcome run = Run({"check", "--", "-demo.tvw"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("OK\n"), std::string::npos);
}

}  // namespace
}  // namespace tavra::loader
