#pragma once

// A port for the tests: a pseudo-terminal behind a fake device tree, and its
// modem lines from a fake of the kernel's requests.

#include "line_control.h"

#include <QtCore>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <stdexcept>

// A pseudo-terminal made for the test: the service opens its slave side
// through a fake tree; closing the master hangs the slave up.
struct Pty {
    Pty() { if (::unlockpt(master) != 0) throw std::runtime_error("no pseudo-terminal"); }
    ~Pty() { hangUp(); }
    QString slavePath() const { return QString::fromLocal8Bit(::ptsname(master)); }
    void hangUp() { ::close(std::exchange(master, -1)); }
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
};

// A dev/ and sys/ tree in a temporary folder, as the device map reads it.
struct FakeTree {
    FakeTree() { QDir(root()).mkpath(QStringLiteral("dev/serial/by-id")); }
    QString root() const { return dir.path(); }
    // dev/<name>: a link to `target` or, when empty, a plain file; each
    // "attribute=value" goes to sys/class/tty/<name>/attribute. A stable name
    // is a link "serial/by-id/<link>" to "../../<name>".
    void addDevice(const QString& name, const QString& target = {}, const QStringList& attributes = {})
    {
        const QString path = root() + "/dev/" + name;
        const QString sys = root() + "/sys/class/tty/" + name + '/';
        if (!QFile::link(target, path))  // no target
            QFile(path).open(QIODevice::WriteOnly);
        for (const QString& attribute : attributes) {
            QFile file(sys + attribute.section('=', 0, 0));
            if (QDir().mkpath(sys) && file.open(QIODevice::WriteOnly))
                file.write(attribute.section('=', 1).toLatin1() + '\n');
        }
    }
    QTemporaryDir dir;
};

// COM 1 of its tree is the pseudo-terminal, as a USB adapter.
struct PtyTree {
    PtyTree() { tree.addDevice(QStringLiteral("ttyUSB0"), pty.slavePath()); }
    Pty pty;
    FakeTree tree;
};

// The modem lines of a port, in place of the hardware: what its driver
// supports (calls it cannot do answer `unsupported`), edges made on demand,
// and an unplug after which every call fails. Waits block in read(), so a
// signal interrupts them with EINTR as it does a real TIOCMIWAIT.
class FakeLineControl : public serial::LineControl {
public:
    // TIOCMGET/TIOCMBIS/TIOCMBIC; TIOCGICOUNT; counters that move (cp210x:
    // never); TIOCMIWAIT; what the others answer (old kernels: EINVAL).
    struct Driver {
        bool lines = true, counts = true, countsChanges = true, waits = true;
        int unsupported = ENOTTY;
    };

    explicit FakeLineControl(Driver driver) : driver_(driver) {}
    ~FakeLineControl() override { ::close(wakeFd_); }

    int getLines(int, int& bits) override { return answer(driver_.lines, [&] { bits = bits_; }); }
    int raiseLines(int, int bits) override { return answer(driver_.lines, [&] { bits_ |= bits; }); }
    int lowerLines(int, int bits) override { return answer(driver_.lines, [&] { bits_ &= ~bits; }); }
    int getCounts(int, serial::LineCounts& counts) override { return answer(driver_.counts, [&] { counts = counts_; }); }
    int waitForChange(int, int) override
    {
        int seen = 0;
        if (const int error = answer(driver_.waits, [&] { seen = changes_; }))
            return error;
        ++waitsBegun_;
        onWait();
        for (eventfd_t drained = 0;;) {
            if (::eventfd_read(wakeFd_, &drained) != 0 && errno == EINTR)
                return EINTR;
            if (std::lock_guard lock(mutex_); gone_ != 0 || changes_ != seen)
                return gone_;
        }
    }

    // Any thread. `edges` changes of the line with this TIOCM bit, all at once;
    // unless they `wake` it, a wait under way sleeps on, as if they had come
    // just before it began.
    void toggle(int bit, int edges = 1, bool wake = true)
    {
        std::lock_guard lock(mutex_);
        bits_ ^= edges % 2 != 0 ? bit : 0;
        changes_ += wake ? edges : 0;
        auto& line = bit == TIOCM_CTS ? counts_.cts : bit == TIOCM_DSR ? counts_.dsr
                     : bit == TIOCM_CD ? counts_.dcd : counts_.rng;
        line += driver_.countsChanges ? edges : 0;
        ::eventfd_write(wakeFd_, 1);
    }
    // Every call from now on fails with `error`; a blocked wait returns it.
    void unplug(int error)
    {
        std::lock_guard lock(mutex_);
        gone_ = error;
        ::eventfd_write(wakeFd_, 1);
    }
    int waitsBegun() const { return waitsBegun_; }

    std::function<void()> onWait = [] {};  // on the waiting thread, once each wait has begun

private:
    template <typename Step> int answer(bool supported, Step step)
    {
        std::lock_guard lock(mutex_);
        const int error = gone_ != 0 ? gone_ : supported ? 0 : driver_.unsupported;
        if (error == 0)
            step();
        return error;
    }

    const Driver driver_;
    const int wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    mutable std::mutex mutex_;
    serial::LineCounts counts_;
    int bits_ = 0, changes_ = 0, gone_ = 0;  // changes_: every edge that wakes a wait
    std::atomic<int> waitsBegun_{0};
};
