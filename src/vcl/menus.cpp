#include "vcl/menus.h"

#include "vcl/guard.h"

#include <QAbstractButton>
#include <QEvent>

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

} // namespace fiscal::vcl
