// Accuracy and CPU of counting, from one run: the real window on a real X
// display (run under xvfb-run, platform xcb), the Linux service on a
// pseudo-terminal, its modem lines the fake layer whose generator thread makes
// CTS edges and records when it made each. The CPU is the sum over the
// process's own threads (schedstat), leaving out the generator, so other load
// on the machine changes it little. Prints one row per train: steady trains
// with every whole second's tick held against the train's frequency, random
// trains and short pulses with the pulse lengths shown held against twice the
// true gap, and bursts of a bouncing contact with the counts per burst.
//
//   xvfb-run -a build/bench/cpu_bench [seconds per steady train [edges/s ...]]
//   (12 s; idle, 100, 1 000, 2 000, 10 000, 20 000 and 100 000 edges/s, then
//   the random trains, short pulses and bounces, by default)

#include "bench_window.h"
#include "port_fixtures.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QLocale>
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
#include <random>
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

void setDebounce(HAUPT& window, int ms);

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

// Makes one CTS edge at each of `offsets` after its start, sleeping until
// shortly before and spinning the rest, and records when each was made: the
// truth the readouts are held against.
void generateAt(FakeLineControl& lines, const std::vector<Clock::duration>& offsets, std::vector<Clock::time_point>& made,
                std::atomic<long long>& count)
{
    ::pthread_setname_np(::pthread_self(), kSourceName);
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    const auto start = Clock::now() + 10ms;
    made.reserve(offsets.size());
    for (const auto offset : offsets) {
        const auto due = start + offset;
        std::this_thread::sleep_until(due - 200us);
        while (Clock::now() < due) {
        }
        made.push_back(Clock::now());
        lines.toggle(TIOCM_CTS);
        count = static_cast<long long>(made.size());
    }
}

double frequencyShown(const QLineEdit* box)
{
    QString text = box->text();
    text.chop(3);  // " Hz"
    return QLocale().toDouble(text);
}

double lengthShown(const QLineEdit* box)
{
    QString text = box->text();
    text.chop(2);  // "ms"
    return text.remove(QLocale().groupSeparator()).toDouble();
}

struct Train {
    Train(std::string trainName, double edgesPerSecond = 0) : name(std::move(trainName)), rate(edgesPerSecond) {}
    std::string name;
    double rate = 0;                        // steady trains: edges/s, made in bulk
    std::vector<Clock::duration> offsets;   // the others: each edge's time after the start
    int bursts = 0;                         // bounce bursts in `offsets`
    int debounceMs = 0;                     // typed into the debounce dialog first
};

