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
// the signal over) is left to end on its own.
constexpr auto kStopDeadline = 2s;
// A train of edges is read in batches that end on an edge: after a wake-up
// the watcher sleeps kBatchSleep, reads the counters and, finding some edges
// but not many, waits for the next one, or for one spacing and kBatchLook: a
// batch that the look ends instead (the train stopped) is stamped at the
// spacing of the batch before. Edges further apart than kQuiet wake it one
// each.
constexpr auto kBatchSleep = 4ms;
constexpr auto kBatchLook = 2ms;
constexpr auto kLookAfterBatch = 100ms;
constexpr auto kQuiet = kBatchSleep + kBatchLook;
// Edges go over to the window never sooner than its display frame after the
// last, and as a rule a little later, so it finds its frame out when a batch
// arrives and shows it in the same wake-up instead of a timer's. A running
// train goes over every third frame only; an edge after a quiet spell, and
// the last of a train once the line has been quiet for kQuiet, go over as
// soon as the frame is out, so the last edge shows within a frame.
constexpr auto kFrame = 16ms;
constexpr auto kHandOverEvery = 17ms;
constexpr auto kBusyHandOverEvery = 52ms;
// Edges due this soon go over before the wait rather than by a look: a
// signal that lands before the wait begins would leave them to the next one.
constexpr auto kLookLead = 2ms;
// At least this many edges in one batch's sleep keep the watcher reading by
// the clock alone: more than three a millisecond.
constexpr std::uint32_t kBusyEdges = 12;
// More edges than this of one line in one reading share stamps in groups.
constexpr std::uint32_t kMostStamps = 1024;

// Counters only grow; one that went back (a driver reset) counts nothing.
std::uint32_t edgesBetween(int before, int after)
{
    const auto delta = static_cast<std::uint32_t>(after) - static_cast<std::uint32_t>(before);
    return delta > 0x7fffffffU ? 0 : delta;
}

// The most edges any one line counted between two readings.
std::uint32_t mostEdges(const LineCounts& before, const LineCounts& after)
{
    return std::max({edgesBetween(before.cts, after.cts), edgesBetween(before.dsr, after.dsr),
                     edgesBetween(before.dcd, after.dcd), edgesBetween(before.rng, after.rng)});
}

void sleepOnePoll()
{
    const timespec interval{0, 1'000'000};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &interval, nullptr);
}

