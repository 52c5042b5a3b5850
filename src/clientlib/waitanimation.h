#pragma once
// The wait animation shown over a window while a long synchronous call runs.
//
//   ActiveShowAvi(owner, kind, "Atualizando dados...");   // kinds: 0 connecting,
//   ... synchronous call ...                              //   6 reading / automatic
//   DeactiveShowAvi();                                    //   registration, 1 saving
//
// It is a non-modal panel laid over the owner's window. It keeps moving during a
// synchronous server call because the connection waits in a local event loop that
// delivers timers and paint events but no user input (netconnection.h). There is one
// animation at a time: showing it again moves it to the new owner and text.
//
// WaitScope hides it when it goes out of scope, so an exception cannot leave it behind.

#include <QFrame>
#include <QPointer>
#include <QString>

class QTimer;

namespace fiscal::clientlib {

class WaitAnimation : public QFrame {
    Q_OBJECT
public:
    WaitAnimation(QWidget *owner, int kind, const QString &text);

    int kind() const { return m_kind; }
    QString text() const { return m_text; }
    // Frames drawn since it appeared; advances only while an event loop runs.
    int frame() const { return m_frame; }

    void restart(QWidget *owner, int kind, const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();
    void tick();

    int m_kind = 0;
    QString m_text;
    int m_frame = 0;
    QTimer *m_timer = nullptr;
    QPointer<QWidget> m_host;
};

void ActiveShowAvi(QWidget *owner, int kind, const QString &text = QString());
void DeactiveShowAvi();

// The animation on screen, or nullptr.
WaitAnimation *currentWaitAnimation();

class WaitScope {
public:
    WaitScope(QWidget *owner, int kind, const QString &text = QString()) { ActiveShowAvi(owner, kind, text); }
    ~WaitScope() { DeactiveShowAvi(); }
    WaitScope(const WaitScope &) = delete;
    WaitScope &operator=(const WaitScope &) = delete;
};

} // namespace fiscal::clientlib
