#include "measurement.h"

#include "formatting.h"

#include <array>
#include <cmath>
#include <utility>

namespace measurement {
namespace {

// The event code each optSignal button stands for: DCD, DSR, CTS, RI.
constexpr std::array<std::int16_t, kSignalCount> kLineCodes = {
    serial::comEvCD,
    serial::comEvDSR,
    serial::comEvCTS,
    serial::comEvRing,
};

// Whole pulses from an edge count: rounded to the nearest whole number with
// halves to the even neighbour, then halved with the remainder dropped.
double wholePulses(double edges)
{
    return std::trunc(std::nearbyint(edges) / 2);
}

}  // namespace

Measurement::Measurement(MainWindowView& view, const serial::SerialLineService& service, Beeper& beeper,
                         QLocale locale, Clock clock)
    : view_(view), service_(service), beeper_(beeper), locale_(std::move(locale)), clock_(std::move(clock))
{
}

void Measurement::prime()
{
    previousTick_ = clock_();
    state.FMax = kFMaxPrimed;
    state.FMin = kFMinPrimed;
}

void Measurement::MSComm1_OnComm()
{
    if (view_.checkValue(CheckBox::Check_BEEP) == 1)
        beeper_.Beep();
    if (!isChosenLine())
        return;

    const serial::EdgeTime at = service_.CommEventTime();
    state.ANZAHL_IMPULSE += 1;
    view_.setText(TextBox::Text_ANZAHL_IMPULSE, numberText(std::floor(state.ANZAHL_IMPULSE / 2), locale_));
    state.FREQUENZ += 1;
    showPulseLength(at);
    state.ZEIT_STEMPEL = at.timeOfDay;
    previousEdge_ = at.monotonic;
}

// Every selected line button must match the event; CommEvent is read only for
// a selected one. With none selected every event passes.
bool Measurement::isChosenLine() const
{
    for (int index = 0; index < kSignalCount; ++index) {
        if (view_.optionValue(OptionArray::optSignal, index) &&
            service_.CommEvent() != kLineCodes[static_cast<std::size_t>(index)])
            return false;
    }
    return true;
}

// The interval between this edge and the previous one, doubled for the two
// edges of a period, from the service's stamps rather than from when the event
// was handled, so queueing never shows up as pulse length. The first edge has
// no interval, and edges reported in one wake-up share a stamp: both leave the
// readout as it was.
void Measurement::showPulseLength(const serial::EdgeTime& at)
{
    if (!previousEdge_ || at.monotonic <= *previousEdge_)
        return;
    const std::chrono::duration<double> interval = at.monotonic - *previousEdge_;
    const double milliseconds = interval.count() * 2 * 1000;
    view_.setText(TextBox::Text_IMPULSLÄNGE, lengthText(milliseconds, locale_) + QStringLiteral("ms"));
}

// The edges of this tick's second. A tick within 50 ms of its second counts
// the edges as they are; a late one (the window's thread was held up, and
// every queued edge landed in this tick) or an early one divides them by the
// seconds since the previous tick, to whole edges: the half-hertz grain of an
// on-time reading.
double Measurement::edgesPerSecond()
{
    const auto now = clock_();
    const auto previous = std::exchange(previousTick_, now);
    if (!previous || now <= *previous)
        return state.FREQUENZ;
    const std::chrono::duration<double> since = now - *previous;
    if (std::abs(since.count() - 1.0) <= 0.05)
        return state.FREQUENZ;
    return std::round(state.FREQUENZ / since.count());
}

void Measurement::Timer1_Timer()
{
    const double edges = edgesPerSecond();
    view_.setText(TextBox::Text_FREQUENZ, numberText(edges / 2, locale_) + QStringLiteral(" Hz"));
    view_.setBackColor(ColouredControl::lblMM, colours::red);

    // Both limits are read on every tick; one that is no number keeps the
    // window closed.
    const std::optional<double> lower = limitValue(view_.text(TextBox::txtIMin), locale_);
    const std::optional<double> upper = limitValue(view_.text(TextBox::txtIMax), locale_);
    const double pulses = wholePulses(state.ANZAHL_IMPULSE);

    const bool active = lower && upper && *lower < pulses && *upper > pulses;
    if (active) {
        // Compared in whole pulses of this second, stored as the exact half.
        const double thisSecond = wholePulses(edges);
        if (thisSecond > state.FMax)
            state.FMax = edges / 2;
        if (thisSecond < state.FMin)
            state.FMin = edges / 2;
        view_.setText(TextBox::txtFMax, numberText(state.FMax, locale_) + QStringLiteral(" Hz"));
        view_.setText(TextBox::txtFMin, numberText(state.FMin, locale_) + QStringLiteral(" Hz"));
        view_.setBackColor(ColouredControl::lblMM, colours::lightGreen);
    }

    state.FREQUENZ = 0;
    if (onTick)
        onTick({edges, edges / 2, active, state.FMax, state.FMin});
}

void Measurement::Command_CLEAR_Click()
{
    state.ANZAHL_IMPULSE = 0;
    state.FMax = kFMaxPrimed;
    state.FMin = kFMinPrimed;
    view_.setText(TextBox::txtFMax, numberText(state.FMax, locale_));
    view_.setText(TextBox::txtFMin, numberText(state.FMin, locale_));
}

}  // namespace measurement
