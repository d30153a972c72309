// Long run of the real offscreen window holding the real Linux service on a
// pseudo-terminal, its modem lines replaced by a source that makes DCD change
// at a steady rate. At the end the pulse count must hold every edge sent; the
// resident memory and the lateness of the one-second ticks are printed.
//
//   soak [seconds] [edges per second]     (600 and 100000 by default)
#include "bench_window.h"
#include "port_fixtures.h"
#include "resident_memory.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <sys/ioctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

// A pulse source on DCD as the kernel's counters would show it: the count
// grows with time at `rate` until `total` edges are out. Wake-ups come each
// millisecond, as a busy line's interrupts would.
class PacedSource : public serial::LineControl {
public:
    PacedSource(double rate, std::uint64_t total) : rate_(rate), total_(total) {}

    void begin() { startNs_ = Clock::now().time_since_epoch().count(); }
    std::uint64_t sent() const
    {
        const auto start = startNs_.load();
        if (start == 0)
            return 0;
        const double seconds = static_cast<double>(Clock::now().time_since_epoch().count() - start) / 1e9;
        return std::min<std::uint64_t>(total_, static_cast<std::uint64_t>(seconds * rate_));
    }

    int getLines(int, int& bits) override
    {
        bits = (sent() % 2) ? TIOCM_CD : 0;
        return 0;
    }
    int raiseLines(int, int) override { return 0; }
    int lowerLines(int, int) override { return 0; }
    int getCounts(int, serial::LineCounts& counts) override
    {
        counts = {};
        counts.dcd = static_cast<int>(sent() & 0x7fffffff);
        return 0;
    }
    int waitForChange(int, int) override
    {
        const timespec interval{0, 1'000'000};
        return clock_nanosleep(CLOCK_MONOTONIC, 0, &interval, nullptr) == EINTR ? EINTR : 0;
    }

private:
    const double rate_;
    const std::uint64_t total_;
    std::atomic<Clock::rep> startNs_{0};
};

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 600;
    const double rate = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 100000;
    const auto total = static_cast<std::uint64_t>(seconds * rate);

    // COM 1 is a pseudo-terminal in a device tree of our own; DCD is counted.
    PtyTree port;
    auto source = std::make_unique<PacedSource>(rate, total);
    PacedSource& lines = *source;
    BenchWindow bench(port.tree.root(), std::move(source), 0);
    HAUPT& window = bench.window;
    if (!bench.opened()) {
        std::fprintf(stderr, "soak: the port did not open (%s)\n", qPrintable(window.windowTitle()));
        return 2;
    }

    // Lateness of each tick against one second after the one before.
    auto* timer = window.findChild<QTimer*>(QStringLiteral("Timer1"));
    QElapsedTimer sinceTick;
    sinceTick.start();
    double latestLateMs = 0;
    double worstLateMs = 0;
    int ticks = 0;
    QObject::connect(timer, &QTimer::timeout, &window, [&] {
        const double late = static_cast<double>(sinceTick.nsecsElapsed()) / 1e6 - timer->interval();
        sinceTick.restart();
        if (++ticks > 1) {  // the first follows the open, not a tick
            latestLateMs = late;
            worstLateMs = std::max(worstLateMs, late);
        }
    });

    const double startMb = residentMegabytes();
    std::printf("soak: %d s at %.0f edges/s into the window, %llu edges; resident at start %.1f MB\n", seconds,
                rate, static_cast<unsigned long long>(total), startMb);
    std::fflush(stdout);
    lines.begin();

    QElapsedTimer running;
    running.start();
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        std::printf("  %4lld s: %.0f edges counted, resident %.1f MB, latest tick %+.2f ms late, worst %+.2f ms\n",
                    static_cast<long long>(running.elapsed() / 1000), window.state().ANZAHL_IMPULSE,
                    residentMegabytes(), latestLateMs, worstLateMs);
        std::fflush(stdout);
    });
    progress.start(60000);

    // Until every edge is out and counted, or well past the time.
    QDeadlineTimer deadline((seconds + 30) * 1000LL);
    while (!deadline.hasExpired() && !(lines.sent() == total && window.state().ANZAHL_IMPULSE >= total))
        app.processEvents(QEventLoop::AllEvents, 50);
    // Whatever still comes would be edges never sent.
    QDeadlineTimer settle(500);
    while (!settle.hasExpired())
        app.processEvents(QEventLoop::AllEvents, 50);

    const double counted = window.state().ANZAHL_IMPULSE;
    const QString shown = window.findChild<QLineEdit*>(QStringLiteral("Text_ANZAHL_IMPULSE"))->text();
    const bool exact = counted == static_cast<double>(total) &&
                       shown == QString::number(static_cast<unsigned long long>(total / 2));
    const double endMb = residentMegabytes();
    std::printf("soak: sent %llu edges, counted %.0f (readout %s): %s\n", static_cast<unsigned long long>(total),
                counted, qPrintable(shown), exact ? "exact" : "MISMATCH");
    std::printf("soak: resident %.1f MB at start, %.1f MB at end\n", startMb, endMb);
    std::printf("soak: %d ticks, latest %+.2f ms late, worst %+.2f ms late (limit 50 ms)\n", ticks, latestLateMs,
                worstLateMs);
    window.findChild<QPushButton*>(QStringLiteral("Command_CLOSE"))->click();
    return exact && latestLateMs <= 50 && worstLateMs <= 50 ? 0 : 1;
}
