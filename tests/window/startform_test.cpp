// The loader's window offscreen, on a scripted controller link: the connection supervisor, the
// start, the port form and step 4 without a file.

#include "loader/window/startform.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <fstream>

#include "link_fakes_support.h"
#include "loader/link/message_texts.h"
#include "loader/window/caption_tables.h"
#include "loader/window/comport_form.h"
#include "loader/window/loader_settings.h"
#include "loader/window/progress_bar_3d.h"
#include "loader/window/side_panel_file_dialog.h"
#include "loader/window/side_panels.h"
#include "tests/common/port_dir.h"

namespace tavra::loader {
namespace {

constexpr int kWaitMs = 10000;
constexpr std::int32_t kConnectBootCode = 0x24000011;

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "startform_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
  }

  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("config"))));
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("state"))));
  }

  // A window on `pool` (a null pool: the driver cannot be created); boxes are recorded.
  std::unique_ptr<Tstartform> Window(const std::shared_ptr<test::FakePool>& pool) {
    StartOptions options;
    options.poolFactory = [pool](std::uint32_t, std::shared_ptr<ITavraPool>& out) -> HRESULT {
      if (!pool) {
        return static_cast<HRESULT>(0x80080005u);
      }
      out = pool;
      return S_OK;
    };
    options.programDir = m_dir.path();
    options.startSupervisor = false;
    auto window = std::make_unique<Tstartform>(std::move(options));
    window->Boxes().SetPresenter([this](const QString& text, const QString&) { m_boxes << text; });
    return window;
  }

  // Waits until the worker has done everything queued so far.
  static void Drain(Tstartform& window) {
    bool done = false;
    window.AfterQueuedWork([&done] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, kWaitMs);
  }

  // A port whose device exists: a link to a device file (a regular file there would name a
  // network port by its first line).
  void AddPort(int port) { m_ports.Publish(port, "/dev/null"); }

  QTemporaryDir m_dir;
  tavra::test::PortDir m_ports;
  QStringList m_boxes;
};

TEST_F(WindowTest, StatusThreeAsksForTheBootCodeOnceAndAPortChangeRefreshesTheText) {
  auto pool = std::make_shared<test::FakePool>();
  auto window = Window(pool);
  pool->tavra->state = &window->Connection().State();
  window->FormCreate();
  Drain(*window);
  const auto bootRequests = [&] {
    return std::count(pool->tavra->commands.begin(), pool->tavra->commands.end(), kConnectBootCode);
  };
  const auto atStart = bootRequests();
  EXPECT_EQ(atStart, 1);  // FormCreate's ConnectBootCodeMode

  pool->tavra->Indicate(3);  // online in normal mode
  for (int tick = 0; tick < 3; ++tick) {
    window->ConnectionSupervisorTimer();
  }
  Drain(*window);
  EXPECT_EQ(bootRequests(), atStart + 1);

  pool->tavra->Indicate(1);  // boot code
  window->ConnectionSupervisorTimer();
  EXPECT_EQ(window->StatusText()->text().toStdString(), StatusBarText(true, 1));
  auto* update = window->findChild<QWidget*>(QStringLiteral("UpdateFirmwareButton"));
  EXPECT_TRUE(update->isEnabled());

  window->ComportForm()->PortChangeDone(4, true);  // same status, another port
  window->ConnectionSupervisorTimer();
  EXPECT_EQ(window->StatusText()->text().toStdString(), StatusBarText(true, 4));
  EXPECT_EQ(settings::ReadComport(), 4);
  EXPECT_TRUE(m_boxes.isEmpty());
}

