#include "vcl/menus.h"

#include "vcl/guard.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QPointer>
#include <QWidget>

namespace fiscal::vcl {

namespace {

// Qt has no signal for a widget's enabled state; watch the event instead.
class EnabledFollower : public QObject {
public:
    EnabledFollower(QAction *action, QAbstractButton *button)
        : QObject(action), m_action(action), m_button(button)
    {
        button->installEventFilter(this);
        connect(button, &QObject::destroyed, this, &QObject::deleteLater);
        sync();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_button && event->type() == QEvent::EnabledChange)
            sync();
        return false;
    }

private:
    void sync() { m_action->setEnabled(m_button->isEnabled()); }
    QAction *m_action;
    QAbstractButton *m_button;
};

// A focused widget is asked first whether it wants a key that is also a shortcut
// (ShortcutOverride); keeping the question from it leaves the key to the shortcut.
class ShortcutWinner : public QObject {
public:
    ShortcutWinner(QAction *action, QWidget *screen)
        : QObject(action), m_action(action), m_screen(screen)
    {
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::ShortcutOverride || !m_screen || !m_action->isEnabled())
            return false;
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget || (widget != m_screen && !m_screen->isAncestorOf(widget)))
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        const QKeyCombination pressed(key->modifiers() & ~Qt::KeypadModifier, Qt::Key(key->key()));
        if (!m_action->shortcuts().contains(QKeySequence(pressed)))
            return false;
        event->ignore();
        return true;
    }

private:
    QAction *m_action;
    QPointer<QWidget> m_screen;
};

} // namespace

QAction *newMenuItem(QObject *parent, const QString &caption, const QKeySequence &shortcut,
                     std::function<void()> onClick, bool checkable)
{
    auto *action = new QAction(caption, parent);
    action->setShortcut(shortcut);
    action->setCheckable(checkable);
    if (onClick)
        QObject::connect(action, &QAction::triggered, action, [fn = std::move(onClick)] { guarded(fn); });
    return action;
}

void linkEnabled(QAction *action, QAbstractButton *button)
{
    new EnabledFollower(action, button);
}

void shortcutWins(QAction *action, QWidget *screen)
{
    new ShortcutWinner(action, screen);
}

} // namespace fiscal::vcl
