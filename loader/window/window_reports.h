#pragma once
// The window's side of the controller link's reports: message boxes, progress bars and the
// debug display, usable from the window's worker thread.
//
// WindowBoxes::Show looks the texts up in the message table and shows a modal box with an OK
// button and no icon; from the worker it waits (blocking queued call) until the user has closed
// the box on the user-interface thread. PostNotice only queues the box and returns. Once
// SetClosing(true) is called no further box is shown (the window is going away), so a worker
// that reports during the shutdown is never held up.
//
// Owner: the main window. Threads: Show from any thread; the presenter runs on the
// user-interface thread. No lock (the closing flag is atomic).

#include <QPlainTextEdit>
#include <QPointer>
#include <atomic>
#include <functional>
#include <mutex>

#include "loader/link/disp_log.h"
#include "loader/link/loader_reports.h"
#include "loader/window/progress_bar_3d.h"

namespace tavra::loader {

class WindowBoxes final : public MessageBoxes {
 public:
  // Shows one box and returns when it was closed (tests put a recorder here).
  using Presenter = std::function<void(const QString& text, const QString& caption)>;

  // `owner` is the window the boxes belong to; it lives on the user-interface thread.
  explicit WindowBoxes(QWidget* owner);
  void SetPresenter(Presenter presenter) { m_present = std::move(presenter); }
  void SetClosing(bool closing) { m_closing = closing; }

  void Show(std::string_view textId, std::string_view captionId) override;
  void PostNotice(std::string text, std::string caption) override;

 private:
  void Present(const QString& text, const QString& caption);

  QWidget* m_owner;
  Presenter m_present;
  std::atomic<bool> m_closing{false};
};

// The worker's progress calls, queued to a bar of the window.
class BarProgress final : public Progress {
 public:
  explicit BarProgress(ProgressBar3D* bar) : m_bar(bar) {}
  void SetMaximum(int maximum) override;
  void SetPosition(int position) override;

 private:
  QPointer<ProgressBar3D> m_bar;
};

// The debug display over a QPlainTextEdit of the window. The line count is kept here, under a
// mutex, so that TDispLog sees at once what its queued edits will make of the memo.
class MemoDisplay final : public DisplayMemo {
 public:
  explicit MemoDisplay(QPlainTextEdit* memo) : m_memo(memo) {}
  [[nodiscard]] int LineCount() const override;
  void DeleteFirstLine() override;
  void AppendLine(std::string_view line) override;
  void SetScrollBars(bool horizontal, bool vertical) override;

 private:
  QPointer<QPlainTextEdit> m_memo;
  mutable std::mutex m_mutex;
  int m_lines = 0;  // guarded by m_mutex
};

}  // namespace tavra::loader
