// The beep's clicks through the Linux service into the real window offscreen,
// played into a private sound server and recorded from its sink. First single
// edges 100 ms apart: how long from an edge to its click, and how far the gaps
// between clicks stray from those between the edges, on PulseAudio's null sink
// at 44,1 kHz stereo and at 48 kHz mono and on PipeWire. Then 100 000 edges/s with
// the beep checked, and once more unchecked for comparison: edges lost, how
// late Timer1 ticked, the CPU this process and the sound server used, and how
// much of the run the recorded stream sounded. Prints its figures.

#include "haupt.h"
#include "linux_serial_line_service.h"
#include "port_fixtures.h"
#include "private_sound_server.h"
#include "sink_recorder.h"
#include "wait_for.h"

#include <QApplication>
#include <QCheckBox>
#include <QRadioButton>
#include <QTimer>

#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class NoMessages : public MessageBox {
public:
    void MsgBox(const QString&) override {}
};

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double ownCpuSeconds()
{
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::stod(field);  // utime, stime
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The share of the 10 ms stretches between two times in which the sink sounded.
double soundingShare(const SinkRecorder& recorder, Clock::time_point from, Clock::time_point to)
{
    const std::size_t stretch = SinkRecorder::kRate / 100;
    int stretches = 0;
    int sounding = 0;
    for (std::size_t i = 0; i + stretch <= recorder.size(); i += stretch) {
        if (recorder.playedBy(i) < from || recorder.playedBy(i + stretch - 1) > to)
            continue;
        ++stretches;
        sounding += std::any_of(recorder.samples() + i, recorder.samples() + i + stretch,
                                [](std::int16_t s) { return s != 0; });
    }
    return stretches ? static_cast<double>(sounding) / stretches : 0;
}

// The window on a port whose CTS line the benchmark moves, open and counting.
struct Rig {
    explicit Rig(bool beep)
    {
        auto fake = std::make_unique<FakeLineControl>(FakeLineControl::Driver{});
        lines = fake.get();
        window = std::make_unique<HAUPT>(
            std::make_unique<serial::LinuxSerialLineService>(port.tree.root(), std::move(fake)), &messages);
        window->show();
        window->findChild<QRadioButton*>(QStringLiteral("optSignal_2"))->setChecked(true);
        window->findChild<QCheckBox*>(QStringLiteral("Check_BEEP"))->setChecked(beep);
        QMetaObject::invokeMethod(window->findChild<QWidget*>(QStringLiteral("Command_OPEN")), "click");
        waitFor([&] { return lines->waitsBegun() >= 1; });
    }

    PtyTree port;
    NoMessages messages;
    FakeLineControl* lines = nullptr;
    std::unique_ptr<HAUPT> window;
};

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Single edges 100 ms apart, on time however late a wake-up was, then a burst
// of 1000 and one more edge 300 ms after it.
void timing()
{
    SinkRecorder recorder;
    recorder.heardAfter(Clock::now());
    Rig rig(true);
    constexpr int kSingles = 20;
    std::vector<Clock::time_point> sent;
    std::atomic<bool> done{false};
    std::thread source([&] {
        const auto start = Clock::now();
        for (int i = 0; i < kSingles; ++i) {
            std::this_thread::sleep_until(start + i * 100ms);
            sent.push_back(Clock::now());
            rig.lines->toggle(TIOCM_CTS, 1);
        }
        std::this_thread::sleep_until(start + kSingles * 100ms);
        rig.lines->toggle(TIOCM_CTS, 1000);
        std::this_thread::sleep_until(start + kSingles * 100ms + 300ms);
        sent.push_back(Clock::now());
        rig.lines->toggle(TIOCM_CTS, 1);
        done = true;
    });
    waitFor([&] { return done.load(); }, 30s);
    source.join();
    waitFor([] { return false; }, 300ms);
    recorder.heardAfter(Clock::now());
    recorder.stop();

    const auto clicks = recorder.clicks();
    if (clicks.size() != kSingles + 2) {
        std::printf("clicks: %zu heard for %d single edges, a burst and one edge; CLICKS LOST OR DOUBLED\n",
                    clicks.size(), kSingles);
        return;
    }
    std::vector<double> latencies;
    double worstGap = 0;
    double sumGap = 0;
    for (int i = 0; i < kSingles; ++i) {
        latencies.push_back(ms(recorder.playedBy(clicks[i]) - sent[i]));
        if (i == 0)
            continue;
        const double stray = std::abs(static_cast<double>(clicks[i] - clicks[i - 1]) * 1000 / SinkRecorder::kRate -
                                      ms(sent[i] - sent[i - 1]));
        worstGap = std::max(worstGap, stray);
        sumGap += stray;
    }
    const double first = latencies.front();
    const double afterBurst = ms(recorder.playedBy(clicks.back()) - sent.back());
    std::sort(latencies.begin(), latencies.end());
    std::printf("clicks: %d single edges 100 ms apart, each heard; edge to click median %.1f ms, worst %.1f ms, "
                "first (with connecting) %.1f ms; gaps between clicks off those between edges by %.2f ms on "
                "average, %.2f ms at worst; an edge 300 ms after a burst of 1000 heard as its own click %.1f ms "
                "after it\n",
                kSingles, latencies[latencies.size() / 2], latencies.back(), first, sumGap / (kSingles - 1), worstGap,
                afterBurst);
    std::fflush(stdout);
}

void run(PrivateSoundServer& server, bool beep)
{
    SinkRecorder recorder;
    recorder.heardAfter(Clock::now());
    std::vector<Clock::time_point> ticks;  // outlives the window, whose timer fills it
    Rig rig(beep);
    HAUPT& window = *rig.window;
    FakeLineControl& lines = *rig.lines;

    QObject::connect(window.findChild<QTimer*>(QStringLiteral("Timer1")), &QTimer::timeout,
                     [&] { ticks.push_back(Clock::now()); });

    const double before = window.state().ANZAHL_IMPULSE;
    const double ownBefore = ownCpuSeconds();
    const double serverBefore = processCpuSeconds(static_cast<pid_t>(server.process().processId()));
    std::atomic<long long> made{-1};
    const auto start = Clock::now();
    std::thread source([&] {
        long long edges = 0;
        for (auto next = start; Clock::now() - start < 5s; next += 1ms) {
            lines.toggle(TIOCM_CTS, 100);
            edges += 100;
            std::this_thread::sleep_until(next + 1ms);
        }
        made = edges;
    });
    waitFor([&] { return made >= 0 && window.state().ANZAHL_IMPULSE - before >= static_cast<double>(made); }, 30s);
    const auto end = Clock::now();
    source.join();
    const double own = ownCpuSeconds() - ownBefore;
    const double sound = processCpuSeconds(static_cast<pid_t>(server.process().processId())) - serverBefore;
    recorder.heardAfter(end + 100ms);
    recorder.stop();

    const double counted = window.state().ANZAHL_IMPULSE - before;
    double worstLate = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        worstLate = std::max(worstLate, std::abs(seconds(ticks[i] - ticks[i - 1]) * 1000 - 1000.0));
    const double wall = seconds(end - start);
    std::printf("100 000 edges/s, beep %-9s made %lld edges, counted %.0f (%s), timer ticks %zu, worst tick off "
                "its second by %.1f ms; CPU: this process %.0f %% of a core, sound server %.0f %%; "
                "10 ms stretches with sound: %.1f %%\n",
                beep ? "checked," : "unchecked,", made.load(), counted,
                counted == static_cast<double>(made) ? "none lost" : "EDGES LOST", ticks.size(), worstLate,
                100 * own / wall, 100 * sound / wall, 100 * soundingShare(recorder, start, end));
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    for (const char* sink : {"rate=44100 channels=2", "rate=48000 channels=1", "PipeWire"}) {
        PrivateSoundServer server(QString::fromLatin1(sink));
        std::printf("%s: ", sink);
        timing();
    }
    PrivateSoundServer server;
    run(server, true);
    run(server, false);
    return 0;
}
