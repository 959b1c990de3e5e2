// tavraloader: the Tavra firmware loader's window.

#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "loader/link/dbus/bus_pool_factory.h"
#include "loader/window/module_switches.h"
#include "loader/window/startform.h"

namespace {

using tavra::loader::Tstartform;

// How long a "No" to the COM Server Warning waits for the server to let the callback go.
constexpr int kOutlivedWaitMs = 30000;
constexpr int kOutlivedCheckMs = 1000;

constexpr char kServerWarningText[] =
    "There are still active COM objects in this application. One or more clients may have "
    "references to these objects, so manually closing this application may cause those client "
    "application(s) to fail.\n\nAre you sure you want to close this application?";

constexpr char kHelpText[] =
    "Usage: tavraloader [d] [v]\n"
    "The Tavra firmware loader's window: shows the version of the firmware in the controller,\n"
    "checks a firmware file (*.TVW), backs the controller's firmware up and updates it,\n"
    "through TavraLink.\n"
    "\n"
    "  d           write the debug log \"Debug.Log\" in the current folder\n"
    "  v           show the debug log in the window\n"
    "  -h, --help  show this help and end\n"
    "\n"
    "The command line is scanned letter by letter: every d or D and every v or V counts.\n";

bool CloseAnyway() {
  return QMessageBox::warning(
             nullptr, QStringLiteral("COM Server Warning"), QString::fromLatin1(kServerWarningText),
             QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

// "No": the program goes on without a window until the server has let the callback go.
void WaitForRelease(QApplication& app, const Tstartform& window) {
  QElapsedTimer waited;
  waited.start();
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &app, [&] {
    if (!window.CallbackOutlived() || waited.elapsed() >= kOutlivedWaitMs) {
      QApplication::quit();
    }
  });
  check.start(kOutlivedCheckMs);
  QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kHelpText, stdout);
    return 0;
  }
  std::vector<std::string> args(argv + 1, argv + argc);
  const tavra::loader::ModuleSwitches switches = tavra::loader::ParseModuleSwitches(args);
  if (switches.action != tavra::loader::ModuleAction::Run) {
    return 0;  // the loader registers no component classes: nothing to write or remove
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(tavra::loader::kApplicationTitle));
  // Ties the window to its launcher and icon (Wayland, task bars) once installed.
  QGuiApplication::setDesktopFileName(QStringLiteral("dk.norvik.TavraLoader"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("dk.norvik.TavraLoader")));
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans"));
  QFont font(QStringLiteral("MS Sans Serif"), 8);
  QApplication::setFont(font);

  tavra::loader::StartOptions options;
  options.poolFactory = tavra::dbus::BusPoolFactory();
  options.debugMode = tavra::loader::ParseDebugMode(std::vector<std::string>(argv, argv + argc));
  options.programDir = QApplication::applicationDirPath();
  Tstartform window(std::move(options));
  if (!window.StartError().isEmpty()) {
    QMessageBox::critical(nullptr, QString::fromLatin1(tavra::loader::kApplicationTitle),
                          window.StartError());
    return 1;
  }
  window.adjustSize();
  window.move(window.screen()->availableGeometry().center() - window.rect().center());
  window.FormCreate();
  window.show();
  QApplication::exec();
  if (window.CallbackOutlived() && !CloseAnyway()) {
    WaitForRelease(app, window);
  }
  return 0;
}
