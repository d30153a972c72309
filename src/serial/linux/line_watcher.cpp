#include "line_watcher.h"

#include "wait_interrupt.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

namespace serial {
namespace {

using namespace std::chrono_literals;

constexpr int kWatchedBits = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
constexpr auto kSettleWait = 5ms;
constexpr auto kStopResend = 1ms;
// A wait that has not answered the stop signal by then (something else took
// the signal over) is left to end on its own; an ask not taken by then is
// answered by the next look.
constexpr auto kStopDeadline = 2s;
constexpr auto kAskDeadline = 20ms;
// A train whose edges come closer than kBatchSleep is read in batches: the
// watcher sleeps kBatchSleep, looks at the counters and, finding some edges
// but not many, waits for the next one (or one spacing and kBatchLook), so
// the batch ends on an edge; with many it reads by the clock alone.
constexpr auto kBatchSleep = 4ms;
constexpr auto kBatchLook = 2ms;
constexpr std::uint32_t kBusyEdges = 12;
// Edges go over to the window never sooner than its display frame after the
// last: an edge after a quiet spell, and a train's last once the line was
// read quiet, as soon as the frame is out; a running train every third
// frame, after two edges that each woke the watcher, or one frame later
// without them.
constexpr auto kHandOverEvery = 17ms;
constexpr auto kBusyHandOverEvery = 52ms;
constexpr auto kFrame = 16ms;
// Edges this far from the one before came after a quiet spell; a train read
// quiet for this long has stopped.
constexpr auto kQuiet = 6ms;
constexpr auto kLook = 100ms;

// The most edges any one line counted between two readings.
std::uint32_t mostEdges(const LineCounts& before, const LineCounts& after)
{
    const auto between = [](int from, int to) {
        const auto delta = static_cast<std::uint32_t>(to) - static_cast<std::uint32_t>(from);
        return delta > 0x7fffffffU ? 0U : delta;
    };
    return std::max({between(before.cts, after.cts), between(before.dsr, after.dsr), between(before.dcd, after.dcd),
                     between(before.rng, after.rng)});
}

// Sleeps until `when` on the monotonic clock; a signal ends it early.
void sleepUntil(std::chrono::steady_clock::time_point when)
{
    const timespec until = monotonicSpec(when);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

}  // namespace

EdgeTime edgeTimeNow()
{
    EdgeTime at;
    at.monotonic = std::chrono::steady_clock::now();
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    tm local{};
    localtime_r(&wall.tv_sec, &local);
    at.timeOfDay = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + wall.tv_nsec / 1e9;
    return at;
}

// The callbacks are passed on only until a stop gives the thread up: after
// that, what they reach may be gone.
LineWatcher::LineWatcher(int fd, std::shared_ptr<LineControl> lines, bool ringCountsPulses, EdgesFound onEdges,
                         DeviceGone onGone)
    : fd_(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), linesOwner_(std::move(lines)), lines_(*linesOwner_),
      onEdges_([this, tell = std::move(onEdges)](const std::vector<LineEdges>& edges, auto inUpTo) {
          std::lock_guard lock(tellMutex_);
          if (!givenUp_)
              tell(edges, inUpTo);
      }),
      onGone_([this, tell = std::move(onGone)] {
          std::lock_guard lock(tellMutex_);
          if (!givenUp_)
              tell();
      }),
      stamper_(ringCountsPulses)
{
}

// The last owner is the thread itself only when it ended unstopped.
LineWatcher::~LineWatcher()
{
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    stop();
    if (fd_ >= 0)
        ::close(fd_);
}

void LineWatcher::start()
{
    // The baseline: edges counted before the port was opened are not ours.
    LineReading baseline{edgeTimeNow(), {}, false, LineCounts{}, 0};
    const int countError = lines_.getCounts(fd_, *baseline.counts);
    const int lineError = lines_.getLines(fd_, baseline.bits);
    haveCounts_ = countError == 0;
    haveLines_ = lineError == 0;
    if (isGone(countError) || isGone(lineError)) {
        onGone_();
        return;
    }
    if (!haveCounts_ && !haveLines_)
        return;  // no modem lines at all
    counts_ = *baseline.counts;
    stamper_.begin(baseline);
    lastReading_ = baseline.at.monotonic;
    lastHandOver_ = lastReading_ - kBusyHandOverEvery;  // the first edge goes over at once
    capability_ = haveCounts_ ? LineCapability::Counters : LineCapability::WakeUpsOnly;
    thread_ = std::thread([self = shared_from_this()] { self->run(); });

    // Whether the driver wakes at all is known only from its first wait, which
    // answers at once when it cannot.
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kSettleWait, [this] { return settled_ || finished_; });
}

void LineWatcher::rearm()
{
    std::lock_guard lock(mutex_);
    if (thread_.joinable() && !finished_)
        interruptWait(thread_.native_handle());
}

// A signal that lands just before a wait begins is lost: it is sent again
// until the thread has taken the request (or ended).
void LineWatcher::handOverUpTo(Clock::time_point upTo)
{
    std::unique_lock lock(mutex_);
    if (!thread_.joinable() || finished_)
        return;
    asked_ = upTo;
    askTaken_ = false;
    const auto deadline = Clock::now() + kAskDeadline;
    while (!askTaken_ && !finished_ && Clock::now() < deadline) {
        interruptWait(thread_.native_handle());
        changed_.wait_for(lock, kStopResend);
    }
}

void LineWatcher::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    bool ended = false;
    {
        const auto deadline = Clock::now() + kStopDeadline;
        std::unique_lock lock(mutex_);
        while (!finished_ && Clock::now() < deadline) {
            interruptWait(thread_.native_handle());
            changed_.wait_for(lock, kStopResend);
        }
        ended = finished_;
    }
    if (ended) {
        thread_.join();
        return;
    }
    // The thread holds this watcher, its descriptor and the line layer, and
    // ends with the next change or interrupted wait; it tells nothing more.
    std::lock_guard lock(tellMutex_);
    givenUp_ = true;
    thread_.detach();
}

