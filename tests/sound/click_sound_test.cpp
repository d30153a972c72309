// The beep as heard: the real window offscreen with its own click sound,
// played into a private sound server and recorded from its sink.
#include "fake_serial_line_service.h"
#include "haupt.h"
#include "private_sound_server.h"

#include <QCheckBox>
#include <QTest>

#include <gtest/gtest.h>

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

TEST(ClickSound, EachEventClicksOnceOnTimeUncheckedStaysSilentAndIdleClosesTheStream)
{
    PrivateSoundServer server;
    qputenv("PULSE_SERVER", server.address());
    SinkRecorder recorder(server);
    ASSERT_TRUE(recorder.heardAfter(Clock::now()));
    Window w;
    w.events(3);
    EXPECT_EQ(server.streams(), 0) << "an unchecked box opens no stream";
    w.beep()->setChecked(true);
    const auto sent = w.events(10);
    EXPECT_TRUE(recorder.heardAfter(Clock::now() + 300ms));
    EXPECT_EQ(server.streams(), 1);
    recorder.stop();

    const auto clicks = recorder.clicks();
    std::printf("events sent 10, clicks counted %zu\n", clicks.size());
    ASSERT_EQ(clicks.size(), 10u);
    for (std::size_t i = 0; i < clicks.size(); ++i) {
        const double latency = std::chrono::duration<double, std::milli>(recorder.playedBy(clicks[i]) - sent[i]).count();
        const double gap = i ? (clicks[i] - clicks[i - 1]) * 1000.0 / PrivateSoundServer::kRate : 0;
        std::printf("click %zu: heard at most %.1f ms after its event, %.1f ms after the previous click\n", i,
                    latency, gap);
        if (i) {
            EXPECT_NEAR(gap, 100, 25) << i;
        }
    }

    while (server.streams() > 0 && Clock::now() - sent.back() < 10s)
        std::this_thread::sleep_for(100ms);
    const auto closedAfter = Clock::now() - sent.back();
    EXPECT_TRUE(closedAfter > 4.5s && closedAfter < 6.5s) << "stream closed after idling "
                                                          << std::chrono::duration<double>(closedAfter).count() << " s";
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
