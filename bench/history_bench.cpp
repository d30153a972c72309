// The history window and the recording with a week of ticks, on a real X
// display (run under xvfb-run, platform xcb; scripts/history-bench.sh does):
//  - resident memory of a week of ticks (604 800) in the history, and with
//    the chart showing all of it;
//  - the chart's repaint (range change, thinning, statistics, drawing) at
//    several zooms;
//  - the CPU the open window adds, following one tick a second, and the CPU
//    a recording adds at one tick a second, against the same ticks with
//    neither (CPU time of the whole process, CLOCK_PROCESS_CPUTIME_ID).
//
//   history_bench [seconds per CPU phase (60)] [seconds of recording (60)]
//   history_bench --picture FILE   (the README's picture of the window)

#include "recording.h"
#include "resident_memory.h"
#include "verlauf.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <qcustomplot.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kWeek = 604'800;

double cpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A source near 50 Hz drifting over the day, counted as a Poisson process;
// the min/max window active in the first half of every hour.
class Source {
public:
    measurement::TickRecord next(std::size_t second)
    {
        const double rate = 50 + 8 * std::sin(static_cast<double>(second) / 5400.0) + (second % 7200 < 600 ? 15 : 0);
        const double edges = std::poisson_distribution<int>(2 * rate)(random_);
        const bool active = second % 3600 < 1800;
        if (active) {
            fMax_ = std::max(fMax_, edges / 2);
            fMin_ = std::min(fMin_, edges / 2);
        }
        return {edges, edges / 2, active, fMax_, fMin_};
    }

    // "C": FMax and FMin start again.
    void reset()
    {
        fMax_ = -1e6;
        fMin_ = 1e6;
    }

private:
    std::mt19937 random_{2026};
    double fMax_ = -1e6;
    double fMin_ = 1e6;
};

QDateTime startOf(std::size_t seconds)
{
    // In UTC: a local time looks up the zone file on every step.
    return QDateTime::currentDateTimeUtc().addSecs(-static_cast<qint64>(seconds));
}

void fill(measurement::History& history, Source& source, std::size_t seconds, std::size_t resetAt = 0)
{
    const QDateTime start = startOf(seconds);
    for (std::size_t i = 0; i < seconds; ++i) {
        if (i == resetAt && resetAt) {
            history.markReset(start.addMSecs(static_cast<qint64>(i) * 1000 - 300));
            source.reset();
        }
        history.add(start.addSecs(static_cast<qint64>(i)), source.next(i));
    }
}

int picture(const QString& file)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    measurement::History history;
    Source source;
    fill(history, source, 3 * 3600, 2 * 3600 + 900);
    window::VERLAUF verlauf(history, nullptr);
    verlauf.findChild<QComboBox*>(QStringLiteral("cboMittelung"))->setCurrentIndex(3);
    verlauf.setRecordingFile(QStringLiteral("/home/anna/messung/zaehler-2026-12-07.csv"));
    verlauf.resize(760, 560);
    verlauf.show();
    QElapsedTimer wait;
    wait.start();
    while (wait.elapsed() < 500)
        QApplication::processEvents();
    return verlauf.grab().save(file) ? 0 : 1;
}

// CPU % of a core over `seconds` of one tick a second, each tick handed to `tick`.
template <typename Tick>
double cpuAtOneTickASecond(int seconds, Tick tick)
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    int ticks = 0;
    QEventLoop loop;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        tick();
        if (++ticks == seconds)
            loop.quit();
    });
    const double before = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    timer.start(1000);
    loop.exec();
    return 100 * (cpuSeconds() - before) / (static_cast<double>(wall.elapsed()) / 1000);
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--picture")
        return picture(QString::fromLocal8Bit(argv[2]));
    const int phase = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int recordingPhase = argc > 2 ? std::max(1, std::atoi(argv[2])) : phase;

    // The window first, on an empty history, so what the week adds stands apart.
    const double empty = residentMegabytes();
    auto history = std::make_unique<measurement::History>();
    window::VERLAUF verlauf(*history, nullptr);
    verlauf.resize(900, 600);
    verlauf.show();
    auto* chart = verlauf.findChild<QCustomPlot*>(QStringLiteral("Diagramm"));
    for (int i = 0; i < 20; ++i)
        QApplication::processEvents();
    const double window = residentMegabytes();
    Source source;
    fill(*history, source, kWeek, kWeek / 2);
    const double withHistory = residentMegabytes();
    verlauf.showAll();
    chart->replot(QCustomPlot::rpImmediateRefresh);
    const double withChart = residentMegabytes();
    std::printf("resident memory: the window with no ticks %.1f MB; a week of ticks (%zu) adds %.1f MB to the "
                "history and %.1f MB with the chart showing all of it\n",
                window - empty, history->size(), withHistory - window, withChart - window);

    // Each repaint: a new range (the chart thins the ticks in view, the
    // statistics run over them), then drawn at once.
    const double end = history->time(history->size() - 1);
    std::printf("repaint with a week of points (ms, median and worst of 20):\n");
    for (double span : {double(kWeek), 86400.0, 3600.0, 600.0, 60.0}) {
        std::vector<double> ms;
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer t;
            t.start();
            const double shift = (i % 2) * span / 50;
            chart->xAxis->setRange(end - span - shift, end - shift);
            chart->replot(QCustomPlot::rpImmediateRefresh);
            chart->repaint();
            ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("  %8.0f s in view: %6.2f  %6.2f\n", span, ms[ms.size() / 2], ms.back());
    }

    // The same ticks four times: the window hidden, open at "Alles", open at ten minutes, and recording.
    std::size_t second = history->size();
    const auto addTick = [&] {
        history->add(QDateTime::currentDateTime(), source.next(second++));
        verlauf.tickAdded();
    };
    verlauf.hide();
    cpuAtOneTickASecond(3, addTick);  // settles what the repaints above left behind
    const double base = cpuAtOneTickASecond(phase, addTick);
    verlauf.show();
    verlauf.showAll();
    const double open = cpuAtOneTickASecond(phase, addTick);
    // Ten minutes in view: every tick moves the chart by more than a pixel and redraws it.
    chart->xAxis->setRange(history->time(history->size() - 1) - 600, history->time(history->size() - 1));
    const double openShort = cpuAtOneTickASecond(phase, addTick);
    verlauf.hide();
    class : public recording::FileDialog, public MessageBox {
    public:
        QString name;
        QString saveFileName() override { return name; }
        void MsgBox(const QString& text) override { std::fprintf(stderr, "message: %s\n", qPrintable(text)); }
    } answers;
    QTemporaryDir dir(QStringLiteral("history-bench-XXXXXX"));  // on the disk, not in memory
    answers.name = dir.filePath(QStringLiteral("run.csv"));
    recording::Recording recorder(answers, answers);
    recorder.start();
    const double recording = cpuAtOneTickASecond(recordingPhase, [&] {
        addTick();
        recorder.add(QDateTime::currentDateTime(), QStringLiteral("COM 1"), QStringLiteral("CTS Pin 8"),
                     history->latest());
    });
    std::printf("CPU at one tick a second, %% of a core: %.3f with neither (%d s); with the window open %.3f at "
                "\"Alles\" (+%.3f) and %.3f with 10 min in view (+%.3f); %.3f recording (%d s, +%.3f)\n",
                base, phase, open, open - base, openShort, openShort - base, recording, recordingPhase,
                recording - base);
    return 0;
}
