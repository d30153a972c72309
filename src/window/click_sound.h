#pragma once

#include "measurement.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class QObject;

namespace window {

// The clicks counted on the window thread, each with the time it was counted,
// for the audio thread to take in order: a ring of count times that the
// window thread fills and the audio thread empties, so neither ever waits
// for the other. A flood that outruns the audio thread by the whole ring
// loses the clicks that find it full; they would only have buzzed.
class CountedClicks {
public:
    // Window thread.
    void add(std::int64_t countedAt);
    // Audio thread: hands `take` each count time not taken yet, oldest first.
    template <typename Take>
    void takeAll(Take take)
    {
        const std::uint32_t counted = counted_.load(std::memory_order_acquire);
        std::uint32_t taken = taken_.load(std::memory_order_relaxed);
        for (; taken != counted; ++taken)
            take(at_[taken % kHeld].load(std::memory_order_relaxed));
        taken_.store(taken, std::memory_order_release);
    }
    // Audio thread: drops the clicks counted before `time`.
    void dropBefore(std::int64_t time);
    // Audio thread: returns once a click is waiting to be taken or wake() was called.
    void waitForClick();
    // Any thread.
    void wake();

private:
    static constexpr std::uint32_t kHeld = 1024;
    std::array<std::atomic<std::int64_t>, kHeld> at_{};
    std::atomic<std::uint32_t> counted_{0};
    std::atomic<std::uint32_t> taken_{0};
    std::atomic<std::uint32_t> changes_{0};  // what waitForClick() sleeps on
};

// The beep as a counter's speaker makes it: every line event adds a short
// click to one audio stream played through the desktop's sound server
// (PulseAudio, or PipeWire's PulseAudio service).
//
// The window thread only counts clicks, each with its time; an audio thread of
// its own, started at the first beep and joined when this object goes, opens
// the stream, renders every click into the stretch of sound the server asks
// for at the place its time gives, and closes the stream after five idle
// seconds. A server that stalls (a sink that had run far ahead when the
// stream joined it) gets the clicks it kept waiting in their order, as far
// apart as they were counted but no more than 30 ms, until they have caught up
// with their time. Clicks closer than a quarter millisecond mix into a buzz
// rather than queue up. A server that drops the fresh stream is asked again
// after a pause that doubles from 100 ms up to 5 s. Where no sound server
// answers, each beep for the rest of the run is the toolkit's system beep
// instead, and `noServer` runs once on the window thread.
//
// This class is the whole boundary between the window thread and the audio
// thread: the clicks and the two flags below are all they share, and the one
// message back is a queued call to `windowSide`.
class ClickSound : public measurement::Beeper {
public:
    // `windowSide` lives on the window thread and outlives this object.
    ClickSound(QObject* windowSide, std::function<void()> noServer);
    ~ClickSound() override;

    ClickSound(const ClickSound&) = delete;
    ClickSound& operator=(const ClickSound&) = delete;

    // Window thread, once per event: a clock reading and a few atomic operations.
    void Beep() override;

private:
    enum class Ended { Idle, Dropped, NoServer };

    void run();
    Ended playUntilIdle();

    QObject* windowSide_;
    std::function<void()> noServer_;

    CountedClicks clicks_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> fallback_{false};
    std::thread audio_;
};

}  // namespace window
