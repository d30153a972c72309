#pragma once

#include "edge_stamper.h"
#include "line_control.h"
#include "line_event_relay.h"
#include "serial_line_service.h"
#include "wait_interrupt.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace serial {

// Watches the modem-status lines of one open descriptor on a thread of its own.
// It waits with TIOCMIWAIT and counts with TIOCGICOUNT, so every edge between
// two wake-ups is reported; without counters it compares line snapshots per
// wake-up, without wake-ups it polls the lines every millisecond, and with
// neither it has nothing to watch. Its readings go to an EdgeStamper. While a
// fast train runs it reads in batches of a few milliseconds that end on an
// edge, and hands them over once every few display frames, each time after
// two edges that woke it one each, so the last two have stamps of their own.
// Nothing but the line-control layer and the two callbacks runs on its
// thread. The thread shares ownership of the watcher, and the watcher owns a
// duplicate of the descriptor and a share of the line layer, so a thread
// given up by stop() touches nothing freed.
class LineWatcher : public std::enable_shared_from_this<LineWatcher> {
public:
    using Clock = std::chrono::steady_clock;
    // `inUpTo`: every edge up to then is in these or handed over before.
    using EdgesFound = std::function<void(const std::vector<LineEdges>&, std::optional<Clock::time_point> inUpTo)>;
    using DeviceGone = std::function<void()>;

    // `ringCountsPulses`: the driver counts RI once per pulse (the 8250 on its
    // trailing edge, cdc-acm on its leading one), so each count stands for both edges.
    // Made with std::make_shared; stop() it before letting go.
    LineWatcher(int fd, std::shared_ptr<LineControl> lines, bool ringCountsPulses, EdgesFound onEdges,
                DeviceGone onGone);
    ~LineWatcher();

    LineWatcher(const LineWatcher&) = delete;
    LineWatcher& operator=(const LineWatcher&) = delete;

    // Reads the baseline and starts waiting; returns once the driver's way of
    // reporting is known or after a few milliseconds. The port must be fully
    // configured: on 8250 UARTs a later termios change ends the wake-ups until
    // the next wait.
    void start();
    // Makes a blocked wait begin again, after the port's settings were changed.
    void rearm();
    // Hands over every edge up to `upTo` (reading then, if it is still to
    // come), with `inUpTo` set; returns once the thread has taken the request.
    void handOverUpTo(Clock::time_point upTo);
    void setDebounce(std::chrono::milliseconds time) { debounce_ = time.count(); }
    // Hands over what it holds and returns once the thread is joined, also
    // while it is blocked in a wait; one that does not end within 2 s is
    // given up: it ends on its own and calls neither callback again.
    void stop();

    LineCapability capability() const { return capability_.load(); }

private:
    void run();
    bool readAndHandOver(bool fromCounters, std::optional<Clock::time_point> woke, bool endsBatch);
    void handOver(std::optional<Clock::time_point> inUpTo = {});
    std::optional<Clock::time_point> takeAsk(std::optional<Clock::time_point> readAt = {});
    bool lost();
    // The callbacks are passed on only until a stop gives the thread up:
    // after that, what they reach may be gone.
    template <typename Callback, typename... Args>
    void tell(const Callback& callback, const Args&... args)
    {
        std::lock_guard lock(tellMutex_);
        if (!givenUp_)
            callback(args...);
    }
    std::optional<Clock::duration> batchSpacing();
    int readLines(bool fromCounters, LineReading& reading);
    template <typename Done>
    void signalUntil(std::unique_lock<std::mutex>& lock, Clock::duration limit, Done done);
    void settle(LineCapability capability);
    void mark(bool& flag);

    const int fd_;  // a duplicate, closed with the watcher
    const std::shared_ptr<LineControl> linesOwner_;
    LineControl& lines_;
    const EdgesFound onEdges_;
    const DeviceGone onGone_;

    // Read by start() before the thread exists, then the thread's alone.
    bool haveCounts_ = false;
    bool haveLines_ = false;
    EdgeStamper stamper_;
    // The thread's: edges not yet handed over and when the last were.
    std::vector<LineEdges> held_;
    Clock::time_point lastHandOver_;
    std::optional<PeriodicLook> look_;

    std::atomic<LineCapability> capability_{LineCapability::None};
    std::atomic<bool> stopping_{false};
    std::atomic<long> debounce_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool settled_ = false;   // guarded by mutex_
    bool finished_ = false;  // guarded by mutex_
    std::optional<Clock::time_point> asked_;  // guarded by mutex_
    bool askTaken_ = false;                   // guarded by mutex_
    std::mutex tellMutex_;   // held while a callback runs
    bool givenUp_ = false;   // guarded by tellMutex_
    std::thread thread_;
};

}  // namespace serial
