#pragma once

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

// The time of an edge as seen now: monotonic stamp and seconds since local midnight.
EdgeTime edgeTimeNow();

// Watches the modem-status lines of one open descriptor on a thread of its own.
// It waits with TIOCMIWAIT and counts with TIOCGICOUNT, so every edge between
// two wake-ups is reported; without counters it compares line snapshots per
// wake-up, without wake-ups it polls the lines every millisecond, and with
// neither it has nothing to watch. While edges keep coming it reads them in
// batches of a few milliseconds that end on an edge, and hands them over once
// every few display frames, the last of them within a frame. Nothing but the
// line-control layer and the two callbacks runs on its thread. The thread
// shares ownership of the watcher, and the watcher owns a duplicate of the
// descriptor and a share of the line layer, so a thread given up by stop()
// touches nothing freed.
class LineWatcher : public std::enable_shared_from_this<LineWatcher> {
public:
    using EdgesFound = std::function<void(const std::vector<LineEdges>&)>;
    using DeviceGone = std::function<void()>;

    // `ringCountsPulses`: the driver counts RI on its trailing edge only (8250),
    // so each count stands for both edges of a pulse.
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
    // Returns once the thread is joined, also while it is blocked in a wait;
    // one that does not end within 2 s is given up: it ends on its own and
    // calls neither callback again.
    void stop();

    LineCapability capability() const { return capability_.load(); }

private:
    enum class Found { Gone, Nothing, Edges };

    void run();
    bool catchUp(bool fromCounters, bool onEdge);
    void lookAt(std::chrono::steady_clock::time_point when);
    // `inTrain`: the reading follows one of a running train's, so its edges
    // spread back to that one.
    Found report(bool fromCounters, bool inTrain, std::optional<std::chrono::nanoseconds> spacing = {});
    void handOver(bool whenDue);
    std::chrono::steady_clock::time_point handOverDue() const;
    int edgesFromCounters(const EdgeTime& at, std::vector<LineEdges>& found, bool inTrain,
                          std::optional<std::chrono::nanoseconds> spacing);
    int edgesFromLines(const EdgeTime& at, std::vector<LineEdges>& found);
    void addEdges(std::vector<LineEdges>& found, std::int16_t code, std::uint32_t count, const EdgeTime& at,
                  std::chrono::steady_clock::time_point from, std::optional<std::chrono::nanoseconds> spacing = {});
    void addRingPulses(std::vector<LineEdges>& found, std::uint32_t pulses, const EdgeTime& at);
    void settle(LineCapability capability);
    void finish();

    const int fd_;  // a duplicate, closed with the watcher
    const std::shared_ptr<LineControl> linesOwner_;
    LineControl& lines_;
    const bool ringCountsPulses_;
    const EdgesFound onEdges_;
    const DeviceGone onGone_;

    // Read by start() before the thread exists, then the thread's alone.
    bool haveCounts_ = false;
    bool haveLines_ = false;
    LineCounts counts_;
    int bits_ = 0;
    std::optional<EdgeTime> lastRing_;  // the thread's: when the last RI pulse was counted
    // The thread's: when the lines were last read, edges not yet handed over
    // and when the last were.
    std::chrono::steady_clock::time_point lastReading_;
    std::vector<LineEdges> held_;
    std::optional<std::chrono::steady_clock::time_point> lastHandOver_;
    // The thread's: the stamp of the last edge, and the quiet time before the
    // first edge of the last reading that found any.
    std::chrono::steady_clock::time_point lastEdges_;
    std::chrono::steady_clock::duration quietBefore_ = std::chrono::hours(1);
    // The thread's: the most edges of one line in the last reading, and the
    // spacing of the last batch that ended on an edge.
    std::uint32_t counted_ = 0;
    std::optional<std::chrono::nanoseconds> spacing_;
    bool readingOnEdge_ = false;  // the thread's: the last reading came right after an edge woke it
    // The thread's, while it runs: its look timer and where it was last moved to.
    std::optional<PeriodicLook> look_;
    std::chrono::steady_clock::time_point lookDue_;

    std::atomic<LineCapability> capability_{LineCapability::None};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool settled_ = false;   // guarded by mutex_
    bool finished_ = false;  // guarded by mutex_
    std::mutex tellMutex_;   // held while a callback runs
    bool givenUp_ = false;   // guarded by tellMutex_
    std::thread thread_;
};

}  // namespace serial
