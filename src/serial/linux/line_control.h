#pragma once

#include <memory>

namespace serial {

// The kernel's per-line edge counters of one port.
struct LineCounts {
    int cts = 0;
    int dsr = 0;
    int dcd = 0;
    int rng = 0;
};

// The modem-line requests on an open descriptor. Each answers 0 or the errno
// value of the failure; line bits are the TIOCM_* bits.
class LineControl {
public:
    virtual ~LineControl() = default;

    virtual int getLines(int fd, int& bits) = 0;                // TIOCMGET
    virtual int raiseLines(int fd, int bits) = 0;               // TIOCMBIS
    virtual int lowerLines(int fd, int bits) = 0;               // TIOCMBIC
    virtual int getCounts(int fd, LineCounts& counts) = 0;      // TIOCGICOUNT
    // Blocks until one of `bits` changes; EINTR when the thread is signalled.
    virtual int waitForChange(int fd, int bits) = 0;            // TIOCMIWAIT
};

// ENOTTY on current kernels, EINVAL on older ones.
bool isUnsupported(int error);
// The device went away: an unplugged USB adapter (cdc-acm first says ENODEV)
// or a hung-up descriptor.
bool isGone(int error);

// The real requests.
std::unique_ptr<LineControl> makeSystemLineControl();

}  // namespace serial
