// tavraloader-screenshots: runs the loader's window against a running server and controller
// (the simulator) through a backup and an update, and saves pictures of it on the way:
//   tavraloader-screenshots OUTPUT-FOLDER
// Boxes are shown without waiting for a click, so the run needs nobody at the screen.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "loader/link/dbus/bus_pool_factory.h"
#include "loader/window/comport_form.h"
#include "loader/window/history_dialog.h"
#include "loader/window/progress_bar_3d.h"
#include "loader/window/side_panel_file_dialog.h"
#include "loader/window/side_panels.h"
#include "loader/window/startform.h"
#include "loader/window/window_captions.h"

namespace {

using tavra::loader::Tstartform;

constexpr int kStateWaitMs = 60000;

// Runs the event loop until `done` holds, checking every few milliseconds; false on time-out.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kStateWaitMs) {
  QElapsedTimer waited;
  waited.start();
  while (!done()) {
    if (waited.elapsed() > timeoutMs) {
      return false;
    }
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// The screen where `widget` is, with the boxes above it.
bool Save(QWidget* widget, const QString& file) {
  QApplication::processEvents();
  const QRect area = widget->frameGeometry();
  const QPixmap picture =
      widget->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  const bool saved = picture.save(file);
  std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(file));
  return saved;
}

template <typename T>
T* Child(QObject* parent, const char* name) {
  return parent->findChild<T*>(QString::fromLatin1(name));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans"));
  QApplication::setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
  QTemporaryDir files;

  tavra::loader::StartOptions options;
  options.poolFactory = tavra::dbus::BusPoolFactory();
  options.programDir = files.path();
  Tstartform window(std::move(options));
  std::vector<QString> boxes;
  window.Boxes().SetPresenter([&](const QString& text, const QString& caption) {
    boxes.push_back(text);
    auto* box = new QMessageBox(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, &window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
    box->adjustSize();  // below the step rows, where the window has room
    box->move(window.geometry().center().x() - box->width() / 2, window.geometry().bottom() - 90);
  });
  window.adjustSize();
  window.move(20, 20);
  window.FormCreate();
  window.show();

  auto* status = window.StatusText();
  if (!WaitUntil([&] { return status->text().startsWith(QStringLiteral("Forbindelse")); })) {
    std::fprintf(stderr, "the controller did not come online\n");
    return 1;
  }
  bool ok = Save(&window, out.filePath(QStringLiteral("tavraloader-connected.png")));

  // A backup gives the firmware file that the update then sends back.
  QString backup = files.filePath(QStringLiteral("Backup.TVW"));
  window.SetBackupPathChooser([&] { return backup; });
  auto* update = Child<QWidget>(&window, "UpdateFirmwareButton");
  window.BackupFirmwareButtonClick();
  if (!WaitUntil([&] { return !boxes.empty() && update->isEnabled(); })) {
    std::fprintf(stderr, "the backup did not end\n");
    return 1;
  }
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (qobject_cast<QMessageBox*>(top) != nullptr) {
      top->close();
    }
  }

  auto* dialog = window.OpenDialog();
  window.ApOpenDialog1SelectionChange();
  dialog->move(20, 20);
  dialog->show();
  dialog->setSelectedPath(backup);
  auto* memo = window.OpenFileForm()->OpenFileMemo();
  WaitUntil([&] { return !memo->toPlainText().trimmed().isEmpty(); });
  ok = Save(dialog, out.filePath(QStringLiteral("tavraloader-open-dialog.png"))) && ok;
  dialog->hide();
  window.ApOpenDialog1CanClose(backup);

  auto* bar = Child<tavra::loader::ProgressBar3D>(&window, "DownloadProgressBar3D1");
  boxes.clear();
  window.UpdateFirmwareButtonClick();
  if (WaitUntil([&] { return bar->percent() >= 30 && bar->percent() < 100; })) {
    ok = Save(&window, out.filePath(QStringLiteral("tavraloader-updating.png"))) && ok;
  } else {
    std::fprintf(stderr, "no picture of the update in progress\n");
    ok = false;
  }
  if (!WaitUntil([&] { return !boxes.empty() && update->isEnabled(); })) {
    std::fprintf(stderr, "the update did not end\n");
    return 1;
  }
  auto* memo1 = Child<QWidget>(&window, "Memo1");
  window.ShowFirmwareButtonClick();  // step 1 shows the version that went in
  WaitUntil([&] { return memo1->isVisible(); });
  ok = Save(&window, out.filePath(QStringLiteral("tavraloader-updated.png"))) && ok;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (qobject_cast<QMessageBox*>(top) != nullptr) {
      top->close();
    }
  }

  window.ShowHistory();  // the version read, the backup and the update just made
  auto* history = window.HistoryForm();
  history->move(20, 20);
  WaitUntil([&] { return history->isVisible(); });
  ok = Save(history, out.filePath(QStringLiteral("tavraloader-history.png"))) && ok;
  history->close();

  window.ComportToolButtonClick();
  auto* form = window.ComportForm();
  form->move(60, 60);
  WaitUntil([&] { return form->isVisible(); });
  ok = Save(form, out.filePath(QStringLiteral("tavraloader-port-form.png"))) && ok;
  form->close();

  // The settings menu in English, its language list open.
  tavra::loader::SwitchLanguage(tavra::loader::Language::English);
  auto* settingsMenu = Child<QMenu>(&window, "Indstillinger1");
  auto* languages = Child<QMenu>(&window, "Sprog1");
  settingsMenu->popup(window.mapToGlobal(QPoint(4, window.menuBar()->height())));
  WaitUntil([&] { return settingsMenu->isVisible(); });
  languages->popup(settingsMenu->geometry().topRight() +
                   QPoint(0, settingsMenu->actionGeometry(languages->menuAction()).top()));
  WaitUntil([&] { return languages->isVisible(); });
  ok = Save(&window, out.filePath(QStringLiteral("tavraloader-english.png"))) && ok;
  languages->hide();
  settingsMenu->hide();
  window.close();
  return ok ? 0 : 1;
}
