#include "click_sound.h"

#include <QApplication>

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <deque>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

namespace window {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 48000;
constexpr std::size_t kClickFrames = kRate * 2 / 1000;  // 2 ms
constexpr std::int64_t kClosestFrames = kRate / 4000;
// Clicks a stalled server kept waiting follow each other as far apart as they
// were counted, but no farther than this, until they have caught up.
constexpr std::int64_t kCatchUpFrames = kRate * 30 / 1000;
// A click not sounded within this long after its count is dropped.
constexpr auto kStale = 3s;
constexpr auto kIdleClose = 5s;
constexpr auto kConnectWait = 5s;
constexpr auto kFirstRetry = 100ms;
constexpr auto kLastRetry = 5s;
// From a click's count to its sound the server is asked for 60 ms in all; it
// keeps some 35 ms of them queued here and asks for more every 5 to 10 ms.
// Each click is heard about 40 ms after its event, well inside the 100 ms a
// person takes as "at once", and a busy machine may keep the audio thread or
// the server waiting for 30 ms before the sound breaks off.
constexpr std::size_t kQueuedFrames = kRate * 60 / 1000;
constexpr std::uint32_t kQueuedBytes = kQueuedFrames * sizeof(std::int16_t);
constexpr std::uint32_t kRequestBytes = kRate / 200 * sizeof(std::int16_t);

std::int64_t ticks(Clock::time_point time)
{
    return time.time_since_epoch().count();
}

std::int64_t framesIn(Clock::duration time)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(time).count() * kRate / 1000000;
}

// One click: a sharp edge ringing down at 3 kHz, gone within its 2 ms.
std::array<float, kClickFrames> clickShape()
{
    std::array<float, kClickFrames> shape{};
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        shape[i] = static_cast<float>(0.5 * std::exp(-t / 0.00035) * std::cos(2 * std::numbers::pi * 3000 * t));
    }
    return shape;
}

// The stream's sound from frame `from` on: the clicks due in it, each at its
// frame, with the ringing of earlier clicks carried over.
class Renderer {
public:
    const std::vector<std::int16_t>& render(std::int64_t from, std::size_t frames, std::deque<std::int64_t>& due)
    {
        mix_.assign(frames + kClickFrames, 0.0F);
        std::copy(tail_.begin(), tail_.end(), mix_.begin());
        for (; !due.empty() && due.front() < from + static_cast<std::int64_t>(frames); due.pop_front()) {
            const auto at = static_cast<std::size_t>(due.front() - from);
            for (std::size_t i = 0; i < kClickFrames; ++i)
                mix_[at + i] += click_[i];
        }
        std::copy_n(mix_.begin() + static_cast<std::ptrdiff_t>(frames), kClickFrames, tail_.begin());
        out_.resize(frames);
        for (std::size_t i = 0; i < frames; ++i)
            out_[i] = static_cast<std::int16_t>(std::lround(std::clamp(mix_[i], -1.0F, 1.0F) * 32767));
        return out_;
    }

private:
    const std::array<float, kClickFrames> click_ = clickShape();
    std::array<float, kClickFrames> tail_{};
    std::vector<float> mix_;
    std::vector<std::int16_t> out_;
};

// What the write callback works on, on the audio thread.
struct Session {
    explicit Session(CountedClicks& counted) : clicks(counted) {}

    CountedClicks& clicks;
    Clock::time_point lastClick = Clock::now();
    std::int64_t written = 0;  // frames
    std::deque<std::int64_t> due;  // frames of clicks placed and not yet written
    std::optional<std::pair<std::int64_t, std::int64_t>> last;  // the last click placed: its count, its frame
    Renderer renderer;

    // Each click sounds one server buffer after it was counted, however late
    // this thread was woken: the server asks to fill its buffer up again, so
    // the end of the stretch asked for sounds one buffer from now, and a click
    // goes as far before that end as it was counted before now. One whose
    // time has passed (the first, on a slow connection; those a stalled
    // server kept waiting) sounds at once, behind the one before it.
    void place(std::int64_t countedAt, Clock::time_point now, std::int64_t end)
    {
        const std::int64_t age = framesIn(now - Clock::time_point{Clock::duration{countedAt}});
        if (age > framesIn(kStale))
            return;
        std::int64_t at = std::max(end - age, written);
        if (last) {
            const std::int64_t apart = framesIn(Clock::duration{countedAt - last->first});
            // Faster than 4000 a second clicks would blur into a tone too high
            // or too smooth to hear: those are left out, so a flood buzzes at 4 kHz.
            if (apart < kClosestFrames)
                return;
            at = std::max(at, last->second + std::min(apart, kCatchUpFrames));
        }
        last = {countedAt, at};
        due.push_back(at);
        lastClick = now;
    }

    static void write(pa_stream* stream, std::size_t bytes, void* self)
    {
        auto& session = *static_cast<Session*>(self);
        const auto frames = static_cast<std::int64_t>(bytes / sizeof(std::int16_t));
        if (frames == 0)
            return;
        const auto now = Clock::now();
        const std::int64_t end = session.written + frames;
        session.clicks.takeAll([&](std::int64_t countedAt) { session.place(countedAt, now, end); });
        const auto& samples = session.renderer.render(session.written, static_cast<std::size_t>(frames), session.due);
        session.written = end;
        pa_stream_write(stream, samples.data(), samples.size() * sizeof(std::int16_t), nullptr, 0, PA_SEEK_RELATIVE);
    }
};

