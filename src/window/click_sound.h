#pragma once

#include "measurement.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class QObject;

namespace window {

// The beep as a counter's speaker makes it: every line event adds a short
// click to one audio stream played through the desktop's sound server
// (PulseAudio, or PipeWire's PulseAudio service).
//
// The window thread only counts clicks; an audio thread of its own, started at
// the first beep and joined when this object goes, opens the stream, renders
// every counted click into the next stretch of sound the server asks for, and
// closes the stream after five idle seconds. Clicks that come faster than that
// stretch lasts are spread over it and mix into a buzz; none waits behind
// another. Where no sound server answers, each beep for the rest of the run is
// the toolkit's system beep instead, and `noServer` runs once on the window
// thread.
//
// This class is the whole boundary between the window thread and the audio
// thread: the four atomics below are all they share, and the one message back
// is a queued call to `windowSide`.
class ClickSound : public measurement::Beeper {
public:
    // `windowSide` lives on the window thread and outlives this object.
    ClickSound(QObject* windowSide, std::function<void()> noServer);
    ~ClickSound() override;

    ClickSound(const ClickSound&) = delete;
    ClickSound& operator=(const ClickSound&) = delete;

    // Window thread, once per event: a few atomic operations, and a clock
    // reading for the first click since the audio thread last took them.
    void Beep() override;

private:
    void run();
    bool playUntilIdle();

    QObject* windowSide_;
    std::function<void()> noServer_;

    // Clicks counted and not yet rendered; the audio thread sleeps on it while
    // no stream is open.
    std::atomic<std::uint32_t> pending_{0};
    // When the first of them was counted, in steady-clock ticks.
    std::atomic<std::int64_t> firstCountedAt_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> fallback_{false};
    std::thread audio_;
};

}  // namespace window
