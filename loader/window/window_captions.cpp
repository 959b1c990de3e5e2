#include "loader/window/window_captions.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMenu>
#include <QToolButton>

#include "loader/window/loader_settings.h"

namespace tavra::loader {
namespace {

// The row of `name` in the table, if there is one (a row may hold the empty text).
bool HasRow(const TextTable& table, const QString& name) {
  for (const TextRow& row : table.Rows()) {
    if (QString::fromUtf8(row.id.data(), static_cast<qsizetype>(row.id.size()))
            .compare(name, Qt::CaseInsensitive) == 0) {
      return true;
    }
  }
  return false;
}

// True when no other window (a child dialog, the port form) stands between `object` and `root`;
// the menus' pop-ups count as part of the window.
bool BelongsTo(const QObject* object, const QWidget* root) {
  for (const QObject* at = object; at != nullptr && at != root; at = at->parent()) {
    const auto* widget = qobject_cast<const QWidget*>(at);
    if (widget != nullptr && widget->isWindow() && qobject_cast<const QMenu*>(widget) == nullptr) {
      return false;
    }
  }
  return true;
}

void ApplyToWidget(QWidget* widget, LoaderWindow window, const QString& text) {
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(text);
    if (label->parentWidget() != nullptr && label->parentWidget()->layout() == nullptr) {
      label->adjustSize();  // placed by hand: its size follows its text
    }
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(text);
    if (qobject_cast<QToolButton*>(button) != nullptr) {
      button->setToolTip(QString::fromUtf8(Hint(window, button->objectName().toStdString())));
    }
  } else if (auto* menu = qobject_cast<QMenu*>(widget)) {
    menu->setTitle(text);
  }
}

}  // namespace

QString CaptionText(LoaderWindow window, std::string_view component) {
  return QString::fromUtf8(Caption(window, component));
}

void ApplyCaptions(QWidget* root,
                   LoaderWindow window,
                   std::string_view titleRow,
                   const QStringList& keep) {
  const TextTable& table = CaptionTable(window);
  const auto textOf = [window](const QString& name) {
    return CaptionText(window, name.toStdString());
  };
  for (QWidget* widget : root->findChildren<QWidget*>()) {
    const QString name = widget->objectName();
    if (!name.isEmpty() && !keep.contains(name) && BelongsTo(widget, root) && HasRow(table, name)) {
      ApplyToWidget(widget, window, textOf(name));
    }
  }
  for (QAction* action : root->findChildren<QAction*>()) {
    const QString name = action->objectName();
    if (!name.isEmpty() && !keep.contains(name) && BelongsTo(action, root) && HasRow(table, name)) {
      action->setText(textOf(name));
    }
  }
  if (!titleRow.empty()) {
    root->setWindowTitle(CaptionText(window, titleRow));
  }
}

void SwitchLanguage(Language language) {
  SetActiveLanguage(language);
  settings::WriteLanguage(language);
  QEvent change(QEvent::LanguageChange);
  for (QWidget* window : QApplication::topLevelWidgets()) {
    QCoreApplication::sendEvent(window, &change);
  }
}

}  // namespace tavra::loader
