// CPU the program spends on counting: the real window on a real X display
// (run under xvfb-run, platform xcb), the Linux service on a pseudo-terminal,
// its modem lines the fake layer whose generator thread makes CTS edges at a
// steady rate. The CPU is the sum over the process's own threads from
// /proc/self/task/*/stat (and, finer, schedstat), leaving out the generator,
// so other load on the machine changes it little. Prints one row per rate,
// with whether every edge was counted, the latest one-second tick, how long
// after the last edge the readouts last changed, and the pulse-length
// readouts seen.
//
//   xvfb-run -a build/bench/cpu_bench [seconds per rate [edges/s ...]]
//   (5 s; 0, 1 000, 10 000 and 100 000 edges/s by default)

#include "bench_window.h"
#include "port_fixtures.h"

#include <QApplication>
#include <QLineEdit>
#include <QStringList>

#include <dirent.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kSourceName = "edge-source";

struct TaskTime {
    std::string name;
    double statSeconds = 0;   // utime + stime, in clock ticks
    double schedSeconds = 0;  // time on a CPU, in nanoseconds
    long long sleeps = 0;     // voluntary context switches: one per wake-up
};

// Every thread of the process but the generator, by thread id.
std::map<int, TaskTime> ownThreads()
{
    std::map<int, TaskTime> threads;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return threads;
    while (const dirent* entry = ::readdir(dir)) {
        const int tid = std::atoi(entry->d_name);
        if (tid <= 0)
            continue;
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream statFile(base + "/stat");
        std::string stat;
        std::getline(statFile, stat);
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        TaskTime t;
        t.name = stat.substr(open + 1, close - open - 1);
        if (t.name == kSourceName)
            continue;
        // After the name: state is field 3, utime and stime fields 14 and 15.
        const char* p = stat.c_str() + close + 2;
        long long fields[13] = {};
        char state = 0;
        if (std::sscanf(p, "%c %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld", &state, &fields[0],
                        &fields[1], &fields[2], &fields[3], &fields[4], &fields[5], &fields[6], &fields[7],
                        &fields[8], &fields[9], &fields[10], &fields[11]) != 13)
            continue;
        t.statSeconds = static_cast<double>(fields[10] + fields[11]) / tick;
        std::ifstream sched(base + "/schedstat");
        long long ns = 0;
        sched >> ns;
        t.schedSeconds = static_cast<double>(ns) / 1e9;
        std::ifstream status(base + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                t.sleeps = std::atoll(line.c_str() + 24);
        threads[tid] = t;
    }
    ::closedir(dir);
    return threads;
}

struct CpuShare {
    double stat = 0;   // % of one core
    double sched = 0;  // % of one core
    std::string perThread;
};

CpuShare cpuBetween(const std::map<int, TaskTime>& before, const std::map<int, TaskTime>& after, double wallSeconds)
{
    CpuShare share;
    for (const auto& [tid, now] : after) {
        const auto was = before.find(tid);
        const double stat = now.statSeconds - (was == before.end() ? 0 : was->second.statSeconds);
        const double sched = now.schedSeconds - (was == before.end() ? 0 : was->second.schedSeconds);
        const double sleeps = static_cast<double>(now.sleeps - (was == before.end() ? 0 : was->second.sleeps));
        share.stat += stat;
        share.sched += sched;
        if (sched / wallSeconds >= 0.001) {
            char part[128];
            std::snprintf(part, sizeof part, " %s/%d %.1f %% %.0f wake-ups/s,", now.name.c_str(), tid,
                          100 * sched / wallSeconds, sleeps / wallSeconds);
            share.perThread += part;
        }
    }
    share.stat *= 100 / wallSeconds;
    share.sched *= 100 / wallSeconds;
    return share;
}

// Makes CTS edges at `rate` per second, released every 100 µs as they fall
// due, until told to stop; `made` holds how many are out.
void generate(FakeLineControl& lines, double rate, const std::atomic<bool>& stop, std::atomic<long long>& made)
{
    ::pthread_setname_np(::pthread_self(), kSourceName);
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    const auto start = Clock::now();
    long long out = 0;
    for (auto next = start; !stop;) {
        next += 100us;
        std::this_thread::sleep_until(next);
        const auto due = static_cast<long long>(std::chrono::duration<double>(Clock::now() - start).count() * rate);
        if (due > out) {
            lines.toggle(TIOCM_CTS, static_cast<int>(due - out));
            out = due;
            made = out;
        }
    }
}

void run(BenchWindow& bench, FakeLineControl& lines, double rate, int seconds)
{
    HAUPT& window = bench.window;
    auto* length = window.findChild<QLineEdit*>(QStringLiteral("Text_IMPULSLÄNGE"));
    QStringList lengths;
    double worstLateMs = 0;
    int ticks = 0;
    auto last = Clock::now();
    auto* timer = window.findChild<QTimer*>(QStringLiteral("Timer1"));
    const auto watch = QObject::connect(timer, &QTimer::timeout, &window, [&] {
        const auto now = Clock::now();
        if (ticks++ > 0)
            worstLateMs = std::max(worstLateMs, std::chrono::duration<double, std::milli>(now - last).count() - 1000);
        last = now;
        if (!lengths.contains(length->text()))
            lengths << length->text();
    });

    const double before = window.state().ANZAHL_IMPULSE;
    std::atomic<bool> stop{false};
    std::atomic<long long> made{0};
    std::thread source;
    if (rate > 0)
        source = std::thread([&] { generate(lines, rate, stop, made); });
    idleFor(1000);
    const auto threadsBefore = ownThreads();
    const auto start = Clock::now();
    idleFor(seconds * 1000);
    const auto threadsAfter = ownThreads();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    if (source.joinable())
        source.join();
    // The last edge is out: how long until the readouts stop changing, which
    // shows when their final state reached the screen.
    auto* count = window.findChild<QLineEdit*>(QStringLiteral("Text_ANZAHL_IMPULSE"));
    const auto stopped = Clock::now();
    auto lastChange = stopped;
    QString shown = count->text() + length->text();
    while (Clock::now() - stopped < 10s &&
           (window.state().ANZAHL_IMPULSE - before < static_cast<double>(made) || Clock::now() - lastChange < 200ms)) {
        QCoreApplication::processEvents();
        if (count->text() + length->text() != shown) {
            shown = count->text() + length->text();
            lastChange = Clock::now();
        }
        std::this_thread::sleep_for(200us);
    }
    QObject::disconnect(watch);
    const double finalMs = std::chrono::duration<double, std::milli>(lastChange - stopped).count();

    const double counted = window.state().ANZAHL_IMPULSE - before;
    const CpuShare cpu = cpuBetween(threadsBefore, threadsAfter, wall);
    std::printf("| %7.0f | %6.1f | %6.1f | %9lld | %9.0f %-10s | %6.1f | %6.1f | %s |\n", rate, cpu.stat, cpu.sched,
                made.load(), counted, counted == static_cast<double>(made) ? "none lost" : "LOST",
                worstLateMs, finalMs, qPrintable(lengths.join(QStringLiteral(" "))));
    std::printf("|         | by thread (schedstat):%s\n", cpu.perThread.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    // A real display: offscreen paints nothing to a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("NO_AT_BRIDGE", "1");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    PtyTree port;
    auto fake = std::make_unique<FakeLineControl>(FakeLineControl::Driver{});
    FakeLineControl& lines = *fake;
    BenchWindow bench(port.tree.root(), std::move(fake), 2);
    if (!bench.opened()) {
        std::fprintf(stderr, "cpu_bench: the port did not open (%s)\n", qPrintable(bench.window.windowTitle()));
        return 2;
    }
    std::printf("platform %s, %d s per rate; CPU of the program's threads without the generator, "
                "%% of one core\n\n", qPrintable(QApplication::platformName()), seconds);
    std::printf("| edges/s | stat %% | sched %% | edges made | counted              | worst tick late ms | "
                "final shown after ms | pulse length readouts |\n");
    std::vector<double> rates{0, 1000, 10000, 100000};
    if (argc > 2) {
        rates.clear();
        for (int i = 2; i < argc; ++i)
            rates.push_back(std::atof(argv[i]));
    }
    for (const double rate : rates)
        run(bench, lines, rate, seconds);
    return 0;
}
