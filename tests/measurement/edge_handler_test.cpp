#include "fake_serial_line_service.h"
#include "fake_view.h"
#include "measurement.h"

#include <gtest/gtest.h>

using namespace measurement;
using namespace std::chrono_literals;
using serial::EdgeTime;

namespace {

class CountingBeeper : public Beeper {
public:
    void Beep() override { ++beeps; }
    int beeps = 0;
};

// A stamp at `ms` on the monotonic clock; the time of day runs along with it
// unless given, so a step of the wall clock can be put between two edges.
EdgeTime at(double ms, double timeOfDay = -1)
{
    EdgeTime t;
    t.monotonic = std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double, std::milli>(ms)));
    t.timeOfDay = timeOfDay >= 0 ? timeOfDay : 36000 + ms / 1000;
    return t;
}

class EdgeHandler : public ::testing::Test {
protected:
    EdgeHandler()
    {
        service.OnComm = [this] { measurement.MSComm1_OnComm(); };
        measurement.prime();
    }
    QString pulses() const { return view.texts.at(TextBox::Text_ANZAHL_IMPULSE); }
    QString length() const { return view.texts.at(TextBox::Text_IMPULSLÄNGE); }

    FakeView view;
    FakeSerialLineService service;
    CountingBeeper beeper;
    Measurement measurement{view, service, beeper, QLocale(QLocale::German, QLocale::Germany)};
};

TEST_F(EdgeHandler, CountsOnlyTheChosenLine)
{
    const std::int16_t codeOfIndex[] = {serial::comEvCD, serial::comEvDSR, serial::comEvCTS, serial::comEvRing};
    for (int chosen = 0; chosen < kSignalCount; ++chosen) {
        view.select(OptionArray::optSignal, chosen);
        for (std::int16_t code : {serial::comEvCTS, serial::comEvDSR, serial::comEvCD, serial::comEvRing, std::int16_t{1}}) {
            const double before = measurement.state.ANZAHL_IMPULSE;
            service.raise(code);
            EXPECT_EQ(measurement.state.ANZAHL_IMPULSE - before, code == codeOfIndex[chosen] ? 1 : 0)
                << "line " << chosen << ", code " << code;
        }
    }
    EXPECT_EQ(measurement.state.ANZAHL_IMPULSE, 4);
    EXPECT_EQ(measurement.state.FREQUENZ, 4);
}

TEST_F(EdgeHandler, BeepsForEveryEventWhenAskedTo)
{
    view.select(OptionArray::optSignal, 2);
    service.raise(serial::comEvCTS);
    service.raise(serial::comEvCD);
    EXPECT_EQ(beeper.beeps, 0);

    view.setCheck(CheckBox::Check_BEEP, true);
    service.raise(serial::comEvCTS);
    service.raise(serial::comEvCD);
    EXPECT_EQ(beeper.beeps, 2);
    EXPECT_EQ(measurement.state.ANZAHL_IMPULSE, 2);
}

TEST_F(EdgeHandler, ReadsCommEventOnlyForTheSelectedLine)
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

TEST_F(EdgeHandler, ShowsWholePulses)
{
    const char* expected[] = {"0", "1", "1", "2", "2", "3"};
    for (int edge = 0; edge < 6; ++edge) {
        service.raise(serial::comEvCD, at(10.0 * edge));
        EXPECT_EQ(pulses(), QString::fromLatin1(expected[edge])) << (edge + 1) << " edges";
    }
}

TEST_F(EdgeHandler, PulseLengthComesFromTheEdgeStamps)
{
    // The first edge has nothing to be measured against.
    service.raise(serial::comEvCD, at(1000));
    EXPECT_EQ(length(), QString());
    EXPECT_DOUBLE_EQ(measurement.state.ZEIT_STEMPEL, 36001);

    service.raise(serial::comEvCD, at(1050));
    EXPECT_EQ(length(), QStringLiteral("0.100ms"));
    EXPECT_DOUBLE_EQ(measurement.state.ZEIT_STEMPEL, 36001.05);

    // The wall clock passes midnight between two edges: the monotonic interval holds.
    service.raise(serial::comEvCD, at(1300, 0.1));
    EXPECT_EQ(length(), QStringLiteral("0.500ms"));
    EXPECT_DOUBLE_EQ(measurement.state.ZEIT_STEMPEL, 0.1);

    // Reported together from one wake-up: no interval, the readout stays.
    service.raise(serial::comEvCD, at(1300, 0.1));
    EXPECT_EQ(length(), QStringLiteral("0.500ms"));
    EXPECT_EQ(measurement.state.ANZAHL_IMPULSE, 4);

    // Long periods are grouped.
    service.raise(serial::comEvCD, at(1300 + 617283.5));
    EXPECT_EQ(length(), QStringLiteral("1.234.567ms"));
}

TEST_F(EdgeHandler, QueuedEdgesKeepTheirOwnIntervals)
{
    // Handled back to back, long after they happened, 50 ms apart at the line.
    for (int edge = 0; edge < 5; ++edge)
        service.raise(serial::comEvCD, at(5000 + 50.0 * edge));
    EXPECT_EQ(length(), QStringLiteral("0.100ms"));
}

TEST_F(EdgeHandler, ResetLeavesReadoutsUntilTheNextEdge)
{
    for (int edge = 0; edge < 5; ++edge)
        service.raise(serial::comEvCD, at(20.0 * edge));
    measurement.Command_CLEAR_Click();
    EXPECT_EQ(pulses(), QStringLiteral("2"));
    EXPECT_EQ(length(), QStringLiteral("0.040ms"));

    // The previous edge survives the reset, so the length is measured normally.
    service.raise(serial::comEvCD, at(130));
    EXPECT_EQ(pulses(), QStringLiteral("0"));
    EXPECT_EQ(length(), QStringLiteral("0.100ms"));
}

}  // namespace
