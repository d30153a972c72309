// The beep as heard: the real window offscreen with its own click sound,
// played into a private sound server and recorded from its sink.
#include "fake_serial_line_service.h"
#include "haupt.h"
#include "private_sound_server.h"

#include <QCheckBox>

#include <gtest/gtest.h>

TEST(ClickSound, OneClickPerEventNoneUncheckedNoQueueAfterABurstClosedWhenIdleAndSaidWhenTheServerIsGone)
{
    PrivateSoundServer server;
    const auto playing = [] {
        return QProcess::execute(QStringLiteral("sh"), {"-c", "pactl list short sink-inputs | grep -q ."}) == 0;
    };
    // parec may stall for a moment on a busy machine; the server keeps what it
    // has not taken yet.
    QProcess parec;
    parec.startCommand(QStringLiteral("parec --device=clicks.monitor --raw --format=s16le --rate=48000 --channels=1"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return parec.bytesAvailable() > 0; }, 20000)) << "no sound server";
    auto* fake = new FakeSerialLineService;
    HAUPT window{std::unique_ptr<FakeSerialLineService>(fake)};
    auto* beep = window.findChild<QCheckBox*>(QStringLiteral("Check_BEEP"));
    const auto events = [&](int n, int apartMs) {
        for (int i = 0; i < n; ++i) {
            QTest::qWait(apartMs);
            fake->raise(serial::comEvCTS);
        }
    };
    events(3, 100);
    EXPECT_FALSE(playing()) << "an unchecked box opens no stream";
    beep->setChecked(true);
    events(5, 100);
    // A burst buzzes once; were its clicks queued, the next click would drown in them.
    events(1, 100);
    events(999, 0);
    events(1, 300);
    const auto closed = [&] { return !playing(); };
    EXPECT_FALSE(QTest::qWaitFor(closed, 4500)) << "closed before five idle seconds";
    EXPECT_TRUE(QTest::qWaitFor(closed, 3500)) << "still open after eight idle seconds";
    parec.terminate();
    parec.waitForFinished();
    // A sound begins where a loud sample follows 20 ms of quiet; its energy is
    // told in clicks of half full scale that ring down within 2 ms.
    const QByteArray sound = parec.readAll();
    const auto* samples = reinterpret_cast<const std::int16_t*>(sound.constData());
    std::vector<double> heard;
    for (qsizetype i = 0, quiet = 960; i < sound.size() / 2; ++i, ++quiet) {
        if (std::abs(samples[i]) >= 3000 && std::exchange(quiet, 0) >= 960)
            heard.push_back(0);
        if (!heard.empty())
            heard.back() += samples[i] * samples[i] / 1.29e9;
    }
    ASSERT_EQ(heard.size(), 5 + 1 + 1u) << "five events, a burst and one more";
    for (const std::size_t click : {0, 1, 2, 3, 4, 6})
        EXPECT_NEAR(heard[click], 1, 0.4) << "sound " << click << " in clicks";

    {  // A window closed while its stream plays closes at once.
        auto* other = new FakeSerialLineService;
        HAUPT second{std::unique_ptr<FakeSerialLineService>(other)};
        second.findChild<QCheckBox*>(QStringLiteral("Check_BEEP"))->setChecked(true);
        other->raise(serial::comEvCTS);
        ASSERT_TRUE(QTest::qWaitFor(playing, 5000));
    }
    // With its server gone the next click falls back to the system beep, and says so once.
    server.process.terminate();
    server.process.waitForFinished();
    events(1, 100);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !beep->toolTip().isEmpty(); }, 10000));
    const QString said = beep->toolTip();
    events(3, 100);
    EXPECT_TRUE(said.contains(QStringLiteral("Systemton")) && beep->toolTip() == said) << said.toStdString();
}
