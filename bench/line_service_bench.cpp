// Edges through the whole road — watcher thread, queued delivery,
// MSComm1_OnComm, readouts of the real window offscreen — driven by the fake
// modem-line layer over a pseudo-terminal; and how long closing takes while the
// watcher is blocked in its wait. Prints its figures.

#include "bench_window.h"
#include "port_fixtures.h"

#include <QApplication>
#include <QTimer>

#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Offers `edgesPerSecond` on CTS in chunks every millisecond (or as fast as it
// can when 0) for `duration`; returns how many edges it made.
long long drive(FakeLineControl& lines, long long edgesPerSecond, Clock::duration duration)
{
    const auto start = Clock::now();
    long long made = 0;
    int chunk = edgesPerSecond > 0 ? static_cast<int>(edgesPerSecond / 1000) : 200;
    chunk += chunk % 2;  // whole pulses
    for (auto next = start; Clock::now() - start < duration;) {
        lines.toggle(TIOCM_CTS, chunk);
        made += chunk;
        if (edgesPerSecond > 0) {
            next += 1ms;
            std::this_thread::sleep_until(next);
        } else {
            std::this_thread::sleep_for(50us);
        }
    }
    return made;
}

void edgeRun(const char* name, long long edgesPerSecond)
{
    PtyTree port;
    auto fake = std::make_unique<FakeLineControl>(FakeLineControl::Driver{});
    FakeLineControl& lines = *fake;
    BenchWindow bench(port.tree.root(), std::move(fake), 2);
    HAUPT& window = bench.window;
    waitFor([&] { return lines.waitsBegun() >= 1; });

    std::vector<Clock::time_point> ticks;
    QObject::connect(window.findChild<QTimer*>(QStringLiteral("Timer1")), &QTimer::timeout,
                     [&] { ticks.push_back(Clock::now()); });

    const double before = window.state().ANZAHL_IMPULSE;
    std::atomic<long long> made{-1};
    const auto start = Clock::now();
    std::thread source([&] { made = drive(lines, edgesPerSecond, 3s); });
    waitFor([&] { return made >= 0 && window.state().ANZAHL_IMPULSE - before >= static_cast<double>(made); }, 30s);
    const auto end = Clock::now();
    source.join();
    const double counted = window.state().ANZAHL_IMPULSE - before;

    double worstLate = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        worstLate = std::max(worstLate, std::abs(ms(ticks[i] - ticks[i - 1]) - 1000.0));
    std::printf("%-28s made %9lld edges, counted %9.0f (%s), %9.0f edges/s end to end, "
                "timer ticks %zu, worst tick off its second by %.1f ms\n",
                name, made.load(), counted, counted == static_cast<double>(made) ? "none lost" : "EDGES LOST",
                counted / std::chrono::duration<double>(end - start).count(), ticks.size(), worstLate);
}

void closeWhileBlocked()
{
    PtyTree port;
    auto fake = std::make_unique<FakeLineControl>(FakeLineControl::Driver{});
    FakeLineControl& lines = *fake;
    serial::LinuxSerialLineService service(port.tree.root(), std::move(fake));
    std::vector<double> times;
    for (int round = 1; round <= 50; ++round) {
        service.setPortOpen(true);
        waitFor([&] { return lines.waitsBegun() >= round; });
        const auto start = Clock::now();
        service.setPortOpen(false);
        times.push_back(ms(Clock::now() - start));
    }
    std::sort(times.begin(), times.end());
    std::printf("PortOpen=false, watcher blocked: median %.3f ms, worst %.3f ms over %zu closes\n",
                times[times.size() / 2], times.back(), times.size());
}

// A backlog of single edges, as a window thread that was held up finds it:
// how long the relay takes to hand all of it on.
void backlogDrain(std::uint32_t items)
{
    std::uint32_t delivered = 0;
    serial::LineEventRelay relay([&](std::int16_t, const serial::EdgeTime&) { ++delivered; }, [] {}, [](auto) {});
    relay.setOpenGeneration(1);
    const std::vector<serial::LineEdges> one{{serial::comEvCTS, 1, {}}};
    for (std::uint32_t i = 0; i < items; ++i)
        relay.postEdges(1, one);
    const auto start = Clock::now();
    while (delivered < items)
        QCoreApplication::processEvents();
    std::printf("backlog of %u queued edges drained in %.3f s (%zu items moved)\n", items,
                ms(Clock::now() - start) / 1000, relay.itemsMoved());
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    edgeRun("offered 200 000 edges/s", 200000);
    edgeRun("offered 400 000 edges/s", 400000);
    edgeRun("flood", 0);
    closeWhileBlocked();
    backlogDrain(2000000);
    return 0;
}
