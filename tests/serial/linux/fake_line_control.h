#pragma once

#include "line_control.h"

#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

// The modem lines of a port, in place of the hardware: what its driver
// supports (calls it cannot do answer `unsupported`), edges made on demand,
// and an unplug after which every call fails. Waits block in read(), so a
// signal interrupts them with EINTR as it does a real TIOCMIWAIT.
class FakeLineControl : public serial::LineControl {
public:
    struct Driver {
        bool lines = true;          // TIOCMGET, TIOCMBIS/TIOCMBIC
        bool counts = true;         // TIOCGICOUNT
        bool countsChanges = true;  // its counters move (cp210x: never)
        bool waits = true;          // TIOCMIWAIT
        int unsupported = ENOTTY;   // old kernels say EINVAL
        bool ringTrailingOnly = false;  // 8250: RI counts only when it falls
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
        if (const int error = answer(driver_.waits, [&] { seen = changes_; ++waitsBegun_; }))
            return error;
        for (;;) {
            eventfd_t drained = 0;
            if (::eventfd_read(wakeFd_, &drained) != 0 && errno == EINTR)
                return EINTR;
            std::lock_guard lock(mutex_);
            if (gone_ != 0 || changes_ != seen)
                return gone_;
        }
    }

    // Any thread. `edges` changes of the line with this TIOCM bit, all at once.
    void toggle(int bit, int edges = 1)
    {
        std::lock_guard lock(mutex_);
        // Of `edges` changes from the present level, half fall, the odd one
        // falling only when the line is raised now.
        const int falling = (edges + ((bits_ & bit) != 0 ? 1 : 0)) / 2;
        bits_ ^= edges % 2 != 0 ? bit : 0;
        changes_ += edges;
        int& count = bit == TIOCM_CTS ? counts_.cts : bit == TIOCM_DSR ? counts_.dsr : bit == TIOCM_CD ? counts_.dcd : counts_.rng;
        if (driver_.countsChanges)
            count += bit == TIOCM_RNG && driver_.ringTrailingOnly ? falling : edges;
        wake();
    }
    // Every call from now on fails with `error`; a blocked wait returns it.
    void unplug(int error)
    {
        std::lock_guard lock(mutex_);
        gone_ = error;
        wake();
    }

    int waitsBegun() const { std::lock_guard lock(mutex_); return waitsBegun_; }

private:
    template <typename Step>
    int answer(bool supported, Step step)
    {
        std::lock_guard lock(mutex_);
        const int error = gone_ != 0 ? gone_ : supported ? 0 : driver_.unsupported;
        if (error == 0)
            step();
        return error;
    }
    void wake() { ::eventfd_write(wakeFd_, 1); }

    const Driver driver_;
    const int wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    mutable std::mutex mutex_;
    int bits_ = 0;
    serial::LineCounts counts_;
    int changes_ = 0;  // every edge, counted or not: what a wait wakes for
    int gone_ = 0;
    int waitsBegun_ = 0;
};
