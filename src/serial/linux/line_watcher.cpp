#include "line_watcher.h"

#include "stop_signal.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
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

void acceptStopSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, stopSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// While the thread runs, its wait is interrupted every 100 ms for a look at
// the counters: an edge that came after the last reading, just before the
// wait began, wakes no wait and would otherwise show only with the next edge.
class PeriodicLook {
public:
    PeriodicLook()
    {
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = stopSignal();
        event._sigev_un._tid = ::gettid();  // sigev_notify_thread_id, which glibc does not name
        if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0)
            return;
        armed_ = true;
        const itimerspec every{{0, kLookEveryNs}, {0, kLookEveryNs}};
        timer_settime(timer_, 0, &every, nullptr);
    }
    ~PeriodicLook()
    {
        if (armed_)
            timer_delete(timer_);
    }
    PeriodicLook(const PeriodicLook&) = delete;
    PeriodicLook& operator=(const PeriodicLook&) = delete;

private:
    static constexpr long kLookEveryNs = 100'000'000;
    timer_t timer_{};
    bool armed_ = false;
};

// Counters only grow; one that went back (a driver reset) counts nothing.
std::uint32_t edgesBetween(int before, int after)
{
    const auto delta = static_cast<std::uint32_t>(after) - static_cast<std::uint32_t>(before);
    return delta > 0x7fffffffU ? 0 : delta;
}

void sleepOnePoll()
{
    const timespec interval{0, 1'000'000};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &interval, nullptr);
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
        pthread_kill(thread_.native_handle(), stopSignal());
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
            pthread_kill(thread_.native_handle(), stopSignal());
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
    const PeriodicLook look;
    // A wait that no signal can interrupt could never be stopped: poll instead.
    bool waits = stopSignal() != 0;
    if (!waits)
        settle(haveLines_ ? LineCapability::PollingOnly : LineCapability::None);
    while (!stopping_) {
        if (!catchUp(waits && haveCounts_))
            break;
        if (!waits) {
            sleepOnePoll();
            continue;
        }
        const int error = lines_.waitForChange(fd_, kWatchedBits);
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
    finish();
}

// The driver's wait wakes only for changes after it began, so the counters are
// read until a reading finds nothing new before every wait. Returns false when
// the device is gone.
bool LineWatcher::catchUp(bool fromCounters)
{
    for (;;) {
        const Found found = report(fromCounters);
        if (found == Found::Gone)
            return false;
        if (found == Found::Nothing || !fromCounters)
            return true;
    }
}

// Edges since the last report, by counters or by comparing line snapshots.
LineWatcher::Found LineWatcher::report(bool fromCounters)
{
    const EdgeTime at = edgeTimeNow();
    std::vector<LineEdges> found;
    const int error = fromCounters ? edgesFromCounters(at, found) : edgesFromLines(at, found);
    if (isGone(error)) {
        onGone_();
        return Found::Gone;
    }
    if (error != 0 || found.empty())
        return Found::Nothing;
    onEdges_(found);
    return Found::Edges;
}

// The counters' growth since the last reading, one entry per line that moved.
int LineWatcher::edgesFromCounters(const EdgeTime& at, std::vector<LineEdges>& found)
{
    LineCounts now;
    if (const int error = lines_.getCounts(fd_, now))
        return error;
    const std::array<LineEdges, 4> lines{{
        {comEvCTS, edgesBetween(counts_.cts, now.cts), at},
        {comEvDSR, edgesBetween(counts_.dsr, now.dsr), at},
        {comEvCD, edgesBetween(counts_.dcd, now.dcd), at},
        {comEvRing, edgesBetween(counts_.rng, now.rng), at},
    }};
    counts_ = now;
    for (const LineEdges& line : lines) {
        if (line.count == 0)
            continue;
        if (line.code == comEvRing && ringCountsPulses_)
            addRingPulses(found, line.count, at);
        else
            found.push_back(line);
    }
    return 0;
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
// pulse: two edges. The leading edge was never seen; it is placed halfway
// since the previous pulse, where a square wave has it, so the pulse length
// shows the period instead of twice the period.
void LineWatcher::addRingPulses(std::vector<LineEdges>& found, std::uint32_t pulses, const EdgeTime& at)
{
    EdgeTime leading = at;
    if (lastRing_) {
        const auto half = (at.monotonic - lastRing_->monotonic) / 2;
        leading.monotonic = at.monotonic - half;
        leading.timeOfDay = at.timeOfDay - std::chrono::duration<double>(half).count();
        if (leading.timeOfDay < 0)
            leading.timeOfDay += 24 * 3600;
    }
    found.push_back({comEvRing, 2 * pulses - 1, leading});
    found.push_back({comEvRing, 1, at});
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
