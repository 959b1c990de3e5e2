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

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer builds only: Qt (as packaged) is not built for it, so every hand-over between
// Qt's threads looks like a race. Reports that pass through Qt, libdbus or GLib are dropped.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6\n"
         "race:libdbus-1\n"
         "race:libglib-2.0\n"
         "mutex:libQt6\n"
         "deadlock:libQt6\n"
         "deadlock:libdbus-1\n";
}
#endif

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer builds only: fontconfig keeps caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n";
}
#endif
