#pragma once

#include "serial_line_service.h"

#include <pthread.h>
#include <time.h>

#include <chrono>

namespace serial {

// How a watcher's blocked wait on the kernel is interrupted: to stop it, to
// begin it afresh, or for a look at the counters.

// The signal that interrupts the wait: the first real-time signal nobody has
// claimed, given an empty handler without SA_RESTART, so that the wait fails
// with EINTR and a stray signal of that number is harmless. Chosen and
// installed on the first call, which start-up makes; 0 when every real-time
// signal is taken.
int stopSignal();

// The first real-time signal whose handler is still the default; 0 when none is.
int firstFreeRealTimeSignal();

// Lets the calling thread receive the stop signal, whatever mask it inherited.
void acceptStopSignal();

// Sends the stop signal to `thread`.
void interruptWait(pthread_t thread);

// A point on the steady clock, which is CLOCK_MONOTONIC, as the timer calls take it.
timespec monotonicSpec(std::chrono::steady_clock::time_point when);
// Sleeps until `when` on the monotonic clock; a signal ends it early.
void sleepUntil(std::chrono::steady_clock::time_point when);
// The time of an edge as seen now: monotonic stamp and seconds since local midnight.
EdgeTime edgeTimeNow();

// While a watcher's thread runs, its wait is interrupted every 100 ms for a
// look at the counters: an edge that came after the last reading, just before
// the wait began, wakes no wait and would otherwise show only with the next
// edge. Made on the thread it interrupts.
class PeriodicLook {
public:
    PeriodicLook();
    ~PeriodicLook();
    PeriodicLook(const PeriodicLook&) = delete;
    PeriodicLook& operator=(const PeriodicLook&) = delete;

    // The next look comes at `when`, the periodic ones after it.
    void lookAt(std::chrono::steady_clock::time_point when);

private:
    timer_t timer_{};
    bool armed_ = false;
};

}  // namespace serial
