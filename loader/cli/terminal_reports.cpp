#include "terminal_reports.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tavra::loader::cli {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Clock(double seconds) {
  const auto whole = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace

void TerminalBoxes::Show(std::string_view textId, std::string_view captionId) {
  const std::string text(LookupMessage(textId, m_language));
  const bool error = captionId == kErrorCaption;
  std::lock_guard lock(m_mutex);
  m_messages.push_back(text);
  if (error) {
    m_err << text << "\n" << std::flush;
  } else if (m_printSuccess && !m_json) {
    m_out << text << "\n" << std::flush;
  }
}

void TerminalBoxes::PostNotice(std::string text, std::string caption) {
  std::lock_guard lock(m_mutex);
  m_messages.push_back(text);
  m_err << caption << ": " << text << "\n" << std::flush;
}

void TerminalBoxes::SetPrintSuccess(bool print) {
  std::lock_guard lock(m_mutex);
  m_printSuccess = print;
}

std::vector<std::string> TerminalBoxes::Messages() const {
  std::lock_guard lock(m_mutex);
  return m_messages;
}

void TerminalBoxes::Write(std::ostream& stream, std::string_view text) {
  std::lock_guard lock(m_mutex);
  stream << text << std::flush;
}

TerminalProgress::TerminalProgress(TerminalBoxes& output,
                                   Mode mode,
                                   std::string label,
                                   double bytesPerUnit)
    : m_output(output), m_mode(mode), m_label(std::move(label)), m_bytesPerUnit(bytesPerUnit) {}

void TerminalProgress::SetMaximum(int maximum) {
  m_maximum = maximum;
  m_position = 0;
  m_lastTenth = -1;
  m_start = std::chrono::steady_clock::now();
}

double TerminalProgress::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

double TerminalProgress::BytesPerSecond() const {
  const double seconds = Seconds();
  return seconds > 0 ? m_position * m_bytesPerUnit / seconds : 0.0;
}

std::string TerminalProgress::Line() const {
  const int percent = m_maximum > 0 ? static_cast<int>(100LL * m_position / m_maximum) : 0;
  const double rate = BytesPerSecond();
  const double left = m_position > 0 ? Seconds() * (m_maximum - m_position) / m_position : 0.0;
  char text[160];
  std::snprintf(text, sizeof text, "%s: %d/%d blocks %3d%%  %.0f B/s  %s left", m_label.c_str(),
                m_position, m_maximum, percent, rate, Clock(left).c_str());
  return text;
}

void TerminalProgress::SetPosition(int position) {
  // The backup's maximum is an estimate (size / 67); blocks beyond it show as the maximum.
  m_position = std::clamp(position, 0, std::max(m_maximum, 0));
  if (m_mode == Mode::None || m_maximum <= 0) {
    return;
  }
  if (m_mode == Mode::Lines) {
    const int tenth = static_cast<int>(10LL * m_position / m_maximum);
    if (tenth != m_lastTenth) {
      m_lastTenth = tenth;
      m_output.Write(m_output.Err(), Line() + "\n");
    }
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - m_lastDraw < kRedrawInterval && m_position < m_maximum) {
    return;
  }
  m_lastDraw = now;
  const int filled = static_cast<int>(static_cast<long long>(kBarWidth) * m_position / m_maximum);
  const std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                          std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] ";
  m_output.Write(m_output.Err(), "\r" + bar + Line() + "\033[K");
  m_barOpen = true;
}

void TerminalProgress::Finish() {
  if (m_barOpen) {
    m_output.Write(m_output.Err(), "\n");
    m_barOpen = false;
  }
}

TerminalProgress::Mode ProgressMode(bool quiet, bool json) {
  if (quiet || json) {
    return TerminalProgress::Mode::None;
  }
  return ::isatty(STDERR_FILENO) == 1 ? TerminalProgress::Mode::Bar : TerminalProgress::Mode::Lines;
}

}  // namespace tavra::loader::cli
