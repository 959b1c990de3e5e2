// tavralink-sample-dialogs: shows the status dialog or the about box of tavralink filled with
// sample data, and with --save FILE writes a picture of it (for the documentation; see
// scripts/screenshots).
//
//   tavralink-sample-dialogs status|about [--save FILE.png]

#include <QtCore/QCommandLineParser>
#include <QtCore/QTimer>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <cstdio>
#include <memory>

#include "server/host/about_text.h"
#include "server/host/host_texts.h"
#include "server/host/status_cells.h"
#include "server/host/status_dialog.h"

namespace {

// Three ports in use: a controller running normally, one in its boot code, one without link.
std::array<tavra::stack::PortEntry, tavra::stack::PortTable::kPorts> SampleSnapshot() {
  std::array<tavra::stack::PortEntry, tavra::stack::PortTable::kPorts> s{};
  s[1].inUse = true;
  s[1].linkUp = true;
  s[1].clientCount = 2;
  s[1].identity.bytes = {3, 2, 4, 0, 17, 0};
  s[3].inUse = true;
  s[3].linkUp = true;
  s[3].clientCount = 1;
  s[3].identity.bytes = {1, 1, 0, 3, 2, 0};
  s[5].inUse = true;
  s[5].clientCount = 1;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QCommandLineParser parser;
  parser.addHelpOption();
  parser.addPositionalArgument(QStringLiteral("dialog"), QStringLiteral("status or about"));
  const QCommandLineOption save(QStringLiteral("save"),
                                QStringLiteral("Write a picture of the dialog and end."),
                                QStringLiteral("file"));
  parser.addOption(save);
  parser.process(app);
  const QStringList positional = parser.positionalArguments();
  const QString which = positional.isEmpty() ? QStringLiteral("status") : positional.first();

  std::unique_ptr<QWidget> widget;
  if (which == QLatin1StringView("status")) {
    widget =
        std::make_unique<tavra::host::StatusDialog>(tavra::host::FillStatusCells(SampleSnapshot()));
  } else if (which == QLatin1StringView("about")) {
    widget = std::make_unique<QMessageBox>(
        QMessageBox::NoIcon, QString::fromUtf8(tavra::host::texts::kAboutCaption),
        tavra::host::AboutBoxText(QString::fromUtf8(tavra::host::texts::kFileVersion)),
        QMessageBox::Ok);
  } else {
    std::fprintf(stderr, "unknown dialog: %s (status or about)\n", qPrintable(which));
    return 2;
  }
  widget->show();
  if (!parser.isSet(save)) {
    return QApplication::exec();
  }
  const QString file = parser.value(save);
  int code = 1;
  // Once the window is mapped and painted: the picture of the screen where it stands (frame
  // included when a window manager draws one), else the widget's own rendering.
  QTimer::singleShot(500, [&] {
    QPixmap picture;
    QScreen* screen = widget->screen();
    if (screen != nullptr && widget->windowHandle() != nullptr) {
      const QRect frame = widget->frameGeometry();
      picture = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    }
    if (picture.isNull()) {
      picture = widget->grab();
    }
    code = picture.save(file) ? 0 : 1;
    QApplication::quit();
  });
  QApplication::exec();
  return code;
}
