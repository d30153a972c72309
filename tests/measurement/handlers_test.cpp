#include "fake_serial_line_service.h"
#include "fake_view.h"
#include "measurement.h"

#include <gtest/gtest.h>

using namespace measurement;
using namespace std::chrono_literals;

namespace {

// A stamp `ms` into the monotonic clock; the time of day runs along with it
// unless given, so a step of the wall clock can fall between two edges; a
// debounce confirmed it `afterMs` later.
serial::EdgeTime at(double ms, double timeOfDay = -1, int afterMs = 0)
{
    using std::chrono::steady_clock;
    return {steady_clock::time_point(std::chrono::round<steady_clock::duration>(ms * 1ms)),
            timeOfDay >= 0 ? timeOfDay : 36000 + ms / 1000, std::chrono::milliseconds(afterMs)};
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
    template <typename... Boxes> QString shown(Boxes... boxes) const { return QStringList{view.text(boxes)...}.join(u'|'); }
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
    // The first edge has nothing to be measured against; midnight passes on the wall clock; the same wake-up again is
    // no interval; edges handled back to back long after, 50 ms apart at the line.
    const std::pair<serial::EdgeTime, const char*> rows[] = {{at(1000), ""}, {at(1050), "0.100ms"},
        {at(1300, 0.1), "0.500ms"}, {at(1300, 0.1), "0.500ms"}, {at(700000), "1.397.400ms"}, {at(700050), "0.100ms"}};
    for (const auto& [edge, length] : rows) {
        service.raise(serial::comEvCD, edge);
        EXPECT_EQ(view.text(TextBox::Text_IMPULSLÄNGE), QString::fromUtf8(length)) << edge.timeOfDay;
    }
}

// Each tick shows the edges that happened in its second of a grid from
// start-up, by their stamps, and, while the window is active, the highest and
// lowest. A tick the service answers later shows its second then. A late
// tick divides its seconds' edges by their number, to whole edges.
TEST_F(Handlers, TicksShowTheEdgesOfTheirSecondHighestAndLowest)
{
    // `count` edges spread over [from, to) s; `held` ones the service hands over after the tick asked.
    struct Edges { int count; double from, to; int afterMs = 0; bool held = false; };
    const struct { double tickAt; std::vector<Edges> edges; const char* shown; } rows[] = {
        {1.0, {{1000, 0, 1}}, "500 Hz|500 Hz|500 Hz"},                          // the first active second sets both
        {2.001, {{1001, 1, 2}, {100, 2, 2.001}}, "500,5 Hz|500 Hz|500 Hz"},     // 1 ms late: not one more
        {3.0, {{900, 2.001, 3}}, "500 Hz|500 Hz|500 Hz"},                       // the edges after it count here
        {4.0, {{800, 3, 3.9}, {203, 3.9, 4, 0, true}, {50, 4, 4.05, 0, true}}, "501,5 Hz|501,5 Hz|500 Hz"},
        {6.3, {{1950, 4.05, 6}, {300, 6, 6.3}}, "500 Hz|501,5 Hz|500 Hz"},     // held up: two seconds
        {7.0, {{700, 6.3, 7}}, "500 Hz|501,5 Hz|500 Hz"},
        {8.0, {{101, 7, 8}}, "50,5 Hz|501,5 Hz|50,5 Hz"},                       // compared in whole pulses, stored exact
        {9.0, {{1, 0.5, 0.6}}, "0,5 Hz|501,5 Hz|0,5 Hz"},                       // one from a second shown: into this one
        {10.0, {{1, 9.998, 9.999, 5}}, "0 Hz|501,5 Hz|0 Hz"},                   // debounced: counted once confirmed
        {11.0, {}, "0,5 Hz|501,5 Hz|0 Hz"},
    };
    const auto raise = [this](const std::vector<Edges>& batches, bool held) {
        for (const Edges& e : batches)
            for (int i = 0; i < e.count && e.held == held; ++i)
                service.raise(serial::comEvCD, at((e.from + (e.to - e.from) * i / e.count) * 1000, -1, e.afterMs));
    };
    view.texts[TextBox::txtIMax] = QStringLiteral("100000");
    for (const auto& [tickAt, edges, expected] : rows) {
        raise(edges, false);
        now = std::chrono::steady_clock::time_point(std::chrono::round<std::chrono::nanoseconds>(tickAt * 1s));
        service.holdsEdges = std::any_of(edges.begin(), edges.end(), [](const Edges& e) { return e.held; });
        measurement.Timer1_Timer();
        raise(edges, true);  // the second shown already would not count these
        measurement.edgesIn(service.asked);
        EXPECT_EQ(shown(TextBox::Text_FREQUENZ, TextBox::txtFMax, TextBox::txtFMin), QString(expected)) << tickAt;
    }
}

// The reset leaves the second under way, the readouts and the indicator alone
// and re-arms the window; the previous edge survives it. Whatever the limits
// read, the tick completes (FREQUENZ back to 0).
TEST_F(Handlers, WindowIsStrictlyBetweenTheLimitsAndTheResetRearmsItLeavingTheRest)
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

    // A limit that does not read shuts the window; 23.5 edges round to 24 before halving: 12 pulses.
    const std::tuple<double, const char*, const char*, bool> rows[] = {{10, "10", "1000", false},
        {1000, "10", "1000", false}, {11, "10,5", "1000", true}, {20, "10", "viel", false}, {11.75, "11", "1000", true}};
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

}  // namespace
