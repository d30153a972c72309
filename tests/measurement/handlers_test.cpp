#include "fake_serial_line_service.h"
#include "fake_view.h"
#include "measurement.h"

#include <gtest/gtest.h>

using namespace measurement;
using namespace std::chrono_literals;

namespace {

// A stamp `ms` into the monotonic clock; the time of day runs along with it
// unless given, so a step of the wall clock can fall between two edges.
serial::EdgeTime at(double ms, double timeOfDay = -1)
{
    using std::chrono::steady_clock;
    return {steady_clock::time_point(std::chrono::round<steady_clock::duration>(ms * 1ms)),
            timeOfDay >= 0 ? timeOfDay : 36000 + ms / 1000};
}

class Handlers : public ::testing::Test, public Beeper {
protected:
    Handlers()
    {
        service.OnComm = [this] { measurement.MSComm1_OnComm(); };
        measurement.prime();
    }
    void Beep() override { ++beeps; }
    void edges(int count) { for (int i = 0; i < count; ++i) service.raise(serial::comEvCD, at(nextMs += 10)); }
    // Brings the count to `pulses` whole pulses with a second of `count` edges, then ticks.
    void secondAt(double pulses, int count)
    {
        measurement.state.ANZAHL_IMPULSE = pulses * 2 - count;
        edges(count);
        measurement.Timer1_Timer();
    }
    // The texts of the boxes, joined by '|'.
    template <typename... Boxes>
    QString shown(Boxes... boxes) const { return QStringList{view.text(boxes)...}.join(u'|'); }
    Colour indicator() const { return view.backColors.at(ColouredControl::lblMM); }

