// TavraLink's settings file: reading (accepted sets, non-integers, 32-bit range, the system-wide
// fallback), the settings list, and writing the defaults.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/host/settings_store.h"
#include "server/stack/server_settings.h"

namespace tavra::host {
namespace {

using stack::Setting;
using stack::SettingsRecord;

// QSettings fixes its paths at first use, so the whole program shares one configuration folder:
// a user part (XDG_CONFIG_HOME) and a system-wide part.
class ConfigFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    m_dir = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(m_dir->isValid());
    s_user = m_dir->filePath(QStringLiteral("user"));
    s_system = m_dir->filePath(QStringLiteral("system"));
    ASSERT_TRUE(QDir().mkpath(s_user));
    ASSERT_TRUE(QDir().mkpath(s_system));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(s_user));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(s_system));
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, s_system);
  }
  void TearDown() override { m_dir.reset(); }

  static QString UserFile() { return s_user + QStringLiteral("/Norvik as/Tavra Server.ini"); }
  static QString SystemFile() { return s_system + QStringLiteral("/Norvik as/Tavra Server.ini"); }
  static QString UserFolder() { return s_user + QStringLiteral("/Norvik as"); }

 private:
  std::unique_ptr<QTemporaryDir> m_dir;
  static inline QString s_user;
  static inline QString s_system;
};

[[maybe_unused]] ::testing::Environment* const kConfigFolder =
    ::testing::AddGlobalTestEnvironment(new ConfigFolder);

// Writes a settings file. Each file gets its own modification time, so QSettings' cache never
// mistakes a new file of the same size for the one it read before.
void WriteFile(const QString& path, const std::string& text) {
  static int stamp = 0;
  ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(text.data(), static_cast<qint64>(text.size())),
            static_cast<qint64>(text.size()));
  ASSERT_TRUE(file.flush());
  const QDateTime when = QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC).addSecs(++stamp * 10);
  ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
}

std::string ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    return {};
  }
  return file.readAll().toStdString();
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { RemoveFiles(); }
  void TearDown() override { RemoveFiles(); }
  static void RemoveFiles() {
    QFile::remove(ConfigFolder::UserFile());
    QFile::remove(ConfigFolder::SystemFile());
  }
};

struct ReadCase {
  const char* line;  // one line of [General]
  Setting setting;
  std::int32_t expected;
};

const ReadCase kReadCases[] = {
    // Settings 1 to 3 take only their accepted values.
    {"PreferredBitRate=4800", Setting::PreferredBitRate, 57600},
    {"PreferredBitRate=9600", Setting::PreferredBitRate, 9600},
    {"PreferredBitRate=115200", Setting::PreferredBitRate, 115200},
    {"ThreadPriority=3", Setting::ThreadPriority, 0},
    {"ThreadPriority=-15", Setting::ThreadPriority, -15},
    {"ThreadPriority=15", Setting::ThreadPriority, 15},
    {"ThreadPriority=-2", Setting::ThreadPriority, -2},
    {"ProcessPriority=64", Setting::ProcessPriority, 64},
    {"ProcessPriority=256", Setting::ProcessPriority, 256},
    {"ProcessPriority=33", Setting::ProcessPriority, 32},
    // Settings 4 to 13 take any 32-bit integer.
    {"L2_Retransmissions=0", Setting::L2_Retransmissions, 0},
    {"Tavra_NoActivityTimeOffset=-5", Setting::Tavra_NoActivityTimeOffset, -5},
    {"L4_BackoffTime=2147483647", Setting::L4_BackoffTime, 2147483647},
    {"L4_BackoffTime=-2147483648", Setting::L4_BackoffTime, INT32_MIN},
    {"L2_NoActivityTime= 7000 ", Setting::L2_NoActivityTime, 7000},
    // Beyond 32 bits counts as missing.
    {"L4_BackoffTime=2147483648", Setting::L4_BackoffTime, 500},
    {"L4_BackoffTime=-2147483649", Setting::L4_BackoffTime, 500},
    {"L4_BackoffTime=4294967296", Setting::L4_BackoffTime, 500},
    {"L4_BackoffTime=99999999999999999999", Setting::L4_BackoffTime, 500},
    // Not an integer counts as missing.
    {"L2_Retransmissions=abc", Setting::L2_Retransmissions, 3},
    {"L2_Retransmissions=12abc", Setting::L2_Retransmissions, 3},
    {"L2_Retransmissions=", Setting::L2_Retransmissions, 3},
    {"L2_Retransmissions=1.5", Setting::L2_Retransmissions, 3},
    {"L2_Retransmissions=1,2", Setting::L2_Retransmissions, 3},
    {"L2_Retransmissions=0x10", Setting::L2_Retransmissions, 3},
    {"PreferredBitRate=fast", Setting::PreferredBitRate, 57600},
};

