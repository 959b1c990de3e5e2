#include "loader/window/startform.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QEventLoop>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "loader/app/history_file.h"
#include "loader/link/dbus/logind_inhibitor.h"
#include "loader/link/message_texts.h"
#include "loader/window/about_box.h"
#include "loader/window/caption_tables.h"
#include "loader/window/comport_form.h"
#include "loader/window/history_dialog.h"
#include "loader/window/loader_settings.h"
#include "loader/window/multi_line_button.h"
#include "loader/window/progress_bar_3d.h"
#include "loader/window/side_panel_file_dialog.h"
#include "loader/window/side_panels.h"
#include "loader/window/window_captions.h"

namespace tavra::loader {
namespace {

constexpr int kClientWidth = 733;
constexpr int kClientHeight = 452;  // the debug display's place ends at 447
const QColor kPureRed(255, 0, 0);
const QColor kConnectedGreen(0, 128, 0);

QString Text(std::string_view component) {
  return QString::fromUtf8(Caption(LoaderWindow::Main, component));
}

QPlainTextEdit* Memo(QWidget* parent, const char* name, const QRect& place) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setObjectName(QString::fromLatin1(name));
  memo->setGeometry(place);
  memo->setReadOnly(true);
  memo->document()->setDocumentMargin(2);  // four lines of product information fit
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->hide();
  return memo;
}

// The tool bar's pictures, drawn (the loader ships no image files).
QIcon ToolIcon(const QString& glyph, const QColor& colour) {
  QPixmap picture(24, 24);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(colour, 2));
  painter.setBrush(colour.lighter(185));
  painter.drawRoundedRect(QRectF(2, 2, 20, 20), 4, 4);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(glyph.size() > 1 ? 8 : 14);
  painter.setFont(font);
  painter.drawText(picture.rect(), Qt::AlignCenter, glyph);
  return {picture};
}

}  // namespace

Tstartform::Tstartform(StartOptions options) : m_options(std::move(options)), m_boxes(this) {
  setObjectName(QStringLiteral("startform"));
  setWindowTitle(QString::fromLatin1(kMainWindowCaption));
  setWindowIcon(ProgramIcon());
  SetActiveLanguage(settings::ReadLanguage());
  BuildWindow();
  BuildDialogs();
  SetUpLog();
  m_connection =
      std::make_unique<DriverConnection>(m_options.poolFactory, m_logSink.get(), m_boxes);
  m_steps = std::make_unique<FirmwareSteps>(*m_connection, m_boxes);
  m_inhibitor = std::make_unique<dbus::LogindInhibitor>();
  m_steps->SetInhibitor(m_inhibitor.get());
  m_steps->SetHistoryFile(DefaultHistoryFile());
  m_worker = new QObject;
  m_worker->moveToThread(&m_thread);
  connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
  m_thread.setObjectName(QStringLiteral("loader-steps"));
  m_thread.start();
}

Tstartform::~Tstartform() {
  Shutdown();
}

