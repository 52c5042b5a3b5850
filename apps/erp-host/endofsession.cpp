#include "endofsession.h"

#include <QGuiApplication>
#include <QMainWindow>
#include <QSessionManager>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP};
// Written by the signal handler, read on the event loop: a handler may do little else.
int g_pipe[2] = {-1, -1};

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
        for (int sig : kSignals)
            sigaction(sig, &closing, nullptr);
    }
    connect(qApp, &QGuiApplication::commitDataRequest, this, &EndOfSession::onCommitData);
}

EndOfSession::~EndOfSession()
{
    if (g_pipe[0] < 0)
        return;
    for (int sig : kSignals)
        std::signal(sig, SIG_DFL);
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
    // A screen may ask about unsaved changes; a "Cancelar" keeps the program open.
    m_window.close();
}

void EndOfSession::onCommitData(QSessionManager &manager)
{
    // Without leave to ask, nothing can be saved or asked: the session manager decides.
    if (!manager.allowsInteraction())
        return;
    const bool closed = m_window.close();
    manager.release();
    if (!closed)
        manager.cancel();   // the user chose to stay: the log-out stops
}
