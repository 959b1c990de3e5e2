// Writing a backup beside the chosen file and putting it in place only when it is complete, and
// the private temporary file behind the firmware version display.

#include "loader/app/backup_file_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "firmware_file_support.h"
#include "loader/app/header_temp_file.h"
#include "tests/common/file_contents.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tavra::loader {
namespace {

using tavra::test::ReadFile;
using tavra::test::ScopedEnv;
using tavra::test::TempDir;
using tavra::test::WriteFile;

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

unsigned Mode(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

// What the controller would return for the demonstration file.
struct Upload {
  HeaderText header;
  std::unique_ptr<FirmwareImage> image = std::make_unique<FirmwareImage>();
  explicit Upload(const std::string& file) {
    EXPECT_TRUE(BuildDownloadHeader(LineSource::Text(file), header).Ok());
    EXPECT_TRUE(LoadDownloadImage(LineSource::Text(file), *image).Ok());
  }
};

const std::string kUserFile = "the user's own file\n";

TEST(BackupFileWriter, CommitPutsCompleteFileInPlaceOfExistingOne) {
  TempDir dir;
  const fs::path target = dir / "backup.tvw";
  WriteFile(target, kUserFile);
  const std::string demo = test::DemoFile();
  Upload upload(demo);

  BackupFileWriter writer;
  ASSERT_TRUE(writer.Begin(target, upload.header).Ok());
  EXPECT_TRUE(writer.Active());
  EXPECT_EQ(writer.TemporaryPath().parent_path(), dir.Path());
  ASSERT_TRUE(writer.Append(*upload.image).Ok());
  // Until the commit the chosen file is as it was.
  EXPECT_EQ(ReadFile(target), kUserFile);
  EXPECT_EQ(Names(dir.Path()).size(), 2u);

  ASSERT_TRUE(writer.Commit().Ok());
  EXPECT_FALSE(writer.Active());
  EXPECT_EQ(ReadFile(target), demo);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"backup.tvw"}));
  EXPECT_EQ(VerifyBackupFile(target), BackupCheck::Ok);
}

TEST(BackupFileWriter, FailedUploadLeavesExistingFileAndNoTrace) {
  TempDir dir;
  const fs::path target = dir / "backup.tvw";
  WriteFile(target, kUserFile);
  Upload upload(test::DemoFile());
  {
    BackupFileWriter writer;
    ASSERT_TRUE(writer.Begin(target, upload.header).Ok());
    writer.Abandon();
    EXPECT_FALSE(writer.Active());
    EXPECT_EQ(writer.Commit().error, FileError::NotStarted);
  }
  EXPECT_EQ(ReadFile(target), kUserFile);
  {
    BackupFileWriter writer;  // dropped without commit: the same
    ASSERT_TRUE(writer.Begin(target, upload.header).Ok());
    ASSERT_TRUE(writer.Append(*upload.image).Ok());
  }
  EXPECT_EQ(ReadFile(target), kUserFile);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"backup.tvw"}));

  // Without an existing file nothing is left either.
  {
    BackupFileWriter writer;
    ASSERT_TRUE(writer.Begin(dir / "new.tvw", upload.header).Ok());
  }
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"backup.tvw"}));
}

TEST(BackupFileWriter, FileThatFailsItsCheckStaysInPlace) {
  TempDir dir;
  const fs::path target = dir / "backup.tvw";
  Upload upload(test::DemoFile());
  upload.image->rows[2][4] = 0xFE;  // the controller returned another byte
  BackupFileWriter writer;
  ASSERT_TRUE(writer.Begin(target, upload.header).Ok());
  ASSERT_TRUE(writer.Append(*upload.image).Ok());
  ASSERT_TRUE(writer.Commit().Ok());
  EXPECT_EQ(VerifyBackupFile(target), BackupCheck::RecordChecksumError);
  EXPECT_TRUE(fs::exists(target));
}

TEST(BackupFileWriter, HalfWrittenImageIsNeverCommitted) {
  TempDir dir;
  const fs::path target = dir / "backup.tvw";
  WriteFile(target, kUserFile);
  Upload upload(test::DemoFile());
  upload.image->rowLength[2] = 200;  // corrupt: beyond the row
  BackupFileWriter writer;
  ASSERT_TRUE(writer.Begin(target, upload.header).Ok());
  EXPECT_EQ(writer.Append(*upload.image).error, FileError::BadImage);
  EXPECT_EQ(writer.Commit().error, FileError::WriteError);
  EXPECT_EQ(ReadFile(target), kUserFile);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"backup.tvw"}));
}

