// Start-up time and resident memory of the main window, offscreen, holding
// the test double as its service.
#include "fake_serial_line_service.h"
#include "haupt.h"
#include "resident_memory.h"

#include <QApplication>
#include <QTest>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// Construct (Form_Load included), show and draw once, as the program starts.
std::unique_ptr<HAUPT> startWindow()
{
    auto window = std::make_unique<HAUPT>(std::make_unique<FakeSerialLineService>());
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    window->grab();
    return window;
}

// The first window of the process: fonts, style and icon are loaded here.
void BM_FirstWindow(benchmark::State& state)
{
    const double before = residentKilobytes();
    std::unique_ptr<HAUPT> window;
    for (auto _ : state) {
        window = startWindow();
        if (!window)
            state.SkipWithError("window not exposed");
    }
    state.counters["rss_before_kB"] = before;
    state.counters["rss_with_window_kB"] = residentKilobytes();
}
BENCHMARK(BM_FirstWindow)->Iterations(1)->Unit(benchmark::kMillisecond);

// Later windows, once the toolkit is warm.
void BM_WindowStartUp(benchmark::State& state)
{
    for (auto _ : state) {
        auto window = startWindow();
        if (!window)
            state.SkipWithError("window not exposed");
        window.reset();
        QCoreApplication::processEvents();
    }
    state.counters["rss_kB"] = residentKilobytes();
}
BENCHMARK(BM_WindowStartUp)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
