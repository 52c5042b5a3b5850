#pragma once
// Menu entries over QAction.
//
//   newMenuItem(parent, "Ca&dastramento Automático", QKeySequence("Ctrl+A"), onClick)
//       an action with the caption ('&' marks the accelerator), optional shortcut and a
//       click handler that runs through guarded(); checkable when `checkable`
//   linkEnabled(action, button)
//       the menu entry follows the button's enabled state from now on (and takes it at
//       once); while the button is disabled the shortcut does nothing either
//   shortcutWins(action, screen)
//       while the action is enabled, its shortcut runs it wherever the focus is inside
//       the screen, also in boxes and grid editors that have a use of their own for the
//       keys (a line edit takes Ctrl+A as "select all"); while it is disabled the box
//       does what it does

#include <QAction>
#include <QKeySequence>
#include <functional>

class QAbstractButton;

namespace fiscal::vcl {

QAction *newMenuItem(QObject *parent, const QString &caption, const QKeySequence &shortcut = {},
                     std::function<void()> onClick = {}, bool checkable = false);

void linkEnabled(QAction *action, QAbstractButton *button);

void shortcutWins(QAction *action, QWidget *screen);

} // namespace fiscal::vcl
