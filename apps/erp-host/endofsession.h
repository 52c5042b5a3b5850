#pragma once
// The desktop session ending (log-out, shut-down) or the process asked to stop (SIGTERM, or
// SIGHUP when the terminal that started it closes): the host closes as if the user closed
// it, so every screen asks about its unsaved changes first, instead of dying with them.

#include <QObject>

class QMainWindow;
class QSessionManager;
class QSocketNotifier;

class EndOfSession : public QObject {
public:
    // While it lives; the signals go back to their default action when it goes.
    explicit EndOfSession(QMainWindow &window);
    ~EndOfSession() override;

private:
    void onSignal();
    void onCommitData(QSessionManager &manager);
    void closeWhenFree();

    QMainWindow &m_window;
    QSocketNotifier *m_notifier = nullptr;
    bool m_wanted = false;    // a signal asked for the close
    bool m_closing = false;   // the close (and the questions it asks) under way
};
