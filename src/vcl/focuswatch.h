#pragma once
// Enter/exit events for boxes and containers.
//
// A watched widget is "entered" when the focus arrives on it or on any widget inside it
// coming from a widget outside it, and "exited" when the focus goes from inside it to a
// widget outside it. Focus moves are followed per top-level window and per MDI sub-window,
// so a message box or a modal dialog that takes the focus for a while does not exit
// anything, nor does a click into another screen of the host: each screen keeps its edit.
//
// While the handlers of a window run, focus moves in that window are not followed: putting
// the focus back is the handler's own move, and the window manager activating the window
// again while a box of the handler is up restores its focus without the user moving it.
// Each window is guarded on its own, so the box's focus moves do not end the guard of the
// window whose check opened it.
//
// On one focus move the exits run first, innermost first; then the enters, outermost
// first. Handlers run through guarded(): an exit handler that throws (EAbort included)
// keeps the focus where it was: the focus is put back and no enter handler runs. This is
// how "leaving a box validates it" works.
//
//   setOnEnter(widget, fn) / setOnExit(widget, fn)    empty fn removes that handler
//   setPartOf(part, owner)     a widget laid out beside another as part of it (a grid's
//                              find bar) counts as inside it
//   FocusWatch::instance()                            the application-wide watcher

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QWidget>
#include <functional>

namespace fiscal::vcl {

class FocusWatch : public QObject {
    Q_OBJECT
public:
    static FocusWatch &instance();

    void setOnEnter(QWidget *w, std::function<void()> fn);
    void setOnExit(QWidget *w, std::function<void()> fn);
    // How many exits have refused so far: a check that moves the focus to say why it stops
    // tells by it that the box the user left refused, and said why first.
    int refusedExits() const { return m_refusedExits; }
    void setPartOf(QWidget *part, QWidget *owner);
    bool contains(QWidget *container, QWidget *w) const;

private:
    explicit FocusWatch(QObject *parent);
    struct Handlers {
        std::function<void()> enter;
        std::function<void()> exit;
    };
    void track(QWidget *w);
    void onFocusChanged(QWidget *old, QWidget *now);
    void transition(QWidget *window, QWidget *prev, QWidget *now);
    QWidget *parentOf(QWidget *w) const;
    static QWidget *scopeOf(QWidget *w);   // the window or MDI sub-window focus is followed in

    QHash<QWidget *, Handlers> m_handlers;
    // Per window (see scopeOf): the widget that had the focus last and its parents, so that when
    // it is gone (a cell editor closed as the window lost activation) the nearest one left
    // stands for it.
    QHash<QWidget *, QList<QPointer<QWidget>>> m_lastFocus;
    QWidget *lastFocus(QWidget *window) const;
    void remember(QWidget *window, QWidget *w);
    QHash<QWidget *, QPointer<QWidget>> m_partOf;
    int m_refusedExits = 0;
    QSet<QWidget *> m_busy;   // windows whose handlers are running
};

inline void setOnEnter(QWidget *w, std::function<void()> fn) { FocusWatch::instance().setOnEnter(w, std::move(fn)); }
inline void setOnExit(QWidget *w, std::function<void()> fn) { FocusWatch::instance().setOnExit(w, std::move(fn)); }

} // namespace fiscal::vcl
