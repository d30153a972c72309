#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <chrono>
#include <functional>
#include <thread>

// Runs the event loop until `done` or the time is up; true when done. Unlike
// QTest::qWaitFor it never sleeps 10 ms with events due, which would show in
// the benchmarks' figures of the window thread.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    for (const QDeadlineTimer deadline(limit); !done() && !deadline.hasExpired();) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return done();
}
