#include "vcl/focuswatch.h"

#include "vcl/edit.h"
#include "vcl/guard.h"

#include <QApplication>
#include <QMdiSubWindow>

namespace fiscal::vcl {

FocusWatch &FocusWatch::instance()
{
    static QPointer<FocusWatch> watch;
    if (!watch)
        watch = new FocusWatch(qApp);
    return *watch;
}

FocusWatch::FocusWatch(QObject *parent)
    : QObject(parent)
{
    connect(qApp, &QApplication::focusChanged, this, &FocusWatch::onFocusChanged);
}

void FocusWatch::track(QWidget *w)
{
    if (m_handlers.contains(w))
        return;
    m_handlers.insert(w, {});
    connect(w, &QObject::destroyed, this, [this, w] {
        m_handlers.remove(w);
        m_lastFocus.remove(w);
    });
}

void FocusWatch::setOnEnter(QWidget *w, std::function<void()> fn)
{
    track(w);
    m_handlers[w].enter = std::move(fn);
}

void FocusWatch::setOnExit(QWidget *w, std::function<void()> fn)
{
    track(w);
    m_handlers[w].exit = std::move(fn);
}

void FocusWatch::setPartOf(QWidget *part, QWidget *owner)
{
    if (!m_partOf.contains(part))
        connect(part, &QObject::destroyed, this, [this, part] { m_partOf.remove(part); });
    m_partOf.insert(part, owner);
}

QWidget *FocusWatch::parentOf(QWidget *w) const
{
    if (QWidget *owner = m_partOf.value(w))
        return owner;
    return w->isWindow() ? nullptr : w->parentWidget();
}

QWidget *FocusWatch::scopeOf(QWidget *w)
{
    for (; w; w = w->parentWidget()) {
        if (w->isWindow() || qobject_cast<QMdiSubWindow *>(w))
            return w;
    }
    return nullptr;
}

bool FocusWatch::contains(QWidget *container, QWidget *w) const
{
    for (QWidget *x = w; x; x = parentOf(x)) {
        if (x == container)
            return true;
    }
    return false;
}

void FocusWatch::onFocusChanged(QWidget *, QWidget *now)
{
    if (!now)
        return;
    // A click on a screen's title bar gives its frame the focus on the way back to the
    // widget that had it: not a move of the user's.
    if (qobject_cast<QMdiSubWindow *>(now))
        return;
    QWidget *window = scopeOf(now);
    // Focus moves while this window's handlers run are theirs or the window manager's
    // (see the header), not the user's.
    if (m_busy.contains(window))
        return;
    if (!m_lastFocus.contains(window)) {
        m_lastFocus.insert(window, {});
        connect(window, &QObject::destroyed, this, [this, window] { m_lastFocus.remove(window); });
    }
    QWidget *prev = lastFocus(window);
    if (prev == now)
        return;
    transition(window, prev, now);
}

void FocusWatch::transition(QWidget *window, QWidget *prev, QWidget *now)
{
    QList<QWidget *> exits;
    for (QWidget *w = prev; w; w = parentOf(w)) {
        if (m_handlers.contains(w) && !contains(w, now))
            exits.append(w);
    }
    QList<QWidget *> enters;
    for (QWidget *w = now; w; w = parentOf(w)) {
        if (m_handlers.contains(w) && !contains(w, prev))
            enters.prepend(w);
    }

    m_busy.insert(window);
    QPointer<QWidget> guardNow(now);
    QPointer<QWidget> guardPrev(prev);
    for (QWidget *w : std::as_const(exits)) {
        QPointer<QWidget> alive(w);
        const std::function<void()> fn = m_handlers.value(w).exit;
        if (!fn)
            continue;
        if (!guarded(fn)) {
            ++m_refusedExits;
            // Refused: the focus goes back to where it was (or to the container whose
            // exit refused, when the widget that had it is gone, e.g. a closed editor).
            QWidget *back = guardPrev && guardPrev->isVisible() && guardPrev->isEnabled() ? guardPrev.data()
                                                                                          : alive.data();
            if (back && back->isVisible() && back->isEnabled()) {
                // After a message the window may not be active yet: a box selects its text
                // now, as the focus event would not.
                if (auto *edit = qobject_cast<TCustomEdit *>(back))
                    edit->SetFocus();
                else
                    back->setFocus(Qt::OtherFocusReason);
            }
            remember(window, back ? back : QApplication::focusWidget());
            m_busy.remove(window);
            return;
        }
    }
    remember(window, guardNow ? guardNow.data() : QApplication::focusWidget());
    for (QWidget *w : std::as_const(enters)) {
        if (!m_handlers.contains(w))
            continue;
        const std::function<void()> fn = m_handlers.value(w).enter;
        guarded(fn);
    }
    m_busy.remove(window);
    // A handler may have moved the focus on purpose; follow it as a move of its own.
    QWidget *current = QApplication::focusWidget();
    if (current && scopeOf(current) == window && current != lastFocus(window))
        onFocusChanged(nullptr, current);
}

QWidget *FocusWatch::lastFocus(QWidget *window) const
{
    for (const QPointer<QWidget> &w : m_lastFocus.value(window))
        if (w)
            return w;
    return nullptr;
}

void FocusWatch::remember(QWidget *window, QWidget *w)
{
    QList<QPointer<QWidget>> chain;
    for (QWidget *x = w; x; x = parentOf(x))
        chain.append(x);
    m_lastFocus[window] = chain;
}

} // namespace fiscal::vcl
