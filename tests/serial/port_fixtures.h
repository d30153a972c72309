#pragma once

#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// A pseudo-terminal made for the test: the service opens its slave side
// through a fake tree; closing the master hangs the slave up.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    QString slavePath() const { return slave_; }
    int master() const { return master_; }
    void hangUp();

private:
    int master_ = -1;
    QString slave_;
};

// A dev/ and sys/ tree in a temporary folder, as the device map reads it.
class FakeTree {
public:
    FakeTree();
    QString root() const { return dir_.path(); }

    // dev/<name>: a link to `target` (a pty) or, when empty, a plain file.
    void addDevice(const QString& name, const QString& target = {});
    void removeDevice(const QString& name);
    // sys/class/tty/<name>/<attribute>
    void setAttribute(const QString& name, const QString& attribute, const QString& value);
    // An on-board UART line as serial core lists it: type 0 is no hardware.
    void addUart(const QString& name, int type, bool console = false, const QString& target = {});
    // dev/serial/by-id/<link> -> ../../<name>
    void addStableName(const QString& link, const QString& name);

private:
    QTemporaryDir dir_;
};

// Runs the event loop until `done` or the time is up; true when done.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5));

// Ends the test run if a step blocks past its bound, so no test can hang.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit);
    ~Watchdog();

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};
