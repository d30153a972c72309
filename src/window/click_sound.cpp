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
#include <memory>
#include <numbers>
#include <vector>

namespace window {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 48000;
constexpr std::size_t kClickFrames = kRate * 2 / 1000;  // 2 ms
constexpr std::size_t kClosestFrames = kRate / 4000;
constexpr auto kIdleClose = 5s;
constexpr auto kConnectWait = 5s;
// From a click's count to its sound the server is asked for 60 ms in all; it
// keeps some 35 ms of them queued here and asks for more every 5 to 10 ms.
// Each click is heard about 40 ms after its event, well inside the 100 ms a
// person takes as "at once", and a busy machine may keep the audio thread or
// the server waiting for 30 ms before the sound breaks off.
constexpr std::size_t kQueuedFrames = kRate * 60 / 1000;
constexpr std::uint32_t kQueuedBytes = kQueuedFrames * sizeof(std::int16_t);
constexpr std::uint32_t kRequestBytes = kRate / 200 * sizeof(std::int16_t);

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

// The stream's sound: the clicks counted since the last stretch, the first at
// the frame given and the others spread evenly behind it, with the ringing of
// earlier clicks carried over. Faster than 4000 a second the clicks would
// blur into a tone too high or too smooth to hear, so those above are left
// out rather than kept for later: a flood buzzes at 4 kHz.
class Renderer {
public:
    const std::vector<std::int16_t>& render(std::size_t frames, std::uint32_t clicks, std::size_t firstAt)
    {
        mix_.assign(frames + kClickFrames, 0.0F);
        std::copy(tail_.begin(), tail_.end(), mix_.begin());
        const std::size_t span = frames - firstAt;
        const std::size_t shown = std::min<std::size_t>(clicks, std::max<std::size_t>(span / kClosestFrames, 1));
        for (std::size_t k = 0; k < shown; ++k) {
            const std::size_t at = firstAt + k * span / shown;
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
    Session(std::atomic<std::uint32_t>& counted, std::atomic<std::int64_t>& firstCounted)
        : pending(counted), firstCountedAt(firstCounted)
    {
    }

    std::atomic<std::uint32_t>& pending;
    std::atomic<std::int64_t>& firstCountedAt;
    Clock::time_point lastClick = Clock::now();
    Renderer renderer;

    // Each click sounds one server buffer after it was counted, however late
    // this thread was woken: the server asks to fill its buffer up again, so
    // the stretch asked for begins to sound once the rest of the buffer has
    // played, and the first click goes where that buffer's time after its
    // count falls. Where that time has passed (the first click, on a slow
    // connection) it sounds at once.
    static void write(pa_stream* stream, std::size_t bytes, void* self)
    {
        auto& session = *static_cast<Session*>(self);
        const auto frames = static_cast<std::int64_t>(bytes / sizeof(std::int16_t));
        if (frames == 0)
            return;
        const auto now = Clock::now();
        const std::uint32_t clicks = session.pending.exchange(0, std::memory_order_acquire);
        const Clock::time_point counted{Clock::duration{session.firstCountedAt.load(std::memory_order_relaxed)}};
        const pa_buffer_attr* buffer = pa_stream_get_buffer_attr(stream);
        const std::int64_t queued = buffer ? buffer->tlength / sizeof(std::int16_t) : kQueuedFrames;
        const std::int64_t startsIn = std::max<std::int64_t>(queued - frames, 0);
        const std::int64_t dueIn =
            std::chrono::duration_cast<std::chrono::microseconds>(counted - now).count() * kRate / 1000000 + queued;
        const std::int64_t firstAt = std::clamp<std::int64_t>(dueIn - startsIn, 0, frames - 1);
        if (clicks > 0)
            session.lastClick = now;
        const auto& samples = session.renderer.render(static_cast<std::size_t>(frames), clicks,
                                                      static_cast<std::size_t>(firstAt));
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

ClickSound::ClickSound(QObject* windowSide, std::function<void()> noServer)
    : windowSide_(windowSide), noServer_(std::move(noServer))
{
}

ClickSound::~ClickSound()
{
    stop_ = true;
    pending_.fetch_add(1);
    pending_.notify_one();
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
    // Only the first click since the audio thread last looked is timed; the
    // audio thread takes the others to follow it.
    if (pending_.load(std::memory_order_relaxed) == 0)
        firstCountedAt_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    if (pending_.fetch_add(1, std::memory_order_release) == 0)
        pending_.notify_one();
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
    // A stream's write callback may take the count a stop adds to wake this
    // thread, so the stop is looked at before each sleep as well as after.
    while (!stop_) {
        pending_.wait(0);
        if (stop_)
            return;
        if (!playUntilIdle()) {
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
    }
}

// Connects, plays until five seconds pass without a click, and disconnects.
// False when no server could be reached or would take the stream.
bool ClickSound::playUntilIdle()
{
    const std::unique_ptr<pa_mainloop, LoopFree> loop(pa_mainloop_new());
    if (!loop)
        return false;
    const std::unique_ptr<pa_context, ContextFree> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Impulsmeter"));
    // No autospawn: a sound server started for us would outlive the program.
    if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    const auto giveUp = Clock::now() + kConnectWait;
    while (pa_context_get_state(context.get()) != PA_CONTEXT_READY) {
        if (stop_)
            return true;
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get())) || Clock::now() > giveUp || !turn(loop.get()))
            return false;
    }

    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 1};
    Session session(pending_, firstCountedAt_);
    const std::unique_ptr<pa_stream, StreamFree> stream(pa_stream_new(context.get(), "Klick", &format, nullptr));
    if (!stream)
        return false;
    pa_stream_set_write_callback(stream.get(), &Session::write, &session);
    const pa_buffer_attr buffer{static_cast<std::uint32_t>(-1), kQueuedBytes, static_cast<std::uint32_t>(-1),
                                kRequestBytes, static_cast<std::uint32_t>(-1)};
    if (pa_stream_connect_playback(stream.get(), nullptr, &buffer, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0)
        return false;
    while (pa_stream_get_state(stream.get()) != PA_STREAM_READY) {
        if (stop_)
            return true;
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream.get())) || !turn(loop.get()))
            return false;
    }

    // A stream the server drops ends here too; the next click connects anew.
    while (!stop_ && PA_STREAM_IS_GOOD(pa_stream_get_state(stream.get())) &&
           Clock::now() - session.lastClick < kIdleClose && turn(loop.get())) {
    }
    return true;
}

}  // namespace window