// The driver's wait wakes only for changes after it began, so the lines are
// read before every wait, and it waits for nothing else: held edges, a
// debounce and an ask set the look that interrupts it.
void LineWatcher::run()
{
    acceptStopSignal();
    look_.emplace();
    // A wait that no signal can interrupt could never be stopped: poll instead.
    bool waits = stopSignal() != 0;
    if (!waits)
        settle(haveLines_ ? LineCapability::PollingOnly : LineCapability::None);
    std::optional<Clock::time_point> woke;
    bool gone = false;
    bool batch = false;  // the wait is for a fast train's next edge
    while (!stopping_ && !gone) {
        gone = !readAndHandOver(waits && haveCounts_, std::exchange(woke, std::nullopt), std::exchange(batch, false));
        if (gone || stopping_)
            break;
        if (!waits) {
            sleepUntil(Clock::now() + 1ms);
            continue;
        }
        auto look = Clock::now() + kLook;
        if (haveCounts_) {
            const auto spacing = batchSpacing();
            if (spacing && *spacing == Clock::duration::zero())
                continue;  // read by the clock
            look = spacing ? Clock::now() + *spacing + kBatchLook : look;
            batch = spacing.has_value();
        }
        const auto quiet = stamper_.inTrain() && !afterQuiet_ ? std::optional(lastReading_ + kQuiet) : std::nullopt;
        for (const auto& due : {handOverDue(), stamper_.confirmDue(), takeAsk(), quiet})
            look = due ? std::min(look, *due) : look;
        look_->lookAt(std::max(look, Clock::now() + 50us));
        const int error = lines_.waitForChange(fd_, kWatchedBits);
        if (error == 0) {
            woke = Clock::now();
            settle(haveCounts_ ? LineCapability::Counters : LineCapability::WakeUpsOnly);
        } else if (isUnsupported(error)) {
            waits = false;
            settle(haveLines_ ? LineCapability::PollingOnly : LineCapability::None);
            if (!haveLines_)
                break;
        } else if (error != EINTR) {
            handOver();
            onGone_();
            gone = true;
        }
    }
    // A close counts every edge that came before it: the last are read and handed over.
    if (stopping_ && !gone && (haveCounts_ || haveLines_) && readAndHandOver(waits && haveCounts_, {}, false))
        handOver();
    look_.reset();  // its timer signals this thread alone
    finish();
}

