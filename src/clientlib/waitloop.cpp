#include "clientlib/waitloop_p.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <thread>

namespace fiscal::clientlib {

void waitWithoutInput(const std::function<bool()> &done)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        while (!done()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
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
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
}

} // namespace fiscal::clientlib