void Tstartform::BuildWindow() {
  auto* central = new QWidget(this);
  central->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(central);
  BuildToolBar(central);
  BuildMenus();

  const int labelY[] = {78, 153, 241, 321};
  for (int i = 0; i < 4; ++i) {
    const QString name = QStringLiteral("Label%1").arg(i + 1);
    auto* label = new QLabel(Text(name.toStdString()), central);
    label->setObjectName(name);
    QFont big = label->font();
    big.setPointSize(12);
    label->setFont(big);
    label->move(28, labelY[i]);
    label->adjustSize();
  }
  auto button = [central](const char* name, int top) {
    auto* b = new MultiLineButton(Text(name), central);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(87, top, 169, 58);
    return b;
  };
  m_showButton = button("ShowFirmwareButton", 57);
  m_openButton = button("OpenFirmwareButton", 140);
  m_backupButton = button("BackupFirmwareButton", 223);
  m_updateButton = button("UpdateFirmwareButton", 306);
  connect(m_showButton, &QPushButton::clicked, this, &Tstartform::ShowFirmwareButtonClick);
  connect(m_openButton, &QPushButton::clicked, this, &Tstartform::OpenFirmwareButtonClick);
  connect(m_backupButton, &QPushButton::clicked, this, &Tstartform::BackupFirmwareButtonClick);
  connect(m_updateButton, &QPushButton::clicked, this, &Tstartform::UpdateFirmwareButtonClick);

  m_memo1 = Memo(central, "Memo1", QRect(295, 50, 241, 66));
  m_memo1->setEnabled(false);
  m_memo2 = Memo(central, "Memo2", QRect(295, 137, 241, 66));
  m_memo3 = Memo(central, "Memo3", QRect(7, 390, 705, 57));
  m_memo3->setReadOnly(false);
  m_backupBar = new ProgressBar3D(central);
  m_backupBar->setObjectName(QStringLiteral("BackupProgressBar3D1"));
  m_backupBar->setGeometry(295, 233, 377, 42);
  m_backupBar->hide();
  m_downloadBar = new ProgressBar3D(central);
  m_downloadBar->setObjectName(QStringLiteral("DownloadProgressBar3D1"));
  m_downloadBar->setGeometry(295, 313, 377, 42);
  m_downloadBar->hide();
  m_backupProgress = std::make_unique<BarProgress>(m_backupBar);
  m_downloadProgress = std::make_unique<BarProgress>(m_downloadBar);

  statusBar()->setObjectName(QStringLiteral("StatusBar1"));
  statusBar()->setSizeGripEnabled(false);
  statusBar()->setAutoFillBackground(true);
  m_statusText = new QLabel(statusBar());
  m_statusText->setObjectName(QStringLiteral("StatusText"));
  statusBar()->addWidget(m_statusText, 1);

  m_supervisor = new QTimer(this);
  m_supervisor->setObjectName(QStringLiteral("ConnectionSupervisor"));
  m_supervisor->setInterval(kSupervisorIntervalMs);
  connect(m_supervisor, &QTimer::timeout, this, &Tstartform::ConnectionSupervisorTimer);
  AddHelpKey(this);
}

void Tstartform::BuildMenus() {
  auto* settingsMenu = menuBar()->addMenu(Text("Indstillinger1"));
  settingsMenu->setObjectName(QStringLiteral("Indstillinger1"));
  QAction* choosePort = settingsMenu->addAction(Text("VlgComport1"));
  choosePort->setObjectName(QStringLiteral("VlgComport1"));
  connect(choosePort, &QAction::triggered, this, &Tstartform::ComportToolButtonClick);
  BuildLanguageMenu(settingsMenu);
  settingsMenu->addSeparator();
  QAction* close = settingsMenu->addAction(Text("Luk1"));
  close->setObjectName(QStringLiteral("Luk1"));
  connect(close, &QAction::triggered, this, &QWidget::close);

  auto* helpMenu = menuBar()->addMenu(Text("Hjlp1"));
  helpMenu->setObjectName(QStringLiteral("Hjlp1"));
  QAction* topics = helpMenu->addAction(Text("Hjlpeemner1"));
  topics->setObjectName(QStringLiteral("Hjlpeemner1"));
  connect(topics, &QAction::triggered, this, &Tstartform::Hjlpeemner1Click);
  QAction* history = helpMenu->addAction(Text("Historik1"));
  history->setObjectName(QStringLiteral("Historik1"));
  connect(history, &QAction::triggered, this, &Tstartform::ShowHistory);
  helpMenu->addSeparator();
  QAction* about = helpMenu->addAction(Text("OmTavraFirmwareLoader1"));
  about->setObjectName(QStringLiteral("OmTavraFirmwareLoader1"));
  connect(about, &QAction::triggered, this, &Tstartform::OmToolButtonClick);
}

void Tstartform::BuildLanguageMenu(QMenu* settingsMenu) {
  QMenu* languages = settingsMenu->addMenu(Text("Sprog1"));
  languages->setObjectName(QStringLiteral("Sprog1"));
  auto* group = new QActionGroup(languages);
  const char* const rows[] = {"Dansk1", "English1", "Deutsch1"};  // kOfferedLanguages' order
  for (std::size_t i = 0; i < kOfferedLanguages.size(); ++i) {
    const Language language = kOfferedLanguages[i];
    QAction* choice = languages->addAction(Text(rows[i]));
    choice->setObjectName(QString::fromLatin1(rows[i]));
    choice->setCheckable(true);
    choice->setChecked(language == ActiveLanguage());
    group->addAction(choice);
    m_languageChoices.emplace_back(language, choice);
    connect(choice, &QAction::triggered, this, [language] { SwitchLanguage(language); });
  }
}