TEST_F(SettingsStoreTest, ReadTakesAcceptedIntegersAndTreatsOthersAsMissing) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.line);
    WriteFile(ConfigFolder::UserFile(), std::string("[General]\n") + c.line + "\n");
    SettingsRecord record;
    ReadSettings(record);
    EXPECT_EQ(record.Get(c.setting), c.expected);
    // Every other setting keeps its default.
    for (int i = 0; i < stack::kSettingCount; ++i) {
      if (static_cast<Setting>(i) != c.setting) {
        EXPECT_EQ(record.Get(static_cast<Setting>(i)), stack::kSettingDefinitions[i].defaultValue)
            << stack::kSettingDefinitions[i].name;
      }
    }
  }
}

TEST_F(SettingsStoreTest, NoFileGivesTheThirteenDefaults) {
  SettingsRecord record;
  record.Set(Setting::L2_Retransmissions, 9);  // a value from before is not kept
  ReadSettings(record);
  for (int i = 0; i < stack::kSettingCount; ++i) {
    EXPECT_EQ(record.Get(static_cast<Setting>(i)), stack::kSettingDefinitions[i].defaultValue)
        << stack::kSettingDefinitions[i].name;
  }
  EXPECT_EQ(record.Get(Setting::ProcessPriority), 32);
}

TEST_F(SettingsStoreTest, ReadFeedsTheServerRecordAndIgnoresOtherGroups) {
  WriteFile(ConfigFolder::UserFile(),
            "[General]\nL2_RetransmissionTime=1500\nL4_BackoffRetransmissions=7\n"
            "[Other]\nL2_Retransmissions=9\n");
  ReadSettings();
  EXPECT_EQ(stack::ServerSettings().Get(Setting::L2_RetransmissionTime), 1500);
  EXPECT_EQ(stack::ServerSettings().Get(Setting::L4_BackoffRetransmissions), 7);
  EXPECT_EQ(stack::ServerSettings().Get(Setting::L2_Retransmissions), 3);
  stack::ServerSettings().ResetToDefaults();
}

TEST_F(SettingsStoreTest, SystemWideFileFillsInWhatTheUserFileLacks) {
  WriteFile(ConfigFolder::SystemFile(),
            "[General]\nPreferredBitRate=19200\nL2_BackoffTime=800\nL2_Retransmissions=6\n");
  WriteFile(ConfigFolder::UserFile(),
            "[General]\nPreferredBitRate=38400\nL2_Retransmissions=junk\n");
  SettingsRecord record;
  ReadSettings(record);
  EXPECT_EQ(record.Get(Setting::PreferredBitRate), 38400);  // the user's value wins
  EXPECT_EQ(record.Get(Setting::L2_BackoffTime), 800);      // only the system file has it
  // The user's value is the one read; not being an integer, it counts as missing.
  EXPECT_EQ(record.Get(Setting::L2_Retransmissions), 3);
}

const char kDefaultList[] =
    "Tavra Server settings:\n"
    "   ProcessPriority                    : 32 (0x20)\n"
    "   ThreadPriority                     : 0 (0x0)\n"
    "   PreferredBitRate                   : 57600 (0xE100)\n"
    "   L4_BackoffRetransmissions          : 5 (0x5)\n"
    "   L4_BackoffTime                     : 500 (0x1F4)\n"
    "   L4_NoResponseFromClientTimeout     : 5000 (0x1388)\n"
    "   L2_BackoffRetransmissions          : 5 (0x5)\n"
    "   L2_BackoffTime                     : 500 (0x1F4)\n"
    "   L2_Retransmissions                 : 3 (0x3)\n"
    "   L2_RetransmissionTime              : 1000 (0x3E8)\n"
    "   L2_NoActivityTime                  : 5000 (0x1388)\n"
    "   TimeBetweenConnectAttempts         : 1000 (0x3E8)\n"
    "   Tavra_NoActivityTimeOffset         : 2000 (0x7D0)\n";

