#pragma once
// The loader's main window `Tstartform`: the four step rows ("Trin 1" .. "Trin 4"), the memos,
// the two 3-D progress bars, the status bar, tool bar and menus, the connection supervisor
// (every 1000 ms), the port form, the about box and the two file dialogs with side panels.
// The settings menu offers the languages of the caption tables; the choice is remembered in the
// loader settings and applied to every window at once (QEvent::LanguageChange).
//
// Threads. Widgets live on the user-interface thread. Every call into the driver connection
// (ChangeComport, ConnectBootCodeMode, the steps' transfers, KillComObject) runs on ONE worker
// thread of the window, in the order the requests were made: a step asked for while another
// runs waits its turn (step 1 pressed during a backup runs after it), and a port change waits
// for a running transfer. Results, progress, log lines and boxes come back as queued calls; a
// box shown from the worker holds the worker (not the window) until the user closes it. Only
// COM_Status is read directly, under LinkLock. A file accepted in step 2 during an update does
// not change that update (it copied the path when it started).
//
// Owner: main() (or a test). The window owns the driver connection, the steps, the worker
// thread and its forms; the worker is ended by Shutdown() (FormClose) or the destructor.

#include <QMainWindow>
#include <QThread>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "loader/app/firmware_steps.h"
#include "loader/link/disp_log.h"
#include "loader/link/driver_connection.h"
#include "loader/link/message_texts.h"
#include "loader/window/window_reports.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QTimer;

namespace tavra::loader {

class MultiLineButton;
class ProgressBar3D;
class SidePanelFileDialog;
class TAboutBox;
class TComportForm;
class THistoryForm;
class TOpenFileForm;

inline constexpr char kMainWindowCaption[] = "Tavra Firmware Loader 1.1";
inline constexpr char kApplicationTitle[] = "Norvik Tavra Firmware Loader";
inline constexpr char kFirmwareFilter[] = "Tavra Firmware Hex (*:TVW)|*.TVW|Alle Filer (*.*)|*.*";
inline constexpr int kSupervisorIntervalMs = 1000;

struct StartOptions {
  DriverConnection::PoolFactory poolFactory;
  int debugMode = 0;            // ParseDebugMode of the command line
  QString programDir;           // HelpFile and FirmwareFiles are derived from it
  bool startSupervisor = true;  // tests tick ConnectionSupervisorTimer themselves
};

class Tstartform : public QMainWindow {
  Q_OBJECT

 public:
  explicit Tstartform(StartOptions options);
  ~Tstartform() override;

  // Non-empty when the debug log could not be set up: the program shows it and ends.
  [[nodiscard]] const QString& StartError() const { return m_startError; }
  // Reads the settings, connects on the worker (ChangeComport, then ConnectBootCodeMode), fills
  // the port form and starts the supervisor.
  void FormCreate();
  // KillComObject on the worker, waited for while boxes stay served; then the worker ends.
  void Shutdown();
  // After Shutdown: the server kept the callback object (the "COM Server Warning" case).
  [[nodiscard]] bool CallbackOutlived() const;

  [[nodiscard]] DriverConnection& Connection() { return *m_connection; }
  [[nodiscard]] FirmwareSteps& Steps() { return *m_steps; }
  [[nodiscard]] WindowBoxes& Boxes() { return m_boxes; }
  [[nodiscard]] TComportForm* ComportForm() const { return m_comportForm; }
  [[nodiscard]] THistoryForm* HistoryForm() const { return m_historyForm; }
  [[nodiscard]] SidePanelFileDialog* OpenDialog() const { return m_openDialog; }
  [[nodiscard]] TOpenFileForm* OpenFileForm() const { return m_openFileForm; }
  [[nodiscard]] QLabel* StatusText() const { return m_statusText; }
  // The save dialog's answer for step 3 (tests answer without a dialog); empty = cancelled.
  void SetBackupPathChooser(std::function<QString()> chooser) {
    m_chooseBackupPath = std::move(chooser);
  }

  void WriteLine(std::string_view line);
  // Runs `then` on the window's thread once everything queued on the worker so far has run.
  void AfterQueuedWork(std::function<void()> then);

 public Q_SLOTS:
  void ConnectionSupervisorTimer();
  void ShowFirmwareButtonClick();
  void OpenFirmwareButtonClick();
  void BackupFirmwareButtonClick();
  void UpdateFirmwareButtonClick();
  void ApOpenDialog1SelectionChange();
  void ApOpenDialog1CanClose(const QString& path);
  void ComportToolButtonClick();
  void OmToolButtonClick();
  void Hjlpeemner1Click();
  void ShowHistory();  // the help menu's update history

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;  // LanguageChange: captions and status text again

 private:
  void BuildWindow();
  void BuildMenus();
  void BuildLanguageMenu(QMenu* settingsMenu);
  void ShowStatus(bool connected, int port);
  void BuildToolBar(QWidget* central);
  void BuildDialogs();
  void SetUpLog();
  void SetStepButtons(bool enabled);
  void SetStatusBar(const QColor& colour, const QString& text);
  void RunOnWorker(std::function<void()> task);
  void RunOnWindow(std::function<void()> task);
  void ConnectBootCodeOnWorker();
  void ChangePortOnWorker(int port, bool fromPortForm);
  void OnVersionShown(StepResult result, const std::string& info);
  QString ChooseBackupPath();

  StartOptions m_options;
  QString m_startError;
  WindowBoxes m_boxes;
  std::unique_ptr<TDispLog> m_dispLog;
  std::unique_ptr<DispLogSink> m_logSink;
  std::unique_ptr<DriverConnection> m_connection;
  std::unique_ptr<TransferInhibitor> m_inhibitor;  // logind's lock during backup and update
  std::unique_ptr<FirmwareSteps> m_steps;
  QThread m_thread;
  QObject* m_worker = nullptr;  // lives on m_thread
  bool m_shutDown = false;

  std::uint8_t m_lastStatus = 0;  // LastStatus
  int m_lastPort = 0;             // LastPort
  int m_statusState = -1;         // the status text shown: -1 none, 0 not connected, 1 connected
  int m_statusPort = 0;
  std::vector<std::pair<Language, QAction*>> m_languageChoices;  // the language menu
  bool m_openDialogPrimed = false;
  bool m_saveDialogPrimed = false;
  std::function<QString()> m_chooseBackupPath;

  MultiLineButton* m_showButton = nullptr;
  MultiLineButton* m_openButton = nullptr;
  MultiLineButton* m_backupButton = nullptr;
  MultiLineButton* m_updateButton = nullptr;
  QPlainTextEdit* m_memo1 = nullptr;
  QPlainTextEdit* m_memo2 = nullptr;
  QPlainTextEdit* m_memo3 = nullptr;
  ProgressBar3D* m_backupBar = nullptr;
  ProgressBar3D* m_downloadBar = nullptr;
  std::unique_ptr<BarProgress> m_backupProgress;
  std::unique_ptr<BarProgress> m_downloadProgress;
  QLabel* m_statusText = nullptr;
  QTimer* m_supervisor = nullptr;
  TComportForm* m_comportForm = nullptr;
  TAboutBox* m_aboutBox = nullptr;
  THistoryForm* m_historyForm = nullptr;
  TOpenFileForm* m_openFileForm = nullptr;
  SidePanelFileDialog* m_openDialog = nullptr;
  SidePanelFileDialog* m_saveDialog = nullptr;
};

}  // namespace tavra::loader
