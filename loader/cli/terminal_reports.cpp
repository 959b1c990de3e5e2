#include "terminal_reports.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tavra::loader::cli {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Clock(double seconds) {
  const long whole = std::lround(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace

void TerminalBoxes::Show(std::string_view textId, std::string_view captionId) {
  const std::string text(LookupMessage(textId, m_language));
  const bool error = captionId == kErrorCaption;
  std::lock_guard lock(m_mutex);
  EndBarLocked();
  m_messages.push_back(text);
  if (error) {
    m_err << text << "\n" << std::flush;
  } else if (m_printSuccess && !m_json) {
    m_out << text << "\n" << std::flush;
  }
}

void TerminalBoxes::PostNotice(std::string text, std::string caption) {
  std::lock_guard lock(m_mutex);
  EndBarLocked();
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
  EndBarLocked();
  stream << text << std::flush;
}

void TerminalBoxes::UpdateBar(std::string line, bool draw) {
  std::lock_guard lock(m_mutex);
  m_barLine = std::move(line);
  m_barStale = true;
  m_barOpen = true;
  if (draw) {
    m_err << "\r" << m_barLine << "\033[K" << std::flush;
    m_barStale = false;
  }
}

void TerminalBoxes::EndBar() {
  std::lock_guard lock(m_mutex);
  EndBarLocked();
}

void TerminalBoxes::EndBarLocked() {
  if (m_barOpen) {
    if (m_barStale) {
      m_err << "\r" << m_barLine << "\033[K";
    }
    m_err << "\n" << std::flush;
    m_barOpen = false;
    m_barStale = false;
  }
}

TerminalProgress::TerminalProgress(TerminalBoxes& output,
                                   Mode mode,
                                   std::string label,
                                   double bytesPerUnit)
    : m_output(output), m_mode(mode), m_label(std::move(label)), m_bytesPerUnit(bytesPerUnit) {}

void TerminalProgress::SetMaximum(int maximum) {
  m_maximum = maximum;
  m_position = 0;
  m_received = 0;
  m_lastTenth = -1;
  m_start = std::chrono::steady_clock::now();
}

double TerminalProgress::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

double TerminalProgress::BytesPerSecond() const {
  const double seconds = Seconds();
  return seconds > 0 ? m_received * m_bytesPerUnit / seconds : 0.0;
}

std::string TerminalProgress::Line() const {
  const int percent = m_maximum > 0 ? static_cast<int>(100LL * m_position / m_maximum) : 0;
  const double rate =
      m_bytesPerUnit > 0 ? BytesPerSecond() : m_received / std::max(Seconds(), 1e-3);
  const char* unit = m_bytesPerUnit > 0 ? "B/s" : "blocks/s";
  const double left = m_position > 0 ? Seconds() * (m_maximum - m_position) / m_position : 0.0;
  char text[160];
  if (m_received > m_maximum) {  // more blocks than the controller's size announced
    std::snprintf(text, sizeof text, "%s: %d blocks %3d%%  %.0f %s", m_label.c_str(), m_received,
                  percent, rate, unit);
  } else {
    std::snprintf(text, sizeof text, "%s: %d/%d blocks %3d%%  %.0f %s  %s left", m_label.c_str(),
                  m_received, m_maximum, percent, rate, unit, Clock(left).c_str());
  }
  return text;
}

void TerminalProgress::SetPosition(int position) {
  // The backup's maximum is an estimate (size / 67): the bar stops at it, the count goes on.
  m_received = std::max(position, m_received);
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
  const bool draw = now - m_lastDraw >= kRedrawInterval;
  if (draw) {
    m_lastDraw = now;
  }
  const int filled = static_cast<int>(static_cast<long long>(kBarWidth) * m_position / m_maximum);
  const std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                          std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] ";
  m_output.UpdateBar(bar + Line(), draw);
}

void TerminalProgress::Finish() {
  m_output.EndBar();
}

TerminalProgress::Mode ProgressMode(bool quiet, bool json) {
  if (quiet || json) {
    return TerminalProgress::Mode::None;
  }
  return ::isatty(STDERR_FILENO) == 1 ? TerminalProgress::Mode::Bar : TerminalProgress::Mode::Lines;
}

}  // namespace tavra::loader::cli