TEST(BackupFileWriter, RefusesNamesItCannotWrite) {
  TempDir dir;
  HeaderText header;
  BackupFileWriter writer;
  EXPECT_EQ(writer.Append(FirmwareImage{}).error, FileError::NotStarted);

  const FileResult folder = writer.Begin(dir.Path(), header);
  EXPECT_EQ(folder.error, FileError::CannotCreate);
  EXPECT_EQ(folder.systemError, EISDIR);
  EXPECT_EQ(writer.Begin(dir / "missing" / "b.tvw", header).error, FileError::CannotCreate);
  EXPECT_FALSE(writer.Active());

  if (::geteuid() != 0) {  // root may write anything, so the refusals need a plain user
    const fs::path readOnly = dir / "locked.tvw";
    WriteFile(readOnly, kUserFile);
    fs::permissions(readOnly, fs::perms::owner_read, fs::perm_options::replace);
    EXPECT_EQ(writer.Begin(readOnly, header).error, FileError::CannotCreate);
    const fs::path closedFolder = dir / "closed";
    fs::create_directory(closedFolder);
    fs::permissions(closedFolder, fs::perms::owner_read | fs::perms::owner_exec,
                    fs::perm_options::replace);
    EXPECT_EQ(writer.Begin(closedFolder / "b.tvw", header).error, FileError::CannotCreate);
    EXPECT_EQ(ReadFile(readOnly), kUserFile);
  }
}

TEST(BackupFileWriter, KeepsPermissionsOfReplacedFileAndUsesUmaskForNewOnes) {
  TempDir dir;
  const fs::path target = dir / "backup.tvw";
  WriteFile(target, kUserFile);
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  HeaderText header;
  BackupFileWriter writer;
  ASSERT_TRUE(writer.Begin(target, header).Ok());
  ASSERT_TRUE(writer.Commit().Ok());
  EXPECT_EQ(Mode(target), 0640u);

  const mode_t mask = ::umask(022);
  ASSERT_TRUE(writer.Begin(dir / "fresh.tvw", header).Ok());
  ASSERT_TRUE(writer.Commit().Ok());
  ::umask(mask);
  EXPECT_EQ(Mode(dir / "fresh.tvw"), 0644u);
}

TEST(BackupFileWriter, SymbolicLinkKeepsPointingAtTheBackup) {
  TempDir dir;
  fs::create_directory(dir / "real");
  const fs::path real = dir / "real" / "fw.tvw";
  WriteFile(real, kUserFile);
  const fs::path link = dir / "link.tvw";
  fs::create_symlink(real, link);
  const std::string demo = test::DemoFile();
  Upload upload(demo);
  BackupFileWriter writer;
  ASSERT_TRUE(writer.Begin(link, upload.header).Ok());
  EXPECT_EQ(writer.Target(), fs::canonical(real));
  ASSERT_TRUE(writer.Append(*upload.image).Ok());
  ASSERT_TRUE(writer.Commit().Ok());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(real), demo);
}

// --- the private file behind the firmware version display ---

class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const fs::path& dir) : m_old(fs::current_path()) {
    fs::current_path(dir);
  }
  ~ScopedCurrentDir() { fs::current_path(m_old); }
  ScopedCurrentDir(const ScopedCurrentDir&) = delete;
  ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

 private:
  fs::path m_old;
};

TEST(HeaderTempFile, PrivateFileHoldsTheTextAndGoesAway) {
  TempDir temp;
  const ScopedEnv tmpdir("TMPDIR", temp.Path().string());
  Upload upload(test::DemoFile());
  fs::path path;
  {
    HeaderTempFile file;
    ASSERT_TRUE(file.Create(upload.header).Ok());
    path = file.Path();
    EXPECT_EQ(path.parent_path(), temp.Path());
    EXPECT_EQ(Mode(path), 0600u);
    EXPECT_EQ(ReadFile(path), upload.header.Text());
    EXPECT_EQ(FormatProductInfo(path), "Demo \r\n2.05  DK \r\nTest \r\n01-02-2003 \r\n");
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(Names(temp.Path()).empty());
}

TEST(HeaderTempFile, UsersTmpTmpInCurrentFolderIsUntouched) {
  TempDir work;
  TempDir temp;
  WriteFile(work / "tmp.tmp", kUserFile);
  const ScopedCurrentDir cwd(work.Path());
  const ScopedEnv tmpdir("TMPDIR", temp.Path().string());
  Upload upload(test::DemoFile());

  std::string info;
  ASSERT_TRUE(ProductInfoOfHeader(upload.header, info).Ok());
  EXPECT_EQ(info, "Demo \r\n2.05  DK \r\nTest \r\n01-02-2003 \r\n");
  EXPECT_EQ(ReadFile(work / "tmp.tmp"), kUserFile);
  EXPECT_EQ(Names(work.Path()), (std::vector<std::string>{"tmp.tmp"}));
  EXPECT_TRUE(Names(temp.Path()).empty());
}

TEST(HeaderTempFile, FailureToCreateIsReported) {
  TempDir temp;
  const ScopedEnv tmpdir("TMPDIR", (temp / "does-not-exist").string());
  HeaderText header;
  std::string info = "old";
  const FileResult result = ProductInfoOfHeader(header, info);
  EXPECT_EQ(result.error, FileError::CannotCreate);
  EXPECT_EQ(info, "");
}

}  // namespace
}  // namespace tavra::loader
