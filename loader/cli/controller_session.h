#pragma once
// One controller command's connection to the controller: the debug log (--debug), the terminal
// boxes, the driver connection through TavraLink and the firmware steps. Connect() registers on
// the port, waits (bounded) for the controller to come online and, for a transfer, has it
// switched to its boot code and waits for that; Close() resets the controller as the window
// does at its end, or only removes the client.
//
// Owner: the command, on the main thread. While it lives, Ctrl+C ends the waits of the driver
// connection at once (see stop_signals.h).

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "cli_commands.h"
#include "loader/app/firmware_steps.h"
#include "loader/link/disp_log.h"
#include "loader/link/driver_connection.h"
#include "terminal_reports.h"
#include "terminal_text.h"

namespace tavra::loader::cli {

// How long the controller may take to come online after the client registered, and to come
// back in its boot code after the switch (a new link: connect, identify, bit rate).
inline constexpr std::chrono::milliseconds kOnlineWait{20000};
inline constexpr std::chrono::milliseconds kBootCodeWait{30000};
// status reports what it finds; it waits less for a controller that may simply be absent.
inline constexpr std::chrono::milliseconds kStatusWait{8000};

class ControllerSession {
 public:
  ControllerSession(CommandContext& context, std::string_view command);
  ~ControllerSession();
  ControllerSession(const ControllerSession&) = delete;
  ControllerSession& operator=(const ControllerSession&) = delete;

  // The log and the connection object (nothing is sent yet). False with the reason printed.
  bool Prepare();
  // Registers on the port and waits for the controller (in its boot code when `bootCode`).
  // False with the message printed. With `requireOnline` false a controller that stays offline
  // is not a failure.
  bool Connect(bool bootCode, bool requireOnline = true);
  // Resets the controller (KillComObject) or only removes the client.
  void Close(bool reset);

  [[nodiscard]] TerminalBoxes& Boxes() { return m_boxes; }
  [[nodiscard]] DriverConnection& Connection() { return *m_connection; }
  [[nodiscard]] FirmwareSteps& Steps() { return *m_steps; }
  [[nodiscard]] const CliOptions& Options() const { return m_context.options; }
  [[nodiscard]] TerminalProgress::Mode ProgressDisplay() const;

  // A line for the person using the program (standard error), prefixed with the program name.
  void Complain(std::string_view text);
  // The end of the command: the JSON object (with --json) and the exit code.
  int Finish(bool ok, const JsonObject& result = {});
  // Ctrl+C ended the command: removes the client and returns 1.
  int Interrupted(std::string_view what);

 private:
  bool WaitOnline(std::chrono::milliseconds limit);

  CommandContext& m_context;
  const std::string m_command;
  TerminalBoxes m_boxes;
  std::unique_ptr<TDispLog> m_log;
  std::unique_ptr<DispLogSink> m_sink;
  std::string m_busReason;
  std::unique_ptr<DriverConnection> m_connection;
  std::unique_ptr<TransferInhibitor> m_inhibitor;  // before m_steps, which uses it
  std::unique_ptr<FirmwareSteps> m_steps;
  std::vector<std::string> m_problems;  // the program's own complaints, for --json
};

}  // namespace tavra::loader::cli
