#include "loader/window/window_reports.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>

#include "loader/link/message_texts.h"
#include "loader/window/caption_tables.h"

namespace tavra::loader {
namespace {

QString Message(std::string_view id) {
  return QString::fromUtf8(LookupMessage(id, ActiveLanguage()));
}

void ShowBox(QWidget* owner, const QString& text, const QString& caption) {
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
  box.button(QMessageBox::Ok)->setText(QString::fromUtf8(StandardCaption("OK")));
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

bool OnThreadOf(const QObject* object) {
  return QThread::currentThread() == object->thread();
}

}  // namespace

WindowBoxes::WindowBoxes(QWidget* owner)
    : m_owner(owner), m_present([owner](const QString& text, const QString& caption) {
        ShowBox(owner, text, caption);
      }) {}

void WindowBoxes::Present(const QString& text, const QString& caption) {
  if (!m_closing && m_present) {
    m_present(text, caption);
  }
}

void WindowBoxes::Show(std::string_view textId, std::string_view captionId) {
  if (m_closing) {
    return;
  }
  const QString text = Message(textId);
  const QString caption = Message(captionId);
  if (OnThreadOf(m_owner)) {
    Present(text, caption);
    return;
  }
  QMetaObject::invokeMethod(
      m_owner, [this, text, caption] { Present(text, caption); }, Qt::BlockingQueuedConnection);
}

void WindowBoxes::PostNotice(std::string text, std::string caption) {
  QMetaObject::invokeMethod(
      m_owner,
      [this, text = QString::fromStdString(text), caption = QString::fromStdString(caption)] {
        Present(text, caption);
      },
      Qt::QueuedConnection);
}

void BarProgress::SetMaximum(int maximum) {
  QMetaObject::invokeMethod(
      m_bar, [bar = m_bar, maximum] { bar->setMaximum(maximum); }, Qt::QueuedConnection);
}

void BarProgress::SetPosition(int position) {
  QMetaObject::invokeMethod(
      m_bar, [bar = m_bar, position] { bar->setPosition(position); }, Qt::QueuedConnection);
}

int MemoDisplay::LineCount() const {
  std::lock_guard lock(m_mutex);
  return m_lines;
}

void MemoDisplay::DeleteFirstLine() {
  {
    std::lock_guard lock(m_mutex);
    if (m_lines == 0) {
      return;
    }
    --m_lines;
  }
  QMetaObject::invokeMethod(
      m_memo,
      [memo = m_memo] {
        QTextCursor cursor(memo->document()->firstBlock());
        cursor.select(QTextCursor::BlockUnderCursor);
        cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
      },
      Qt::QueuedConnection);
}

void MemoDisplay::AppendLine(std::string_view line) {
  {
    std::lock_guard lock(m_mutex);
    ++m_lines;
  }
  QMetaObject::invokeMethod(
      m_memo,
      [memo = m_memo, text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()))] {
        memo->appendPlainText(text);
      },
      Qt::QueuedConnection);
}

void MemoDisplay::SetScrollBars(bool horizontal, bool vertical) {
  QMetaObject::invokeMethod(
      m_memo,
      [memo = m_memo, horizontal, vertical] {
        memo->setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAlwaysOn
                                                      : Qt::ScrollBarAlwaysOff);
        memo->setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        memo->setLineWrapMode(horizontal ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
      },
      Qt::QueuedConnection);
}

}  // namespace tavra::loader