TEST_F(WindowTest, AFailedStartShowsTheChangeFailureOnceAndTheSupervisorShowsNoConnection) {
  auto window = Window(nullptr);
  window->FormCreate();
  Drain(*window);
  EXPECT_EQ(m_boxes.count(QStringLiteral("Ændring af Comport nr fejlet !")), 1);
  window->ConnectionSupervisorTimer();
  EXPECT_EQ(window->StatusText()->text(),
            QStringLiteral("Ingen forbindelse til Tavra på COMPORT 1"));
  auto* show = window->findChild<QWidget*>(QStringLiteral("ShowFirmwareButton"));
  auto* open = window->findChild<QWidget*>(QStringLiteral("OpenFirmwareButton"));
  EXPECT_FALSE(show->isEnabled());
  EXPECT_TRUE(open->isEnabled());  // step 2 needs no controller
}

TEST_F(WindowTest, UpdateWithoutAFileShowsItsBoxAndTouchesNothingElse) {
  auto pool = std::make_shared<test::FakePool>();
  auto window = Window(pool);
  pool->tavra->state = &window->Connection().State();
  window->FormCreate();
  Drain(*window);
  pool->tavra->Indicate(1);
  window->ConnectionSupervisorTimer();
  const std::size_t sentBefore = pool->tavra->sent.size();

  window->UpdateFirmwareButtonClick();
  Drain(*window);
  auto* update = window->findChild<QWidget*>(QStringLiteral("UpdateFirmwareButton"));
  QTRY_VERIFY_WITH_TIMEOUT(update->isEnabled(), kWaitMs);
  EXPECT_EQ(m_boxes, QStringList{QString::fromUtf8(LookupMessage("IDS_MB_3_TEXT"))});
  EXPECT_FALSE(window->findChild<QWidget*>(QStringLiteral("DownloadProgressBar3D1"))->isVisible());
  EXPECT_EQ(pool->tavra->sent.size(), sentBefore);
}

TEST_F(WindowTest, TheLanguageMenuRecaptionsEveryWindowAndIsRemembered) {
  auto window = Window(nullptr);
  window->FormCreate();
  Drain(*window);
  window->ConnectionSupervisorTimer();
  const auto child = [&window](QObject* root, const char* name) {
    return root->findChild<QObject*>(QString::fromLatin1(name))->property("text").toString();
  };
  window->findChild<QAction*>(QStringLiteral("English1"))->trigger();
  EXPECT_EQ(child(window.get(), "Label1"), QStringLiteral("Step 1"));
  EXPECT_EQ(child(window.get(), "UpdateFirmwareButton"),
            QStringLiteral("Update the firmware in the Tavra Controller"));
  EXPECT_EQ(window->findChild<QMenu*>(QStringLiteral("Indstillinger1"))->title(),
            QStringLiteral("&Settings"));
  EXPECT_EQ(window->findChild<QToolButton*>(QStringLiteral("ToolButton3"))->toolTip(),
            QStringLiteral("Close"));
  EXPECT_EQ(window->StatusText()->text(), QStringLiteral("No connection to Tavra on COM port 1"));
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Tavra Firmware Loader 1.1"));  // as built
  // The port form is a window of its own: its Label1 is not the main window's "Step 1".
  EXPECT_EQ(child(window->ComportForm(), "Label1"), QStringLiteral("Choose COM port"));
  EXPECT_EQ(window->ComportForm()->windowTitle(), QStringLiteral("Choose COM port"));
  EXPECT_EQ(child(window->OpenFileForm(), "Label1"),
            QStringLiteral("Tavra firmware version info:"));
  EXPECT_EQ(child(window.get(), "ProductName"), QStringLiteral("Tavra Firmware Loader 1.10"));
  EXPECT_EQ(settings::ReadLanguage(), Language::English);

  window->findChild<QAction*>(QStringLiteral("Deutsch1"))->trigger();
  EXPECT_EQ(window->OpenDialog()->windowTitle(), QStringLiteral("Öffnen"));
  window.reset();
  SetActiveLanguage(Language::Danish);
  auto next = Window(nullptr);  // a new start reads the remembered language
  EXPECT_EQ(child(next.get(), "Label4"), QStringLiteral("Schritt 4"));
  EXPECT_TRUE(next->findChild<QAction*>(QStringLiteral("Deutsch1"))->isChecked());
  next->findChild<QAction*>(QStringLiteral("Dansk1"))->trigger();
  EXPECT_EQ(child(next.get(), "Label4"), QStringLiteral("Trin 4"));
}