// In a fast train, far from a hand-over, sleeps a batch and looks at the
// counters: with many edges (or none: the train stopped) it gives zero, to
// read by the clock; with some the train's spacing, to wait that long and a
// little for the next edge, so the batch ends on one. Near a hand-over, and
// out of a train, the edges wake it one each.
std::optional<LineWatcher::Clock::duration> LineWatcher::batchSpacing()
{
    const auto spacing = stamper_.trainSpacing();
    if (!spacing || *spacing >= kBatchSleep || Clock::now() + kBatchSleep >= lastHandOver_ + kBusyHandOverEvery)
        return std::nullopt;
    sleepUntil(lastReading_ + kBatchSleep);
    LineCounts now;
    const bool read = lines_.getCounts(fd_, now) == 0;
    const std::uint32_t edges = read ? mostEdges(counts_, now) : 0;
    return edges == 0 || edges >= kBusyEdges ? Clock::duration::zero() : *spacing;
}

// One reading, its edges held; then the held edges handed over when due or
// asked for. False when the device is gone.
bool LineWatcher::readAndHandOver(bool fromCounters, std::optional<Clock::time_point> woke, bool endsBatch)
{
    if (const long debounce = debounce_; debounce != stamper_.debounce().count())
        stamper_.setDebounce(std::chrono::milliseconds(debounce));
    const auto ask = takeAsk();
    LineReading reading{edgeTimeNow(), woke, endsBatch, {}, 0};
    const int error = fromCounters ? lines_.getCounts(fd_, reading.counts.emplace()) : lines_.getLines(fd_, reading.bits);
    if (isGone(error)) {
        handOver();
        onGone_();
        return false;
    }
    if (error != 0)
        return true;
    const std::size_t heldBefore = held_.size();
    stamper_.read(reading, held_);
    if (reading.counts)
        counts_ = *reading.counts;
    lastReading_ = reading.at.monotonic;
    if (held_.size() > heldBefore) {
        afterQuiet_ = held_[heldBefore].at.monotonic - lastEdge_ >= kQuiet;
        lastEdge_ = held_.back().at.monotonic;
    }
    wokenInRow_ = woke && stamper_.inTrain() ? wokenInRow_ + 1 : 0;
    if (ask && lastReading_ >= *ask) {
        std::lock_guard lock(mutex_);
        asked_.reset();
    }
    const auto due = handOverDue();
    if (ask && lastReading_ >= *ask)
        handOver(lastReading_);
    else if (due && *due <= Clock::now())
        handOver();
    return true;
}

// When the held edges are due to go over, if any are held.
std::optional<LineWatcher::Clock::time_point> LineWatcher::handOverDue() const
{
    if (held_.empty())
        return std::nullopt;
    if (!stamper_.inTrain() || afterQuiet_)
        return lastHandOver_ + kHandOverEvery;
    return lastHandOver_ + kBusyHandOverEvery + (wokenInRow_ >= 2 ? 0ms : kFrame);
}

void LineWatcher::handOver(std::optional<Clock::time_point> inUpTo)
{
    if (held_.empty() && !inUpTo)
        return;
    onEdges_(held_, inUpTo);
    held_.clear();
    lastHandOver_ = Clock::now();
}

// The time asked for, if an ask is open; the asker learns it was taken.
std::optional<LineWatcher::Clock::time_point> LineWatcher::takeAsk()
{
    std::lock_guard lock(mutex_);
    if (asked_ && !askTaken_) {
        askTaken_ = true;
        changed_.notify_all();
    }
    return asked_;
}

void LineWatcher::settle(LineCapability capability)
{
    capability_ = capability;
    std::lock_guard lock(mutex_);
    if (!settled_) {
        settled_ = true;
        changed_.notify_all();
    }
}

void LineWatcher::finish()
{
    std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
}

}  // namespace serial
