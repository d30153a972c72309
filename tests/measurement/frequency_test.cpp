#include "fake_serial_line_service.h"
#include "fake_view.h"
#include "measurement.h"

#include <gtest/gtest.h>

using namespace measurement;

namespace {

class NoBeep : public Beeper {
public:
    void Beep() override {}
};

class Frequency : public ::testing::Test {
protected:
    Frequency()
    {
        service.OnComm = [this] { measurement.MSComm1_OnComm(); };
        measurement.prime();
    }
    void edges(int count)
    {
        for (int i = 0; i < count; ++i)
            service.raise(serial::comEvCD);
    }
    // Brings the pulse count to `pulses` whole pulses, then lets a second of
    // `edgesThisSecond` edges pass.
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
    NoBeep beeper;
    Measurement measurement{view, service, beeper, QLocale(QLocale::German, QLocale::Germany)};
};

TEST_F(Frequency, ShowsHalfTheEdgesOfTheSecond)
{
    edges(101);
    measurement.Timer1_Timer();
    EXPECT_EQ(text(TextBox::Text_FREQUENZ), QStringLiteral("50,5 Hz"));
    EXPECT_EQ(measurement.state.FREQUENZ, 0);

    measurement.Timer1_Timer();
    EXPECT_EQ(text(TextBox::Text_FREQUENZ), QStringLiteral("0 Hz"));
}

TEST_F(Frequency, WindowIsStrictlyBetweenTheLimits)
{
    struct Row {
        double pulses;
        const char* lower;
        const char* upper;
        bool active;
    };
    const Row rows[] = {
        {10, "10", "1000", false},  {11, "10", "1000", true},  {999, "10", "1000", true},
        {1000, "10", "1000", false}, {10, "10,5", "1000", false}, {11, "10,5", "1000", true},
        {11, "11,5", "1000", false}, {20, "", "1000", false},    {20, "10", "viel", false},
        {20, " 10 ", " 1000 ", true}, {20, "1e309", "1000", false}, {20, "-inf", "inf", false},
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
}

TEST_F(Frequency, FractionalEdgeCountsAreRoundedBeforeHalving)
{
    // 22.5 edges round to 22 (11 pulses, active); 23.5 round to 24 (12 pulses).
    view.texts[TextBox::txtIMin] = QStringLiteral("11");
    measurement.state.ANZAHL_IMPULSE = 22.5;
    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::red);
    measurement.state.ANZAHL_IMPULSE = 23.5;
    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::lightGreen);
}

TEST_F(Frequency, HighestAndLowestWhileActive)
{
    // The first active second sets both.
    secondAt(100, 100);
    EXPECT_EQ(measurement.state.FMax, 50);
    EXPECT_EQ(measurement.state.FMin, 50);
    EXPECT_EQ(text(TextBox::txtFMax), QStringLiteral("50 Hz"));
    EXPECT_EQ(text(TextBox::txtFMin), QStringLiteral("50 Hz"));

    // Compared in whole pulses: 101 edges are 50 whole pulses, no new highest.
    secondAt(200, 101);
    EXPECT_EQ(measurement.state.FMax, 50);

    secondAt(300, 103);
    EXPECT_EQ(measurement.state.FMax, 51.5);
    EXPECT_EQ(text(TextBox::txtFMax), QStringLiteral("51,5 Hz"));

    // A second without edges in an active window is the lowest.
    measurement.Timer1_Timer();
    EXPECT_EQ(measurement.state.FMin, 0);
    EXPECT_EQ(text(TextBox::txtFMin), QStringLiteral("0 Hz"));

    // Beyond the upper limit nothing changes and the indicator turns red.
    secondAt(2000, 400);
    EXPECT_EQ(measurement.state.FMax, 51.5);
    EXPECT_EQ(indicator(), colours::red);
}

TEST_F(Frequency, LimitsAreReadAfreshEveryTick)
{
    secondAt(20, 10);
    EXPECT_EQ(indicator(), colours::lightGreen);
    view.texts[TextBox::txtIMax] = QStringLiteral("15");
    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::red);
    view.texts[TextBox::txtIMax] = QStringLiteral("");
    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::red);
    view.texts[TextBox::txtIMax] = QStringLiteral("25");
    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::lightGreen);
}

TEST_F(Frequency, ResetRearmsTheWindow)
{
    secondAt(500, 60);
    ASSERT_EQ(measurement.state.FMax, 30);
    service.raise(serial::comEvCD);  // one edge left over for the next second

    measurement.Command_CLEAR_Click();
    EXPECT_EQ(text(TextBox::txtFMax), QStringLiteral("-1000000"));
    EXPECT_EQ(text(TextBox::txtFMin), QStringLiteral("1000000"));
    EXPECT_EQ(measurement.state.ANZAHL_IMPULSE, 0);
    EXPECT_EQ(measurement.state.FREQUENZ, 1) << "the second under way is not reset";
    EXPECT_EQ(indicator(), colours::lightGreen) << "the indicator waits for the tick";

    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::red);
    EXPECT_EQ(text(TextBox::txtFMax), QStringLiteral("-1000000"));

    // Active again once more than the lower limit of whole pulses is counted.
    edges(22);
    measurement.Timer1_Timer();
    EXPECT_EQ(indicator(), colours::lightGreen);
    EXPECT_EQ(measurement.state.FMax, 11);
    EXPECT_EQ(measurement.state.FMin, 11);
}

}  // namespace
