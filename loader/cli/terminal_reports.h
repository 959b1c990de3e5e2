#pragma once
// What the loader reports, on a terminal: message boxes as lines (errors on standard error,
// successes on standard output), the callbacks' notices, and the transfer progress as a bar
// (on a terminal), as plain lines (otherwise) or not at all (--quiet, --json).
//
// Owner: the controller command, for the length of the command. Threads: Show and the progress
// run on the main thread; PostNotice on the proxy's callback thread with LinkLock held: it
// prints at once under the output mutex (which is never held while LinkLock is taken).

#include <chrono>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "loader/link/loader_reports.h"
#include "loader/link/message_texts.h"

namespace tavra::loader::cli {

class TerminalBoxes final : public MessageBoxes {
 public:
  TerminalBoxes(std::ostream& out, std::ostream& err, Language language, bool json)
      : m_out(out), m_err(err), m_language(language), m_json(json) {}

  void Show(std::string_view textId, std::string_view captionId) override;
  void PostNotice(std::string text, std::string caption) override;

  // Success boxes are kept but not printed while false (the backup inside update --verify).
  void SetPrintSuccess(bool print);
  // Every text shown so far, in order (for --json).
  [[nodiscard]] std::vector<std::string> Messages() const;
  // Writes `text` to `stream` under the output mutex, after ending an open progress bar line.
  void Write(std::ostream& stream, std::string_view text);
  // The progress bar line's latest text; drawn on standard error now when `draw`, else at the
  // latest when the line is ended (so the last state is never left out). The line stays open
  // until the next output.
  void UpdateBar(std::string line, bool draw);
  // Ends an open progress bar line.
  void EndBar();
  [[nodiscard]] std::ostream& Out() { return m_out; }
  [[nodiscard]] std::ostream& Err() { return m_err; }

 private:
  mutable std::mutex m_mutex;
  std::ostream& m_out;
  std::ostream& m_err;
  const Language m_language;
  const bool m_json;
  bool m_printSuccess = true;
  bool m_barOpen = false;   // a bar line without its line end is on standard error
  std::string m_barLine;    // the bar's latest text
  bool m_barStale = false;  // m_barLine is newer than what is on the screen
  std::vector<std::string> m_messages;

  void EndBarLocked();
};

class TerminalProgress final : public Progress {
 public:
  enum class Mode { None, Lines, Bar };
  // `label` names the transfer ("Update"); `bytesPerUnit` turns positions into bytes.
  TerminalProgress(TerminalBoxes& output, Mode mode, std::string label, double bytesPerUnit);

  void SetMaximum(int maximum) override;
  void SetPosition(int position) override;
  // Ends the bar's line.
  void Finish();

  [[nodiscard]] int Maximum() const { return m_maximum; }
  [[nodiscard]] int Position() const { return m_position; }
  [[nodiscard]] double Seconds() const;
  [[nodiscard]] double BytesPerSecond() const;

 private:
  [[nodiscard]] std::string Line() const;

  TerminalBoxes& m_output;
  const Mode m_mode;
  const std::string m_label;
  const double m_bytesPerUnit;
  int m_maximum = 0;
  int m_position = 0;  // capped at the maximum (the bar and the percentage)
  int m_received = 0;  // as reported (the backup's maximum is only an estimate)
  int m_lastTenth = -1;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point m_lastDraw{};
};

// The progress display for the options and the standard error stream.
[[nodiscard]] TerminalProgress::Mode ProgressMode(bool quiet, bool json);

}  // namespace tavra::loader::cli
