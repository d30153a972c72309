#include "fake_serial_line_service.h"
#include "fake_view.h"
#include "measurement.h"

#include <gtest/gtest.h>

using namespace measurement;

namespace {

// A stamp `ms` into the monotonic clock; the time of day runs along with it
// unless given, so a step of the wall clock can fall between two edges.
serial::EdgeTime at(double ms, double timeOfDay = -1)
{
    using std::chrono::steady_clock;
    const auto sinceStart = std::chrono::duration_cast<steady_clock::duration>(std::chrono::duration<double, std::milli>(ms));
    return {steady_clock::time_point(sinceStart), timeOfDay >= 0 ? timeOfDay : 36000 + ms / 1000};
}

class Handlers : public ::testing::Test, public Beeper {
protected:
    Handlers()
    {
        service.OnComm = [this] { measurement.MSComm1_OnComm(); };
        measurement.prime();
    }
    void Beep() override { ++beeps; }
    void edges(int count)
    {
        for (int i = 0; i < count; ++i)
            service.raise(serial::comEvCD, at(nextMs += 10));
    }
    // Brings the count to `pulses` whole pulses with a second of `edgesThisSecond` edges.
    void secondAt(double pulses, int edgesThisSecond)
    {
        measurement.state.ANZAHL_IMPULSE = pulses * 2 - edgesThisSecond;
        edges(edgesThisSecond);
        measurement.Timer1_Timer();
    }
    QString text(TextBox box) const { return view.texts.at(box); }
    Colour indicator() const { return view.backColors.at(ColouredControl::lblMM); }

    FakeView view;
    FakeSerialLineService service;
    int beeps = 0;
    double nextMs = 0;
    std::chrono::steady_clock::time_point now;  // of the ticks; stands still unless moved
    Measurement measurement{view, service, *this, QLocale(QLocale::German, QLocale::Germany), [this] { return now; }};
};

TEST_F(Handlers, CountsOnlyTheChosenLineAndBeepsForEveryEvent)
{
    const std::int16_t codeOfIndex[] = {serial::comEvCD, serial::comEvDSR, serial::comEvCTS, serial::comEvRing};
    view.setCheck(CheckBox::Check_BEEP, true);
    for (int chosen = 0; chosen < kSignalCount; ++chosen) {
        view.select(OptionArray::optSignal, chosen);
        for (std::int16_t code : {serial::comEvCTS, serial::comEvDSR, serial::comEvCD, serial::comEvRing, std::int16_t{1}}) {
            const double before = measurement.state.ANZAHL_IMPULSE;
            service.raise(code);
            EXPECT_EQ(measurement.state.ANZAHL_IMPULSE - before, code == codeOfIndex[chosen] ? 1 : 0)
                << "line " << chosen << ", code " << code;
        }
    }
    EXPECT_EQ(measurement.state.FREQUENZ, 4);
    EXPECT_EQ(beeps, 20);

    view.setCheck(CheckBox::Check_BEEP, false);
    service.raise(serial::comEvRing);
    EXPECT_EQ(beeps, 20);
}

TEST_F(Handlers, ReadsCommEventOnlyForTheSelectedLine)
{
    service.raise(serial::comEvCD);
    EXPECT_EQ(service.calls.count(QStringLiteral("CommEvent?")), 1);

    // With no line selected nothing is read and every event counts.
    view.signalLines[0].selected = false;
    service.calls.clear();
    service.raise(serial::comEvRing);
    service.raise(42);
    EXPECT_EQ(service.calls.count(QStringLiteral("CommEvent?")), 0);
    EXPECT_EQ(measurement.state.ANZAHL_IMPULSE, 3);
}

TEST_F(Handlers, PulseLengthComesFromTheEdgeStamps)
{
    struct Row {
        serial::EdgeTime edge;
        const char* length;
        double timeOfDay;
    };
    const Row rows[] = {
        {at(1000), "", 36001},             // the first edge has nothing to be measured against
        {at(1050), "0.100ms", 36001.05},
        {at(1300, 0.1), "0.500ms", 0.1},   // midnight passed on the wall clock
        {at(1300, 0.1), "0.500ms", 0.1},   // same wake-up, no interval: unchanged
        {at(1300 + 617283.5), "1.234.567ms", 36618.5835},
        // Handled back to back long after they happened, 50 ms apart at the line.
        {at(700000), "162.833ms", 36700},
        {at(700050), "0.100ms", 36700.05},
        {at(700100), "0.100ms", 36700.1},
    };
    for (const auto& row : rows) {
        service.raise(serial::comEvCD, row.edge);
        EXPECT_EQ(text(TextBox::Text_IMPULSLÄNGE), QString::fromUtf8(row.length)) << row.timeOfDay;
        EXPECT_DOUBLE_EQ(measurement.state.ZEIT_STEMPEL, row.timeOfDay);
    }
}

// A tick more than 50 ms off its second shows the edges per measured second,
// to whole edges; highest and lowest see that same reading.
TEST_F(Handlers, AnOffTimeTickShowsTheEdgesPerMeasuredSecond)
{
    const struct { double seconds; int edges; const char* shown; double fMax, fMin; } rows[] = {
        {1.0, 1000, "500 Hz", 500, 500},
        {3.0, 3000, "500 Hz", 500, 500},  // held up for 2 s: every edge lands in one tick
        {1.2, 1200, "500 Hz", 500, 500},
        {0.5, 500, "500 Hz", 500, 500},   // the tick that catches up comes early
        {1.04, 101, "50,5 Hz", 500, 50.5},  // within 50 ms: as on time, half the edges
        {0.96, 1003, "501,5 Hz", 501.5, 50.5},
        {1.06, 1000, "471,5 Hz", 501.5, 50.5},  // 943,4 edges a second
        {2.0, 101, "25,5 Hz", 501.5, 25.5},
    };
    for (const auto& row : rows) {
        now += std::chrono::round<std::chrono::nanoseconds>(std::chrono::duration<double>(row.seconds));
        secondAt(500, row.edges);
        EXPECT_EQ(text(TextBox::Text_FREQUENZ), QString::fromUtf8(row.shown)) << row.seconds;
        EXPECT_EQ(measurement.state.FMax, row.fMax) << row.seconds;
        EXPECT_EQ(measurement.state.FMin, row.fMin) << row.seconds;
    }
}

TEST_F(Handlers, WindowIsStrictlyBetweenTheLimits)
{
    struct Row {
        double pulses;
        const char* lower;
        const char* upper;
        bool active;
    };
    const Row rows[] = {
        {10, "10", "1000", false},   {11, "10", "1000", true},    {999, "10", "1000", true},
        {1000, "10", "1000", false}, {10, "10,5", "1000", false}, {11, "10,5", "1000", true},
        {20, "", "1000", false},     {20, "10", "viel", false},   {20, " 10 ", " 1000 ", true},
        {20, "1e309", "1000", false}, {20, "-inf", "inf", false},
    };
    for (const auto& row : rows) {
        view.texts[TextBox::txtIMin] = QString::fromUtf8(row.lower);
        view.texts[TextBox::txtIMax] = QString::fromUtf8(row.upper);
        measurement.Command_CLEAR_Click();
        secondAt(row.pulses, 4);
        EXPECT_EQ(indicator(), row.active ? colours::lightGreen : colours::red)
            << row.pulses << " pulses between \"" << row.lower << "\" and \"" << row.upper << '"';
        EXPECT_EQ(measurement.state.FMax, row.active ? 2 : kFMaxPrimed) << row.pulses;
        EXPECT_EQ(measurement.state.FREQUENZ, 0) << "the tick always completes";
    }

    // An edge count is rounded before halving: 23.5 edges are 12 pulses, not 11.
    view.texts[TextBox::txtIMin] = QStringLiteral("11");
    view.texts[TextBox::txtIMax] = QStringLiteral("1000");
    measurement.state.ANZAHL_IMPULSE = 23.5;
    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::lightGreen);
}

