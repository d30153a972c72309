#pragma once

#include "line_control.h"

#include <QStringList>

#include <mutex>

// The modem lines of a port, in place of the hardware: what its driver
// supports (calls it cannot do answer `unsupported`), edges made on demand,
// and an unplug after which every call fails. Waits block in poll(), so a
// signal interrupts them with EINTR as it does a real TIOCMIWAIT. Control-line
// writes are recorded ("DTR+", "RTS-").
class FakeLineControl : public serial::LineControl {
public:
    struct Driver {
        bool lines = true;          // TIOCMGET
        bool counts = true;         // TIOCGICOUNT
        bool countsChanges = true;  // its counters move (cp210x: never)
        bool waits = true;          // TIOCMIWAIT
        bool controlLines = true;   // TIOCMBIS/TIOCMBIC
        int unsupported = 25;       // ENOTTY; old kernels say EINVAL (22)
    };

    explicit FakeLineControl(Driver driver);
    ~FakeLineControl() override;

    int getLines(int fd, int& bits) override;
    int raiseLines(int fd, int bits) override;
    int lowerLines(int fd, int bits) override;
    int getCounts(int fd, serial::LineCounts& counts) override;
    int waitForChange(int fd, int bits) override;

    // Any thread. `edges` changes of the line with this TIOCM bit, all at once.
    void toggle(int bit, int edges = 1);
    // Counters as a driver that counted before the port was opened.
    void presetCounts(const serial::LineCounts& counts);
    // Every call from now on fails with `error`; a blocked wait returns it.
    void unplug(int error);

    int waitsBegun() const;
    QStringList controlWrites() const;

private:
    int check(bool supported) const;  // mutex_ held
    void wake();

    const Driver driver_;
    const int wakeFd_;
    mutable std::mutex mutex_;
    int bits_ = 0;
    serial::LineCounts counts_;
    int changes_ = 0;  // every edge, counted or not: what a wait wakes for
    int gone_ = 0;
    int waitsBegun_ = 0;
    QStringList controlWrites_;
};