struct LoopFree {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextFree {
    void operator()(pa_context* context) const
    {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct StreamFree {
    void operator()(pa_stream* stream) const
    {
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};

// One turn of the loop; it waits at most 50 ms, so a stop is seen soon even
// when the server is silent.
bool turn(pa_mainloop* loop)
{
    return pa_mainloop_prepare(loop, 50000) >= 0 && pa_mainloop_poll(loop) >= 0 && pa_mainloop_dispatch(loop) >= 0;
}

}  // namespace

void CountedClicks::add(std::int64_t countedAt)
{
    const std::uint32_t counted = counted_.load(std::memory_order_relaxed);
    if (counted - taken_.load(std::memory_order_acquire) >= kHeld)
        return;
    at_[counted % kHeld].store(countedAt, std::memory_order_relaxed);
    counted_.store(counted + 1, std::memory_order_release);
    wake();
}

void CountedClicks::dropBefore(std::int64_t time)
{
    const std::uint32_t counted = counted_.load(std::memory_order_acquire);
    std::uint32_t taken = taken_.load(std::memory_order_relaxed);
    while (taken != counted && at_[taken % kHeld].load(std::memory_order_relaxed) < time)
        ++taken;
    taken_.store(taken, std::memory_order_release);
}

// The change count is read before the ring, so a click added in between
// changes it and ends the wait.
void CountedClicks::waitForClick()
{
    const std::uint32_t seen = changes_.load();
    if (counted_.load() == taken_.load())
        changes_.wait(seen);
}

void CountedClicks::wake()
{
    changes_.fetch_add(1);
    changes_.notify_one();
}

ClickSound::ClickSound(QObject* windowSide, std::function<void()> noServer)
    : windowSide_(windowSide), noServer_(std::move(noServer))
{
}

ClickSound::~ClickSound()
{
    stop_ = true;
    clicks_.wake();
    if (audio_.joinable())
        audio_.join();
}

void ClickSound::Beep()
{
    if (fallback_.load(std::memory_order_relaxed)) {
        QApplication::beep();
        return;
    }
    if (!audio_.joinable())
        audio_ = std::thread([this] { run(); });
    clicks_.add(ticks(Clock::now()));
}

// The audio thread: asleep while there is nothing to play, a stream while
// there is. It ends at a stop, or for good when no server can be reached.
void ClickSound::run()
{
    // The thread needs a few microseconds every 5 ms, on time even on a busy
    // machine. Where the system grants it, it takes the lowest real-time
    // priority, as sound servers give their own threads; elsewhere it runs as
    // any other thread, and its children would not inherit it.
    sched_param lowest{};
    lowest.sched_priority = sched_get_priority_min(SCHED_RR);
    pthread_setschedparam(pthread_self(), SCHED_RR | SCHED_RESET_ON_FORK, &lowest);
    auto retry = std::chrono::duration_cast<Clock::duration>(kFirstRetry);
    while (!stop_) {
        clicks_.waitForClick();
        if (stop_)
            return;
        const Ended ended = playUntilIdle();
        if (ended == Ended::NoServer) {
            fallback_ = true;
            // The clicks counted while the server was sought get one beep.
            QMetaObject::invokeMethod(
                windowSide_, [noServer = noServer_] {
                    QApplication::beep();
                    if (noServer)
                        noServer();
                },
                Qt::QueuedConnection);
            return;
        }
        if (ended == Ended::Idle) {
            retry = kFirstRetry;
            continue;
        }
        // A server that dropped the fresh stream is asked again only after a
        // pause, each one twice the last; what was counted meanwhile plays then
        // unless it has gone stale.
        for (const auto until = Clock::now() + retry; !stop_ && Clock::now() < until;)
            std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), 50ms));
        retry = std::min<Clock::duration>(retry * 2, kLastRetry);
        clicks_.dropBefore(ticks(Clock::now() - kStale));
    }
}

// Connects, plays until five seconds pass without a click, and disconnects.
// The stream counts as dropped when the server would not take it, or ended
// it before it had played that long.
ClickSound::Ended ClickSound::playUntilIdle()
{
    const std::unique_ptr<pa_mainloop, LoopFree> loop(pa_mainloop_new());
    if (!loop)
        return Ended::NoServer;
    const std::unique_ptr<pa_context, ContextFree> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Impulsmeter"));
    // No autospawn: a sound server started for us would outlive the program.
    if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return Ended::NoServer;
    const auto giveUp = Clock::now() + kConnectWait;
    while (pa_context_get_state(context.get()) != PA_CONTEXT_READY) {
        if (stop_)
            return Ended::Idle;
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get())) || Clock::now() > giveUp || !turn(loop.get()))
            return Ended::NoServer;
    }

    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 1};
    Session session(clicks_);
    const std::unique_ptr<pa_stream, StreamFree> stream(pa_stream_new(context.get(), "Klick", &format, nullptr));
    if (!stream)
        return Ended::Dropped;
    pa_stream_set_write_callback(stream.get(), &Session::write, &session);
    const pa_buffer_attr buffer{static_cast<std::uint32_t>(-1), kQueuedBytes, static_cast<std::uint32_t>(-1),
                                kRequestBytes, static_cast<std::uint32_t>(-1)};
    if (pa_stream_connect_playback(stream.get(), nullptr, &buffer, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0)
        return Ended::Dropped;
    const auto opened = Clock::now();
    for (;;) {
        if (stop_)
            return Ended::Idle;
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream.get())) || !turn(loop.get()))
            break;
        if (Clock::now() - session.lastClick >= kIdleClose && session.due.empty())
            return Ended::Idle;
    }
    return Clock::now() - opened < kIdleClose ? Ended::Dropped : Ended::Idle;
}

}  // namespace window
