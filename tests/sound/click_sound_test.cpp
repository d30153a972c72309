// The beep as heard: the real window offscreen with its own click sound,
// played into a private sound server and recorded from its sink.
#include "fake_serial_line_service.h"
#include "haupt.h"
#include "private_sound_server.h"

#include <QCheckBox>

#include <gtest/gtest.h>

#include <numbers>

namespace {

// A recording of the sink, 48 kHz, its left channel; parec may stall for a moment on a busy
// machine, and the server keeps what it has not taken yet.
struct Recording {
    Recording()
    {
        parec.startCommand("parec -d @DEFAULT_MONITOR@ --raw --format=s16le --rate=48000 --channels=2 --latency-msec=10");
    }
    std::int16_t at(qsizetype i) const { return reinterpret_cast<const std::int16_t*>(sound.constData())[2 * i]; }
    // A sound begins where a click's loudness follows 20 ms without it; its
    // energy over 5 ms is told in clicks of half full scale.
    std::vector<double> sounds()
    {
        sound += parec.readAll();
        std::vector<double> heard;
        onsets.clear();
        for (qsizetype i = 0, quiet = 960; i < sound.size() / 4; ++i, ++quiet) {
            if (std::abs(at(i)) >= 3000 && std::exchange(quiet, 0) >= 960) {
                onsets.push_back(i);
                heard.push_back(0);
            }
            if (!heard.empty() && i < onsets.back() + 240)
                heard.back() += at(i) * at(i) / 1.29e9;
        }
        return heard;
    }
    QProcess parec;
    QByteArray sound;
    std::vector<qsizetype> onsets;
};

}  // namespace

// At the rates sound cards run at, mono or stereo, with rewinds allowed as
// servers allow them, and through PipeWire: events 100 ms apart click once
// each, a burst buzzes once and is not kept for later (the click 100 ms after
// it would drown), and another client's quiet tone plays on unbroken.
TEST(ClickSound, OneClickPerEventAtEachServerAndRateNoQueueAfterABurstATonePlaysOn)
{
    for (const QString sink : {"", "rate=48000 channels=1", "PipeWire"}) {
        SCOPED_TRACE(sink.toStdString());
        if (sink == "PipeWire" && QStandardPaths::findExecutable("pipewire-pulse").isEmpty())
            GTEST_SKIP() << "PipeWire untried: pipewire-pulse is not installed";
        PrivateSoundServer server(sink);
        if (sink == "PipeWire" && !server.up())
            GTEST_SKIP() << "PipeWire untried: it did not start here";
        QProcess tone;
        tone.startCommand("pacat --raw --format=s16le --rate=48000 --channels=1");
        std::vector<std::int16_t> wave(48000 * 10);
        for (std::size_t i = 0; i < wave.size(); ++i)
            wave[i] = static_cast<std::int16_t>(1000 * std::sin(i * 2 * std::numbers::pi * 440 / 48000));
        tone.write(reinterpret_cast<const char*>(wave.data()), wave.size() * 2);
        // At once, while a fresh PulseAudio's sink still plays out its first
        // two seconds: a stall that keeps the clicks waiting.
        Recording recording;
        auto* fake = new FakeSerialLineService;
        HAUPT window{std::unique_ptr<FakeSerialLineService>(fake)};
        window.findChild<QCheckBox*>(QStringLiteral("Check_BEEP"))->setChecked(true);
        for (const auto& [n, apartMs] : {std::pair{10, 100}, {999, 0}, {1, 100}})
            for (int i = 0; i < n; ++i) {
                QTest::qWait(apartMs);
                fake->raise(serial::comEvCTS);
            }
        std::vector<double> heard;
        (void)QTest::qWaitFor([&] { return (heard = recording.sounds()).size() >= 11; }, 10000);
        QTest::qWait(300);
        heard = recording.sounds();
        ASSERT_EQ(heard.size(), 10 + 1u) << "ten events, the last with a burst, and one more";
        EXPECT_LT(recording.onsets[10] - recording.onsets[9], 48000 * 150 / 1000) << "the burst was kept for later";
        for (const std::size_t click : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10})
            EXPECT_NEAR(heard[click], 1, 0.4) << "sound " << click << " in clicks";
        qsizetype quiet = 0;
        for (qsizetype i = recording.onsets.front(), run = 0; i < recording.onsets.back(); ++i)
            quiet = std::max(quiet, run = std::abs(recording.at(i)) < 100 ? run + 1 : 0);
        EXPECT_LT(quiet, 240) << "the tone broke off for 5 ms";
    }
}

// The stream opens at the first click of a checked box and closes after five
// idle seconds, or at once with its window. A server that drops every fresh
// stream is asked again after pauses that double from 100 ms, not at every
// event; one that is gone leaves the system beep, said once.
TEST(ClickSound, NoStreamUncheckedClosedWhenIdleRetriedAfterAPauseAndSaidWhenTheServerIsGone)
{
    PrivateSoundServer server;
    const auto playing = [] {
        return QProcess::execute(QStringLiteral("sh"), {"-c", "pactl list short sink-inputs | grep -q ."}) == 0;
    };
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
    events(1, 100);
    const auto closed = [&] { return !playing(); };
    EXPECT_FALSE(QTest::qWaitFor(closed, 4500)) << "closed before five idle seconds";
    EXPECT_TRUE(QTest::qWaitFor(closed, 3500)) << "still open after eight idle seconds";

    {  // A window closed while its stream plays closes at once.
        auto* other = new FakeSerialLineService;
        HAUPT second{std::unique_ptr<FakeSerialLineService>(other)};
        second.findChild<QCheckBox*>(QStringLiteral("Check_BEEP"))->setChecked(true);
        other->raise(serial::comEvCTS);
        ASSERT_TRUE(QTest::qWaitFor(playing, 5000));
    }
    // The sink is made anew at every fresh stream. 3 s of events 50 ms apart:
    // pauses of 100, 200, 400, 800 and 1600 ms leave room for six streams.
    QProcess dropper;
    dropper.start("sh", {"-c", "stdbuf -oL pactl subscribe | while read -r _ what _ kind _; do [ \"$what $kind\" = "
                               "\"'new' sink-input\" ] && pactl unload-module module-null-sink && pactl load-module "
                               "module-null-sink sink_name=clicks && echo dropped; done"});
    QTest::qWait(300);
    events(60, 50);
    const auto dropped = dropper.readAll().count("dropped");
    EXPECT_TRUE(dropped >= 2 && dropped <= 7) << dropped << " streams dropped";
    dropper.terminate();
    dropper.waitForFinished();

    // With its server gone the next click falls back to the system beep, and says so once.
    server.process.terminate();
    server.process.waitForFinished();
    events(1, 100);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !beep->toolTip().isEmpty(); }, 10000));
    const QString said = beep->toolTip();
    events(3, 100);
    EXPECT_TRUE(said.contains(QStringLiteral("Systemton")) && beep->toolTip() == said) << said.toStdString();
}
