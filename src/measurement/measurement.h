#pragma once

#include "history.h"
#include "main_window_view.h"
#include "serial_line_service.h"

#include <QLocale>

#include <chrono>
#include <functional>
#include <map>
#include <optional>

namespace measurement {

// The window's measurement variables. Counts are whole numbers held as doubles.
struct MeasurementState {
    double ANZAHL_IMPULSE = 0;  // edges since start-up or the last reset
    double FREQUENZ = 0;        // edges counted and not yet shown by a tick
    double ZEIT_STEMPEL = 0;    // time of day of the last counted edge, s since local midnight
    double FMax = 0;            // highest frequency while the pulse-count window is active, Hz
    double FMin = 0;            // lowest frequency while the pulse-count window is active, Hz
};

// FMax and FMin as start-up and reset leave them, so that the first active
// second sets both.
inline constexpr double kFMaxPrimed = -1000000;
inline constexpr double kFMinPrimed = 1000000;

class Beeper {
public:
    virtual ~Beeper() = default;
    virtual void Beep() = 0;
};

// The measurement handlers of the window: edges in, readouts out.
class Measurement {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // `clock` gives the time of each timer tick.
    Measurement(MainWindowView& view, const serial::SerialLineService& service, Beeper& beeper,
                QLocale locale = QLocale(), Clock clock = std::chrono::steady_clock::now);

    MeasurementState state;

    // Start-up: FMax and FMin primed; the readouts stay empty.
    void prime();

    void MSComm1_OnComm();
    // A tick asks the service for the edges up to its second's end and shows
    // the second once they are in: at once, or when the service says so.
    void Timer1_Timer();
    void edgesIn(std::chrono::steady_clock::time_point upTo);
    void Command_CLEAR_Click();

    // Called at the end of every tick with what it showed.
    std::function<void(const TickRecord&)> onTick;

private:
    bool isChosenLine() const;
    void showPulseLength(const serial::EdgeTime& at);
    void showTick();

    MainWindowView& view_;
    const serial::SerialLineService& service_;
    Beeper& beeper_;
    QLocale locale_;
    Clock clock_;
    // The ticks' seconds lie on a grid from start-up: edges counted per
    // second of the grid by their stamps, the seconds shown so far, and the
    // end of the one a tick waits for.
    std::chrono::steady_clock::time_point gridStart_;
    std::map<std::int64_t, double> edgesBySecond_;
    std::int64_t secondsShown_ = 0;
    std::optional<std::int64_t> tickWaiting_;
    // Monotonic stamp of the last counted edge; none before the first.
    std::optional<std::chrono::steady_clock::time_point> previousEdge_;
};

}  // namespace measurement
