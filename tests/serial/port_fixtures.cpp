#include "port_fixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

Pty::Pty()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    slave_ = QString::fromLocal8Bit(ptsname(master_));
}

Pty::~Pty()
{
    hangUp();
}

void Pty::hangUp()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

FakeTree::FakeTree()
{
    QDir(root()).mkpath(QStringLiteral("dev/serial/by-id"));
    QDir(root()).mkpath(QStringLiteral("sys/class/tty"));
}

void FakeTree::addDevice(const QString& name, const QString& target)
{
    const QString path = root() + QStringLiteral("/dev/") + name;
    if (target.isEmpty()) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
    } else {
        QFile::link(target, path);
    }
}

void FakeTree::removeDevice(const QString& name)
{
    QFile::remove(root() + QStringLiteral("/dev/") + name);
}

void FakeTree::setAttribute(const QString& name, const QString& attribute, const QString& value)
{
    const QString folder = root() + QStringLiteral("/sys/class/tty/") + name;
    QDir().mkpath(folder);
    QFile file(folder + QLatin1Char('/') + attribute);
    file.open(QIODevice::WriteOnly);
    file.write((value + QLatin1Char('\n')).toLatin1());
}

void FakeTree::addUart(const QString& name, int type, bool console, const QString& target)
{
    addDevice(name, target);
    setAttribute(name, QStringLiteral("type"), QString::number(type));
    setAttribute(name, QStringLiteral("console"), console ? QStringLiteral("Y") : QStringLiteral("N"));
}

void FakeTree::addStableName(const QString& link, const QString& name)
{
    QFile::link(QStringLiteral("../../") + name, root() + QStringLiteral("/dev/serial/by-id/") + link);
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limit.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(200);
    }
    return true;
}

Watchdog::Watchdog(std::chrono::seconds limit)
    : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
              std::fputs("a step blocked past its bound\n", stderr);
              std::abort();
          }
      })
{
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    done_.notify_all();
    thread_.join();
}
