#include "clientlib/waitloop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <thread>

namespace fiscal::clientlib {

namespace {
int g_waiting = 0;   // GUI thread only

struct Waiting {
    Waiting() { ++g_waiting; }
    ~Waiting() { --g_waiting; }
    Waiting(const Waiting &) = delete;
    Waiting &operator=(const Waiting &) = delete;
};
} // namespace

bool waitingWithoutInput()
{
    return g_waiting > 0;
}

void waitWithoutInput(const std::function<bool()> &done)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        while (!done()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return;
    }
    // Most waits (a code field's lookup) end within a few milliseconds; caught here, under a
    // frame's time, they do not pay the loop's polling period, which would be most of their cost.
    const auto shortWait = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
    while (!done() && std::chrono::steady_clock::now() < shortWait) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    if (done()) {
        return;
    }
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    poll.start();
    if (!done()) {
        const Waiting waiting;
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
}

void pumpWithoutInput()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        const Waiting waiting;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}

} // namespace fiscal::clientlib