    FakeView view;
    FakeSerialLineService service;
    int beeps = 0;
    double nextMs = 0;
    std::chrono::steady_clock::time_point now;  // of the ticks; stands still unless moved
    Measurement measurement{view, service, *this, QLocale(QLocale::German, QLocale::Germany), [this] { return now; }};
};

// CommEvent is read once, for the selected line only; with no line selected
// every event counts. A checked box beeps for every event, counted or not
// (the click-sound test hears none while it is unchecked).
TEST_F(Handlers, CountsOnlyTheChosenLineAndBeepsForEveryEventWhenChecked)
{
    const std::int16_t codes[] = {serial::comEvCD, serial::comEvDSR, serial::comEvCTS, serial::comEvRing, 1};
    view.checks[CheckBox::Check_BEEP] = 1;
    for (int chosen = 0; chosen < kSignalCount; ++chosen) {
        view.selected = {{OptionArray::optSignal, chosen}};
        for (std::int16_t code : codes) {
            const double before = measurement.state.ANZAHL_IMPULSE;
            service.raise(code);
            EXPECT_EQ(measurement.state.ANZAHL_IMPULSE - before, code == codes[chosen] ? 1 : 0) << chosen << ", " << code;
        }
    }
    view.selected.clear();
    service.raise(42);
    EXPECT_EQ(service.calls, QStringList(20, QStringLiteral("CommEvent?")));
    EXPECT_EQ(measurement.state.ANZAHL_IMPULSE, 5);
    EXPECT_EQ(beeps, 21);
}

TEST_F(Handlers, PulseLengthComesFromTheEdgeStamps)
{
    const std::pair<serial::EdgeTime, const char*> rows[] = {
        {at(1000), ""},               // the first edge has nothing to be measured against
        {at(1050), "0.100ms"},
        {at(1300, 0.1), "0.500ms"},   // midnight passed on the wall clock
        {at(1300, 0.1), "0.500ms"},   // same wake-up, no interval: unchanged
        {at(700000), "1.397.400ms"},  // handled back to back long after, 50 ms apart at the line
        {at(700050), "0.100ms"},
    };
    for (const auto& [edge, length] : rows) {
        service.raise(serial::comEvCD, edge);
        EXPECT_EQ(view.text(TextBox::Text_IMPULSLÄNGE), QString::fromUtf8(length)) << edge.timeOfDay;
    }
}

// Each tick shows the frequency and, while the window is active, the highest
// and lowest. A tick more than 50 ms off its second shows the edges per
// measured second, to whole edges; highest and lowest see that same reading.
TEST_F(Handlers, TicksShowFrequencyHighestAndLowest)
{
    const std::tuple<double, int, const char*> rows[] = {
        {1.0, 1000, "500 Hz|500 Hz|500 Hz"},         // the first active second sets both
        {1.0, 1001, "500,5 Hz|500 Hz|500 Hz"},       // compared in whole pulses: no new highest
        {0.5, 500, "500 Hz|500 Hz|500 Hz"},          // a tick that catches up comes early
        {0.96, 1003, "501,5 Hz|501,5 Hz|500 Hz"},    // within 50 ms: as on time; stored as the exact half
        {1.06, 1000, "471,5 Hz|501,5 Hz|471,5 Hz"},  // 943,4 edges a second
        {2.0, 101, "25,5 Hz|501,5 Hz|25,5 Hz"},      // held up: every edge of 2 s lands in one tick
        {1.0, 0, "0 Hz|501,5 Hz|0 Hz"},              // a second without edges is the lowest
    };
    for (const auto& [seconds, edgeCount, expected] : rows) {  // 500 pulses counted, inside the limits
        now += std::chrono::round<std::chrono::nanoseconds>(seconds * 1s);
        secondAt(500, edgeCount);
        EXPECT_EQ(shown(TextBox::Text_FREQUENZ, TextBox::txtFMax, TextBox::txtFMin), QString(expected)) << seconds;
    }
}

// Whatever the limits read, the tick completes (FREQUENZ back to 0).
TEST_F(Handlers, WindowIsStrictlyBetweenTheLimits)
{
    const std::tuple<double, const char*, const char*, bool> rows[] = {
        {10, "10", "1000", false},
        {1000, "10", "1000", false},
        {11, "10,5", "1000", true},
        {20, "10", "viel", false},    // a limit that does not read shuts the window
        {11.75, "11", "1000", true},  // 23.5 edges round to 24 before halving: 12 pulses
    };
    for (const auto& [pulses, lower, upper, active] : rows) {
        view.texts[TextBox::txtIMin] = QString::fromUtf8(lower);
        view.texts[TextBox::txtIMax] = QString::fromUtf8(upper);
        measurement.Command_CLEAR_Click();
        secondAt(pulses, 4);
        EXPECT_EQ(indicator(), active ? colours::lightGreen : colours::red) << pulses << ' ' << lower << ' ' << upper;
        EXPECT_EQ(measurement.state.FMax, active ? 2 : kFMaxPrimed) << pulses;
        EXPECT_EQ(measurement.state.FREQUENZ, 0) << pulses;
    }
}

// The reset leaves the second under way, the readouts and the indicator alone
// and re-arms the window; the previous edge survives it.
TEST_F(Handlers, ResetRearmsTheWindowAndLeavesTheRest)
{
    secondAt(20, 60);
    edges(1);
    measurement.Command_CLEAR_Click();
    EXPECT_EQ(shown(TextBox::txtFMax, TextBox::txtFMin, TextBox::Text_ANZAHL_IMPULSE), "-1000000|1000000|20");
    EXPECT_EQ(indicator(), colours::lightGreen);
    measurement.Timer1_Timer();
    EXPECT_EQ(view.text(TextBox::Text_FREQUENZ), QStringLiteral("0,5 Hz")) << "the edge before the reset";
    edges(23);
    measurement.Timer1_Timer();
    EXPECT_EQ(shown(TextBox::Text_ANZAHL_IMPULSE, TextBox::Text_IMPULSLÄNGE, TextBox::txtFMax, TextBox::txtFMin),
              QStringLiteral("11|0.020ms|11,5 Hz|11,5 Hz"));
}

}  // namespace
