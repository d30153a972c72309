#pragma once

#include <QDateTime>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace measurement {

// What one tick of Timer1 showed.
struct TickRecord {
    double edges = 0;      // edges in that second
    double frequency = 0;  // as the frequency readout showed it, Hz
    bool minMaxActive = false;
    double FMax = 0;
    double FMin = 0;
};

// The averaging times of the chart's second line.
enum class Averaging { OneSecond = 1, TenSeconds = 10, OneMinute = 60, TenMinutes = 600 };

// Statistics of a run of ticks, in Hz (or pulses per minute, scaled).
struct Statistics {
    std::size_t n = 0;   // seconds
    double pulses = 0;   // whole pulses in them
    double mean = 0;
    double s = 0;        // standard deviation, n - 1 in the denominator; 0 below two seconds
    double lowest = 0;
    double highest = 0;
    double standardError = 0;  // s / sqrt(n)

    // The same seconds with the frequency in another unit (60: pulses per minute).
    Statistics scaled(double factor) const;
};

// One point of the chart: time in seconds since the epoch, value in Hz.
struct ChartPoint {
    double time = 0;
    double value = 0;
    bool operator==(const ChartPoint&) const = default;
};

// Every tick since start-up, for the history window and its statistics.
// A week of ticks takes some 7 MB: each is kept in twelve bytes, in blocks of
// 4096 that never move, so growing never copies the run. Each block keeps its
// own sums, so the statistics of a week cost no more than those of two blocks.
class History {
public:
    void add(const QDateTime& at, const TickRecord& tick);
    // "C": the statistics start again with the next tick.
    void markReset(const QDateTime& at);

    std::size_t size() const { return size_; }
    // Time of tick `index`, seconds since the epoch.
    double time(std::size_t index) const;
    double frequency(std::size_t index) const { return tick(index).frequency; }
    double edges(std::size_t index) const { return tick(index).edges; }
    bool minMaxActive(std::size_t index) const { return tick(index).active != 0; }
    // The last tick's FMax and FMin.
    const TickRecord& latest() const { return latest_; }

    // The ticks whose time lies in [from, to], as indices [first, last).
    std::pair<std::size_t, std::size_t> between(double from, double to) const;
    // The first tick after the last "C" (0 without one), and the times of all "C"s.
    std::size_t resetIndex() const { return resets_.empty() ? 0 : resets_.back().index; }
    std::vector<double> resetTimes() const;

    // Ticks [first, last), from the last "C" on.
    Statistics statistics(std::size_t first, std::size_t last) const;
    // The frequency of ticks [first, last), or with `average` its mean over
    // that many seconds up to each tick (never reaching back across a "C"),
    // thinned to at most about 2 * `buckets` points: each bucket gives its
    // lowest and highest value in the order they came, so a single spike
    // stays visible at every zoom.
    std::vector<ChartPoint> envelope(std::size_t first, std::size_t last, std::size_t buckets,
                                     std::optional<Averaging> average = std::nullopt) const;
    // The spans of time, start and end in seconds since the epoch, in which
    // the min/max window was active among ticks [first, last); each tick
    // stands for the second before it. Gaps up to `join` seconds are closed.
    std::vector<std::pair<double, double>> activeSpans(std::size_t first, std::size_t last, double join) const;

private:
    struct Tick {
        std::int32_t tenths;  // since the first tick, tenths of a second; a week is 6 048 000
        float frequency;      // halves of a hertz, exact up to 8 MHz
        std::uint32_t edges : 31;
        std::uint32_t active : 1;
    };
    static_assert(sizeof(Tick) == 12);
    // Running sums of a stretch of ticks, to be merged without losing precision.
    struct Sums {
        double n = 0;
        double mean = 0;
        double squares = 0;  // about the mean
        double edges = 0;
        double lowest = 0;
        double highest = 0;
        void add(double frequency, double tickEdges);
        void add(const Sums& other);
    };
    struct Reset {
        std::size_t index;
        qint64 msecs;
    };
    static constexpr std::size_t kBlock = 4096;
    class Averager;

    const Tick& tick(std::size_t index) const { return blocks_[index / kBlock][index % kBlock]; }
    std::size_t resetBefore(std::size_t index) const;

    qint64 startMsecs_ = 0;
    std::size_t size_ = 0;
    std::vector<std::unique_ptr<Tick[]>> blocks_;
    std::vector<Sums> blockSums_;
    std::vector<Reset> resets_;
    TickRecord latest_;
};

}  // namespace measurement
