#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>
#include <utility>

// A pseudo-terminal made for the test: the service opens its slave side
// through a fake tree; closing the master hangs the slave up.
struct Pty {
    Pty()
    {
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
    }
    Pty(const Pty&) = delete;
    ~Pty() { hangUp(); }
    QString slavePath() const { return QString::fromLocal8Bit(::ptsname(master)); }
    void hangUp()
    {
        if (master >= 0)
            ::close(std::exchange(master, -1));
    }

    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
};

// A dev/ and sys/ tree in a temporary folder, as the device map reads it.
class FakeTree {
public:
    FakeTree() { QDir(root()).mkpath(QStringLiteral("dev/serial/by-id")); }
    QString root() const { return dir_.path(); }

    // dev/<name>: a link to `target` or, when empty, a plain file; each
    // "attribute=value" goes to sys/class/tty/<name>/attribute.
    void addDevice(const QString& name, const QString& target = {}, const QStringList& attributes = {})
    {
        const QString path = root() + QStringLiteral("/dev/") + name;
        target.isEmpty() ? QFile(path).open(QIODevice::WriteOnly) : QFile::link(target, path);
        const QString sys = root() + QStringLiteral("/sys/class/tty/") + name + QLatin1Char('/');
        for (const QString& attribute : attributes) {
            QDir().mkpath(sys);
            QFile file(sys + attribute.section(QLatin1Char('='), 0, 0));
            if (file.open(QIODevice::WriteOnly))
                file.write(attribute.section(QLatin1Char('='), 1).toLatin1() + '\n');
        }
    }
    void removeDevice(const QString& name) { QFile::remove(root() + QStringLiteral("/dev/") + name); }
    // dev/serial/by-id/<link> -> ../../<name>
    void addStableName(const QString& link, const QString& name)
    {
        QFile::link(QStringLiteral("../../") + name, root() + QStringLiteral("/dev/serial/by-id/") + link);
    }

private:
    QTemporaryDir dir_;
};

// COM 1 of its tree is the pseudo-terminal, as a USB adapter.
struct PtyTree {
    PtyTree() { tree.addDevice(QStringLiteral("ttyUSB0"), pty.slavePath()); }
    Pty pty;
    FakeTree tree;
};

// Runs the event loop until `done` or the time is up; true when done.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    const QDeadlineTimer deadline(limit);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return done();
}

// Runs `step`; should it block past `limit`, SIGALRM ends the test run, so no test can hang.
inline void bounded(std::chrono::seconds limit, const std::function<void()>& step)
{
    ::alarm(static_cast<unsigned>(limit.count()));
    step();
    ::alarm(0);
}
