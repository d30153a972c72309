#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <thread>

// A pseudo-terminal made for the test: the service opens its slave side
// through a fake tree; closing the master hangs the slave up.
struct Pty {
    Pty() { if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("no pseudo-terminal"); }
    ~Pty() { hangUp(); }
    QString slavePath() const { return QString::fromLocal8Bit(::ptsname(master)); }
    void hangUp() { if (master >= 0) ::close(std::exchange(master, -1)); }
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
};

// A dev/ and sys/ tree in a temporary folder, as the device map reads it.
struct FakeTree {
    FakeTree() { QDir(root()).mkpath(QStringLiteral("dev/serial/by-id")); }
    QString root() const { return dir.path(); }
    // dev/<name>: a link to `target` or, when empty, a plain file; each
    // "attribute=value" goes to sys/class/tty/<name>/attribute.
    void addDevice(const QString& name, const QString& target = {}, const QStringList& attributes = {})
    {
        const QString path = root() + "/dev/" + name, sys = root() + "/sys/class/tty/" + name + '/';
        target.isEmpty() ? QFile(path).open(QIODevice::WriteOnly) : QFile::link(target, path);
        for (const QString& attribute : attributes) {
            QFile file(sys + attribute.section('=', 0, 0));
            if (QDir().mkpath(sys) && file.open(QIODevice::WriteOnly))
                file.write(attribute.section('=', 1).toLatin1() + '\n');
        }
    }
    void removeDevice(const QString& name) { QFile::remove(root() + "/dev/" + name); }
    // dev/serial/by-id/<link> -> ../../<name>
    void addStableName(const QString& link, const QString& name) { QFile::link("../../" + name, root() + "/dev/serial/by-id/" + link); }
    QTemporaryDir dir;
};

// COM 1 of its tree is the pseudo-terminal, as a USB adapter.
struct PtyTree {
    PtyTree() { tree.addDevice(QStringLiteral("ttyUSB0"), pty.slavePath()); }
    Pty pty;
    FakeTree tree;
};

// Runs the event loop until `done` or the time is up; true when done. Unlike
// QTest::qWaitFor it never sleeps 10 ms with events due, which would show in
// the benchmarks' figures of the window thread.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    for (const QDeadlineTimer deadline(limit); !done() && !deadline.hasExpired(); std::this_thread::sleep_for(std::chrono::microseconds(200)))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}