// Sleeps until `when` on the monotonic clock; a signal ends it early.
void sleepUntil(std::chrono::steady_clock::time_point when)
{
    const timespec until = monotonicSpec(when);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

// `at`, moved back to `when` on both clocks.
EdgeTime movedBack(const EdgeTime& at, std::chrono::steady_clock::time_point when)
{
    EdgeTime moved = at;
    moved.monotonic = when;
    moved.timeOfDay = at.timeOfDay - std::chrono::duration<double>(at.monotonic - when).count();
    if (moved.timeOfDay < 0)
        moved.timeOfDay += 24 * 3600;
    return moved;
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
      ringCountsPulses_(ringCountsPulses),
      onEdges_([this, tell = std::move(onEdges)](const std::vector<LineEdges>& edges) {
          std::lock_guard lock(tellMutex_);
          if (!givenUp_)
              tell(edges);
      }),
      onGone_([this, tell = std::move(onGone)] {
          std::lock_guard lock(tellMutex_);
          if (!givenUp_)
              tell();
      })
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
    const int countError = lines_.getCounts(fd_, counts_);
    const int lineError = lines_.getLines(fd_, bits_);
    lastReading_ = std::chrono::steady_clock::now();
    haveCounts_ = countError == 0;
    haveLines_ = lineError == 0;
    if (isGone(countError) || isGone(lineError)) {
        onGone_();
        return;
    }
    if (!haveCounts_ && !haveLines_)
        return;  // no modem lines at all

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

void LineWatcher::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    bool ended = false;
    {
        // A signal that lands just before the wait begins is lost: send it
        // again until the thread has ended.
        const auto deadline = std::chrono::steady_clock::now() + kStopDeadline;
        std::unique_lock lock(mutex_);
        while (!finished_ && std::chrono::steady_clock::now() < deadline) {
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

void LineWatcher::run()
{
    acceptStopSignal();
    look_.emplace();
    bool onEdge = false;  // whether the last wait ended for an edge
    // A wait that no signal can interrupt could never be stopped: poll instead.
    bool waits = stopSignal() != 0;
    if (!waits)
        settle(haveLines_ ? LineCapability::PollingOnly : LineCapability::None);
    while (!stopping_) {
        if (!catchUp(waits && haveCounts_, onEdge))
            break;
        if (!waits) {
            sleepOnePoll();
            continue;
        }
        // Edges held back go over when their frame is out, wait or not.
        if (!held_.empty()) {
            const auto due = handOverDue();
            if (due - std::chrono::steady_clock::now() < kLookLead) {
                sleepUntil(*lastHandOver_ + kFrame);
                handOver(false);
            }
            else if (due != lookDue_)
                lookAt(due);
        }
        const int error = lines_.waitForChange(fd_, kWatchedBits);
        onEdge = error == 0;
        if (error == 0) {
            settle(haveCounts_ ? LineCapability::Counters : LineCapability::WakeUpsOnly);
        } else if (isUnsupported(error)) {
            waits = false;
            settle(haveLines_ ? LineCapability::PollingOnly : LineCapability::None);
            if (!haveLines_)
                break;
        } else if (error != EINTR) {
            onGone_();
            break;
        }
    }
    look_.reset();  // its timer signals this thread alone
    finish();
}

// The next look comes at `when`, the periodic ones after it.
void LineWatcher::lookAt(std::chrono::steady_clock::time_point when)
{
    lookDue_ = when;
    look_->lookAt(when);
}

// The driver's wait wakes only for changes after it began, so the counters are
// read before every wait. A reading that finds edges is followed by a sleep
// of kBatchSleep and a look at the counters: while edges keep coming the
// watcher wakes about twice a batch instead of once an edge, and the counters
// keep every edge meanwhile. With some edges found it waits for the next one,
// whose reading stamps the whole batch evenly since the batch before: both
// ends lie on edges, so for a regular train every interval is right. With
// many found, it reads by the clock alone; with none, the next edge wakes the
// wait and is stamped at once. Returns false when the device is gone.
bool LineWatcher::catchUp(bool fromCounters, bool onEdge)
{
    const auto from = lastReading_;
    const bool fromEdge = readingOnEdge_;
    const Found found = report(fromCounters, false);
    readingOnEdge_ = onEdge;
    if (found == Found::Gone)
        return false;
    handOver(true);
    if (found == Found::Nothing || !fromCounters)
        return true;
    // A train's first edges wake the watcher one each until their spacing is
    // known, and so do edges further apart than a batch's sleep.
    if (quietBefore_ >= kQuiet)
        spacing_.reset();
    else if (onEdge && fromEdge && counted_ > 0)
        spacing_ = (lastReading_ - from) / counted_;
    if (!spacing_ || *spacing_ >= kBatchSleep)
        return true;
    while (!stopping_) {
        sleepUntil(lastReading_ + kBatchSleep);
        LineCounts now;
        const std::uint32_t edges = lines_.getCounts(fd_, now) == 0 ? mostEdges(counts_, now) : kBusyEdges;
        if (edges == 0)
            return true;
        bool endsOnEdge = false;
        if (edges < kBusyEdges) {
            lookAt(std::chrono::steady_clock::now() + *spacing_ + kBatchLook);
            const int error = lines_.waitForChange(fd_, kWatchedBits);
            if (error != 0 && error != EINTR)
                return report(fromCounters, true) != Found::Gone;  // run() deals with the wait's error
            endsOnEdge = error == 0;
            if (endsOnEdge)
                lookAt(std::chrono::steady_clock::now() + kLookAfterBatch);
        }
        const auto batchFrom = lastReading_;
        const bool batchFromEdge = readingOnEdge_;
        // A batch the look ended is a train that stopped: its edges follow
        // the last one at the spacing the batch before had.
        const bool stopped = edges < kBusyEdges && !endsOnEdge;
        if (report(fromCounters, true, stopped ? spacing_ : std::nullopt) == Found::Gone)
            return false;
        readingOnEdge_ = endsOnEdge;
        if (endsOnEdge && batchFromEdge && counted_ > 0)
            spacing_ = (lastReading_ - batchFrom) / counted_;
        handOver(true);
        if (stopped)
            return true;
    }
    return true;
}

// Edges since the last reading, by counters or by comparing line snapshots,
// held until handed over.
LineWatcher::Found LineWatcher::report(bool fromCounters, bool inTrain, std::optional<std::chrono::nanoseconds> spacing)
{
    const EdgeTime at = edgeTimeNow();
    const std::size_t heldBefore = held_.size();
    const int error = fromCounters ? edgesFromCounters(at, held_, inTrain, spacing) : edgesFromLines(at, held_);
    lastReading_ = at.monotonic;
    if (held_.size() != heldBefore) {
        auto first = held_[heldBefore].at.monotonic;
        auto last = first;
        for (std::size_t i = heldBefore; i < held_.size(); ++i) {
            first = std::min(first, held_[i].at.monotonic);
            last = std::max(last, held_[i].at.monotonic);
        }
        quietBefore_ = first - lastEdges_;
        lastEdges_ = last;
    }
    if (isGone(error)) {
        handOver(false);
        onGone_();
        return Found::Gone;
    }
    return error != 0 || held_.size() == heldBefore ? Found::Nothing : Found::Edges;
}

// When the held edges are due to go over: once the frame since the last
// hand-over is out for an edge that came after a quiet moment, or for a
// train once it has been quiet for a moment; a train still running waits
// for every third frame.
std::chrono::steady_clock::time_point LineWatcher::handOverDue() const
{
    const auto frameOut = *lastHandOver_ + kHandOverEvery;
    const bool lone = quietBefore_ >= kQuiet;
    return std::min(*lastHandOver_ + kBusyHandOverEvery, lone ? frameOut : std::max(frameOut, lastEdges_ + kQuiet));
}

// Hands the held edges over at once after a quiet frame, else when due: the
// window's thread wakes per frame or three, not per reading. `whenDue` false
// hands them over now.
void LineWatcher::handOver(bool whenDue)
{
    if (held_.empty())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (whenDue && lastHandOver_ && now < handOverDue())
        return;
    onEdges_(held_);
    held_.clear();
    lastHandOver_ = now;
}

// The counters' growth since the last reading, one entry per line that moved.
int LineWatcher::edgesFromCounters(const EdgeTime& at, std::vector<LineEdges>& found, bool inTrain,
                                   std::optional<std::chrono::nanoseconds> spacing)
{
    counted_ = 0;
    // Edges found by the first reading after a quiet spell came since the
    // wait woke, not over the whole spell: spread back that far, the two edges
    // of a short pulse would show a made-up length. They share the reading's
    // stamp instead.
    const auto from = inTrain || at.monotonic - lastEdges_ <= kQuiet ? lastReading_ : at.monotonic;
    LineCounts now;
    if (const int error = lines_.getCounts(fd_, now))
        return error;
    const std::array<std::pair<std::int16_t, std::uint32_t>, 4> lines{{
        {comEvCTS, edgesBetween(counts_.cts, now.cts)},
        {comEvDSR, edgesBetween(counts_.dsr, now.dsr)},
        {comEvCD, edgesBetween(counts_.dcd, now.dcd)},
        {comEvRing, edgesBetween(counts_.rng, now.rng)},
    }};
    counts_ = now;
    for (const auto& [code, count] : lines) {
        if (count == 0)
            continue;
        counted_ = std::max(counted_, count);
        if (code == comEvRing && ringCountsPulses_)
            addRingPulses(found, count, at);
        else
            addEdges(found, code, count, at, from, spacing);
    }
    return 0;
}

// `count` edges stamped evenly over the time from `from` to `at`, the last at
// `at`: for a regular train the pulse length stays right however many edges
// one reading finds, and a lone edge is stamped when it was read. Given a
// `spacing` they fit in, the edges follow `from` at that spacing instead.
void LineWatcher::addEdges(std::vector<LineEdges>& found, std::int16_t code, std::uint32_t count, const EdgeTime& at,
                           std::chrono::steady_clock::time_point from, std::optional<std::chrono::nanoseconds> spacing)
{
    const std::uint64_t stamps = std::min(count, kMostStamps);
    auto span = at.monotonic - from;
    if (spacing && stamps == count && *spacing * count <= span)
        span = *spacing * count;
    const auto end = from + span;
    for (std::uint64_t i = 1; i <= stamps; ++i) {
        const auto edges = static_cast<std::uint32_t>(count * i / stamps - count * (i - 1) / stamps);
        const auto when = end - span * static_cast<std::int64_t>(stamps - i) / static_cast<std::int64_t>(stamps);
        found.push_back({code, edges, movedBack(at, when)});
    }
}

// The lines that differ from the last snapshot, one edge each.
int LineWatcher::edgesFromLines(const EdgeTime& at, std::vector<LineEdges>& found)
{
    int now = 0;
    if (const int error = lines_.getLines(fd_, now))
        return error;
    const int changedBits = now ^ bits_;
    bits_ = now;
    const std::array<std::pair<int, std::int16_t>, 4> lines{{
        {TIOCM_CTS, comEvCTS}, {TIOCM_DSR, comEvDSR}, {TIOCM_CD, comEvCD}, {TIOCM_RNG, comEvRing}}};
    for (const auto& [bit, code] : lines)
        if (changedBits & bit)
            found.push_back({code, 1, at});
    return 0;
}

// Where the driver counts RI on its trailing edge only, a count is a whole
// pulse: two edges. The leading edges were never seen; all edges are placed
// evenly since the previous pulse, so a square wave's leading edge lies
// halfway, where it has it, and the pulse length shows the period instead of
// twice the period.
void LineWatcher::addRingPulses(std::vector<LineEdges>& found, std::uint32_t pulses, const EdgeTime& at)
{
    addEdges(found, comEvRing, 2 * pulses, at, lastRing_ ? lastRing_->monotonic : at.monotonic);
    lastRing_ = at;
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
