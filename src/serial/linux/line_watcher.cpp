#include "line_watcher.h"

#include "wait_interrupt.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace serial {
namespace {

using namespace std::chrono_literals;

constexpr int kWatchedBits = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
constexpr auto kSettleWait = 5ms;
constexpr auto kResend = 1ms;
// A wait that has not answered the stop signal by then (the signal was taken
// over) is given up; an ask not taken by then waits for the next look.
constexpr auto kStopDeadline = 2s;
constexpr auto kAskDeadline = 20ms;
constexpr auto kBatchLook = 2ms;
constexpr std::uint32_t kBusyEdges = 12;
constexpr auto kLook = 100ms;

}  // namespace

LineWatcher::LineWatcher(int fd, std::shared_ptr<LineControl> lines, bool ringCountsPulses, EdgesFound onEdges,
                         DeviceGone onGone)
    : fd_(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), linesOwner_(std::move(lines)), lines_(*linesOwner_),
      onEdges_(std::move(onEdges)), onGone_(std::move(onGone)), stamper_(ringCountsPulses) {}

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
    if (isGone(countError) || isGone(lineError))
        return tell(onGone_);
    if (!haveCounts_ && !haveLines_)
        return;  // no modem lines at all
    stamper_.begin(baseline);
    lastHandOver_ = baseline.at.monotonic - 1s;  // the first edge goes over at once
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
// until the thread has done what it was asked, or ended.
template <typename Done>
void LineWatcher::signalUntil(std::unique_lock<std::mutex>& lock, Clock::duration limit, Done done)
{
    for (const auto deadline = Clock::now() + limit; !done() && !finished_ && Clock::now() < deadline;) {
        interruptWait(thread_.native_handle());
        changed_.wait_for(lock, kResend);
    }
}

void LineWatcher::handOverUpTo(Clock::time_point upTo)
{
    std::unique_lock lock(mutex_);
    if (!thread_.joinable())
        return;
    asked_ = upTo;
    askTaken_ = false;
    signalUntil(lock, kAskDeadline, [this] { return askTaken_; });
}

void LineWatcher::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    std::unique_lock lock(mutex_);
    signalUntil(lock, kStopDeadline, [] { return false; });
    const bool ended = finished_;
    lock.unlock();
    if (ended) {
        thread_.join();
        return;
    }
    // The thread holds this watcher, its descriptor and the line layer, and
    // ends with the next change or interrupted wait; it tells nothing more.
    std::lock_guard tellLock(tellMutex_);
    givenUp_ = true;
    thread_.detach();
}

// The driver's wait wakes only for changes after it began, so the lines are
// looked at before every wait; held edges, a debounce and an ask set the look.
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
        const auto spacing = haveCounts_ ? batchSpacing() : std::nullopt;
        if (spacing && *spacing == Clock::duration::zero())
            continue;  // read by the clock
        batch = spacing.has_value();
        auto look = Clock::now() + (spacing ? *spacing + kBatchLook : kLook);
        const auto due = held_.empty() ? std::nullopt : std::optional(stamper_.handOverDue(lastHandOver_));
        for (const auto& at : {due, stamper_.confirmDue(), takeAsk(), stamper_.quietDue()})
            look = at ? std::min(look, *at) : look;
        look_->lookAt(std::max(look, Clock::now() + 50us));
        LineReading now{};
        if (!batch && readLines(haveCounts_, now) == 0 && stamper_.moved(now))
            continue;  // an edge came before the wait began, which it would not wake
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
            gone = !lost();
        }
    }
    // A close counts every edge that came before it: the last are read and handed over.
    if (stopping_ && !gone && readAndHandOver(waits && haveCounts_, {}, false))
        handOver();
    look_.reset();  // its timer signals this thread alone
    mark(finished_);
}

// In a fast regular train far from a hand-over, sleeps a batch. With many
// edges or none it gives zero, to read by the clock; with some the train's
// spacing, to wait for the next edge, so the batch ends on one.
std::optional<LineWatcher::Clock::duration> LineWatcher::batchSpacing()
{
    const auto spacing = stamper_.batchSpacing(Clock::now(), lastHandOver_);
    if (!spacing)
        return std::nullopt;
    sleepUntil(stamper_.lastReading() + EdgeStamper::kBatchSleep);
    LineReading now{};
    const std::uint32_t edges = readLines(true, now) == 0 ? mostEdges(stamper_.counts(), *now.counts) : 0;
    return edges == 0 || edges >= kBusyEdges ? Clock::duration::zero() : *spacing;
}

int LineWatcher::readLines(bool fromCounters, LineReading& reading)
{
    return fromCounters ? lines_.getCounts(fd_, reading.counts.emplace()) : lines_.getLines(fd_, reading.bits);
}

// One reading, its edges held and handed over when due or asked for. False
// when the device is gone.
bool LineWatcher::readAndHandOver(bool fromCounters, std::optional<Clock::time_point> woke, bool endsBatch)
{
    if (const long debounce = debounce_; debounce != stamper_.debounce().count())
        stamper_.setDebounce(std::chrono::milliseconds(debounce));
    LineReading reading{edgeTimeNow(), woke, endsBatch, {}, 0};
    const int error = readLines(fromCounters, reading);
    if (isGone(error))
        return lost();
    if (error != 0)
        return true;
    stamper_.read(reading, held_);
    if (takeAsk(reading.at.monotonic)) {
        handOver(reading.at.monotonic);
    } else if (!held_.empty() && stamper_.handOverDue(lastHandOver_) <= Clock::now()) {
        handOver();
    }
    return true;
}

void LineWatcher::handOver(std::optional<Clock::time_point> inUpTo)
{
    if (held_.empty() && !inUpTo)
        return;
    tell(onEdges_, held_, inUpTo);
    held_.clear();
    lastHandOver_ = Clock::now();
}

bool LineWatcher::lost()
{
    handOver();
    tell(onGone_);
    return false;
}

// The time asked for, if any (the asker learns it was taken); none once a reading at `readAt` answers it.
std::optional<LineWatcher::Clock::time_point> LineWatcher::takeAsk(std::optional<Clock::time_point> readAt)
{
    std::lock_guard lock(mutex_);
    if (asked_ && !askTaken_) {
        askTaken_ = true;
        changed_.notify_all();
    }
    if (readAt && asked_ && *readAt >= *asked_)
        return std::exchange(asked_, std::nullopt);
    return readAt ? std::nullopt : asked_;
}

void LineWatcher::settle(LineCapability capability)
{
    capability_ = capability;
    mark(settled_);
}

void LineWatcher::mark(bool& flag)
{
    std::lock_guard lock(mutex_);
    flag = true;
    changed_.notify_all();
}

}  // namespace serial