TEST_F(Handlers, HighestAndLowestWhileActive)
{
    struct Row {
        double pulses;
        int edgesThisSecond;
        double fMax, fMin;
        const char* maxText;
        const char* minText;
    };
    const Row rows[] = {
        {100, 100, 50, 50, "50 Hz", "50 Hz"},      // the first active second sets both
        {200, 101, 50, 50, "50 Hz", "50 Hz"},      // compared in whole pulses: 50.5 is no new highest
        {300, 103, 51.5, 50, "51,5 Hz", "50 Hz"},  // stored as the exact half
        {300, 0, 51.5, 0, "51,5 Hz", "0 Hz"},      // a second without edges is the lowest
        {2000, 400, 51.5, 0, "51,5 Hz", "0 Hz"},   // beyond the upper limit nothing changes
    };
    for (const auto& row : rows) {
        secondAt(row.pulses, row.edgesThisSecond);
        EXPECT_EQ(measurement.state.FMax, row.fMax) << row.pulses;
        EXPECT_EQ(measurement.state.FMin, row.fMin) << row.pulses;
        EXPECT_EQ(text(TextBox::txtFMax), QString::fromUtf8(row.maxText));
        EXPECT_EQ(text(TextBox::txtFMin), QString::fromUtf8(row.minText));
    }
    EXPECT_EQ(indicator(), colours::red);
}

TEST_F(Handlers, ResetRearmsTheWindowAndLeavesTheRest)
{
    view.texts[TextBox::txtIMax] = QStringLiteral("30");  // read afresh on every tick
    secondAt(20, 60);
    ASSERT_EQ(measurement.state.FMax, 30);
    edges(1);  // left over for the next second

    measurement.Command_CLEAR_Click();
    EXPECT_EQ(text(TextBox::txtFMax), QStringLiteral("-1000000"));
    EXPECT_EQ(text(TextBox::txtFMin), QStringLiteral("1000000"));
    EXPECT_EQ(measurement.state.FREQUENZ, 1) << "the second under way is not reset";
    EXPECT_EQ(text(TextBox::Text_ANZAHL_IMPULSE), QStringLiteral("20")) << "readouts wait for the next edge";
    EXPECT_EQ(indicator(), colours::lightGreen) << "the indicator waits for the tick";

    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::red);

    // Whole pulses, rounded down; the previous edge survives the reset, so the
    // next length is measured as usual.
    edges(1);
    EXPECT_EQ(text(TextBox::Text_ANZAHL_IMPULSE), QStringLiteral("0"));
    edges(22);
    EXPECT_EQ(text(TextBox::Text_ANZAHL_IMPULSE), QStringLiteral("11"));
    EXPECT_EQ(text(TextBox::Text_IMPULSLÄNGE), QStringLiteral("0.020ms"));
    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::lightGreen);
    EXPECT_EQ(measurement.state.FMax, 11.5);
    EXPECT_EQ(measurement.state.FMin, 11.5);
}

}  // namespace
