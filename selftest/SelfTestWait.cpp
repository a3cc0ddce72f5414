#include "selftest/SelfTestWait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return condition();
}

void pump(int ms)
{
    QElapsedTimer clock;
    clock.start();
    waitUntil([&clock, ms] { return clock.elapsed() >= ms; }, ms + 1000);
}
