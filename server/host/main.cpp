// tavralink: the Tavra controller communication server.

#include <QtWidgets/QApplication>

#include "server/host/server_process.h"

int main(int argc, char** argv) {
  tavra::host::PrepareGuiPlatform();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TavraLink"));
  QApplication::setApplicationVersion(QStringLiteral("1.0.12.0"));
  // Closing the about box or the status dialog must not end the server.
  QApplication::setQuitOnLastWindowClosed(false);
  return tavra::host::RunServer(QApplication::arguments());
}