void Tstartform::BuildToolBar(QWidget* central) {
  auto* bar = new QToolBar(central);
  bar->setObjectName(QStringLiteral("ToolBar2"));
  bar->setMovable(false);
  bar->setIconSize(QSize(24, 24));
  bar->setGeometry(0, 0, kClientWidth, 34);
  auto tool = [this, bar](const char* name, const QIcon& icon, auto handler) {
    auto* button = new QToolButton(bar);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(Text(name));
    button->setToolTip(QString::fromUtf8(Hint(LoaderWindow::Main, name)));
    button->setIcon(icon);
    button->setAutoRaise(true);  // flat
    bar->addWidget(button);
    connect(button, &QToolButton::clicked, this, handler);
  };
  tool("ComportToolButton", ToolIcon(QStringLiteral("COM"), QColor(0, 90, 170)),
       &Tstartform::ComportToolButtonClick);
  tool("OmToolButton", ToolIcon(QStringLiteral("i"), QColor(0, 120, 60)),
       &Tstartform::OmToolButtonClick);
  tool("ToolButton3", ToolIcon(QStringLiteral("X"), QColor(170, 30, 30)), &QWidget::close);
}

void Tstartform::BuildDialogs() {
  m_comportForm = new TComportForm(this, [this](std::string_view line) { WriteLine(line); });
  connect(m_comportForm, &TComportForm::ChangeRequested, this,
          [this](int port) { ChangePortOnWorker(port, true); });
  auto* backupFileForm = new TBackupFileForm;
  m_openFileForm = new TOpenFileForm;
  m_aboutBox = new TAboutBox(this);
  m_historyForm = new THistoryForm(this, DefaultHistoryFile());

  const QStringList filters = QtNameFilters(QString::fromLatin1(kFirmwareFilter));
  m_openDialog = new SidePanelFileDialog(this, QFileDialog::AcceptOpen, m_openFileForm);
  m_openDialog->setObjectName(QStringLiteral("ApOpenDialog1"));
  m_openDialog->setFileMode(QFileDialog::ExistingFile);
  m_openDialog->setNameFilters(filters);
  m_openDialog->setDefaultSuffix(QStringLiteral("TVW"));
  m_openDialog->setSelectionHandler([this](const QString&) { ApOpenDialog1SelectionChange(); });
  m_openDialog->setConfirmHandler([this](const QString& path) { ApOpenDialog1CanClose(path); });

  m_saveDialog = new SidePanelFileDialog(this, QFileDialog::AcceptSave, backupFileForm);
  m_saveDialog->setObjectName(QStringLiteral("ApSaveDialog1"));
  m_saveDialog->setNameFilters(filters);
  m_saveDialog->setDefaultSuffix(QStringLiteral("TVW"));  // asks before overwriting by default
  AddHelpKey(m_openDialog);
  AddHelpKey(m_saveDialog);
}

void Tstartform::SetUpLog() {
  if (m_options.debugMode == 0) {
    return;
  }
  m_dispLog = std::make_unique<TDispLog>();
  std::unique_ptr<DisplayMemo> display;
  if ((m_options.debugMode & kDebugDisplay) != 0) {
    auto* memo = new QPlainTextEdit(centralWidget());
    memo->setObjectName(QStringLiteral("DebugDisplay"));
    memo->setGeometry(kDisplayMemoLeft, kDisplayMemoTop, kDisplayMemoWidth, kDisplayMemoHeight);
    memo->setReadOnly(true);
    memo->setFont(QFont(QString::fromLatin1(kDisplayMemoFont.data(), kDisplayMemoFont.size())));
    display = std::make_unique<MemoDisplay>(memo);
  }
  const std::string error = SetUpDebugLog(*m_dispLog, m_options.debugMode, std::move(display));
  if (!error.empty()) {
    m_startError = QString::fromStdString(error);
    return;
  }
  m_logSink = std::make_unique<DispLogSink>(*m_dispLog);
  m_logSink->WriteLine(kLogStartLine);
}

void Tstartform::WriteLine(std::string_view line) {
  if (m_logSink) {
    m_logSink->WriteLine(line);
  }
}

void Tstartform::RunOnWorker(std::function<void()> task) {
  if (!m_shutDown) {
    QMetaObject::invokeMethod(m_worker, std::move(task), Qt::QueuedConnection);
  }
}

