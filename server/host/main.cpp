// tavralink: the Tavra controller communication server.

#include <QtWidgets/QApplication>
#include <cstdio>
#include <cstring>

#include "server/host/server_process.h"
#include "shared/version.h"

namespace {

constexpr char kHelpText[] =
    "Usage: tavralink [-RegServer | -UnregServer | -WriteRegistry]\n"
    "The Tavra controller communication server. The D-Bus session bus starts it when a client\n"
    "asks for dk.norvik.TavraLink; it ends 5 s after its last client let go.\n"
    "\n"
    "  -RegServer      write the D-Bus activation file\n"
    "                  ($XDG_DATA_HOME/dbus-1/services/dk.norvik.TavraLink.service) and end\n"
    "  -UnregServer    remove the D-Bus activation file and end\n"
    "  -WriteRegistry  write the default settings (~/.config/Norvik as/Tavra Server.ini) and end\n"
    "  -h, --help      show this help and end\n"
    "\n"
    "An option is introduced by '-' or '/', in any letter case, and is the last thing on the\n"
    "command line.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kHelpText, stdout);
    return 0;
  }
  tavra::host::ApplyPriorityBeforeThreads();
  tavra::host::PrepareGuiPlatform();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TavraLink"));
  QApplication::setApplicationVersion(QString::fromUtf8(tavra::kVersion));
  // Closing the about box or the status dialog must not end the server.
  QApplication::setQuitOnLastWindowClosed(false);
  tavra::host::ServerRunOptions options;
  options.priorityApplied = true;
  return tavra::host::RunServer(QApplication::arguments(), options);
}
