#include "controller_session.h"

#include "bus_pool.h"
#include "loader/app/history_file.h"
#include "stop_signals.h"

namespace tavra::loader::cli {
namespace {

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

}  // namespace

ControllerSession::ControllerSession(CommandContext& context, std::string_view command)
    : m_context(context),
      m_command(command),
      m_boxes(context.out, context.err, context.options.language, context.options.json) {}

ControllerSession::~ControllerSession() {
  SetStopHandler(nullptr);
}

TerminalProgress::Mode ControllerSession::ProgressDisplay() const {
  return ProgressMode(Options().quiet, Options().json);
}

void ControllerSession::Complain(std::string_view text) {
  m_problems.emplace_back(text);
  m_boxes.Write(m_context.err, std::string(kProgramName) + ": " + std::string(text) + "\n");
}

bool ControllerSession::Prepare() {
  if (!HaveBus()) {
    Complain("built without the D-Bus proxy: no controller commands");
    return false;
  }
  if (Options().debug) {
    m_log = std::make_unique<TDispLog>();
    const std::string error = SetUpDebugLog(*m_log, kDebugLogFile, nullptr);
    if (!error.empty()) {
      Complain("debug log: " + error);
      return false;
    }
    (void)m_log->WriteLine(kLogStartLine);
    m_sink = std::make_unique<DispLogSink>(*m_log);
  }
  m_connection =
      std::make_unique<DriverConnection>(BusFactory(&m_busReason), m_sink.get(), m_boxes);
  m_steps = std::make_unique<FirmwareSteps>(*m_connection, m_boxes);
  m_inhibitor = DesktopInhibitor();
  m_steps->SetInhibitor(m_inhibitor.get());
  m_steps->SetHistoryFile(DefaultHistoryFile());
  SetStopHandler([state = &m_connection->State()] { state->Abort(); });
  return true;
}

bool ControllerSession::WaitOnline(std::chrono::milliseconds limit) {
  return m_connection->State().WaitForOnline(limit);
}

bool ControllerSession::Connect(bool bootCode, bool requireOnline) {
  const int port = Options().port;
  const HRESULT hr = m_connection->ChangeComport(port);
  if (hr != S_OK) {
    Complain("COM" + std::to_string(port) + ": no client registration (" + Hex(hr) + ")" +
             (m_busReason.empty() ? "" : ": " + m_busReason));
    return false;
  }
  if (!WaitOnline(requireOnline ? kOnlineWait : kStatusWait)) {
    if (requireOnline && !StopRequested()) {
      m_boxes.Write(m_context.err, StatusBarText(false, port, Options().language) + "\n");
      Complain("the controller did not come online within " +
               std::to_string(kOnlineWait.count() / 1000) + " s");
    }
    return !requireOnline;
  }
  if (!bootCode) {
    return true;
  }
  const std::int32_t result = m_connection->ConnectBootCodeMode();
  if (result != 0) {
    if (result != -1) {
      Complain("the switch to boot code failed (" + Hex(result) + ")");
    }
    return false;
  }
  if (!m_connection->State().WaitForStatus(COM_TAVRA_BOOTCODE_MODE, kBootCodeWait)) {
    if (!StopRequested()) {
      Complain("the controller did not come back in its boot code within " +
               std::to_string(kBootCodeWait.count() / 1000) + " s");
    }
    return false;
  }
  return true;
}

void ControllerSession::Close(bool reset) {
  if (!m_connection) {
    return;
  }
  if (reset && !StopRequested()) {
    m_connection->KillComObject();
  } else {
    m_connection->Client_Remove();
  }
}

int ControllerSession::Finish(bool ok, const JsonObject& result) {
  const int code = ok ? kExitOk : kExitFailed;
  if (Options().json) {
    JsonObject object;
    object.Add("command", m_command)
        .Add("port", Options().port)
        .Add("ok", ok)
        .Add("exitCode", code);
    object.Add("result", result);
    std::vector<std::string> messages = m_boxes.Messages();
    messages.insert(messages.end(), m_problems.begin(), m_problems.end());
    object.Add("messages", messages);
    m_boxes.Write(m_context.out, object.Text() + "\n");
  }
  return code;
}

int ControllerSession::Interrupted(std::string_view what) {
  Complain("interrupted" + std::string(what.empty() ? "" : ": ") + std::string(what));
  Close(false);
  return Finish(false);
}

}  // namespace tavra::loader::cli