void Tstartform::RunOnWindow(std::function<void()> task) {
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void Tstartform::AfterQueuedWork(std::function<void()> then) {
  RunOnWorker([this, then = std::move(then)] { RunOnWindow(then); });
}

void Tstartform::FormCreate() {
  const int port = settings::RefreshAtStart(m_options.programDir);
  ChangePortOnWorker(port, false);
  m_comportForm->FormCreate();
  if (m_options.startSupervisor) {
    m_supervisor->start();
  }
}

void Tstartform::ChangePortOnWorker(int port, bool fromPortForm) {
  RunOnWorker([this, port, fromPortForm] {
    const HRESULT result = m_connection->ChangeComport(port);
    if (result != 0) {
      m_boxes.Show("IDS_MB_1_TEXT", kErrorCaption);
    } else if (fromPortForm) {
      (void)m_connection->ConnectBootCodeMode();  // the supervisor asks again when needed
    } else if (const std::int32_t n = m_connection->ConnectBootCodeMode(); n != 0) {
      WriteLine("ConnectBootCode() ERROR ! Hresult= " + std::to_string(n));
    }
    if (fromPortForm) {
      RunOnWindow([this, port, result] { m_comportForm->PortChangeDone(port, result == 0); });
    }
  });
}

void Tstartform::ConnectBootCodeOnWorker() {
  RunOnWorker([this] {
    if (const std::int32_t n = m_connection->ConnectBootCodeMode(); n != 0) {
      WriteLine("ConnectBootCode() ERROR ! Hresult= " + std::to_string(n));
    }
  });
}

void Tstartform::ShowStatus(bool connected, int port) {
  m_statusState = connected ? 1 : 0;
  m_statusPort = port;
  SetStatusBar(connected ? kConnectedGreen : kPureRed,
               QString::fromStdString(StatusBarText(connected, port, ActiveLanguage())));
}

void Tstartform::SetStatusBar(const QColor& colour, const QString& text) {
  QPalette palette = statusBar()->palette();
  palette.setColor(QPalette::Window, colour);
  palette.setColor(QPalette::WindowText, colour == kPureRed ? Qt::black : Qt::white);
  statusBar()->setPalette(palette);
  m_statusText->setPalette(palette);
  m_statusText->setText(text);
}

void Tstartform::ConnectionSupervisorTimer() {
  const std::uint8_t status = m_connection->ComStatus();  // under LinkLock
  const int port = m_comportForm->CurrentPort();
  if (status == m_lastStatus && port == m_lastPort) {
    return;
  }
  if (status < COM_TAVRA_ONLINE_NORMAL_MODE) {
    m_showButton->setEnabled(false);
    m_backupButton->setEnabled(false);
    m_updateButton->setEnabled(false);
    ShowStatus(false, port);
    if (m_lastStatus > 2) {
      WriteLine("ConnectionSupervisor() Connection Lost to Tavra");
    }
  } else if (status == COM_TAVRA_ONLINE_NORMAL_MODE) {
    ConnectBootCodeOnWorker();
  } else if (status <= COM_TAVRA_BOOTCODE_MODE) {
    m_showButton->setEnabled(true);
    m_backupButton->setEnabled(true);
    m_updateButton->setEnabled(true);
    ShowStatus(true, port);
    if (m_lastStatus < 3) {
      WriteLine("ConnectionSupervisor() Connection Established to Tavra");
    }
  }
  m_lastPort = port;
  m_lastStatus = status;
}

void Tstartform::SetStepButtons(bool enabled) {
  for (MultiLineButton* button : {m_showButton, m_openButton, m_backupButton, m_updateButton}) {
    button->setEnabled(enabled);
  }
}

void Tstartform::ShowFirmwareButtonClick() {
  RunOnWorker([this] {
    std::string info;
    const StepResult result = m_steps->ShowFirmwareVersion(info);
    RunOnWindow([this, result, info] { OnVersionShown(result, info); });
  });
}

void Tstartform::OnVersionShown(StepResult result, const std::string& info) {
  if (result == StepResult::FileFailed) {
    return;  // the header came; only its display failed, and the box said so
  }
  const bool shown = result == StepResult::Done;
  m_memo1->setEnabled(shown);
  m_memo1->setVisible(shown);
  m_memo1->setPlainText(shown ? QString::fromStdString(info) : QStringLiteral(" "));
}

void Tstartform::OpenFirmwareButtonClick() {
  ApOpenDialog1SelectionChange();
  m_openDialog->exec();
}

void Tstartform::ApOpenDialog1SelectionChange() {
  if (!m_openDialogPrimed) {
    m_openDialogPrimed = true;  // first, since setSelectedPath calls back here
    m_openDialog->setSelectedPath(settings::FirmwareFiles());
  }
  const std::string info =
      FormatProductInfo(std::filesystem::path(m_openDialog->currentPath().toStdString()));
  m_openFileForm->OpenFileMemo()->setPlainText(QString::fromStdString(info));
}

void Tstartform::ApOpenDialog1CanClose(const QString& path) {
  m_memo2->setPlainText(m_openFileForm->OpenFileMemo()->toPlainText());
  m_memo2->setVisible(true);
  m_memo2->setEnabled(true);
  m_memo2->setToolTip(path);
  if (!m_steps->AcceptFirmwareFile(path.toStdString())) {
    m_memo2->setVisible(false);
    m_memo2->setEnabled(false);
  }
}

QString Tstartform::ChooseBackupPath() {
  if (m_chooseBackupPath) {
    return m_chooseBackupPath();
  }
  if (!m_saveDialogPrimed) {
    m_saveDialogPrimed = true;
    m_saveDialog->setSelectedPath(settings::FirmwareFiles());
  }
  if (m_saveDialog->exec() != QDialog::Accepted || m_saveDialog->selectedFiles().isEmpty()) {
    return {};
  }
  return m_saveDialog->selectedFiles().constFirst();
}

void Tstartform::BackupFirmwareButtonClick() {
  SetStepButtons(false);
  const QString path = ChooseBackupPath();
  if (path.isEmpty()) {
    SetStepButtons(true);
    return;
  }
  m_backupBar->setPosition(0);
  m_backupBar->show();
  RunOnWorker([this, target = std::filesystem::path(path.toStdString())] {
    const StepResult result = m_steps->Backup(target, m_backupProgress.get());
    RunOnWindow([this, result] {
      if (result == StepResult::Failed) {
        m_backupBar->hide();
      }
      SetStepButtons(true);
    });
  });
}

void Tstartform::UpdateFirmwareButtonClick() {
  SetStepButtons(false);
  if (!m_steps->SelectedFirmwareFile().empty()) {
    m_downloadBar->setPosition(0);
    m_downloadBar->show();
  }
  RunOnWorker([this] {
    const StepResult result = m_steps->Update(m_downloadProgress.get());
    RunOnWindow([this, result] {
      if (result == StepResult::Failed || result == StepResult::Cancelled) {
        m_downloadBar->hide();
      }
      SetStepButtons(true);
    });
  });
}

void Tstartform::ComportToolButtonClick() {
  m_comportForm->show();
  m_comportForm->raise();
  m_comportForm->activateWindow();
}

void Tstartform::OmToolButtonClick() {
  m_aboutBox->show();
  m_aboutBox->raise();
  m_aboutBox->activateWindow();
}

void Tstartform::ShowHistory() {
  m_historyForm->show();
  m_historyForm->raise();
  m_historyForm->activateWindow();
}

void Tstartform::Hjlpeemner1Click() {
  OpenHelpFile();
}

void Tstartform::closeEvent(QCloseEvent* event) {
  Shutdown();  // FormClose: KillComObject
  event->accept();
}

void Tstartform::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) {
    ApplyCaptions(this, LoaderWindow::Main);  // the title stays as built
    for (const auto& [language, choice] : m_languageChoices) {
      choice->setChecked(language == ActiveLanguage());
    }
    if (m_statusState >= 0) {
      ShowStatus(m_statusState == 1, m_statusPort);
    }
  }
  QMainWindow::changeEvent(event);
}

void Tstartform::Shutdown() {
  if (m_shutDown) {
    return;
  }
  m_supervisor->stop();
  m_boxes.SetClosing(true);
  m_connection->State().Abort();  // a running transfer ends now
  QEventLoop loop;
  RunOnWorker([this, &loop] {
    m_connection->State().ClearAbort();  // the reset's wait must run
    m_connection->KillComObject();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  m_shutDown = true;
  loop.exec();  // serves the worker's queued calls until the connection has ended
  m_thread.quit();
  m_thread.wait();
}

bool Tstartform::CallbackOutlived() const {
  return m_connection->CallbackOutlived();
}

}  // namespace tavra::loader
