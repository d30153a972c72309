#include "history.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace measurement;

namespace {

const QDateTime kStart = QDateTime::fromSecsSinceEpoch(1'796'000'000, Qt::UTC);

// One tick a second from kStart, at the frequencies given, edges twice each;
// a "C" 0.4 s before tick `resetAt` unless that is 0.
History historyOf(const std::vector<double>& frequencies, std::size_t resetAt = 0)
{
    History history;
    for (std::size_t i = 0; i <= frequencies.size(); ++i) {
        if (resetAt && i == resetAt)
            history.markReset(kStart.addMSecs(static_cast<qint64>(i) * 1000 - 400));
        if (i < frequencies.size())
            history.add(kStart.addSecs(static_cast<qint64>(i)), {frequencies[i] * 2, frequencies[i], false, 0, 0});
    }
    return history;
}

// Worked by hand: 2 4 4 4 5 5 7 9 has the mean 5 and squares 32 about it.
TEST(History, StatisticsOfTheTicksInViewSinceTheLastReset)
{
    const double s8 = std::sqrt(32.0 / 7);
    // Long enough for whole blocks of ticks: 4 and 6 by turns, from tick 5000
    // on 8 and 10. Each half has its mean, and squares 1 about it.
    std::vector<double> alternating(10'000);
    for (std::size_t i = 0; i < alternating.size(); ++i)
        alternating[i] = (i % 2 ? 6 : 4) + (i < 5000 ? 0 : 4);
    const double s8000 = std::sqrt(8000 * (1 + 2 * 2) / 7999.0);  // means 5 and 9 lie 2 from 7
    const double s9000 = std::sqrt((9000 + 4000 * 20 * 20 / 81.0 + 5000 * 16 * 16 / 81.0) / 8999);  // 65/9
    // What, ticks [first, last), the "C" before tick resetAt (0: none), the factor, the statistics.
    const std::tuple<const char*, std::size_t, std::size_t, std::size_t, double, Statistics> rows[] = {
        {"whole run", 0, 8, 0, 1, {8, 40, 5, s8, 2, 9, s8 / std::sqrt(8.0)}},
        {"per minute", 0, 8, 0, 60, {8, 40, 300, 60 * s8, 120, 540, 60 * s8 / std::sqrt(8.0)}},
        {"C before tick 6", 0, 8, 6, 1, {2, 16, 8, std::sqrt(2.0), 7, 9, 1}},
        {"one second", 7, 8, 0, 1, {1, 9, 9, 0, 9, 9, 0}},
        {"nothing since C", 0, 8, 8, 1, {}},
        {"across blocks", 1000, 9000, 0, 1, {8000, 56000, 7, s8000, 4, 10, s8000 / std::sqrt(8000.0)}},
        {"C inside a block", 0, 10'000, 1000, 1, {9000, 65000, 65.0 / 9, s9000, 4, 10, s9000 / std::sqrt(9000.0)}},
    };
    for (const auto& [what, first, last, resetAt, factor, want] : rows) {
        const History history = historyOf(last > 8 ? alternating : std::vector<double>{2, 4, 4, 4, 5, 5, 7, 9}, resetAt);
        const Statistics got = history.statistics(first, last).scaled(factor);
        EXPECT_EQ(got.n, want.n) << what;
        for (auto [value, expected] : {std::pair{got.pulses, want.pulses}, {got.mean, want.mean}, {got.s, want.s},
                                       {got.lowest, want.lowest}, {got.highest, want.highest},
                                       {got.standardError, want.standardError}})
            EXPECT_NEAR(value, expected, 1e-9) << what;
    }
}

// The chart's averages of ticks [first, last), too few to be thinned.
std::vector<double> averages(const History& history, std::size_t first, std::size_t last, Averaging span)
{
    std::vector<double> values;
    for (const ChartPoint& point : history.envelope(first, last, 10, span))
        values.push_back(point.value);
    return values;
}

// Frequencies 0, 1, 2, ... make each average the middle of its window.
TEST(History, AveragesOverTheChosenTimeStopAtTheResetMark)
{
    std::vector<double> ramp(700);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<double>(i);
    History history = historyOf(ramp);
    const std::tuple<Averaging, std::size_t, double> rows[] = {
        {Averaging::OneSecond, 7, 7},      {Averaging::TenSeconds, 20, 15.5},   {Averaging::TenSeconds, 5, 2.5},
        {Averaging::OneMinute, 100, 70.5}, {Averaging::TenMinutes, 650, 350.5}, {Averaging::TenMinutes, 699, 399.5}};
    for (const auto& [span, at, expected] : rows)
        EXPECT_EQ(averages(history, at, at + 1, span), std::vector<double>{expected}) << at;

    // "C" between ticks 299 and 300, at its own moment: the mark, and a fresh start for statistics and averages.
    const History reset = historyOf(ramp, 300);
    EXPECT_EQ(reset.resetTimes(), std::vector<double>{static_cast<double>(kStart.toSecsSinceEpoch()) + 299.6});
    EXPECT_EQ(reset.statistics(0, reset.size()).n, 400u);
    EXPECT_EQ(averages(reset, 304, 306, Averaging::TenSeconds), (std::vector<double>{302, 302.5}));
    EXPECT_EQ(averages(reset, 650, 651, Averaging::TenMinutes), std::vector<double>{475});
}

// The chart's data: the ticks of a time span, thinned so a lone spike survives.
TEST(History, FindsTheTicksOfATimeSpanAndThinsThemKeepingSpikes)
{
    std::vector<double> flat(1000, 5);
    flat[537] = 100;
    const History history = historyOf(flat);
    const double t0 = static_cast<double>(kStart.toSecsSinceEpoch());
    EXPECT_EQ(history.between(t0 + 1, t0 + 3), (std::pair<std::size_t, std::size_t>{1, 4}));
    EXPECT_EQ(history.between(t0 + 1.05, t0 + 2.95), (std::pair<std::size_t, std::size_t>{2, 3}));
    const auto points = history.envelope(0, 1000, 10);
    EXPECT_LE(points.size(), 20u);
    EXPECT_EQ(points.front().time, t0);
    EXPECT_TRUE(std::any_of(points.begin(), points.end(), [&](ChartPoint p) { return p == ChartPoint{t0 + 537, 100}; }));

    History odd;  // a count below zero, with a clock set ten years on
    odd.add(kStart, {2, 1, false, 0, 0});
    odd.add(kStart.addYears(10), {-4, 2, false, 0, 0});
    EXPECT_TRUE(odd.edges(1) == 0 && odd.time(0) < odd.time(1));

    History active;  // active in seconds 1-2, 4 and 8: the gap of one second closed, that of three not
    for (int i = 0; i < 10; ++i)
        active.add(kStart.addSecs(i), {0, 0, i == 1 || i == 2 || i == 4 || i == 8, 0, 0});
    EXPECT_EQ(active.activeSpans(0, 10, 1), (std::vector<std::pair<double, double>>{{t0, t0 + 4}, {t0 + 7, t0 + 8}}));
}

}  // namespace
