#include "endofsession.h"

#include "clientlib/waitloop.h"

#include <QApplication>
#include <QMainWindow>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP};
// Written by the signal handler, read on the event loop: a handler may do little else.
int g_pipe[2] = {-1, -1};
// What each signal did before; one ignored (nohup) stays ignored.
struct sigaction g_before[std::size(kSignals)];
bool g_taken[std::size(kSignals)] = {};

// The screens are in the middle of something: a server call (its wait delivers timers and
// sockets, not input), a dialog or a question. Closing them then would delete a screen
// whose code is still running.
bool busy()
{
    return fiscal::clientlib::waitingWithoutInput() || QApplication::activeModalWidget()
           || QThread::currentThread()->loopLevel() > 1;
}

extern "C" void onEndingSignal(int sig)
{
    const int saved = errno;
    const char byte = char(sig);
    (void)!::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

EndOfSession::EndOfSession(QMainWindow &window) : QObject(&window), m_window(window)
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &EndOfSession::onSignal);
        struct sigaction closing{};
        closing.sa_handler = onEndingSignal;
        sigemptyset(&closing.sa_mask);
        closing.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            sigaction(kSignals[i], nullptr, &g_before[i]);
            g_taken[i] = g_before[i].sa_handler != SIG_IGN;
            if (g_taken[i])
                sigaction(kSignals[i], &closing, nullptr);
        }
    }
    connect(qApp, &QGuiApplication::commitDataRequest, this, &EndOfSession::onCommitData);
}

EndOfSession::~EndOfSession()
{
    if (g_pipe[0] < 0)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        if (g_taken[i])
            sigaction(kSignals[i], &g_before[i], nullptr);
    delete m_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void EndOfSession::onSignal()
{
    char bytes[16];
    while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
    m_wanted = true;
    closeWhenFree();
}

void EndOfSession::closeWhenFree()
{
    // A signal while the close asks its questions is answered by them.
    if (!m_wanted || m_closing)
        return;
    if (busy()) {
        QTimer::singleShot(200, this, &EndOfSession::closeWhenFree);
        return;
    }
    m_wanted = false;
    m_closing = true;
    // A screen may ask about unsaved changes; a "Cancelar" keeps the program open.
    m_window.close();
    m_closing = false;
}

void EndOfSession::onCommitData(QSessionManager &manager)
{
    // Without leave to ask, nothing can be saved or asked: the session manager decides.
    if (!manager.allowsInteraction())
        return;
    // In the middle of a call or a dialog the screens cannot close: the log-out stops, to be
    // asked again once the work is done, rather than go on over unsaved changes.
    const bool closed = !busy() && !m_closing && m_window.close();
    manager.release();
    if (!closed)
        manager.cancel();   // the user chose to stay, or the screens were busy
}
