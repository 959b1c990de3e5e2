#pragma once
// Captions of the loader's windows in the active language, and the switch between languages.
//
// ApplyCaptions sets the text of every child of `root` whose object name is a component of the
// window's caption table (labels, buttons, menus, actions; a tool button also takes its hint),
// and the window title when `root`'s own caption row is named. Each window calls it when built
// and on QEvent::LanguageChange. SwitchLanguage makes a language the active one, remembers it in
// the loader settings and sends QEvent::LanguageChange to every top-level window.
//
// No state of its own; the user-interface thread. No lock.

#include <QStringList>
#include <QWidget>

#include "loader/window/caption_tables.h"

namespace tavra::loader {

// `titleRow` names the row of the window's title (empty: the title is not from the table);
// `keep` lists components whose built caption stays (the about box's ProductName).
void ApplyCaptions(QWidget* root,
                   LoaderWindow window,
                   std::string_view titleRow = {},
                   const QStringList& keep = {});

[[nodiscard]] QString CaptionText(LoaderWindow window, std::string_view component);

void SwitchLanguage(Language language);

}  // namespace tavra::loader