TEST_F(SettingsStoreTest, ListWithoutFileIsByteForByteTheDefaults) {
  SettingsRecord record;
  ReadSettings(record);
  EXPECT_EQ(record.FormatList(), kDefaultList);
  ::testing::internal::CaptureStderr();
  ListSettings(record);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), kDefaultList);
}

TEST_F(SettingsStoreTest, ListShowsNegativeValuesAsThirtyTwoBitHex) {
  WriteFile(ConfigFolder::UserFile(),
            "[General]\nThreadPriority=-15\nL2_Retransmissions=0\nL4_BackoffTime=-2147483648\n");
  SettingsRecord record;
  ReadSettings(record);
  const std::string list = record.FormatList();
  EXPECT_NE(list.find("   ThreadPriority                     : -15 (0xFFFFFFF1)\n"),
            std::string::npos);
  EXPECT_NE(list.find("   L2_Retransmissions                 : 0 (0x0)\n"), std::string::npos);
  EXPECT_NE(list.find("   L4_BackoffTime                     : -2147483648 (0x80000000)\n"),
            std::string::npos);
}

TEST_F(SettingsStoreTest, WriteDefaultsLeavesExactlyTheThirteenDefaults) {
  WriteFile(ConfigFolder::UserFile(),
            "[General]\nPreferredBitRate=9600\nL2_Retransmissions=0\nStale=1\n"
            "[Other]\nKey=2\n");
  int warnings = 0;
  ASSERT_TRUE(WriteDefaults([&](const QString&, const QString&) { ++warnings; }));
  EXPECT_EQ(warnings, 0);

  const QSettings written(ConfigFolder::UserFile(), QSettings::IniFormat);
  QStringList keys = written.allKeys();
  keys.sort();
  QStringList expectedKeys;
  for (const stack::SettingDefinition& d : stack::kSettingDefinitions) {
    expectedKeys.append(QString::fromLatin1(d.name.data(), static_cast<qsizetype>(d.name.size())));
  }
  expectedKeys.sort();
  EXPECT_EQ(keys, expectedKeys);
  for (const stack::SettingDefinition& d : stack::kSettingDefinitions) {
    const QString key = QString::fromLatin1(d.name.data(), static_cast<qsizetype>(d.name.size()));
    EXPECT_EQ(written.value(key).toString(), QString::number(d.defaultValue)) << d.name;
  }
  const std::string text = ReadFile(ConfigFolder::UserFile());
  EXPECT_EQ(text.find("Stale"), std::string::npos);
  EXPECT_EQ(text.find("Other"), std::string::npos);

  // Read back through the store, the current values are the defaults again.
  SettingsRecord record;
  record.Set(Setting::PreferredBitRate, 9600);
  ReadSettings(record);
  EXPECT_EQ(record.FormatList(), kDefaultList);
}

TEST_F(SettingsStoreTest, WriteDefaultsWritesTheConstantTableNotTheCurrentValues) {
  stack::ServerSettings().Set(Setting::L2_Retransmissions, 9);
  ASSERT_TRUE(WriteDefaults([](const QString&, const QString&) {}));
  stack::ServerSettings().ResetToDefaults();
  const QSettings written(ConfigFolder::UserFile(), QSettings::IniFormat);
  EXPECT_EQ(written.value(QStringLiteral("L2_Retransmissions")).toString(), QStringLiteral("3"));
}

TEST_F(SettingsStoreTest, WriteDefaultsThatCannotWriteShowsTheWarning) {
  // A plain file where the settings folder belongs: the folder cannot be made, even by root.
  ASSERT_TRUE(QDir(ConfigFolder::UserFolder()).removeRecursively());
  WriteFile(ConfigFolder::UserFolder(), "not a folder");
  std::vector<std::pair<QString, QString>> shown;
  EXPECT_FALSE(WriteDefaults(
      [&](const QString& caption, const QString& text) { shown.emplace_back(caption, text); }));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, QStringLiteral("Tavra Server"));
  EXPECT_EQ(shown[0].second, QStringLiteral("Error writing registry data"));
  ASSERT_TRUE(QFile::remove(ConfigFolder::UserFolder()));
}

}  // namespace
}  // namespace tavra::host
