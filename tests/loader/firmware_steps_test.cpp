// The firmware steps against a scripted controller: what is sent, which box is shown, and what
// happens to the files involved.

#include "loader/app/firmware_steps.h"

#include <gtest/gtest.h>

#include "firmware_file_support.h"
#include "link_fakes_support.h"
#include "loader/app/history_file.h"
#include "tests/common/file_contents.h"
#include "tests/common/temp_dir.h"

namespace tavra::loader::test {
namespace {

using tavra::test::ReadFile;
using tavra::test::TempDir;
using tavra::test::WriteFile;

// A boot code without a serial number that acknowledges every download message.
std::vector<Bytes> AcceptAll(const Bytes& m) {
  switch (m[0]) {
    case PDUploadREQ: return {{PDUpload_NAK}};
    case FWDownload_CMD: return {{FWDownload_ACK}};
    case FWDownloadBlock_CMD: return {{FWDownloadBlock_ACK}};
    case FWDownloadFinished_CMD: return {{FWDownloadFinished_ACK}};
    case FWHDownload_CMD: return {{FWHDownload_ACK}};
    case FWHUploadREQ: return {{FWHUpload_ACK, 'H', '\r', '\n'}};
    case FWUpload_CMD: return {{FWUpload_NAK, 1}};
    default: return {};
  }
}

TEST(FirmwareSteps, UpdateSendsOnlyAFileThatWasAcceptedAndStillLoads) {
  TempDir dir;
  FakeLink link;
  link.tavra.replies = AcceptAll;
  FirmwareSteps steps(link.connection, link.boxes);

  EXPECT_EQ(steps.Update(nullptr), StepResult::Cancelled);  // no file chosen yet
  EXPECT_EQ(link.boxes.shown, std::vector<std::string>{"IDS_MB_3_TEXT"});
  EXPECT_TRUE(link.tavra.sent.empty());

  WriteFile(dir / "good.TVW", DemoFile());
  ASSERT_TRUE(steps.AcceptFirmwareFile(dir / "good.TVW"));
  auto bad = DemoLines();
  bad[9] = "FirmwareChecksum=1";
  WriteFile(dir / "bad.TVW", JoinCrLf(bad));
  EXPECT_FALSE(steps.AcceptFirmwareFile(dir / "bad.TVW"));
  EXPECT_EQ(steps.SelectedFirmwareFile(), dir / "good.TVW");  // the earlier choice stays

  // Without production data the update goes on without the compatibility test.
  link.boxes.shown.clear();
  RecordingProgress progress;
  EXPECT_EQ(steps.Update(&progress), StepResult::Done);
  const std::vector<std::string> boxes{"IDS_MB_27_TEXT", "IDS_MB_5_TEXT"};
  EXPECT_EQ(link.boxes.shown, boxes);
  EXPECT_EQ(link.tavra.sent.size(), 6u);  // request, start, 2 rows, finish, header
  EXPECT_EQ(progress.position, 2);

  // A refused header is said, not left to silence.
  link.tavra.replies = [](const Bytes& m) {
    return m[0] == FWHDownload_CMD ? std::vector<Bytes>{{FWHDownload_NAK}} : AcceptAll(m);
  };
  link.boxes.shown.clear();
  EXPECT_EQ(steps.Update(nullptr), StepResult::HeaderRefused);
  EXPECT_EQ(link.boxes.shown, (std::vector<std::string>{"IDS_MB_27_TEXT", "IDS_MB_4_TEXT"}));
  link.tavra.replies = AcceptAll;

  // The accepted file changed into one that no longer loads: nothing is sent.
  auto broken = DemoLines();
  broken[10] = ":04000000010203XY";
  WriteFile(dir / "good.TVW", JoinCrLf(broken));
  link.boxes.shown.clear();
  link.tavra.sent.clear();
  EXPECT_EQ(steps.Update(nullptr), StepResult::Failed);
  EXPECT_EQ(link.boxes.shown, (std::vector<std::string>{"IDS_MB_27_TEXT", "IDS_MB_4_TEXT"}));
  EXPECT_EQ(link.tavra.sent, std::vector<Bytes>{{PDUploadREQ}});
}

TEST(FirmwareSteps, FailedBackupLeavesTheEarlierFileAsItWas) {
  TempDir dir;
  FakeLink link;
  link.tavra.replies = AcceptAll;  // the upload itself is refused
  FirmwareSteps steps(link.connection, link.boxes);
  WriteFile(dir / "backup.TVW", "earlier backup");
  EXPECT_EQ(steps.Backup(dir / "backup.TVW", nullptr), StepResult::Failed);
  EXPECT_EQ(link.boxes.shown, std::vector<std::string>{"IDS_MB_7_TEXT"});
  EXPECT_EQ(ReadFile(dir / "backup.TVW"), "earlier backup");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
  EXPECT_EQ(steps.Backup({}, nullptr), StepResult::Cancelled);
}

// Counts the locks it hands out that are still held.
struct CountingInhibitor final : TransferInhibitor {
  struct Lock final : InhibitLock {
    explicit Lock(int& counter) : count(counter) { ++count; }
    ~Lock() override { --count; }
    int& count;
  };
  std::unique_ptr<InhibitLock> Acquire(const std::string& reason, std::string& whyNot) override {
    reasons.push_back(reason);
    if (refuse) {
      whyNot = "no logind";
      return nullptr;
    }
    return std::make_unique<Lock>(held);
  }
  std::vector<std::string> reasons;
  int held = 0;
  bool refuse = false;
};

// Notes whether the lock was held each time the bar moved.
struct LockWatchingProgress final : Progress {
  explicit LockWatchingProgress(const CountingInhibitor& watched) : inhibitor(watched) {}
  void SetMaximum(int) override {}
  void SetPosition(int) override { heldAtEveryStep = heldAtEveryStep && inhibitor.held == 1; }
  const CountingInhibitor& inhibitor;
  bool heldAtEveryStep = true;
};

TEST(FirmwareSteps, UpdateAndBackupHoldTheDesktopLockForTheirTransferOnly) {
  TempDir dir;
  FakeLink link;
  link.tavra.replies = AcceptAll;
  FirmwareSteps steps(link.connection, link.boxes);
  CountingInhibitor inhibitor;
  steps.SetInhibitor(&inhibitor);
  WriteFile(dir / "good.TVW", DemoFile());
  ASSERT_TRUE(steps.AcceptFirmwareFile(dir / "good.TVW"));

  LockWatchingProgress progress(inhibitor);
  EXPECT_EQ(steps.Update(&progress), StepResult::Done);
  EXPECT_TRUE(progress.heldAtEveryStep);
  EXPECT_EQ(inhibitor.held, 0);
  EXPECT_EQ(steps.Backup(dir / "backup.TVW", nullptr), StepResult::Failed);  // upload refused
  EXPECT_EQ(inhibitor.held, 0);
  EXPECT_EQ(inhibitor.reasons,
            (std::vector<std::string>{"Updating controller firmware on COM1",
                                      "Backing up controller firmware on COM1"}));

  inhibitor.refuse = true;  // no logind: the update goes on and the debug log says so
  EXPECT_EQ(steps.Update(nullptr), StepResult::Done);
  EXPECT_EQ(
      link.log.Count("No inhibitor lock, the desktop may suspend during the transfer: no logind"),
      1);
}

TEST(FirmwareSteps, EveryStepIsAppendedToTheHistory) {
  TempDir dir;
  FakeLink link;
  link.tavra.replies = AcceptAll;
  FirmwareSteps steps(link.connection, link.boxes);
  steps.SetHistoryFile(dir / "history.jsonl");
  WriteFile(dir / "good.TVW", DemoFile());
  ASSERT_TRUE(steps.AcceptFirmwareFile(dir / "good.TVW"));

  std::string info;
  EXPECT_EQ(steps.ShowFirmwareVersion(info), StepResult::Done);
  EXPECT_EQ(steps.Update(nullptr), StepResult::Done);
  EXPECT_EQ(steps.Backup(dir / "backup.TVW", nullptr), StepResult::Failed);
  EXPECT_EQ(steps.Backup({}, nullptr), StepResult::Cancelled);  // the dialog: not recorded

  const std::vector<HistoryRecord> records = ReadHistory(dir / "history.jsonl");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].action, "version");
  EXPECT_EQ(records[0].result, "ok");
  const HistoryRecord& update = records[1];
  EXPECT_EQ(update.action, "update");
  EXPECT_EQ(update.port, 1);
  EXPECT_EQ(update.file, (dir / "good.TVW").string());
  EXPECT_EQ(update.headerChecksum, CalcFileHeaderChecksum(dir / "good.TVW"));
  EXPECT_EQ(update.firmwareChecksum, CalcFirmwareChecksum(dir / "good.TVW"));
  EXPECT_EQ(update.versionBefore, records[0].versionAfter);  // as read in step 1
  EXPECT_EQ(update.versionAfter, "2.05  DK");                // the file's
  EXPECT_EQ(update.controller, "Demo");
  EXPECT_EQ(update.result, "ok");
  EXPECT_EQ(update.message, "IDS_MB_5_TEXT");
  EXPECT_EQ(records[2].action, "backup");
  EXPECT_EQ(records[2].result, "failed");
  EXPECT_EQ(records[2].message, "IDS_MB_7_TEXT");
}

}  // namespace
}  // namespace tavra::loader::test
