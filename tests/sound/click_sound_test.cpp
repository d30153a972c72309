// The beep as heard: the real window offscreen with its own click sound,
// played into a private sound server and recorded from its sink.
#include "fake_serial_line_service.h"
#include "haupt.h"
#include "private_sound_server.h"

#include <QCheckBox>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Window {
    Window() : window(std::make_unique<HAUPT>([this] {
                 auto service = std::make_unique<FakeSerialLineService>();
                 fake = service.get();
                 return service;
             }())) {}
    // `n` events 100 ms apart, on time however late a wake-up was; when each came.
    std::vector<Clock::time_point> events(int n)
    {
        std::vector<Clock::time_point> sent;
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i) {
            std::this_thread::sleep_until(start + i * 100ms);
            sent.push_back(Clock::now());
            fake->raise(serial::comEvCTS);
        }
        return sent;
    }
    QCheckBox* beep() const { return window->findChild<QCheckBox*>(QStringLiteral("Check_BEEP")); }

    FakeSerialLineService* fake = nullptr;
    std::unique_ptr<HAUPT> window;
};

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

TEST(ClickSound, EachEventClicksOnTimeABurstLeavesNoQueueUncheckedIsSilentAndIdleCloses)
{
    PrivateSoundServer server;
    qputenv("PULSE_SERVER", server.address());
    SinkRecorder recorder(server);
    ASSERT_TRUE(recorder.heardAfter(Clock::now()));
    Window w;
    w.events(3);
    EXPECT_EQ(server.streams(), 0) << "an unchecked box opens no stream";
    w.beep()->setChecked(true);
    auto sent = w.events(10);
    // A burst mixes into one buzz; were its clicks queued, the next click would drown in them.
    std::this_thread::sleep_for(100ms);
    sent.push_back(Clock::now());
    for (int i = 0; i < 1000; ++i)
        w.fake->raise(serial::comEvCTS);
    std::this_thread::sleep_for(300ms);
    sent.push_back(w.events(1)[0]);
    EXPECT_TRUE(recorder.heardAfter(Clock::now() + 300ms));
    EXPECT_EQ(server.streams(), 1);
    recorder.stop();

    const auto clicks = recorder.clicks();
    std::printf("events sent 10 + a burst + 1, clicks counted %zu\n", clicks.size());
    ASSERT_EQ(clicks.size(), 12u) << testing::PrintToString(clicks);
    std::vector<double> latencies;
    for (std::size_t i = 0; i < clicks.size(); ++i) {
        const double gap = i ? (clicks[i] - clicks[i - 1]) * 1000.0 / PrivateSoundServer::kRate : 0;
        latencies.push_back(ms(recorder.playedBy(clicks[i]) - sent[i]));
        std::printf("click %zu: heard at most %.1f ms after its event, %.1f ms after the previous click (events %.1f)\n",
                    i, latencies.back(), gap, i ? ms(sent[i] - sent[i - 1]) : 0);
        // The events are 100 ms apart but for a late wake-up of the sender.
        if (i > 0 && i < 10) {
            EXPECT_NEAR(gap, ms(sent[i] - sent[i - 1]), 25) << i;
        }
    }
    // A second's buffer would pass the beat; only the delay shows it.
    std::nth_element(latencies.begin(), latencies.begin() + 6, latencies.end());
    EXPECT_LT(latencies[6], 100) << "median from event to click, ms";

    while (server.streams() > 0 && Clock::now() - sent.back() < 10s)
        std::this_thread::sleep_for(100ms);
    const auto closedAfter = Clock::now() - sent.back();
    EXPECT_TRUE(closedAfter > 4.5s && closedAfter < 8s) << "stream closed after idling " << ms(closedAfter) << " ms";
}

TEST(ClickSound, WithoutAServerTheBoxSaysSoInItsTooltip)
{
    const QTemporaryDir empty;
    qputenv("PULSE_SERVER", "unix:" + empty.path().toLocal8Bit() + "/none");
    Window w;
    w.beep()->setChecked(true);
    w.events(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.beep()->toolTip().isEmpty(); }, 10000));
    const QString said = w.beep()->toolTip();
    w.events(3);
    QTest::qWait(100);
    EXPECT_TRUE(said.contains(QStringLiteral("Systemton")) && w.beep()->toolTip() == said) << said.toStdString();
}

}  // namespace
