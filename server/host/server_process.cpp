#include "server/host/server_process.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QThread>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusConnectionInterface>
#include <QtWidgets/QApplication>
#include <cstdio>
#include <thread>

#include "server/host/bus_service.h"
#include "server/host/command_line.h"
#include "server/host/dbus_names.h"
#include "server/host/process_priority.h"
#include "server/host/service_file.h"
#include "server/host/settings_store.h"
#include "server/host/stop_signals.h"
#include "server/host/tray_icon.h"
#include "server/service/module_lock.h"
#include "server/service/tavra_pool.h"
#include "server/stack/server_settings.h"

namespace tavra::host {

namespace {

// The module lock of the service layer, counted by the server module.
class ModuleLockAdapter final : public service::IModuleLock {
 public:
  explicit ModuleLockAdapter(ServerModule& module) : m_module(module) {}
  void Lock() override { m_module.Lock(); }
  void Unlock() override { m_module.Unlock(); }

 private:
  ServerModule& m_module;
};

bool HasScreen();

std::unique_ptr<QObject> CreateRealTray(std::function<void()> forcedShutdown) {
  if (!HasScreen()) {
    return nullptr;  // headless: no window system, so no tray can ever appear
  }
  auto tray = std::make_unique<TrayIcon>(std::move(forcedShutdown));
  if (!tray->Show()) {
    std::fprintf(stderr, "tavralink: no system tray yet; the icon appears when one does\n");
  }
  return tray;
}

// Widgets can be seen: a QApplication on a real window system.
bool HasScreen() {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    return false;
  }
  const QString platform = QGuiApplication::platformName();
  return platform != QLatin1StringView("offscreen") && platform != QLatin1StringView("minimal");
}

void PostToMainThread(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr) {
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
  }
}

int RunRegistrationOption(CommandLineOption option) {
  QString error;
  int code = 0;
  switch (option) {
    case CommandLineOption::RegServer:
      code = WriteServiceFile(QCoreApplication::applicationFilePath(), &error);
      break;
    case CommandLineOption::UnregServer: code = RemoveServiceFile(&error); break;
    case CommandLineOption::WriteRegistry:
      // A failure is shown (the run ends with 0 either way); a box nobody can see would never
      // be closed, so without a screen the text goes to standard error.
      (void)WriteDefaults([](const QString& caption, const QString& text) {
        if (HasScreen()) {
          ShowWarningBox(caption, text);
        } else {
          std::fprintf(stderr, "%s: %s\n", qPrintable(caption), qPrintable(text));
        }
      });
      return 0;
    case CommandLineOption::None: return 0;
  }
  if (code != 0) {
    std::fprintf(stderr, "tavralink: %s\n", qPrintable(error));
  }
  return code;
}

}  // namespace

void PrepareGuiPlatform() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    return;
  }
  QByteArray platforms;
  if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    platforms += "wayland;";
  }
  if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
    platforms += "xcb;";
  }
  platforms += "offscreen";
  qputenv("QT_QPA_PLATFORM", platforms);
}

void ApplyPriorityBeforeThreads() {
  ReadSettings();
  ApplyProcessPriority(stack::ServerSettings().Get(stack::Setting::ProcessPriority));
}

int RunServer(const QStringList& arguments, const ServerRunOptions& options) {
  // 1, 2: settings, then the process priority they name (main() applies it before any thread).
  ReadSettings();
  if (!options.priorityApplied) {
    ApplyProcessPriority(stack::ServerSettings().Get(stack::Setting::ProcessPriority));
  }

  // 3: the command line.
  const CommandLineOption option = ParseCommandLine(CommandLineFromArguments(arguments));
  if (option != CommandLineOption::None) {
    return RunRegistrationOption(option);
  }

  // 4: the settings list.
  ListSettings();

  // 5: the shutdown monitor, fed by the service layer's module lock.
  ServerModule module(options.quietTime);
  service::SetModuleLock(std::make_shared<ModuleLockAdapter>(module));

  // A session bus connection of the server's own (not the default one, whose calls would wait
  // until the main thread's event loop runs): calls are served on the D-Bus service thread from
  // the moment the objects are exported.
  const QString connectionName = QStringLiteral("tavralink-server");
  QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
  const auto closeBus = [&bus, &connectionName] {
    bus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(connectionName);
  };
  if (!bus.isConnected()) {
    std::fprintf(stderr, "tavralink: no session bus: %s\n", qPrintable(bus.lastError().message()));
    closeBus();
    service::SetModuleLock(nullptr);
    return kExitNoBus;
  }

  int exitCode = 0;
  {
    // From here on SIGTERM and SIGINT end the run in order (acted on in the event loop).
    StopSignals stopSignals;
    service::TavraPool pool;
    QThread serviceThread;
    serviceThread.setObjectName(QStringLiteral("tavralink-dbus"));
    auto* busService = new BusService(bus, pool);
    busService->moveToThread(&serviceThread);
    serviceThread.start();

    const auto stopServiceThread = [&] {
      serviceThread.quit();
      serviceThread.wait();
    };

    // 6: objects exported, then the name ("do not queue": a running server keeps it).
    if (!busService->Export()) {
      std::fprintf(stderr, "tavralink: cannot export %s\n", qPrintable(PoolPath()));
      stopServiceThread();
      delete busService;
      closeBus();
      service::SetModuleLock(nullptr);
      return kExitExportFailed;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> named =
        bus.interface()->registerService(ServiceName(), QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (!named.isValid() || named.value() != QDBusConnectionInterface::ServiceRegistered) {
      std::fprintf(stderr, "tavralink: %s is already served by another process\n",
                   qPrintable(ServiceName()));
      QMetaObject::invokeMethod(busService, &BusService::Withdraw, Qt::BlockingQueuedConnection);
      stopServiceThread();
      delete busService;
      pool.Teardown();
      closeBus();
      service::SetModuleLock(nullptr);
      return kExitAlreadyRunning;
    }

    ServerModule::Hooks hooks;
    hooks.suspend = [busService, bus]() mutable {
      busService->Suspend();
      // Let go of the name, so that a new client starts a new server.
      PostToMainThread([bus]() mutable { bus.unregisterService(ServiceName()); });
    };
    hooks.quit = [] { PostToMainThread([] { QCoreApplication::quit(); }); };
    module.StartMonitor(std::move(hooks));

    // 7: the icon.
    const auto forced = [&module] { module.ForcedShutdown(); };
    std::unique_ptr<QObject> tray =
        options.createTray ? options.createTray(forced) : CreateRealTray(forced);

    // 8: the event loop.
    exitCode = QCoreApplication::exec();

    // 9: icon removed, objects withdrawn, pause, pool teardown.
    tray.reset();
    QMetaObject::invokeMethod(busService, &BusService::Withdraw, Qt::BlockingQueuedConnection);
    bus.unregisterService(ServiceName());
    stopServiceThread();
    std::this_thread::sleep_for(options.closingPause);
    pool.Teardown();
    busService->DropAll();
    delete busService;
  }
  closeBus();
  service::SetModuleLock(nullptr);
  return exitCode;
}

}  // namespace tavra::host
