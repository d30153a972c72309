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
    gridStart_ = clock_();
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
    // Into the second of the grid in which it happened (a debounced change:
    // was confirmed); one from before the last second shown goes into the next.
    const auto second = std::chrono::floor<std::chrono::seconds>(at.monotonic + at.countedAfter - gridStart_).count();
    edgesBySecond_[std::max<std::int64_t>(second, secondsShown_)] += 1;
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
// no interval, and two edges that share a stamp (such as a first RI pulse
// counted whole) have none either: both leave the readout as it was.
void Measurement::showPulseLength(const serial::EdgeTime& at)
{
    if (!previousEdge_ || at.monotonic <= *previousEdge_)
        return;
    const std::chrono::duration<double> interval = at.monotonic - *previousEdge_;
    const double milliseconds = interval.count() * 2 * 1000;
    view_.setText(TextBox::Text_IMPULSLÄNGE, lengthText(milliseconds, locale_) + QStringLiteral("ms"));
}

// A tick ends the grid's seconds up to the one it fired in, or in the last
// 50 ms of; at least one more. It is shown once the service has handed over
// every edge up to that time: normally within some milliseconds, at once when
// the service holds none back. One still waiting when the next fires is
// shown with what came.
void Measurement::Timer1_Timer()
{
    if (tickWaiting_)
        showTick();
    const auto sinceStart = clock_() - gridStart_ + std::chrono::milliseconds(50);
    const auto second = std::chrono::floor<std::chrono::seconds>(sinceStart).count();
    tickWaiting_ = std::max(second, secondsShown_ + 1);
    if (!service_.handOverEdges(gridStart_ + std::chrono::seconds(*tickWaiting_)))
        showTick();
}

void Measurement::edgesIn(std::chrono::steady_clock::time_point upTo)
{
    if (tickWaiting_ && upTo >= gridStart_ + std::chrono::seconds(*tickWaiting_))
        showTick();
}

// The edges of the seconds this tick ends. A tick that ends one shows its
// edges as they are; a late one (the window's thread was held up) divides
// them by its seconds, to whole edges: the half-hertz grain of one second.
void Measurement::showTick()
{
    const std::int64_t seconds = *tickWaiting_ - secondsShown_;
    double counted = 0;
    for (auto it = edgesBySecond_.begin(); it != edgesBySecond_.end() && it->first < *tickWaiting_;
         it = edgesBySecond_.erase(it))
        counted += it->second;
    secondsShown_ = *std::exchange(tickWaiting_, std::nullopt);
    state.FREQUENZ -= counted;
    const double edges = seconds == 1 ? counted : std::round(counted / static_cast<double>(seconds));

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
    // The tick is complete here: `edges` a second, `edges / 2` Hz shown, the window `active` or not.
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