// One train through the real window: CPU of the program's threads, and the
// readouts held against the truth. Steady trains: every whole second's tick
// against the train's frequency, within ±(0,5 Hz + 0,1 %), and the spread of
// the ticks (what FMax − FMin would record). Other trains: each pulse length
// that reached the screen, and the one after the last edge, against twice the
// true gap.
void run(BenchWindow& bench, FakeLineControl& lines, const Train& train, int seconds)
{
    HAUPT& window = bench.window;
    auto* length = window.findChild<QLineEdit*>(QStringLiteral("Text_IMPULSLÄNGE"));
    auto* frequency = window.findChild<QLineEdit*>(QStringLiteral("Text_FREQUENZ"));
    auto* timer = window.findChild<QTimer*>(QStringLiteral("Timer1"));
    const double base = window.state().ANZAHL_IMPULSE;
    std::vector<std::pair<Clock::time_point, double>> ticks;  // time of the tick, value shown
    double worstLateMs = 0;
    QStringList lengthsSeen;  // at the ticks of a steady train: its period, whole ms
    auto lastTick = Clock::time_point();
    const auto watch = QObject::connect(timer, &QTimer::timeout, &window, [&] {
        const auto now = Clock::now();
        if (lastTick != Clock::time_point())
            worstLateMs = std::max(worstLateMs, std::chrono::duration<double, std::milli>(now - lastTick).count() - 1000);
        lastTick = now;
        QTimer::singleShot(300, &window, [&, now] {
            ticks.emplace_back(now, frequencyShown(frequency));
            if (!lengthsSeen.contains(length->text()))
                lengthsSeen << length->text();
        });
    });
    // The pulse length as it reaches the screen (the view writes the readouts
    // once a frame), with the edges counted in the train by then.
    std::vector<std::pair<double, double>> lengths;
    const auto record = [&] {
        QTimer::singleShot(0, &window, [&] {
            const double counted = window.state().ANZAHL_IMPULSE - base;
            if (lengths.empty() || lengths.back().first != counted)
                lengths.emplace_back(counted, lengthShown(length));
        });
    };
    auto* count = window.findChild<QLineEdit*>(QStringLiteral("Text_ANZAHL_IMPULSE"));
    const auto shownLength = QObject::connect(length, &QLineEdit::textChanged, &window, record);
    const auto shownCount = QObject::connect(count, &QLineEdit::textChanged, &window, record);
    setDebounce(window, train.debounceMs);
    std::atomic<bool> stop{false};
    std::atomic<long long> made{0};
    std::vector<Clock::time_point> truth;
    std::thread source;
    const auto threadsBefore = ownThreads();
    const auto start = Clock::now();
    if (train.rate > 0)
        source = std::thread([&] { generate(lines, train.rate, stop, made); });
    if (!train.offsets.empty()) {
        source = std::thread([&] { generateAt(lines, train.offsets, truth, made); });
        idleFor(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(train.offsets.back()).count()) +
                20);
    } else {
        idleFor(seconds * 1000);
    }
    stop = true;
    if (source.joinable())
        source.join();
    const auto end = Clock::now();
    const auto threadsAfter = ownThreads();
    const double wall = std::chrono::duration<double>(end - start).count();
    if (train.debounceMs == 0)
        waitFor([&] { return window.state().ANZAHL_IMPULSE - base >= static_cast<double>(made); }, 5s);
    idleFor(1300);  // the last length, and the tick after the end
    QObject::disconnect(watch);
    QObject::disconnect(shownLength);
    QObject::disconnect(shownCount);
    const double counted = window.state().ANZAHL_IMPULSE - base;
    const CpuShare cpu = cpuBetween(threadsBefore, threadsAfter, wall);

    char accuracy[256] = "";
    if (train.rate > 0) {
        // Whole seconds of the train: the tick before lies after its start.
        const double expected = train.rate / 2;
        const double bound = 0.5 + expected * 0.001;
        int within = 0, whole = 0;
        double low = 1e12, high = -1e12;
        for (std::size_t i = 1; i < ticks.size(); ++i) {
            if (ticks[i - 1].first < start + 50ms || ticks[i].first > end)
                continue;
            ++whole;
            within += std::abs(ticks[i].second - expected) <= bound;
            low = std::min(low, ticks[i].second);
            high = std::max(high, ticks[i].second);
        }
        std::snprintf(accuracy, sizeof accuracy,
                      "%d/%d ticks within ±%.2f Hz, %.1f..%.1f Hz, spread %.1f Hz %s; lengths %s", within, whole,
                      bound, low, high, high - low, within == whole && high - low <= bound ? "ok" : "MISSED",
                      qPrintable(lengthsSeen.join(QStringLiteral(" "))));
    } else if (train.offsets.empty()) {
        std::snprintf(accuracy, sizeof accuracy, "idle, port open");
    } else if (train.bursts > 0) {
        std::snprintf(accuracy, sizeof accuracy, "%.2f counts a burst", counted / train.bursts);
    } else {
        const auto trueLength = [&](double edges) {
            const auto n = static_cast<std::size_t>(edges);
            return std::chrono::duration<double, std::milli>(truth[n - 1] - truth[n - 2]).count() * 2;
        };
        int within = 0, sampled = 0;
        for (const auto& [edges, shownMs] : lengths) {
            if (edges < 2 || edges > static_cast<double>(truth.size()))
                continue;
            ++sampled;
            within += std::abs(shownMs - trueLength(edges)) <= 1.0;
        }
        const double lastShown = lengthShown(length);
        const double lastTrue = counted >= 2 && counted <= static_cast<double>(truth.size()) ? trueLength(counted) : -1;
        std::snprintf(accuracy, sizeof accuracy, "%d/%d lengths within 1 ms (%.0f %%), last %.0f ms for %.2f %s", within,
                      sampled, sampled ? 100.0 * within / sampled : 0.0, lastShown, lastTrue,
                      sampled && within >= 0.95 * sampled && std::abs(lastShown - lastTrue) <= 1.0 ? "ok" : "MISSED");
    }
    std::printf("| %-22s | %5.1f | %9lld | %9.0f %-4s | %5.0f | %s |\n", train.name.c_str(), cpu.sched, made.load(), counted,
                counted == static_cast<double>(made) ? "all" : train.debounceMs ? "held" : "LOST", worstLateMs, accuracy);
    std::printf("|   by thread:%s\n", cpu.perThread.c_str());
    std::fflush(stdout);
}

