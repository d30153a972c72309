#include "fake_line_control.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

FakeLineControl::FakeLineControl(Driver driver)
    : driver_(driver), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

FakeLineControl::~FakeLineControl()
{
    ::close(wakeFd_);
}

int FakeLineControl::check(bool supported) const
{
    if (gone_ != 0)
        return gone_;
    return supported ? 0 : driver_.unsupported;
}

int FakeLineControl::getLines(int, int& bits)
{
    std::lock_guard lock(mutex_);
    const int error = check(driver_.lines);
    if (error == 0)
        bits = bits_;
    return error;
}

int FakeLineControl::raiseLines(int, int bits)
{
    std::lock_guard lock(mutex_);
    const int error = check(driver_.controlLines);
    if (error == 0) {
        bits_ |= bits;
        if (bits & TIOCM_DTR)
            controlWrites_ << QStringLiteral("DTR+");
        if (bits & TIOCM_RTS)
            controlWrites_ << QStringLiteral("RTS+");
    }
    return error;
}

int FakeLineControl::lowerLines(int, int bits)
{
    std::lock_guard lock(mutex_);
    const int error = check(driver_.controlLines);
    if (error == 0) {
        bits_ &= ~bits;
        if (bits & TIOCM_DTR)
            controlWrites_ << QStringLiteral("DTR-");
        if (bits & TIOCM_RTS)
            controlWrites_ << QStringLiteral("RTS-");
    }
    return error;
}

int FakeLineControl::getCounts(int, serial::LineCounts& counts)
{
    std::lock_guard lock(mutex_);
    const int error = check(driver_.counts);
    if (error == 0)
        counts = counts_;
    return error;
}

int FakeLineControl::waitForChange(int, int)
{
    int seen = 0;
    {
        std::lock_guard lock(mutex_);
        if (const int error = check(driver_.waits))
            return error;
        seen = changes_;
        ++waitsBegun_;
    }
    for (;;) {
        pollfd wake{wakeFd_, POLLIN, 0};
        if (::poll(&wake, 1, -1) < 0 && errno == EINTR)
            return EINTR;
        std::uint64_t drained = 0;
        [[maybe_unused]] const auto n = ::read(wakeFd_, &drained, sizeof drained);
        std::lock_guard lock(mutex_);
        if (gone_ != 0)
            return gone_;
        if (changes_ != seen)
            return 0;
    }
}

void FakeLineControl::toggle(int bit, int edges)
{
    {
        std::lock_guard lock(mutex_);
        if (edges % 2 != 0)
            bits_ ^= bit;
        changes_ += edges;
        if (driver_.countsChanges) {
            switch (bit) {
            case TIOCM_CTS: counts_.cts += edges; break;
            case TIOCM_DSR: counts_.dsr += edges; break;
            case TIOCM_CD: counts_.dcd += edges; break;
            case TIOCM_RNG: counts_.rng += edges; break;
            default: break;
            }
        }
    }
    wake();
}

void FakeLineControl::presetCounts(const serial::LineCounts& counts)
{
    std::lock_guard lock(mutex_);
    counts_ = counts;
}

void FakeLineControl::unplug(int error)
{
    {
        std::lock_guard lock(mutex_);
        gone_ = error;
    }
    wake();
}

int FakeLineControl::waitsBegun() const
{
    std::lock_guard lock(mutex_);
    return waitsBegun_;
}

QStringList FakeLineControl::controlWrites() const
{
    std::lock_guard lock(mutex_);
    return controlWrites_;
}

void FakeLineControl::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
}