TEST_F(WindowTest, HelpOpensAHelpFileOfTheUsersOwnElseTheInstalledElseTheSourceManual) {
  (void)settings::RefreshAtStart(m_dir.path());  // HelpFile = the test's folder
  const QString bin = m_dir.filePath(QStringLiteral("bin"));
  QDir().mkpath(bin);
  EXPECT_TRUE(settings::HelpTarget(bin).endsWith(QStringLiteral("/docs/manual/index.html")));
  EXPECT_TRUE(QFileInfo::exists(settings::HelpTarget(bin)));

  const QString installed = m_dir.filePath(QStringLiteral("share/doc/tavra/manual/index.html"));
  QDir().mkpath(QFileInfo(installed).path());
  std::ofstream(installed.toStdString()) << "<html></html>";
  EXPECT_EQ(settings::HelpTarget(bin), installed);

  const QString own = m_dir.filePath(QStringLiteral("tavrafirmwareloader.chm"));
  std::ofstream(own.toStdString()) << "help";
  EXPECT_EQ(settings::HelpTarget(bin), own);
}

// The port form over COM3 and COM5 only.
struct FormCase {
  const char* name;
  const char* comport;  // the setting, or null for a first start
  int selected;         // list position selected at start
  int currentAfterActivation;
};

void PrintTo(const FormCase& c, std::ostream* out) {
  *out << c.name;
}

class PortFormTest : public WindowTest, public ::testing::WithParamInterface<FormCase> {};

TEST_P(PortFormTest, ListsTheExistingPortsAndSelectsTheCurrentOne) {
  const FormCase& c = GetParam();
  AddPort(3);
  AddPort(5);
  (void)settings::RefreshAtStart(m_dir.path());
  if (c.comport != nullptr) {
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Norvik TavraFirmware"),
              QStringLiteral("Settings"))
        .setValue(QStringLiteral("Comport"), QString::fromLatin1(c.comport));
  }
  TComportForm form(nullptr, [](std::string_view) {});
  form.FormCreate();
  ASSERT_EQ(form.ComboBox1()->count(), 2);
  EXPECT_TRUE(form.ComboBox1()->itemText(1).startsWith(QStringLiteral("COM5 - ")));
  EXPECT_EQ(form.ComboBox1()->currentIndex(), c.selected);
  form.FormActivate();
  EXPECT_EQ(form.CurrentPort(), c.currentAfterActivation);
}

INSTANTIATE_TEST_SUITE_P(Cases,
                         PortFormTest,
                         ::testing::Values(FormCase{"Five", "5", 1, 5},
                                           FormCase{"TwoNotListed", "2", 0, 3},
                                           FormCase{"Unreadable", "x", 0, 3}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(WindowTest, CancelRestoresTheCurrentPortAndAnEmptyListKeepsIt) {
  AddPort(3);
  AddPort(8);
  (void)settings::RefreshAtStart(m_dir.path());
  settings::WriteComportIfPresent(8);
  TComportForm form(nullptr, [](std::string_view) {});
  form.FormCreate();
  EXPECT_EQ(form.ComboBox1()->currentIndex(), 1);  // COM8
  form.ComboBox1()->setCurrentIndex(0);
  form.ComportCancelClick();
  EXPECT_EQ(form.ComboBox1()->currentIndex(), 1);

  TComportForm empty(nullptr, [](std::string_view) {});
  empty.FormCreate(PortList{});
  empty.FormActivate();
  EXPECT_EQ(empty.CurrentPort(), 8);
}

}  // namespace
}  // namespace tavra::loader