// Through the menu and its dialog, as a user would.
void setDebounce(HAUPT& window, int ms)
{
    QTimer::singleShot(0, &window, [ms] {
        if (auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget())) {
            dialog->setIntValue(ms);
            dialog->accept();
        }
    });
    window.findChild<QAction*>(QStringLiteral("Menue_ENTPRELLZEIT"))->trigger();
}

// Exponential gaps of mean `mean` for `duration`.
std::vector<Clock::duration> randomTrain(std::mt19937& random, Clock::duration mean, Clock::duration duration,
                                         Clock::duration from = {})
{
    std::exponential_distribution<double> gap(1.0 / std::chrono::duration<double>(mean).count());
    std::vector<Clock::duration> offsets;
    for (auto t = from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(random)));
         t < from + duration; t += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(random))))
        offsets.push_back(t);
    return offsets;
}

// Ten trains of `mean` gaps, 700 ms each with 300 ms of quiet between.
Train randomTrains(std::mt19937& random, Clock::duration mean, const char* name)
{
    Train train{name};
    for (int i = 0; i < 10; ++i) {
        const auto part = randomTrain(random, mean, 700ms, i * 1000ms);
        train.offsets.insert(train.offsets.end(), part.begin(), part.end());
    }
    return train;
}

// Pulses of `width` at exponential gaps, `perSecond` of them, for 5 s.
Train shortPulses(std::mt19937& random, double perSecond, const char* name)
{
    Train train{name};
    const auto mean = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / perSecond));
    for (const auto at : randomTrain(random, mean, 5s)) {
        if (!train.offsets.empty() && at < train.offsets.back() + 300us)
            continue;
        train.offsets.push_back(at);
        train.offsets.push_back(at + 150us);
    }
    return train;
}

// A contact that bounces: bursts of 5 edges in 2 ms, 10 a second, for 3 s.
Train bounces(const char* name, int debounceMs)
{
    Train train{name};
    train.debounceMs = debounceMs;
    for (int burst = 0; burst < 30; ++burst)
        for (int edge = 0; edge < 5; ++edge)
            train.offsets.push_back(burst * 100ms + edge * 500us);
    train.bursts = 30;
    return train;
}

}  // namespace

int main(int argc, char** argv)
{
    // A real display: offscreen paints nothing to a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("NO_AT_BRIDGE", "1");
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 12;

    PtyTree port;
    auto fake = std::make_unique<FakeLineControl>(FakeLineControl::Driver{});
    FakeLineControl& lines = *fake;
    BenchWindow bench(port.tree.root(), std::move(fake), 2);
    if (!bench.opened()) {
        std::fprintf(stderr, "cpu_bench: the port did not open (%s)\n", qPrintable(bench.window.windowTitle()));
        return 2;
    }
    std::printf("platform %s, %d s a steady train; CPU of the program's threads without the generator (schedstat), "
                "%% of one core\n\n",
                qPrintable(QApplication::platformName()), seconds);
    std::printf("| train                  | CPU %%  | edges made | counted    | tick late ms | accuracy |\n");
    std::vector<Train> trains;
    for (const double rate : {0.0, 100.0, 1000.0, 2000.0, 10000.0, 20000.0, 100000.0})
        trains.push_back({"steady " + std::to_string(static_cast<int>(rate)) + "/s", rate});
    // Rates given pick steady trains; "others" the rest.
    bool others = argc <= 2;
    if (argc > 2) {
        trains.clear();
        for (int i = 2; i < argc; ++i) {
            others = others || std::string(argv[i]) == "others";
            if (std::string(argv[i]) != "others")
                trains.push_back({std::string("steady ") + argv[i] + "/s", std::atof(argv[i])});
        }
    }
    if (others) {
        std::mt19937 random(20);
        trains.push_back(randomTrains(random, 1ms, "random, mean 1 ms"));
        trains.push_back(randomTrains(random, 3ms, "random, mean 3 ms"));
        trains.push_back(shortPulses(random, 100, "0,15 ms pulses, 100/s"));
        trains.push_back(shortPulses(random, 400, "0,15 ms pulses, 400/s"));
        trains.push_back(bounces("bounces, debounce 0", 0));
        trains.push_back(bounces("bounces, debounce 5 ms", 5));
    }
    for (const Train& train : trains)
        run(bench, lines, train, seconds);
    return 0;
}
